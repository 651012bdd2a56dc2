// Arithmetic in GF(p), p = 2^255 - 19, for the Ed25519 verifier.
// A FieldElement holds ten signed limbs h0..h9 in radix 2^25.5: its value is sum(h[i] * 2^ceil(25.5 * i)),
// so the limbs start at bits 0, 26, 51, 77, 102, 128, 153, 179, 204, 230; even limbs are 26 bits wide and
// odd limbs 25 bits wide once carried. A value has many representations; only field_encode is canonical.
// Results are returned by value, so outputs never alias inputs. Nothing here branches on a value.
//
// Limb bounds, in the terms the contracts below use:
//   carried: |h[i]| <= 2^25 for even i and <= 2^24 + 2^17 for odd i (what multiplication returns);
//   field_add, field_sub and field_negate do not carry: their limbs are bounded by the sum of the
//   input bounds. Multiplication and squaring accept limbs up to 2^27 (four carried values summed),
//   twice-squaring up to 1.9 * 2^26 (three carried values summed).
#pragma once

#include <cstdint>

struct FieldElement {
    std::int32_t limb[10];
};

// The constants, each stored carried: d = -121665 / 121666, 2d, and sqrt(-1) = 2^((p - 1) / 4).
extern const FieldElement field_d;
extern const FieldElement field_d2;
extern const FieldElement field_sqrt_m1;

inline FieldElement field_zero() {
    return FieldElement{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}};
}
inline FieldElement field_one() {
    return FieldElement{{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}};
}

// f + g, limb by limb without carrying.
inline FieldElement field_add(const FieldElement& f, const FieldElement& g) {
    FieldElement h;
    for (int i = 0; i < 10; ++i) {
        h.limb[i] = f.limb[i] + g.limb[i];
    }
    return h;
}

// f - g, limb by limb without carrying.
inline FieldElement field_sub(const FieldElement& f, const FieldElement& g) {
    FieldElement h;
    for (int i = 0; i < 10; ++i) {
        h.limb[i] = f.limb[i] - g.limb[i];
    }
    return h;
}

// -f, limb by limb.
inline FieldElement field_negate(const FieldElement& f) {
    FieldElement h;
    for (int i = 0; i < 10; ++i) {
        h.limb[i] = -f.limb[i];
    }
    return h;
}

// f * g, carried. Inputs: limbs up to 2^27.
FieldElement field_mul(const FieldElement& f, const FieldElement& g);

// f^2, carried. Input: limbs up to 2^27.
FieldElement field_square(const FieldElement& f);

// 2 * f^2, carried. Input: limbs up to 1.9 * 2^26.
FieldElement field_square_twice(const FieldElement& f);

// Products are formed one of two ways, with the same results: in radix 2^25.5 from 64-bit products of
// the limbs (everywhere), or in radix 2^51 from 128-bit products of limb pairs (where the compiler has
// 128-bit integers; four times fewer multiplications). field_mul and the squarings use radix 2^51 when
// it is available. The _with forms pick one, so that tests can check both.
enum class FieldProducts { radix_25_5, radix_51 };
bool field_products_available(FieldProducts products);
FieldElement field_mul_with(FieldProducts products, const FieldElement& f, const FieldElement& g);
// f^2, or 2 f^2 when twice is set, with the bounds of field_square and field_square_twice.
FieldElement field_square_with(FieldProducts products, const FieldElement& f, bool twice);

// z^(p - 2), which is 1/z for z != 0 and 0 for z = 0; carried. Input: limbs up to 2^27.
FieldElement field_invert(const FieldElement& z);

// z^((p - 5) / 8) = z^(2^252 - 3), the power that square roots are built from; carried.
// Input: limbs up to 2^27.
FieldElement field_pow_p58(const FieldElement& z);

// The unique value below p, as 32 little-endian bytes (bit 255 clear). Accepts any int32 limbs.
void field_encode(std::uint8_t* out32, const FieldElement& f);

// The element whose value is the 32 little-endian bytes with bit 255 ignored, carried. A value of p or
// more is taken as it stands, that is modulo p.
FieldElement field_decode(const std::uint8_t* in32);

// Bit 0 of the canonical encoding: 1 for the "negative" half of the field. Accepts any int32 limbs.
int field_is_negative(const FieldElement& f);

// 1 when f is 0 modulo p, else 0. Accepts any int32 limbs.
int field_is_zero(const FieldElement& f);
