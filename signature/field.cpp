// GF(2^255 - 19) arithmetic on five signed limbs in radix 2^51: the products in radix 2^25.5 (the
// radix 2^51 ones are inline in field.h), the two fixed exponent chains, and canonical encoding. See
// field.h for the representation and the limb bounds.
#include "signature/field.h"

#define WELKARA_FIELD_INLINE __attribute__((always_inline)) inline

namespace {

constexpr std::int64_t kMask51 = (std::int64_t{1} << 51) - 1;

// Radix 2^25.5, for compilers without 128-bit integers: ten limbs h0..h9, limb i starting at bit
// ceil(25.5 i) (0, 26, 51, 77, ...), 26 bits wide for even i and 25 for odd i once carried, so that limbs
// 2k and 2k + 1 together are limb k of radix 2^51.

// Splits each radix 2^51 limb x into x = lo + hi 2^26 with -2^25 <= lo < 2^25: for limbs up to 2^53,
// |hi| <= 2^27, within what the radix 2^25.5 products accept.
WELKARA_FIELD_INLINE void split_26(const FieldElement& f, std::int64_t* h10) {
    for (int k = 0; k < 5; ++k) {
        const std::int64_t x = f.limb[k];
        const std::int64_t lo =
            ((x + (std::int64_t{1} << 25)) & ((std::int64_t{1} << 26) - 1)) - (std::int64_t{1} << 25);
        h10[2 * k] = lo;
        h10[2 * k + 1] = (x - lo) / (std::int64_t{1} << 26);
    }
}

// Limbs 2k and 2k + 1 of a carried radix 2^25.5 result joined into limb k: within 2^25 + (2^24 + 2^17) 2^26
// < 2^51 of 0, so carried in radix 2^51 too.
WELKARA_FIELD_INLINE FieldElement join_26(const std::int64_t* h10) {
    FieldElement out;
    for (int k = 0; k < 5; ++k) {
        out.limb[k] = h10[2 * k] + h10[2 * k + 1] * (std::int64_t{1} << 26);
    }
    return out;
}

// Carries `from`, a limb `bits` wide, into `to`, rounding to the nearest multiple: afterwards
// -2^(bits-1) <= from < 2^(bits-1), and |carry| <= |from| / 2^bits + 1/2.
WELKARA_FIELD_INLINE void carry(std::int64_t& from, std::int64_t& to, int bits) {
    const std::int64_t c = (from + (std::int64_t{1} << (bits - 1))) >> bits;
    to += c;
    from -= c * (std::int64_t{1} << bits);
}

// The same from h9 into h0: 2^255 = 19 modulo p.
WELKARA_FIELD_INLINE void carry_top(std::int64_t& h9, std::int64_t& h0) {
    const std::int64_t c = (h9 + (std::int64_t{1} << 24)) >> 25;
    h0 += 19 * c;
    h9 -= c * (std::int64_t{1} << 25);
}

// Carries the ten 64-bit sums of a radix 2^25.5 product. Accepts |h[i]| <= 2^62.1 (267 * 2^54, the
// largest sum of terms for limbs up to 2^27). Bounds along the chain, with C = 2^62.1 / 2^25 = 2^37.1 as
// the largest first carry:
//   h0, h4 -> 2^25, carries <= C/2 into h1, h5;   h1, h5 -> 2^24, carries <= C into h2, h6;
//   h2, h6 -> 2^25, carries into h3, h7;          h3, h7 -> 2^24, carries <= C into h4, h8;
//   h4 (now <= 2^25 + C) -> 2^25, carry <= 2^12 into h5, which ends <= 2^24 + 2^12;
//   h8 -> 2^25, carry into h9;  h9 -> 2^24, carry <= C becomes 19C <= 2^41.4 in h0;
//   h0 -> 2^25, carry <= 2^15.5 into h1, which ends <= 2^24 + 2^15.5.
// So even limbs end within 2^25 and odd limbs within 2^24 + 2^17.
WELKARA_FIELD_INLINE void carry_product(std::int64_t* h) {
    carry(h[0], h[1], 26);
    carry(h[4], h[5], 26);
    carry(h[1], h[2], 25);
    carry(h[5], h[6], 25);
    carry(h[2], h[3], 26);
    carry(h[6], h[7], 26);
    carry(h[3], h[4], 25);
    carry(h[7], h[8], 25);
    carry(h[4], h[5], 26);
    carry(h[8], h[9], 26);
    carry_top(h[9], h[0]);
    carry(h[0], h[1], 26);
}

// f * g in radix 2^25.5, schoolbook over the limbs: with o(i) = ceil(25.5 i), f_i g_j lands at bit
// o(i) + o(j) = o(i + j) + [i and j odd], so a product of two odd limbs counts twice, and a product at or
// above limb 10 wraps to limb i + j - 10 with the factor 19 (2^255 = 19). The largest sum of coefficients
// is 267, so limbs up to 2^27 keep every sum below 2^62.1.
FieldElement mul_25_5(const FieldElement& ff, const FieldElement& gg) {
    std::int64_t fl[10], gl[10];
    split_26(ff, fl);
    split_26(gg, gl);
    const std::int64_t f0 = fl[0], f1 = fl[1], f2 = fl[2], f3 = fl[3], f4 = fl[4];
    const std::int64_t f5 = fl[5], f6 = fl[6], f7 = fl[7], f8 = fl[8], f9 = fl[9];
    const std::int64_t g0 = gl[0], g1 = gl[1], g2 = gl[2], g3 = gl[3], g4 = gl[4];
    const std::int64_t g5 = gl[5], g6 = gl[6], g7 = gl[7], g8 = gl[8], g9 = gl[9];
    const std::int64_t f1_2 = 2 * f1, f3_2 = 2 * f3, f5_2 = 2 * f5, f7_2 = 2 * f7, f9_2 = 2 * f9;
    const std::int64_t g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4, g5_19 = 19 * g5;
    const std::int64_t g6_19 = 19 * g6, g7_19 = 19 * g7, g8_19 = 19 * g8, g9_19 = 19 * g9;
    std::int64_t h[10];
    h[0] = f0 * g0 + f1_2 * g9_19 + f2 * g8_19 + f3_2 * g7_19 + f4 * g6_19 + f5_2 * g5_19 + f6 * g4_19 +
           f7_2 * g3_19 + f8 * g2_19 + f9_2 * g1_19;
    h[1] = f0 * g1 + f1 * g0 + f2 * g9_19 + f3 * g8_19 + f4 * g7_19 + f5 * g6_19 + f6 * g5_19 + f7 * g4_19 +
           f8 * g3_19 + f9 * g2_19;
    h[2] = f0 * g2 + f1_2 * g1 + f2 * g0 + f3_2 * g9_19 + f4 * g8_19 + f5_2 * g7_19 + f6 * g6_19 +
           f7_2 * g5_19 + f8 * g4_19 + f9_2 * g3_19;
    h[3] = f0 * g3 + f1 * g2 + f2 * g1 + f3 * g0 + f4 * g9_19 + f5 * g8_19 + f6 * g7_19 + f7 * g6_19 +
           f8 * g5_19 + f9 * g4_19;
    h[4] = f0 * g4 + f1_2 * g3 + f2 * g2 + f3_2 * g1 + f4 * g0 + f5_2 * g9_19 + f6 * g8_19 + f7_2 * g7_19 +
           f8 * g6_19 + f9_2 * g5_19;
    h[5] = f0 * g5 + f1 * g4 + f2 * g3 + f3 * g2 + f4 * g1 + f5 * g0 + f6 * g9_19 + f7 * g8_19 + f8 * g7_19 +
           f9 * g6_19;
    h[6] = f0 * g6 + f1_2 * g5 + f2 * g4 + f3_2 * g3 + f4 * g2 + f5_2 * g1 + f6 * g0 + f7_2 * g9_19 +
           f8 * g8_19 + f9_2 * g7_19;
    h[7] = f0 * g7 + f1 * g6 + f2 * g5 + f3 * g4 + f4 * g3 + f5 * g2 + f6 * g1 + f7 * g0 + f8 * g9_19 +
           f9 * g8_19;
    h[8] = f0 * g8 + f1_2 * g7 + f2 * g6 + f3_2 * g5 + f4 * g4 + f5_2 * g3 + f6 * g2 + f7_2 * g1 + f8 * g0 +
           f9_2 * g9_19;
    h[9] = f0 * g9 + f1 * g8 + f2 * g7 + f3 * g6 + f4 * g5 + f5 * g4 + f6 * g3 + f7 * g2 + f8 * g1 + f9 * g0;
    carry_product(h);
    return join_26(h);
}

// f^2 or 2 f^2 in radix 2^25.5, with the weights of mul_25_5 and each symmetric pair once with a factor
// 2. 2 f^2 doubles the carried square and carries once more: its limbs are then within 2^26, far inside
// what carry_product accepts.
FieldElement square_25_5(const FieldElement& ff, bool twice) {
    std::int64_t fl[10];
    split_26(ff, fl);
    const std::int64_t f0 = fl[0], f1 = fl[1], f2 = fl[2], f3 = fl[3], f4 = fl[4];
    const std::int64_t f5 = fl[5], f6 = fl[6], f7 = fl[7], f8 = fl[8], f9 = fl[9];
    const std::int64_t f0_2 = 2 * f0, f1_2 = 2 * f1, f2_2 = 2 * f2, f3_2 = 2 * f3, f4_2 = 2 * f4;
    const std::int64_t f5_2 = 2 * f5, f6_2 = 2 * f6, f7_2 = 2 * f7, f8_2 = 2 * f8, f9_2 = 2 * f9;
    const std::int64_t f5_19 = 19 * f5, f6_19 = 19 * f6, f7_19 = 19 * f7, f8_19 = 19 * f8, f9_19 = 19 * f9;
    const std::int64_t f7_38 = 38 * f7, f9_38 = 38 * f9;
    std::int64_t h[10];
    h[0] = f0 * f0 + f1_2 * f9_38 + f2_2 * f8_19 + f3_2 * f7_38 + f4_2 * f6_19 + f5_2 * f5_19;
    h[1] = f0_2 * f1 + f2_2 * f9_19 + f3_2 * f8_19 + f4_2 * f7_19 + f5_2 * f6_19;
    h[2] = f0_2 * f2 + f1_2 * f1 + f3_2 * f9_38 + f4_2 * f8_19 + f5_2 * f7_38 + f6 * f6_19;
    h[3] = f0_2 * f3 + f1_2 * f2 + f4_2 * f9_19 + f5_2 * f8_19 + f6_2 * f7_19;
    h[4] = f0_2 * f4 + f1_2 * f3_2 + f2 * f2 + f5_2 * f9_38 + f6_2 * f8_19 + f7_2 * f7_19;
    h[5] = f0_2 * f5 + f1_2 * f4 + f2_2 * f3 + f6_2 * f9_19 + f7_2 * f8_19;
    h[6] = f0_2 * f6 + f1_2 * f5_2 + f2_2 * f4 + f3_2 * f3 + f7_2 * f9_38 + f8 * f8_19;
    h[7] = f0_2 * f7 + f1_2 * f6 + f2_2 * f5 + f3_2 * f4 + f8_2 * f9_19;
    h[8] = f0_2 * f8 + f1_2 * f7_2 + f2_2 * f6 + f3_2 * f5_2 + f4 * f4 + f9_2 * f9_19;
    h[9] = f0_2 * f9 + f1_2 * f8 + f2_2 * f7 + f3_2 * f6 + f4_2 * f5;
    carry_product(h);
    if (twice) {
        for (std::int64_t& limb : h) {
            limb *= 2;
        }
        carry_product(h);
    }
    return join_26(h);
}

// z^(2^n), by n squarings.
FieldElement square_times(FieldElement z, int n) {
    for (int i = 0; i < n; ++i) {
        z = field_square(z);
    }
    return z;
}

// z^(2^250 - 1), the common start of both exponent chains, and z^11 on the side.
FieldElement pow_2_250_minus_1(const FieldElement& z, FieldElement* z11) {
    FieldElement z2 = field_square(z);                             // 2
    FieldElement z9 = field_mul(square_times(z2, 2), z);           // 8 + 1 = 9
    *z11 = field_mul(z9, z2);                                      // 11
    FieldElement t = field_mul(field_square(*z11), z9);            // 22 + 9 = 31 = 2^5 - 1
    FieldElement z_10 = field_mul(square_times(t, 5), t);          // 2^10 - 1
    FieldElement z_20 = field_mul(square_times(z_10, 10), z_10);   // 2^20 - 1
    t = field_mul(square_times(z_20, 20), z_20);                   // 2^40 - 1
    FieldElement z_50 = field_mul(square_times(t, 10), z_10);      // 2^50 - 1
    FieldElement z_100 = field_mul(square_times(z_50, 50), z_50);  // 2^100 - 1
    t = field_mul(square_times(z_100, 100), z_100);                // 2^200 - 1
    return field_mul(square_times(t, 50), z_50);                   // 2^250 - 1
}

// Carries h0..h4 rounding down; the carry out of h4 comes round times `wrap` (19, or 0 to drop bit 255).
void carry_down_pass(std::int64_t* h, int wrap) {
    for (int i = 0; i < 4; ++i) {
        h[i + 1] += h[i] >> 51;
        h[i] &= kMask51;
    }
    h[0] += wrap * (h[4] >> 51);
    h[4] &= kMask51;
}

}  // namespace

// The constants, carried (their canonical values); the field test recomputes each from its definition.
const FieldElement field_d = {
    {929955233495203, 466365720129213, 1662059464998953, 2033849074728123, 1442794654840575}};
const FieldElement field_d2 = {
    {1859910466990425, 932731440258426, 1072319116312658, 1815898335770999, 633789495995903}};
const FieldElement field_sqrt_m1 = {
    {1718705420411056, 234908883556509, 2233514472574048, 2117202627021982, 765476049583133}};

bool field_products_available(FieldProducts products) {
    return products == FieldProducts::radix_25_5 || WELKARA_FIELD_RADIX_51;
}

FieldElement field_mul_with(FieldProducts products, const FieldElement& f, const FieldElement& g) {
#if WELKARA_FIELD_RADIX_51
    if (products == FieldProducts::radix_51) {
        return field_detail::mul_51(f, g);
    }
#endif
    (void)products;
    return mul_25_5(f, g);
}

FieldElement field_square_with(FieldProducts products, const FieldElement& f, bool twice) {
#if WELKARA_FIELD_RADIX_51
    if (products == FieldProducts::radix_51) {
        return field_detail::square_51(f, twice);
    }
#endif
    (void)products;
    return square_25_5(f, twice);
}

#if !WELKARA_FIELD_RADIX_51
FieldElement field_mul(const FieldElement& f, const FieldElement& g) {
    return mul_25_5(f, g);
}
FieldElement field_square(const FieldElement& f) {
    return square_25_5(f, false);
}
FieldElement field_square_twice(const FieldElement& f) {
    return square_25_5(f, true);
}
#endif

// p - 2 = 2^255 - 21 = (2^250 - 1) * 2^5 + 11.
FieldElement field_invert(const FieldElement& z) {
    FieldElement z11;
    FieldElement t = pow_2_250_minus_1(z, &z11);
    return field_mul(square_times(t, 5), z11);  // 2^255 - 2^5 + 11
}

// (p - 5) / 8 = 2^252 - 3 = (2^250 - 1) * 2^2 + 1.
FieldElement field_pow_p58(const FieldElement& z) {
    FieldElement z11;
    FieldElement t = pow_2_250_minus_1(z, &z11);
    return field_mul(square_times(t, 2), z);  // 2^252 - 4 + 1
}

// Two passes of carries that round down bring limbs up to 2^62 to 0 <= h[i] < 2^51:
//   pass 1: every carry is below 2^11 in size, so h1..h4 end in range and h0, once the top carry comes
//   round times 19, in (-2^15.3, 2^51 + 2^15.3);
//   pass 2: every carry is -1, 0 or 1; one comes round only after running through all of h1..h4 (all of
//   them 2^51 - 1 and a carry of 1, or all 0 and a carry of -1), and then h0 ends in [0, 2^15.3 + 19) or
//   in [2^51 - 2^15.3 - 19, 2^51 - 19). So every limb is in range and the value v is below 2^255.
// Then v >= p exactly when v + 19 >= 2^255; subtracting p is adding 19 and dropping bit 255.
void field_encode(std::uint8_t* out32, const FieldElement& f) {
    std::int64_t h[5] = {f.limb[0], f.limb[1], f.limb[2], f.limb[3], f.limb[4]};
    carry_down_pass(h, 19);
    carry_down_pass(h, 19);
    std::int64_t q = (h[0] + 19) >> 51;
    for (int i = 1; i < 5; ++i) {
        q = (h[i] + q) >> 51;
    }
    h[0] += 19 * q;
    carry_down_pass(h, 0);

    std::uint64_t pending = 0;
    int pending_bits = 0, at = 0;
    for (int i = 0; i < 5; ++i) {
        // At most 7 bits wait, so the 51 new ones fit beside them.
        pending |= static_cast<std::uint64_t>(h[i]) << pending_bits;
        pending_bits += 51;
        for (; pending_bits >= 8; pending_bits -= 8) {
            out32[at++] = static_cast<std::uint8_t>(pending);
            pending >>= 8;
        }
    }
    out32[at] = static_cast<std::uint8_t>(pending);  // bits 248..254
}

// Limb i is bits 51i .. 51i + 50 of the input; bit 255 falls outside limb 4.
FieldElement field_decode(const std::uint8_t* in32) {
    FieldElement out;
    for (int i = 0; i < 5; ++i) {
        const int first_bit = 51 * i, first = first_bit / 8;
        std::uint64_t bits = 0;
        for (int b = 0; b < 8 && first + b < 32; ++b) {
            bits |= std::uint64_t{in32[first + b]} << (8 * b);
        }
        // 51 bits from bit first_bit % 8 (at most 7) need at most 58 of the 64 loaded.
        out.limb[i] = static_cast<std::int64_t>((bits >> (first_bit % 8)) & kMask51);
    }
    return out;
}

int field_is_negative(const FieldElement& f) {
    std::uint8_t bytes[32];
    field_encode(bytes, f);
    return bytes[0] & 1;
}

int field_is_zero(const FieldElement& f) {
    std::uint8_t bytes[32];
    field_encode(bytes, f);
    std::uint8_t any = 0;
    for (std::uint8_t byte : bytes) {
        any |= byte;
    }
    return any == 0 ? 1 : 0;
}
