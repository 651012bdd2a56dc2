// Arithmetic in GF(p), p = 2^255 - 19, for the Ed25519 verifier.
// A FieldElement holds five signed 64-bit limbs h0..h4 in radix 2^51: its value is sum(h[i] * 2^(51 i)).
// A value has many representations; only field_encode is canonical. Results are returned by value, so
// outputs never alias inputs. Nothing here branches on a value.
//
// Limb bounds, in the terms the contracts below use:
//   carried: |h[i]| <= 2^51 + 2^15 (what multiplication, squaring and decoding return);
//   field_add, field_sub and field_negate do not carry: their limbs are bounded by the sum of the input
//   bounds. Multiplication and squarings accept limbs up to 2^53 (three carried values summed, with room).
#pragma once

#include <cstdint>

struct FieldElement {
    std::int64_t limb[5];
};

// The constants, each stored carried: d = -121665 / 121666, 2d, and sqrt(-1) = 2^((p - 1) / 4).
extern const FieldElement field_d;
extern const FieldElement field_d2;
extern const FieldElement field_sqrt_m1;

inline FieldElement field_zero() {
    return FieldElement{{0, 0, 0, 0, 0}};
}
inline FieldElement field_one() {
    return FieldElement{{1, 0, 0, 0, 0}};
}

// f + g, f - g and -f, limb by limb without carrying.
inline FieldElement field_add(const FieldElement& f, const FieldElement& g) {
    return FieldElement{{f.limb[0] + g.limb[0], f.limb[1] + g.limb[1], f.limb[2] + g.limb[2],
                         f.limb[3] + g.limb[3], f.limb[4] + g.limb[4]}};
}
inline FieldElement field_sub(const FieldElement& f, const FieldElement& g) {
    return FieldElement{{f.limb[0] - g.limb[0], f.limb[1] - g.limb[1], f.limb[2] - g.limb[2],
                         f.limb[3] - g.limb[3], f.limb[4] - g.limb[4]}};
}
inline FieldElement field_negate(const FieldElement& f) {
    return FieldElement{{-f.limb[0], -f.limb[1], -f.limb[2], -f.limb[3], -f.limb[4]}};
}

// Radix 2^51 products (see below) need 128-bit integers; where they are available, the three products
// that the point formulas and exponent chains use are inline.
#if defined(__SIZEOF_INT128__)
#define WELKARA_FIELD_RADIX_51 1
#define WELKARA_FIELD_PRODUCT inline
#else
#define WELKARA_FIELD_RADIX_51 0
#define WELKARA_FIELD_PRODUCT
#endif

// f * g, f^2 and 2 * f^2, carried. Inputs: limbs up to 2^53.
WELKARA_FIELD_PRODUCT FieldElement field_mul(const FieldElement& f, const FieldElement& g);
WELKARA_FIELD_PRODUCT FieldElement field_square(const FieldElement& f);
WELKARA_FIELD_PRODUCT FieldElement field_square_twice(const FieldElement& f);

// Products are formed one of two ways, with the same results: from 128-bit products of the limbs
// (radix 2^51), where the compiler has 128-bit integers, or from 64-bit products of their 26- and 25-bit
// halves (radix 2^25.5), everywhere. field_mul and the squarings use radix 2^51 when it is available, and
// are then defined at the end of this header, so that the point formulas and the exponent chains pay no
// call per product (a call costs about as much as the product). The _with forms pick one, so that tests
// can check both.
enum class FieldProducts { radix_25_5, radix_51 };
bool field_products_available(FieldProducts products);
FieldElement field_mul_with(FieldProducts products, const FieldElement& f, const FieldElement& g);
// f^2, or 2 f^2 when twice is set, with the bounds of field_square and field_square_twice.
FieldElement field_square_with(FieldProducts products, const FieldElement& f, bool twice);

// z^(p - 2), which is 1/z for z != 0 and 0 for z = 0; carried. Input: limbs up to 2^53.
FieldElement field_invert(const FieldElement& z);

// z^((p - 5) / 8) = z^(2^252 - 3), the power that square roots are built from; carried.
// Input: limbs up to 2^53.
FieldElement field_pow_p58(const FieldElement& z);

// The unique value below p, as 32 little-endian bytes (bit 255 clear). Accepts limbs up to 2^62.
void field_encode(std::uint8_t* out32, const FieldElement& f);

// The element whose value is the 32 little-endian bytes with bit 255 ignored, carried (each limb is 51
// bits of the input, 0 <= h[i] < 2^51). A value of p or more is taken as it stands, that is modulo p.
FieldElement field_decode(const std::uint8_t* in32);

// Bit 0 of the canonical encoding: 1 for the "negative" half of the field. Accepts limbs up to 2^62.
int field_is_negative(const FieldElement& f);

// 1 when f is 0 modulo p, else 0. Accepts limbs up to 2^62.
int field_is_zero(const FieldElement& f);

#if WELKARA_FIELD_RADIX_51

namespace field_detail {

__extension__ typedef __int128 Int128;

// Carries the five 128-bit sums of a product into five carried limbs, with no carry waiting on another
// within a pass. For inputs up to 2^53 the sums are below 77 * 2^106 < 2^112.3 (2 f^2: 2^113.3), and h4,
// which has no terms multiplied by 19, below 5 * 2^106 (doubled: 2^109.3):
//   1. every h[k] splits at bit 51 rounding down, h[k] = c[k] 2^51 + r[k], 0 <= r[k] < 2^51, and c[k]
//      moves up one limb (c[4] round to limb 0 times 19, 2^255 = 19): |c[0..3]| < 2^62.3 and
//      19 |c[4]| < 2^62.6, so every t[k] = r[k] + c[k - 1] fits in 64 bits;
//   2. every t[k] splits again the same way: the carries are below 2^11.6 in size, and the one that goes
//      round times 19, from t[4] (which holds at most 2^60.5 from h[3]), below 2^14 after it: every limb
//      ends within 2^51 + 2^14 of 0, carried.
inline __attribute__((always_inline)) FieldElement carry_sums(Int128 h0, Int128 h1, Int128 h2, Int128 h3,
                                                              Int128 h4) {
    const std::int64_t mask = (std::int64_t{1} << 51) - 1;
    const std::int64_t c0 = static_cast<std::int64_t>(h0 >> 51), c1 = static_cast<std::int64_t>(h1 >> 51);
    const std::int64_t c2 = static_cast<std::int64_t>(h2 >> 51), c3 = static_cast<std::int64_t>(h3 >> 51);
    const std::int64_t c4 = static_cast<std::int64_t>(h4 >> 51);
    const std::int64_t t0 = (static_cast<std::int64_t>(h0) & mask) + 19 * c4;
    const std::int64_t t1 = (static_cast<std::int64_t>(h1) & mask) + c0;
    const std::int64_t t2 = (static_cast<std::int64_t>(h2) & mask) + c1;
    const std::int64_t t3 = (static_cast<std::int64_t>(h3) & mask) + c2;
    const std::int64_t t4 = (static_cast<std::int64_t>(h4) & mask) + c3;
    return FieldElement{{(t0 & mask) + 19 * (t4 >> 51), (t1 & mask) + (t0 >> 51), (t2 & mask) + (t1 >> 51),
                         (t3 & mask) + (t2 >> 51), (t4 & mask) + (t3 >> 51)}};
}

// h[m] = sum over i + j = m of f[i] g[j], plus 19 times the sum over i + j = m + 5 (2^255 = 19).
// |19 g[j]| < 2^57.3 fits in 64 bits; each product is below 19 * 2^106.
inline __attribute__((always_inline)) FieldElement mul_51(const FieldElement& f, const FieldElement& g) {
    const std::int64_t* a = f.limb;
    const std::int64_t* b = g.limb;
    const std::int64_t b1_19 = 19 * b[1], b2_19 = 19 * b[2], b3_19 = 19 * b[3], b4_19 = 19 * b[4];
    const Int128 h0 = (Int128{a[0]} * b[0] + Int128{a[1]} * b4_19) +
                      (Int128{a[2]} * b3_19 + Int128{a[3]} * b2_19) + Int128{a[4]} * b1_19;
    const Int128 h1 = (Int128{a[0]} * b[1] + Int128{a[1]} * b[0]) +
                      (Int128{a[2]} * b4_19 + Int128{a[3]} * b3_19) + Int128{a[4]} * b2_19;
    const Int128 h2 = (Int128{a[0]} * b[2] + Int128{a[1]} * b[1]) +
                      (Int128{a[2]} * b[0] + Int128{a[3]} * b4_19) + Int128{a[4]} * b3_19;
    const Int128 h3 = (Int128{a[0]} * b[3] + Int128{a[1]} * b[2]) +
                      (Int128{a[2]} * b[1] + Int128{a[3]} * b[0]) + Int128{a[4]} * b4_19;
    const Int128 h4 = (Int128{a[0]} * b[4] + Int128{a[1]} * b[3]) +
                      (Int128{a[2]} * b[2] + Int128{a[3]} * b[1]) + Int128{a[4]} * b[0];
    return carry_sums(h0, h1, h2, h3, h4);
}

// The same sums for f = g, each symmetric pair once with a factor 2; for 2 f^2 they are doubled, which
// carry_sums allows (see there).
inline __attribute__((always_inline)) FieldElement square_51(const FieldElement& f, bool twice) {
    const std::int64_t* a = f.limb;
    const std::int64_t a0_2 = 2 * a[0], a1_2 = 2 * a[1], a2_2 = 2 * a[2], a3_2 = 2 * a[3];
    const std::int64_t a3_19 = 19 * a[3], a4_19 = 19 * a[4];
    Int128 h0 = Int128{a[0]} * a[0] + (Int128{a1_2} * a4_19 + Int128{a2_2} * a3_19);
    Int128 h1 = Int128{a0_2} * a[1] + (Int128{a2_2} * a4_19 + Int128{a[3]} * a3_19);
    Int128 h2 = Int128{a0_2} * a[2] + (Int128{a[1]} * a[1] + Int128{a3_2} * a4_19);
    Int128 h3 = Int128{a0_2} * a[3] + (Int128{a1_2} * a[2] + Int128{a[4]} * a4_19);
    Int128 h4 = Int128{a0_2} * a[4] + (Int128{a1_2} * a[3] + Int128{a[2]} * a[2]);
    if (twice) {
        h0 *= 2;
        h1 *= 2;
        h2 *= 2;
        h3 *= 2;
        h4 *= 2;
    }
    return carry_sums(h0, h1, h2, h3, h4);
}

}  // namespace field_detail

inline FieldElement field_mul(const FieldElement& f, const FieldElement& g) {
    return field_detail::mul_51(f, g);
}
inline FieldElement field_square(const FieldElement& f) {
    return field_detail::square_51(f, false);
}
inline FieldElement field_square_twice(const FieldElement& f) {
    return field_detail::square_51(f, true);
}

#endif
