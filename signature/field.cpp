// GF(2^255 - 19) arithmetic on ten signed limbs in radix 2^25.5: products, carries, the two fixed
// exponent chains, and canonical encoding. See field.h for the representation and the limb bounds.
#include "signature/field.h"

#if defined(__SIZEOF_INT128__)
#define WELKARA_FIELD_RADIX_51 1
#else
#define WELKARA_FIELD_RADIX_51 0
#endif

#if defined(__GNUC__) || defined(__clang__)
#define WELKARA_FIELD_INLINE __attribute__((always_inline)) inline
#else
#define WELKARA_FIELD_INLINE inline
#endif

namespace {

// Limb i starts at bit kOffset[i] and is kWidth[i] bits wide once carried.
constexpr int kOffset[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};
constexpr int kWidth[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};

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

// Carries the ten 64-bit sums of a product. Accepts |h[i]| <= 2^62.1 (267 * 2^54, the largest sum of
// terms for limbs up to 2^27). Bounds along the chain, with C = 2^62.1 / 2^25 = 2^37.1 as the largest
// first carry:
//   h0, h4 -> 2^25, carries <= C/2 into h1, h5;   h1, h5 -> 2^24, carries <= C into h2, h6;
//   h2, h6 -> 2^25, carries into h3, h7;          h3, h7 -> 2^24, carries <= C into h4, h8;
//   h4 (now <= 2^25 + C) -> 2^25, carry <= 2^12 into h5, which ends <= 2^24 + 2^12;
//   h8 -> 2^25, carry into h9;  h9 -> 2^24, carry <= C becomes 19C <= 2^41.4 in h0;
//   h0 -> 2^25, carry <= 2^15.5 into h1, which ends <= 2^24 + 2^15.5.
// So the result is carried: even limbs <= 2^25, odd limbs <= 2^24 + 2^17.
WELKARA_FIELD_INLINE FieldElement carry_product(std::int64_t* h) {
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
    FieldElement out;
    for (int i = 0; i < 10; ++i) {
        out.limb[i] = static_cast<std::int32_t>(h[i]);
    }
    return out;
}

// The ten 64-bit sums of f^2 before carrying. With o(i) = ceil(25.5 i), f_i f_j lands at bit
// o(i) + o(j) = o(i + j) + [i and j odd], so a product of two odd limbs counts twice; a product at or above
// limb 10 wraps to limb i + j - 10 with the factor 19 (2^255 = 19); and f_i f_j = f_j f_i counts twice.
// The largest sum of coefficients is 267 (in h0), so limbs up to 2^27 give sums up to 267 * 2^54 < 2^62.1.
WELKARA_FIELD_INLINE void square_sums(const FieldElement& f, std::int64_t* h) {
    const std::int64_t f0 = f.limb[0], f1 = f.limb[1], f2 = f.limb[2], f3 = f.limb[3], f4 = f.limb[4];
    const std::int64_t f5 = f.limb[5], f6 = f.limb[6], f7 = f.limb[7], f8 = f.limb[8], f9 = f.limb[9];
    const std::int64_t f0_2 = 2 * f0, f1_2 = 2 * f1, f2_2 = 2 * f2, f3_2 = 2 * f3, f4_2 = 2 * f4;
    const std::int64_t f5_2 = 2 * f5, f6_2 = 2 * f6, f7_2 = 2 * f7, f8_2 = 2 * f8, f9_2 = 2 * f9;
    const std::int64_t f5_19 = 19 * f5, f6_19 = 19 * f6, f7_19 = 19 * f7, f8_19 = 19 * f8, f9_19 = 19 * f9;
    const std::int64_t f7_38 = 38 * f7, f9_38 = 38 * f9;
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

}  // namespace

// The constants, carried; the field test recomputes each from its definition.
const FieldElement field_d = {
    {-10913610, 13857413, -15372611, 6949391, 114729, -8787816, -6275908, -3247719, -18696448, -12055116}};
const FieldElement field_d2 = {
    {-21827239, -5839606, -30745221, 13898782, 229458, 15978800, -12551817, -6495438, 29715968, 9444199}};
const FieldElement field_sqrt_m1 = {
    {-32595792, -7943725, 9377950, 3500415, 12389472, -272473, -25146209, -2005654, 326686, 11406482}};

namespace {

// f * g in radix 2^25.5, schoolbook over the limbs with the same weights as square_sums: odd * odd counts
// twice and products at or above limb 10 wrap around with 19. The largest sum of coefficients is 267, so
// limbs up to 2^27 keep every sum below 2^62.1.
FieldElement mul_25_5(const FieldElement& f, const FieldElement& g) {
    const std::int64_t f0 = f.limb[0], f1 = f.limb[1], f2 = f.limb[2], f3 = f.limb[3], f4 = f.limb[4];
    const std::int64_t f5 = f.limb[5], f6 = f.limb[6], f7 = f.limb[7], f8 = f.limb[8], f9 = f.limb[9];
    const std::int64_t g0 = g.limb[0], g1 = g.limb[1], g2 = g.limb[2], g3 = g.limb[3], g4 = g.limb[4];
    const std::int64_t g5 = g.limb[5], g6 = g.limb[6], g7 = g.limb[7], g8 = g.limb[8], g9 = g.limb[9];
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
    return carry_product(h);
}

// f^2 or 2 f^2 in radix 2^25.5. Doubling the sums before carrying needs limbs up to 1.9 * 2^26:
// 2 * 267 * 3.61 * 2^52 < 2^62.
FieldElement square_25_5(const FieldElement& f, bool twice) {
    std::int64_t h[10];
    square_sums(f, h);
    if (twice) {
        for (std::int64_t& sum : h) {
            sum *= 2;
        }
    }
    return carry_product(h);
}

#if WELKARA_FIELD_RADIX_51

// Radix 2^51: limbs 2k and 2k + 1 start at bits 51k and 51k + 26, so F[k] = f[2k] + f[2k + 1] 2^26 holds
// them together, |F[k]| <= 2^27 + 2^53 for limbs up to 2^27. Five limbs need 25 products of 64 x 64 bits
// where ten need 100 of 32 x 32, which is what makes this layout faster wherever 128-bit products exist.
__extension__ typedef __int128 Int128;

WELKARA_FIELD_INLINE std::int64_t pair_51(const FieldElement& f, int k) {
    return f.limb[2 * k] + static_cast<std::int64_t>(f.limb[2 * k + 1]) * (std::int64_t{1} << 26);
}

// Carries five 128-bit sums and splits them back into ten limbs, with no carry waiting on another:
//   1. every H[k] splits at bit 51 rounding down, H[k] = c[k] 2^51 + r[k] with 0 <= r[k] < 2^51, and
//      c[k] moves up one limb (c[4] round to limb 0 times 19). |H[0..3]| < 2^113.1 gives |c| < 2^62.1,
//      and H[4], which has no wrapped terms, stays below 2^109.2 (five products, doubled for 2 f^2), so
//      19 |c[4]| < 2^62.5: every t[k] = r[k] + c[k - 1] fits in 64 bits;
//   2. every t[k] splits again, rounding to the nearest: the carries are below 2^12 (19 times that into
//      limb 0), so every limb ends within 2^50 + 2^17;
//   3. each such limb splits at bit 26, rounding to the nearest: even limbs within 2^25, odd limbs within
//      2^24 + 1. The result is carried.
// (Written out limb by limb: as loops over arrays, compilers pack pairs of these 64-bit values into
// vector registers through memory, and the stalls that costs exceed the work.)
WELKARA_FIELD_INLINE std::int64_t split_down_51(const Int128& h, std::int64_t* carry) {
    *carry = static_cast<std::int64_t>(h >> 51);
    return static_cast<std::int64_t>(h) & ((std::int64_t{1} << 51) - 1);
}

WELKARA_FIELD_INLINE std::int64_t split_nearest(std::int64_t& t, int bits) {
    const std::int64_t carry = (t + (std::int64_t{1} << (bits - 1))) >> bits;
    t -= carry * (std::int64_t{1} << bits);
    return carry;
}

WELKARA_FIELD_INLINE FieldElement carry_product_51(const Int128* h) {
    std::int64_t c0, c1, c2, c3, c4;
    std::int64_t t0 = split_down_51(h[0], &c0);
    std::int64_t t1 = split_down_51(h[1], &c1);
    std::int64_t t2 = split_down_51(h[2], &c2);
    std::int64_t t3 = split_down_51(h[3], &c3);
    std::int64_t t4 = split_down_51(h[4], &c4);
    t0 += 19 * c4;
    t1 += c0;
    t2 += c1;
    t3 += c2;
    t4 += c3;
    const std::int64_t d0 = split_nearest(t0, 51), d1 = split_nearest(t1, 51), d2 = split_nearest(t2, 51);
    const std::int64_t d3 = split_nearest(t3, 51), d4 = split_nearest(t4, 51);
    t0 += 19 * d4;
    t1 += d0;
    t2 += d1;
    t3 += d2;
    t4 += d3;
    FieldElement out;
    out.limb[1] = static_cast<std::int32_t>(split_nearest(t0, 26));
    out.limb[3] = static_cast<std::int32_t>(split_nearest(t1, 26));
    out.limb[5] = static_cast<std::int32_t>(split_nearest(t2, 26));
    out.limb[7] = static_cast<std::int32_t>(split_nearest(t3, 26));
    out.limb[9] = static_cast<std::int32_t>(split_nearest(t4, 26));
    out.limb[0] = static_cast<std::int32_t>(t0);
    out.limb[2] = static_cast<std::int32_t>(t1);
    out.limb[4] = static_cast<std::int32_t>(t2);
    out.limb[6] = static_cast<std::int32_t>(t3);
    out.limb[8] = static_cast<std::int32_t>(t4);
    return out;
}

// H[m] = sum over k + l = m of F[k] G[l], plus 19 times the sum over k + l = m + 5 (2^255 = 19).
// |F G| <= 2^106.1, so |H| <= 77 * 2^106.1 < 2^113.
FieldElement mul_51(const FieldElement& f, const FieldElement& g) {
    const std::int64_t a[5] = {pair_51(f, 0), pair_51(f, 1), pair_51(f, 2), pair_51(f, 3), pair_51(f, 4)};
    const std::int64_t b[5] = {pair_51(g, 0), pair_51(g, 1), pair_51(g, 2), pair_51(g, 3), pair_51(g, 4)};
    const std::int64_t b1_19 = 19 * b[1], b2_19 = 19 * b[2], b3_19 = 19 * b[3], b4_19 = 19 * b[4];
    Int128 h[5];
    h[0] = Int128{a[0]} * b[0] + Int128{a[1]} * b4_19 + Int128{a[2]} * b3_19 + Int128{a[3]} * b2_19 +
           Int128{a[4]} * b1_19;
    h[1] = Int128{a[0]} * b[1] + Int128{a[1]} * b[0] + Int128{a[2]} * b4_19 + Int128{a[3]} * b3_19 +
           Int128{a[4]} * b2_19;
    h[2] = Int128{a[0]} * b[2] + Int128{a[1]} * b[1] + Int128{a[2]} * b[0] + Int128{a[3]} * b4_19 +
           Int128{a[4]} * b3_19;
    h[3] = Int128{a[0]} * b[3] + Int128{a[1]} * b[2] + Int128{a[2]} * b[1] + Int128{a[3]} * b[0] +
           Int128{a[4]} * b4_19;
    h[4] = Int128{a[0]} * b[4] + Int128{a[1]} * b[3] + Int128{a[2]} * b[2] + Int128{a[3]} * b[1] +
           Int128{a[4]} * b[0];
    return carry_product_51(h);
}

// The same sums for f = g, each symmetric pair once with a factor 2. For 2 f^2 they are doubled: limbs
// up to 1.9 * 2^26 keep 2 |H| below 2^113.1 and 2 |H[4]| below 2^109.2, within carry_product_51's bounds.
FieldElement square_51(const FieldElement& f, bool twice) {
    const std::int64_t a[5] = {pair_51(f, 0), pair_51(f, 1), pair_51(f, 2), pair_51(f, 3), pair_51(f, 4)};
    const std::int64_t a0_2 = 2 * a[0], a1_2 = 2 * a[1], a2_2 = 2 * a[2], a3_2 = 2 * a[3];
    const std::int64_t a3_19 = 19 * a[3], a4_19 = 19 * a[4];
    Int128 h[5];
    h[0] = Int128{a[0]} * a[0] + Int128{a1_2} * a4_19 + Int128{a2_2} * a3_19;
    h[1] = Int128{a0_2} * a[1] + Int128{a2_2} * a4_19 + Int128{a[3]} * a3_19;
    h[2] = Int128{a0_2} * a[2] + Int128{a[1]} * a[1] + Int128{a3_2} * a4_19;
    h[3] = Int128{a0_2} * a[3] + Int128{a1_2} * a[2] + Int128{a[4]} * a4_19;
    h[4] = Int128{a0_2} * a[4] + Int128{a1_2} * a[3] + Int128{a[2]} * a[2];
    if (twice) {
        h[0] *= 2;
        h[1] *= 2;
        h[2] *= 2;
        h[3] *= 2;
        h[4] *= 2;
    }
    return carry_product_51(h);
}

#endif

}  // namespace

bool field_products_available(FieldProducts products) {
    return products == FieldProducts::radix_25_5 || WELKARA_FIELD_RADIX_51;
}

FieldElement field_mul_with(FieldProducts products, const FieldElement& f, const FieldElement& g) {
#if WELKARA_FIELD_RADIX_51
    if (products == FieldProducts::radix_51) {
        return mul_51(f, g);
    }
#endif
    (void)products;
    return mul_25_5(f, g);
}

FieldElement field_square_with(FieldProducts products, const FieldElement& f, bool twice) {
#if WELKARA_FIELD_RADIX_51
    if (products == FieldProducts::radix_51) {
        return square_51(f, twice);
    }
#endif
    (void)products;
    return square_25_5(f, twice);
}

#if WELKARA_FIELD_RADIX_51
FieldElement field_mul(const FieldElement& f, const FieldElement& g) {
    return mul_51(f, g);
}
FieldElement field_square(const FieldElement& f) {
    return square_51(f, false);
}
FieldElement field_square_twice(const FieldElement& f) {
    return square_51(f, true);
}
#else
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

// Two passes of carries that round down bring any int32 limbs to 0 <= h[i] < 2^width:
//   pass 1: from |h[i]| < 2^31 every carry is at most 2^6 + 1 in size, so h1..h9 end in range and h0,
//   once the top carry comes round times 19, in [-1235, 2^26 + 1235);
//   pass 2: every carry is -1, 0 or 1; one comes round only after running through all of h1..h9, and
//   then h0 ends in [2^26 - 1254, 2^26 - 19) or in [19, 1254). So every limb is in range and the value v
//   is below 2^255.
// Then v >= p exactly when v + 19 >= 2^255; subtracting p is adding 19 and dropping bit 255.
void field_encode(std::uint8_t* out32, const FieldElement& f) {
    std::int64_t h[10];
    for (int i = 0; i < 10; ++i) {
        h[i] = f.limb[i];
    }
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < 9; ++i) {
            h[i + 1] += h[i] >> kWidth[i];
            h[i] &= (std::int64_t{1} << kWidth[i]) - 1;
        }
        h[0] += 19 * (h[9] >> 25);
        h[9] &= (std::int64_t{1} << 25) - 1;
    }
    std::int64_t q = (h[0] + 19) >> 26;
    for (int i = 1; i < 10; ++i) {
        q = (h[i] + q) >> kWidth[i];
    }
    h[0] += 19 * q;
    for (int i = 0; i < 9; ++i) {
        h[i + 1] += h[i] >> kWidth[i];
        h[i] &= (std::int64_t{1} << kWidth[i]) - 1;
    }
    h[9] &= (std::int64_t{1} << 25) - 1;

    std::uint64_t pending = 0;
    int pending_bits = 0, at = 0;
    for (int i = 0; i < 10; ++i) {
        pending |= static_cast<std::uint64_t>(h[i]) << pending_bits;
        pending_bits += kWidth[i];
        for (; pending_bits >= 8; pending_bits -= 8) {
            out32[at++] = static_cast<std::uint8_t>(pending);
            pending >>= 8;
        }
    }
    out32[at] = static_cast<std::uint8_t>(pending);  // bits 248..254
}

// Loads each limb's bits (bit 255 falls outside limb 9), then carries once round the ring so the result
// is carried: the loaded limbs are below 2^26, so every carry is 0 or 1 and h0 gains at most 19.
FieldElement field_decode(const std::uint8_t* in32) {
    std::int64_t h[10];
    for (int i = 0; i < 10; ++i) {
        const int first = kOffset[i] / 8;
        std::uint64_t bits = 0;
        for (int b = 0; b < 5 && first + b < 32; ++b) {
            bits |= std::uint64_t{in32[first + b]} << (8 * b);
        }
        h[i] = static_cast<std::int64_t>((bits >> (kOffset[i] % 8)) & ((std::uint64_t{1} << kWidth[i]) - 1));
    }
    for (int i = 0; i < 9; ++i) {
        carry(h[i], h[i + 1], kWidth[i]);
    }
    carry_top(h[9], h[0]);
    carry(h[0], h[1], 26);
    FieldElement out;
    for (int i = 0; i < 10; ++i) {
        out.limb[i] = static_cast<std::int32_t>(h[i]);
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
