// Point layer: baseOddMultiples regenerated from B and d, the recoding's digits and their sum, point
// formulas checked against each other (addition against doubling, mixed against cached, subtraction
// against addition of the negation), decoding of the base point and of encodings that are not points,
// and double_scalar_multiply against plain double-and-add. Runs in every tree.
#include "signature/edwards_point.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/signature/test_hex.h"
#include "tests/signature/test_random.h"

namespace {

using Bytes = std::array<std::uint8_t, 32>;

// The base point's encoding: y = 4/5, x even.
const Bytes kBaseEncoding = {0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                             0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                             0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};

std::string encoded(const ProjectivePoint& p) {
    Bytes out;
    encode_point(out.data(), p);
    return hex(out);
}

std::string encoded(const ExtendedPoint& p) {
    return encoded(to_projective(p));
}

ExtendedPoint negate(const ExtendedPoint& p) {
    return ExtendedPoint{field_negate(p.X), p.Y, p.Z, field_negate(p.T)};
}

ExtendedPoint decode(const Bytes& bytes) {
    ExtendedPoint minus;
    EXPECT_TRUE(decode_point_negated(&minus, bytes.data())) << hex(bytes);
    return negate(minus);
}

ExtendedPoint base_point() {
    return decode(kBaseEncoding);
}

ExtendedPoint add(const ExtendedPoint& p, const ExtendedPoint& q) {
    return to_extended(point_add(p, to_cached(q)));
}

ExtendedPoint twice(const ExtendedPoint& p) {
    return to_extended(point_double(to_projective(p)));
}

// k P by plain double-and-add over the bits of k, from the top.
ExtendedPoint multiply(const ExtendedPoint& p, const Bytes& k) {
    ExtendedPoint r{field_zero(), field_one(), field_one(), field_zero()};
    for (int bit = 255; bit >= 0; --bit) {
        r = twice(r);
        if ((k[bit / 8] >> (bit % 8)) & 1) {
            r = add(r, p);
        }
    }
    return r;
}

// A coordinate as the table holds it: the canonical value, carried.
FieldElement normalized(const FieldElement& f) {
    std::uint8_t bytes[32];
    field_encode(bytes, f);
    return field_decode(bytes);
}

PrecomputedPoint precomputed(const ExtendedPoint& p) {
    const FieldElement z_inverse = field_invert(p.Z);
    const FieldElement x = field_mul(p.X, z_inverse), y = field_mul(p.Y, z_inverse);
    return PrecomputedPoint{normalized(field_add(y, x)), normalized(field_sub(y, x)),
                            normalized(field_mul(field_mul(x, y), field_d2))};
}

std::string source_of(const FieldElement& f) {
    std::string out = "{{";
    for (int i = 0; i < 5; ++i) {
        out += std::to_string(f.limb[i]) + (i < 4 ? ", " : "}}");
    }
    return out;
}

TEST(BaseOddMultiples, MatchAFreshComputationFromTheBasePoint) {
    PrecomputedPoint fresh[8];
    ExtendedPoint multiple = base_point();
    const ExtendedPoint b2 = twice(multiple);
    for (int j = 0; j < 8; ++j) {
        fresh[j] = precomputed(multiple);
        multiple = add(multiple, b2);
    }
    // Every limb of every coordinate: the structures hold limbs only, without padding.
    static_assert(sizeof(PrecomputedPoint) == 15 * sizeof(std::int64_t), "limbs only");
    if (std::memcmp(baseOddMultiples, fresh, sizeof fresh) != 0) {
        std::string source = "const PrecomputedPoint baseOddMultiples[8] = {\n";
        for (const PrecomputedPoint& entry : fresh) {
            source += "    {" + source_of(entry.y_plus_x) + ",\n     " + source_of(entry.y_minus_x) +
                      ",\n     " + source_of(entry.xy2d) + "},\n";
        }
        source += "};\n";
        ADD_FAILURE() << "baseOddMultiples differs from the fresh computation; the table should read:\n"
                      << source;
    }
}

TEST(PointDecoding, RejectsEncodingsThatAreNotPoints) {
    // y = 2: u / v = 3 / (4d + 1) is not a square modulo p.
    Bytes two{};
    two[0] = 2;
    ExtendedPoint p;
    EXPECT_FALSE(decode_point_negated(&p, two.data()));
    // Every y that decodes gives a point on the curve whose encoding is the input with y reduced.
    std::mt19937_64 random = test_random();
    int decoded = 0;
    for (int i = 0; i < 400; ++i) {
        Bytes bytes = random_array<32>(random);
        bytes[31] &= 0x7f;  // keep y below 2^255 - 2^254 most of the time; y >= p is tested below
        ExtendedPoint minus;
        if (!decode_point_negated(&minus, bytes.data())) {
            continue;
        }
        ++decoded;
        const ExtendedPoint point = negate(minus);
        // -x^2 + y^2 = 1 + d x^2 y^2 with Z = 1.
        const FieldElement xx = field_square(point.X), yy = field_square(point.Y);
        const FieldElement lhs = field_sub(yy, xx);
        const FieldElement rhs = field_add(field_one(), field_mul(field_d, field_mul(xx, yy)));
        ASSERT_TRUE(field_is_zero(field_sub(lhs, rhs)));
        ASSERT_EQ(encoded(point), hex(bytes));
        bytes[31] ^= 0x80;  // the other sign decodes to the negation, unless x = 0
        ASSERT_EQ(encoded(decode(bytes)), hex(bytes));
    }
    EXPECT_GT(decoded, 100);  // about half of all y are points
}

TEST(PointDecoding, TakesYAtOrAbovePModuloP) {
    // y = p + 1 is y = 1, the neutral point (x = 0); its canonical encoding is y = 1.
    Bytes p_plus_1;
    p_plus_1.fill(0xff);
    p_plus_1[0] = 0xee;
    p_plus_1[31] = 0x7f;
    Bytes one{};
    one[0] = 1;
    EXPECT_EQ(encoded(decode(p_plus_1)), hex(one));
    // x = 0 with the sign bit set is accepted as well, and encodes as y = 1 again.
    p_plus_1[31] |= 0x80;
    EXPECT_EQ(encoded(decode(p_plus_1)), hex(one));
}

TEST(PointFormulas, AgreeWithEachOther) {
    std::mt19937_64 random = test_random();
    const ExtendedPoint b = base_point();
    for (int i = 0; i < 40; ++i) {
        const ExtendedPoint p = multiply(b, random_array<32>(random));
        const ExtendedPoint q = multiply(b, random_array<32>(random));
        // P + P = 2P; (P + Q) - Q = P; P - Q = P + (-Q).
        EXPECT_EQ(encoded(add(p, p)), encoded(twice(p)));
        const ExtendedPoint sum = add(p, q);
        EXPECT_EQ(encoded(to_extended(point_sub(sum, to_cached(q)))), encoded(p));
        EXPECT_EQ(encoded(to_extended(point_sub(p, to_cached(q)))), encoded(add(p, negate(q))));
        // Mixed forms against cached ones with the table's entries.
        const ExtendedPoint entry = to_extended(point_add_mixed(
            ExtendedPoint{field_zero(), field_one(), field_one(), field_zero()}, baseOddMultiples[i % 8]));
        EXPECT_EQ(encoded(to_extended(point_add_mixed(p, baseOddMultiples[i % 8]))), encoded(add(p, entry)));
        EXPECT_EQ(encoded(to_extended(point_sub_mixed(p, baseOddMultiples[i % 8]))),
                  encoded(to_extended(point_sub(p, to_cached(entry)))));
    }
}

// sum(digits[i] 2^i) as 32 little-endian bytes modulo 2^256 (it must equal the scalar exactly).
Bytes digit_sum(const std::int8_t* digits) {
    std::int64_t limbs[33] = {};
    for (int i = 0; i < 256; ++i) {
        limbs[i / 8] += static_cast<std::int64_t>(digits[i]) * (1 << (i % 8));
    }
    Bytes out;
    std::int64_t carry = 0;
    for (int i = 0; i < 32; ++i) {
        const std::int64_t v = limbs[i] + carry;
        out[i] = static_cast<std::uint8_t>(v & 0xff);
        carry = (v - (v & 0xff)) / 256;
    }
    EXPECT_EQ(carry, 0) << "digits sum to a negative value or beyond 2^256";
    return out;
}

TEST(ScalarRecoding, SmallScalarsGiveTheseDigits) {
    // Worked by hand from the rule: absorb r[i + b] 2^b into r[i] while the sum stays <= 15, else subtract
    // it while the difference stays >= -15 and carry into the first zero digit from i + b up, else stop.
    const struct {
        std::uint64_t scalar;
        std::vector<std::pair<int, int>> digits;  // (index, digit) of the non-zero digits
    } cases[] = {
        {0, {}},
        {1, {{0, 1}}},
        {15, {{0, 15}}},
        {17, {{0, -15}, {5, 1}}},  // 1 - 16 = -15, carry to bit 5; 1 + 32 fits neither way
        {85, {{0, -11}, {5, 3}}},  // 1 + 4 = 5, 5 - 16 = -11 with a carry to bit 5, then 1 + 2
        {255, {{0, -1}, {8, 1}}},  // 15 - 16 = -1; the carry runs through bits 4..7 to bit 8
        {0x8000000000000000, {{63, 1}}},
    };
    for (const auto& c : cases) {
        Bytes scalar{};
        for (int i = 0; i < 8; ++i) {
            scalar[i] = static_cast<std::uint8_t>(c.scalar >> (8 * i));
        }
        std::int8_t digits[256];
        recode_scalar(digits, scalar.data());
        std::vector<std::pair<int, int>> nonzero;
        for (int i = 0; i < 256; ++i) {
            if (digits[i] != 0) {
                nonzero.emplace_back(i, digits[i]);
            }
        }
        EXPECT_EQ(nonzero, c.digits) << c.scalar;
    }
}

TEST(ScalarRecoding, OddDigitsUpTo15WhoseSumIsTheScalar) {
    std::mt19937_64 random = test_random();
    Bytes below_2_255;
    below_2_255.fill(0xff);
    below_2_255[31] = 0x7f;
    std::vector<Bytes> scalars = {below_2_255, Bytes{}};
    for (int i = 0; i < 3000; ++i) {
        Bytes s;
        const int style = i % 3;  // uniform, dense ones, sparse ones
        for (auto& byte : s) {
            const std::uint64_t r = random();
            byte = style == 0   ? static_cast<std::uint8_t>(r)
                   : style == 1 ? static_cast<std::uint8_t>(r | (r >> 8) | (r >> 16))
                                : static_cast<std::uint8_t>(r & (r >> 8) & (r >> 16));
        }
        s[31] &= 0x7f;
        scalars.push_back(s);
    }
    for (const Bytes& s : scalars) {
        std::int8_t digits[256];
        recode_scalar(digits, s.data());
        for (int i = 0; i < 256; ++i) {
            ASSERT_TRUE(digits[i] == 0 || (digits[i] % 2 != 0 && digits[i] >= -15 && digits[i] <= 15))
                << "digit " << i << " = " << int(digits[i]) << " for " << hex(s);
        }
        ASSERT_EQ(hex(digit_sum(digits)), hex(s));
    }
}

TEST(DoubleScalarMultiply, MatchesDoubleAndAdd) {
    std::mt19937_64 random = test_random();
    const ExtendedPoint b = base_point();
    for (int i = 0; i < 30; ++i) {
        Bytes a = random_array<32>(random), s = random_array<32>(random);
        const Bytes k = random_array<32>(random);
        // Scalars up to 2^255 - 1, and one of them 0 now and then.
        a[31] &= 0x7f;
        s[31] &= 0x7f;
        if (i % 10 == 1) {
            a.fill(0);
        }
        if (i % 10 == 2) {
            s.fill(0);
        }
        const ExtendedPoint p = multiply(b, k);
        const ExtendedPoint expected = add(multiply(p, a), multiply(b, s));
        EXPECT_EQ(encoded(double_scalar_multiply(p, a.data(), s.data())), encoded(expected));
    }
    // Both zero: the neutral point, which encodes as y = 1.
    Bytes zero{}, one{};
    one[0] = 1;
    EXPECT_EQ(encoded(double_scalar_multiply(b, zero.data(), zero.data())), hex(one));
}

}  // namespace
