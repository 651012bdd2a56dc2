// GF(2^255 - 19) arithmetic. Everywhere: the constants recomputed from their definitions, canonical
// encoding at p, inverses and the (p - 5) / 8 power checked through identities. Natively, GMP is the
// oracle for every operation on random elements and on edges: 0, 1, p - 1, p, p + 1, 2^255 - 1 and limbs
// at the largest magnitudes each operation accepts. The seed is printed; WELKARA_TEST_SEED replays it.
#include "signature/field.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "tests/signature/test_hex.h"
#include "tests/signature/test_random.h"

#ifdef WELKARA_TEST_GMP
#include <gmpxx.h>
#endif

namespace {

using Bytes = std::array<std::uint8_t, 32>;

constexpr int kOffset[5] = {0, 51, 102, 153, 204};

// The canonical encoding of f as number_hex writes it.
std::string encoded(const FieldElement& f) {
    Bytes out;
    field_encode(out.data(), f);
    return number_hex(out);
}

const char* const kP = "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed";

// Limbs holding value bytes bit for bit: each limb 51 bits, 0..2^51 - 1.
FieldElement raw_limbs(const Bytes& bytes) {
    FieldElement f;
    for (int i = 0; i < 5; ++i) {
        std::uint64_t bits = 0;
        for (int b = 0; b < 51; ++b) {
            const int bit = kOffset[i] + b;
            bits |= static_cast<std::uint64_t>((bytes[bit / 8] >> (bit % 8)) & 1) << b;
        }
        f.limb[i] = static_cast<std::int64_t>(bits);
    }
    return f;
}

FieldElement small(std::int64_t value) {
    return FieldElement{{value, 0, 0, 0, 0}};
}

// z^e for e given as 32 little-endian bytes, by square and multiply from the top bit.
FieldElement power(const FieldElement& z, const Bytes& exponent) {
    FieldElement result = field_one();
    for (int bit = 255; bit >= 0; --bit) {
        result = field_square(result);
        if ((exponent[bit / 8] >> (bit % 8)) & 1) {
            result = field_mul(result, z);
        }
    }
    return result;
}

FieldElement random_element(std::mt19937_64& random) {
    return field_decode(random_array<32>(random).data());
}

void expect_carried(const FieldElement& f) {
    const std::int64_t bound = (std::int64_t{1} << 51) + (std::int64_t{1} << 15);
    for (int i = 0; i < 5; ++i) {
        EXPECT_LE(f.limb[i], bound) << "limb " << i;
        EXPECT_GE(f.limb[i], -bound) << "limb " << i;
    }
}

TEST(FieldConstants, MatchTheirDefinitions) {
    // d = -121665 / 121666
    const FieldElement d = field_mul(field_negate(small(121665)), field_invert(small(121666)));
    EXPECT_EQ(encoded(field_d), encoded(d));
    EXPECT_EQ(encoded(field_d2), encoded(field_add(d, d)));
    // sqrt(-1) = 2^((p - 1) / 4), and its square is -1.
    const Bytes quarter =
        number_of_hex<32>("1ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffb");
    EXPECT_EQ(encoded(field_sqrt_m1), encoded(power(small(2), quarter)));
    EXPECT_EQ(encoded(field_square(field_sqrt_m1)), encoded(field_negate(field_one())));
    for (const FieldElement* constant : {&field_d, &field_d2, &field_sqrt_m1}) {
        expect_carried(*constant);
    }
}

TEST(FieldEncoding, IsCanonicalAtAndAboveP) {
    const struct {
        const char* value;     // limbs hold this value bit for bit
        const char* encoding;  // expected canonical encoding
    } cases[] = {
        {kP, "0000000000000000000000000000000000000000000000000000000000000000"},
        {"7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffee",
         "0000000000000000000000000000000000000000000000000000000000000001"},
        {"7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "0000000000000000000000000000000000000000000000000000000000000012"},
        {"7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffec",
         "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffec"},
        {"0000000000000000000000000000000000000000000000000000000000000000",
         "0000000000000000000000000000000000000000000000000000000000000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const Bytes value = number_of_hex<32>(c.value);
        EXPECT_EQ(encoded(raw_limbs(value)), c.encoding);
        EXPECT_EQ(encoded(field_decode(value.data())), c.encoding);
    }
    // p + 19 = 2^255 exists only as limbs: 2^255 - 1 plus one in limb 0.
    FieldElement two_255 =
        raw_limbs(number_of_hex<32>("7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"));
    two_255.limb[0] += 1;
    EXPECT_EQ(encoded(two_255), "0000000000000000000000000000000000000000000000000000000000000013");
    // Negative values: -1 in limb 0, and -2^255 = -19 in limb 4 alone, whose carry leaves only h0 behind.
    EXPECT_EQ(encoded(small(-1)), "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffec");
    const FieldElement minus_two_255{{0, 0, 0, 0, -(std::int64_t{1} << 51)}};
    EXPECT_EQ(encoded(minus_two_255), "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffda");
    EXPECT_EQ(field_is_zero(raw_limbs(number_of_hex<32>(kP))), 1);
    EXPECT_EQ(field_is_negative(raw_limbs(number_of_hex<32>(kP))), 0);
    EXPECT_EQ(field_is_negative(small(-1)), 0);  // p - 1 is even
    EXPECT_EQ(field_is_negative(small(-2)), 1);
}

TEST(FieldInverse, TimesTheElementIsOneAndZeroHasZero) {
    EXPECT_EQ(field_is_zero(field_invert(field_zero())), 1);
    EXPECT_EQ(field_is_zero(field_invert(raw_limbs(number_of_hex<32>(kP)))), 1);
    std::mt19937_64 random = test_random();
    const std::string one = encoded(field_one());
    for (int i = 0; i < 200; ++i) {
        const FieldElement z = random_element(random);
        if (field_is_zero(z)) {
            continue;
        }
        const FieldElement inverse = field_invert(z);
        expect_carried(inverse);
        ASSERT_EQ(encoded(field_mul(z, inverse)), one) << encoded(z);
    }
}

TEST(FieldPowP58, TimesEightPlusFiveGivesTheElementBack) {
    // (z^((p - 5) / 8))^8 * z^5 = z^p = z.
    std::mt19937_64 random = test_random();
    for (int i = 0; i < 200; ++i) {
        const FieldElement z = random_element(random);
        FieldElement t = field_pow_p58(z);
        for (int k = 0; k < 3; ++k) {
            t = field_square(t);
        }
        const FieldElement z5 = field_mul(field_square(field_square(z)), z);
        ASSERT_EQ(encoded(field_mul(t, z5)), encoded(z));
    }
}

TEST(FieldSquare, AgreesWithMultiplyAndTwiceSquareInBothRadixes) {
    std::mt19937_64 random = test_random();
    const bool radix_51 = field_products_available(FieldProducts::radix_51);
    for (int i = 0; i < 1000; ++i) {
        // Sums of three carried elements: limbs up to 3 * 2^51, inside both contracts.
        const FieldElement f = field_add(field_add(random_element(random), random_element(random)),
                                         field_sub(field_zero(), random_element(random)));
        const FieldElement g = random_element(random);
        // The entry points that the point formulas use: the squarings against the product.
        const FieldElement square = field_square(f);
        expect_carried(square);
        ASSERT_EQ(encoded(square), encoded(field_mul(f, f)));
        ASSERT_EQ(encoded(field_square_twice(f)), encoded(field_add(square, square)));
        // Within each radix, its squaring against its own product.
        for (FieldProducts products : {FieldProducts::radix_25_5, FieldProducts::radix_51}) {
            if (!field_products_available(products)) {
                continue;
            }
            const FieldElement own = field_square_with(products, f, false);
            expect_carried(own);
            ASSERT_EQ(encoded(own), encoded(field_mul_with(products, f, f)));
            ASSERT_EQ(encoded(field_square_with(products, f, true)), encoded(field_add(own, own)));
        }
        // Across the radixes, whose code shares nothing: the same values (the limbs may differ).
        if (radix_51) {
            ASSERT_EQ(encoded(field_mul_with(FieldProducts::radix_51, f, g)),
                      encoded(field_mul_with(FieldProducts::radix_25_5, f, g)));
            ASSERT_EQ(encoded(field_square_with(FieldProducts::radix_51, f, false)),
                      encoded(field_square_with(FieldProducts::radix_25_5, f, false)));
        }
    }
}

#ifdef WELKARA_TEST_GMP

const mpz_class kPrime = (mpz_class(1) << 255) - 19;

mpz_class value_of(const FieldElement& f) {
    mpz_class v = 0;
    for (int i = 0; i < 5; ++i) {
        v += mpz_class(static_cast<long>(f.limb[i])) << kOffset[i];
    }
    return v;
}

mpz_class reduced(const mpz_class& v) {
    mpz_class r = v % kPrime;
    if (r < 0) {
        r += kPrime;
    }
    return r;
}

// An element with every limb drawn from [-bound, bound].
FieldElement random_limbs(std::mt19937_64& random, std::int64_t bound) {
    FieldElement f;
    for (auto& limb : f.limb) {
        limb = static_cast<std::int64_t>(random() % (2 * static_cast<std::uint64_t>(bound) + 1)) - bound;
    }
    return f;
}

// Appends elements with limbs at +-b in fixed patterns (all +, all -, alternating, one limb at a time).
void add_limbs_at(std::vector<FieldElement>* out, std::int64_t b) {
    FieldElement all_plus, all_minus, alternating, alternating_minus;
    for (int i = 0; i < 5; ++i) {
        all_plus.limb[i] = b;
        all_minus.limb[i] = -b;
        alternating.limb[i] = i % 2 == 0 ? b : -b;
        alternating_minus.limb[i] = i % 2 == 0 ? -b : b;
    }
    out->insert(out->end(), {all_plus, all_minus, alternating, alternating_minus});
    for (int i = 0; i < 5; ++i) {
        FieldElement one_limb = field_zero();
        one_limb.limb[i] = b;
        out->push_back(one_limb);
    }
}

// 0, 1, p - 1, p, p + 1, 2^255 - 1 as limbs bit for bit, and as decoded (carried) elements.
std::vector<FieldElement> edge_values() {
    std::vector<FieldElement> out;
    const char* values[] = {"0000000000000000000000000000000000000000000000000000000000000000",
                            "0000000000000000000000000000000000000000000000000000000000000001",
                            "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffec",
                            kP,
                            "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffee",
                            "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"};
    for (const char* value : values) {
        out.push_back(raw_limbs(number_of_hex<32>(value)));
        out.push_back(field_decode(number_of_hex<32>(value).data()));
    }
    return out;
}

// Operands for an operation that accepts limbs up to `bound`: edges, patterns at the bound, random.
std::vector<FieldElement> operands(std::mt19937_64& random, std::int64_t bound) {
    std::vector<FieldElement> out = edge_values();
    add_limbs_at(&out, bound);
    for (int i = 0; i < 60; ++i) {
        out.push_back(random_limbs(random, bound));
    }
    return out;
}

void expect_value(const FieldElement& result, const mpz_class& expected, const char* what) {
    ASSERT_EQ(reduced(value_of(result)), reduced(expected)) << what;
}

constexpr std::int64_t kMulBound = std::int64_t{1} << 53;  // also that of the squarings
constexpr std::int64_t kCarriedBound = (std::int64_t{1} << 51) + (std::int64_t{1} << 15);
constexpr std::int64_t kEncodeBound = std::int64_t{1} << 62;

TEST(FieldAgainstGmp, MultiplyAndSquaresAtTheirLimbBoundsInBothRadixes) {
    std::mt19937_64 random = test_random();
    const std::vector<FieldElement> wide = operands(random, kMulBound);
    for (FieldProducts products : {FieldProducts::radix_25_5, FieldProducts::radix_51}) {
        if (!field_products_available(products)) {
            continue;  // radix 2^51 needs 128-bit integers
        }
        SCOPED_TRACE(products == FieldProducts::radix_51 ? "radix 2^51" : "radix 2^25.5");
        for (const FieldElement& f : wide) {
            for (const FieldElement& g : wide) {
                const FieldElement product = field_mul_with(products, f, g);
                expect_carried(product);
                expect_value(product, value_of(f) * value_of(g), "mul");
            }
            const FieldElement square = field_square_with(products, f, false);
            expect_carried(square);
            expect_value(square, value_of(f) * value_of(f), "square");
        }
        for (const FieldElement& f : wide) {
            const FieldElement twice = field_square_with(products, f, true);
            expect_carried(twice);
            expect_value(twice, 2 * value_of(f) * value_of(f), "square_twice");
        }
    }
}

TEST(FieldAgainstGmp, AddSubtractNegate) {
    std::mt19937_64 random = test_random();
    const std::vector<FieldElement> carried = operands(random, kCarriedBound);
    for (const FieldElement& f : carried) {
        for (const FieldElement& g : carried) {
            expect_value(field_add(f, g), value_of(f) + value_of(g), "add");
            expect_value(field_sub(f, g), value_of(f) - value_of(g), "sub");
        }
        expect_value(field_negate(f), -value_of(f), "negate");
    }
}

TEST(FieldAgainstGmp, InvertAndPowP58) {
    std::mt19937_64 random = test_random();
    const mpz_class p_minus_2 = kPrime - 2, p58 = (kPrime - 5) / 8;
    for (const FieldElement& f : operands(random, kMulBound)) {
        mpz_class base = reduced(value_of(f)), expected;
        mpz_powm(expected.get_mpz_t(), base.get_mpz_t(), p_minus_2.get_mpz_t(), kPrime.get_mpz_t());
        const FieldElement inverse = field_invert(f);
        expect_carried(inverse);
        expect_value(inverse, expected, "invert");
        mpz_powm(expected.get_mpz_t(), base.get_mpz_t(), p58.get_mpz_t(), kPrime.get_mpz_t());
        const FieldElement power = field_pow_p58(f);
        expect_carried(power);
        expect_value(power, expected, "pow_p58");
    }
}

TEST(FieldAgainstGmp, EncodeParityAndZeroForLimbsUpTo2To62) {
    std::mt19937_64 random = test_random();
    std::vector<FieldElement> cases = operands(random, kEncodeBound);
    add_limbs_at(&cases, -kEncodeBound);
    // One limb alone at multiples of the radix, so that carries leave the other limbs at 0.
    for (int i = 0; i < 5; ++i) {
        for (std::int64_t k : {-2048, -32, -2, -1, 1, 2, 31, 2047}) {
            FieldElement f = field_zero();
            f.limb[i] = k * (std::int64_t{1} << 51);
            cases.push_back(f);
        }
    }
    for (int i = 0; i < 2000; ++i) {
        cases.push_back(random_limbs(random, kEncodeBound));
    }
    // Values a few steps from 0 and p, where the final subtraction of p decides.
    for (int k = -40; k <= 40; ++k) {
        cases.push_back(small(k));
        FieldElement near_p = raw_limbs(number_of_hex<32>(kP));
        near_p.limb[0] += k;
        cases.push_back(near_p);
    }
    for (const FieldElement& f : cases) {
        const mpz_class expected = reduced(value_of(f));
        ASSERT_EQ(mpz_class(encoded(f), 16), expected);
        ASSERT_EQ(field_is_negative(f), mpz_odd_p(expected.get_mpz_t()) ? 1 : 0);
        ASSERT_EQ(field_is_zero(f), expected == 0 ? 1 : 0);
    }
}

TEST(FieldAgainstGmp, DecodeIgnoresBit255AndKeepsValuesAboveP) {
    std::mt19937_64 random = test_random();
    std::vector<Bytes> inputs;
    for (int i = 0; i < 2000; ++i) {
        inputs.push_back(random_array<32>(random));
    }
    inputs.push_back(number_of_hex<32>(std::string(64, 'f')));  // all ones
    for (int k = 0; k < 19; ++k) {
        Bytes above_p = number_of_hex<32>(kP);
        above_p[0] = static_cast<std::uint8_t>(above_p[0] + k);
        inputs.push_back(above_p);
        above_p[31] |= 0x80;
        inputs.push_back(above_p);
    }
    const mpz_class two_255 = mpz_class(1) << 255;
    for (const Bytes& bytes : inputs) {
        const FieldElement f = field_decode(bytes.data());
        expect_carried(f);
        ASSERT_EQ(reduced(value_of(f)), reduced(mpz_class(number_hex(bytes), 16) % two_255))
            << number_hex(bytes);
    }
}

#endif  // WELKARA_TEST_GMP

}  // namespace
