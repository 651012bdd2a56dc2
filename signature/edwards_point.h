// Points of edwards25519, -x^2 + y^2 = 1 + d x^2 y^2, for the Ed25519 verifier (internal header).
//
// Point forms. Each suits one step of the double-scalar multiplication, and the formulas convert between
// them so that every multiplication is spent where it is needed:
//   ProjectivePoint  (X : Y : Z)            x = X/Z, y = Y/Z. What doubling reads.
//   ExtendedPoint    (X : Y : Z : T)        as projective, with T = XY/Z. What addition reads.
//   CompletedPoint   ((X : Z), (Y : T))     x = X/Z, y = Y/T. What doubling and addition produce before
//                                           their last multiplications; converting it costs 3 (to
//                                           projective) or 4 (to extended) multiplications.
//   CachedPoint      (Y+X, Y-X, Z, 2d T)    an extended point ready to be added (converting costs 1).
//   PrecomputedPoint (y+x, y-x, 2d xy)      an affine point ready for mixed addition (Z = 1).
// Coordinates are FieldElements; projective, extended and cached coordinates come out of
// multiplications carried, and completed coordinates are sums of at most three carried values, so
// every multiplication input stays within the field's limb bounds.
//
// Everything here is variable time: branches and table indices follow the scalars and the points,
// which are public in signature verification. Nothing uses the heap.
#pragma once

#include <cstdint>

#include "signature/field.h"

struct ProjectivePoint {
    FieldElement X, Y, Z;
};

struct ExtendedPoint {
    FieldElement X, Y, Z, T;
};

struct CompletedPoint {
    FieldElement X, Y, Z, T;
};

struct PrecomputedPoint {
    FieldElement y_plus_x, y_minus_x, xy2d;
};

struct CachedPoint {
    FieldElement Y_plus_X, Y_minus_X, Z, T2d;
};

// (2j + 1) B for j = 0..7, B the base point (y = 4/5, x even). Checked against a fresh computation by
// the point tests, which print the table's source when it differs.
extern const PrecomputedPoint baseOddMultiples[8];

// 2P: XX = X^2, YY = Y^2, W = 2 Z^2; (X, Y, Z, T) = ((X + Y)^2 - (YY + XX), YY + XX, YY - XX, W - (YY - XX)).
CompletedPoint point_double(const ProjectivePoint& p);

// P + Q: m1 = (Y1 - X1)(Y2 - X2), m2 = (Y1 + X1)(Y2 + X2), m3 = T1 2d T2, m4 = 2 Z1 Z2;
// (X, Y, Z, T) = (m2 - m1, m2 + m1, m4 + m3, m4 - m3).
CompletedPoint point_add(const ExtendedPoint& p, const CachedPoint& q);

// P - Q: as point_add with Y2 + X2 and Y2 - X2 swapped, and Z = m4 - m3, T = m4 + m3.
CompletedPoint point_sub(const ExtendedPoint& p, const CachedPoint& q);

// P + Q and P - Q for an affine Q: as above with Z2 = 1, so m4 = 2 Z1.
CompletedPoint point_add_mixed(const ExtendedPoint& p, const PrecomputedPoint& q);
CompletedPoint point_sub_mixed(const ExtendedPoint& p, const PrecomputedPoint& q);

// Conversions: completed to projective (X T, Y Z, Z T) and to extended (X T, Y Z, Z T, X Y); extended to
// projective (X, Y, Z), dropping T, and to cached (Y + X, Y - X, Z, 2d T).
ProjectivePoint to_projective(const CompletedPoint& p);
ExtendedPoint to_extended(const CompletedPoint& p);
ProjectivePoint to_projective(const ExtendedPoint& p);
CachedPoint to_cached(const ExtendedPoint& p);

// Decodes 32 bytes (y little-endian in bits 0..254, the sign of x in bit 255) to -A, the negation of the
// point A they encode, with Z = 1. Returns false when no point has that y. A y of p or more is taken
// modulo p, and x = 0 with the sign bit set is accepted (giving the point with x = 0).
bool decode_point_negated(ExtendedPoint* out, const std::uint8_t* in32);

// The canonical 32-byte encoding: y = Y/Z below p, little-endian, with bit 0 of x = X/Z in bit 255.
void encode_point(std::uint8_t* out32, const ProjectivePoint& p);

// a P + b B for 32-byte little-endian scalars a and b, both below 2^255 (the recoding's carries must not
// run past bit 255). Neither needs to be reduced modulo L.
ProjectivePoint double_scalar_multiply(const ExtendedPoint& p, const std::uint8_t* a32,
                                       const std::uint8_t* b32);

// The signed sliding-window recoding used by double_scalar_multiply: 256 digits, each 0 or odd in
// [-15, 15], with sum(digits[i] 2^i) equal to the scalar. The scalar must be below 2^255.
void recode_scalar(std::int8_t* digits256, const std::uint8_t* scalar32);
