// Point formulas, decoding and encoding, and the variable-time double-scalar multiplication a P + b B.
// The doubling and addition formulas are those of extended twisted Edwards coordinates for a = -1,
// split so that each ends in a CompletedPoint (see edwards_point.h for the forms).
#include "signature/edwards_point.h"

CompletedPoint point_double(const ProjectivePoint& p) {
    const FieldElement xx = field_square(p.X);
    const FieldElement yy = field_square(p.Y);
    const FieldElement w = field_square_twice(p.Z);
    const FieldElement x_plus_y_squared = field_square(field_add(p.X, p.Y));
    CompletedPoint r;
    r.Y = field_add(yy, xx);
    r.Z = field_sub(yy, xx);
    r.X = field_sub(x_plus_y_squared, r.Y);
    r.T = field_sub(w, r.Z);
    return r;
}

// point_add and point_sub (edwards_point.h) from Q's coordinates and m4 = 2 Z1 Z2, for cached and affine Q;
// add or subtract is a template argument, so that each of the four is straight-line code of its own.
template <bool subtract>
[[gnu::always_inline]] inline CompletedPoint add_or_sub(const ExtendedPoint& p, const FieldElement& minus,
                                                        const FieldElement& plus, const FieldElement& t2d,
                                                        const FieldElement& m4) {
    const FieldElement m1 = field_mul(field_sub(p.Y, p.X), minus);
    const FieldElement m2 = field_mul(field_add(p.Y, p.X), plus);
    const FieldElement m3 = field_mul(p.T, t2d);
    const FieldElement sum = field_add(m4, m3), difference = field_sub(m4, m3);
    return CompletedPoint{field_sub(m2, m1), field_add(m2, m1), subtract ? difference : sum,
                          subtract ? sum : difference};
}

CompletedPoint point_add(const ExtendedPoint& p, const CachedPoint& q) {
    const FieldElement zz = field_mul(p.Z, q.Z);
    return add_or_sub<false>(p, q.Y_minus_X, q.Y_plus_X, q.T2d, field_add(zz, zz));
}

CompletedPoint point_sub(const ExtendedPoint& p, const CachedPoint& q) {
    const FieldElement zz = field_mul(p.Z, q.Z);
    return add_or_sub<true>(p, q.Y_plus_X, q.Y_minus_X, q.T2d, field_add(zz, zz));
}

CompletedPoint point_add_mixed(const ExtendedPoint& p, const PrecomputedPoint& q) {
    return add_or_sub<false>(p, q.y_minus_x, q.y_plus_x, q.xy2d, field_add(p.Z, p.Z));
}

CompletedPoint point_sub_mixed(const ExtendedPoint& p, const PrecomputedPoint& q) {
    return add_or_sub<true>(p, q.y_plus_x, q.y_minus_x, q.xy2d, field_add(p.Z, p.Z));
}

ProjectivePoint to_projective(const CompletedPoint& p) {
    return ProjectivePoint{field_mul(p.X, p.T), field_mul(p.Y, p.Z), field_mul(p.Z, p.T)};
}

ExtendedPoint to_extended(const CompletedPoint& p) {
    return ExtendedPoint{field_mul(p.X, p.T), field_mul(p.Y, p.Z), field_mul(p.Z, p.T), field_mul(p.X, p.Y)};
}

ProjectivePoint to_projective(const ExtendedPoint& p) {
    return ProjectivePoint{p.X, p.Y, p.Z};
}

CachedPoint to_cached(const ExtendedPoint& p) {
    return CachedPoint{field_add(p.Y, p.X), field_sub(p.Y, p.X), p.Z, field_mul(p.T, field_d2)};
}

// x^2 = u / v with u = y^2 - 1 and v = d y^2 + 1. The candidate x = u v^3 (u v^7)^((p-5)/8) satisfies
// v x^2 = +-u whenever u / v is a square; for -u, x * sqrt(-1) is the root.
bool decode_point_negated(ExtendedPoint* out, const std::uint8_t* in32) {
    const FieldElement y = field_decode(in32);
    const FieldElement y2 = field_square(y);
    const FieldElement u = field_sub(y2, field_one());
    const FieldElement v = field_add(field_mul(field_d, y2), field_one());
    const FieldElement v3 = field_mul(field_square(v), v);
    const FieldElement v7 = field_mul(field_square(v3), v);
    FieldElement x = field_mul(field_mul(field_pow_p58(field_mul(u, v7)), v3), u);

    const FieldElement vxx = field_mul(v, field_square(x));
    if (!field_is_zero(field_sub(vxx, u))) {
        if (!field_is_zero(field_add(vxx, u))) {
            return false;
        }
        x = field_mul(x, field_sqrt_m1);
    }
    // Negating A is negating x: keep the root whose sign differs from the encoded one.
    if (field_is_negative(x) == (in32[31] >> 7)) {
        x = field_negate(x);
    }
    *out = ExtendedPoint{x, y, field_one(), field_mul(x, y)};
    return true;
}

void encode_point(std::uint8_t* out32, const ProjectivePoint& p) {
    const FieldElement z_inverse = field_invert(p.Z);
    const FieldElement x = field_mul(p.X, z_inverse);
    const FieldElement y = field_mul(p.Y, z_inverse);
    field_encode(out32, y);
    out32[31] ^= static_cast<std::uint8_t>(field_is_negative(x) << 7);
}

// Starts from the bits, then for each non-zero digit r[i] (from i = 0 up) tries to absorb the next six
// non-zero digits r[i + b] (b = 1..6) into it: by adding r[i + b] 2^b while the sum stays <= 15, else by
// subtracting it (>= -15) and carrying 2^(i + b) upwards into the first zero digit at or above i + b.
// Digits above i are still 0 or 1 when i is reached, so each step keeps sum(r[i] 2^i) unchanged; the
// carry never passes bit 255 for a scalar below 2^255.
void recode_scalar(std::int8_t* digits256, const std::uint8_t* scalar32) {
    int r[256];
    for (int i = 0; i < 256; ++i) {
        r[i] = (scalar32[i / 8] >> (i % 8)) & 1;
    }
    for (int i = 0; i < 256; ++i) {
        if (r[i] == 0) {
            continue;
        }
        for (int b = 1; b <= 6 && i + b < 256; ++b) {
            if (r[i + b] == 0) {
                continue;
            }
            const int shifted = r[i + b] * (1 << b);
            if (r[i] + shifted <= 15) {
                r[i] += shifted;
                r[i + b] = 0;
            } else if (r[i] - shifted >= -15) {
                r[i] -= shifted;
                for (int m = i + b; m < 256; ++m) {
                    if (r[m] == 0) {
                        r[m] = 1;
                        break;
                    }
                    r[m] = 0;
                }
            } else {
                break;
            }
        }
    }
    for (int i = 0; i < 256; ++i) {
        digits256[i] = static_cast<std::int8_t>(r[i]);
    }
}

// Left to right over both recodings at once: one doubling per digit position, one addition from the
// table of odd multiples of P per non-zero digit of a, one mixed addition from baseOddMultiples per
// non-zero digit of b. Entry j of each table is (2j + 1) times its point, so digit k uses entry |k| / 2.
ProjectivePoint double_scalar_multiply(const ExtendedPoint& p, const std::uint8_t* a32,
                                       const std::uint8_t* b32) {
    std::int8_t a[256], b[256];
    recode_scalar(a, a32);
    recode_scalar(b, b32);

    CachedPoint odd_multiples[8];
    odd_multiples[0] = to_cached(p);
    const ExtendedPoint p2 = to_extended(point_double(to_projective(p)));
    for (int j = 0; j < 7; ++j) {
        odd_multiples[j + 1] = to_cached(to_extended(point_add(p2, odd_multiples[j])));
    }

    ProjectivePoint r{field_zero(), field_one(), field_one()};  // the neutral point (0, 1)
    int i = 255;
    while (i >= 0 && a[i] == 0 && b[i] == 0) {
        --i;
    }
    for (; i >= 0; --i) {
        CompletedPoint t = point_double(r);
        if (a[i] > 0) {
            t = point_add(to_extended(t), odd_multiples[a[i] / 2]);
        } else if (a[i] < 0) {
            t = point_sub(to_extended(t), odd_multiples[-a[i] / 2]);
        }
        if (b[i] > 0) {
            t = point_add_mixed(to_extended(t), baseOddMultiples[b[i] / 2]);
        } else if (b[i] < 0) {
            t = point_sub_mixed(to_extended(t), baseOddMultiples[-b[i] / 2]);
        }
        r = to_projective(t);
    }
    return r;
}
