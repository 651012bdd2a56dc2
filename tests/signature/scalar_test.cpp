// reduce_scalar: known answers everywhere (0, L and its neighbours, multiples of L, 2^512 - 1), and
// natively GMP as the oracle on random 64-byte inputs, including inputs with long runs of 0x00 and 0xff
// bytes that put the folds and carries at their extremes. Bytes 32..63 must stay as they were.
#include "signature/scalar.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tests/signature/test_hex.h"
#include "tests/signature/test_random.h"

#ifdef WELKARA_TEST_GMP
#include <gmpxx.h>

#include <vector>
#endif

namespace {

using Wide = std::array<std::uint8_t, 64>;

TEST(ReduceScalar, KnownAnswers) {
    const struct {
        const char* name;
        const char* input;
        const char* expected;
    } cases[] = {
        {"0", "0", "0000000000000000000000000000000000000000000000000000000000000000"},
        {"L", "1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ed",
         "0000000000000000000000000000000000000000000000000000000000000000"},
        {"L + 1", "1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ee",
         "0000000000000000000000000000000000000000000000000000000000000001"},
        {"L - 1", "1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ec",
         "1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ec"},
        {"2^252", "1000000000000000000000000000000000000000000000000000000000000000",
         "1000000000000000000000000000000000000000000000000000000000000000"},
        {"2^253 - 1", "1fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "0fffffffffffffffffffffffffffffffeb2106215d086329a7ed9ce5a30a2c12"},
        {"8L + 7", "80000000000000000000000000000000a6f7cef517bce6b2c09318d2e7ae9f6f",
         "0000000000000000000000000000000000000000000000000000000000000007"},
        {"2^256 - 1", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "0ffffffffffffffffffffffffffffffec6ef5bf4737dcf70d6ec31748d98951c"},
        {"2^504 - 3",
         "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
         "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffd",
         "01b399411b7c309a3dceec73d217f5be680392762298a31de2edf685ab128966"},
        {"2^512 - 1",
         "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
         "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "0399411b7c309a3dceec73d217f5be65d00e1ba768859347a40611e3449c0f00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Wide bytes = number_of_hex<64>(c.input);
        const Wide before = bytes;
        reduce_scalar(bytes.data());
        EXPECT_EQ(number_hex(bytes.data(), 32), c.expected);
        EXPECT_TRUE(std::equal(bytes.begin() + 32, bytes.end(), before.begin() + 32)) << "high half changed";
    }
}

#ifdef WELKARA_TEST_GMP

mpz_class value_of(const std::uint8_t* bytes, int count) {
    return mpz_class(number_hex(bytes, count), 16);
}

TEST(ReduceScalarAgainstGmp, RandomAndExtremeInputs) {
    const mpz_class order = (mpz_class(1) << 252) + mpz_class("27742317777372353535851937790883648493");
    std::mt19937_64 random = test_random();
    for (int i = 0; i < 20000; ++i) {
        Wide bytes;
        const int style = i % 4;
        for (auto& byte : bytes) {
            // 0: uniform; 1: mostly 0xff; 2: mostly 0x00; 3: runs of either.
            const std::uint64_t r = random();
            byte = style == 0   ? static_cast<std::uint8_t>(r)
                   : style == 1 ? (r % 8 == 0 ? static_cast<std::uint8_t>(r >> 8) : 0xff)
                   : style == 2 ? (r % 8 == 0 ? static_cast<std::uint8_t>(r >> 8) : 0x00)
                                : (r % 2 == 0 ? 0x00 : 0xff);
        }
        const mpz_class expected = value_of(bytes.data(), 64) % order;
        reduce_scalar(bytes.data());
        ASSERT_EQ(value_of(bytes.data(), 32), expected) << "input " << i << ", seed " << test_seed();
    }
    // k * L + r for r at both ends of [0, L) and k across the whole input range: small k, random k of
    // up to 259 bits, and the largest k for which k * L + L - 1 still fits in 512 bits.
    std::vector<mpz_class> multiples;
    for (int k = 0; k < 64; ++k) {
        multiples.push_back(k);
    }
    gmp_randclass draw(gmp_randinit_default);
    draw.seed(static_cast<unsigned long>(random()));
    for (int i = 0; i < 512; ++i) {
        multiples.push_back(draw.get_z_bits(252 + i % 8));
    }
    multiples.push_back(((mpz_class(1) << 512) - order) / order);
    for (const mpz_class& k : multiples) {
        for (const mpz_class& r : {mpz_class(0), mpz_class(1), mpz_class(order - 1), mpz_class(order - 2)}) {
            const std::string value = mpz_class(k * order + r).get_str(16);
            ASSERT_LE(value.size(), 128u) << "k " << k.get_str(16) << " does not fit";
            Wide bytes = number_of_hex<64>(value);
            reduce_scalar(bytes.data());
            ASSERT_EQ(value_of(bytes.data(), 32), r) << "k " << k.get_str(16) << ", seed " << test_seed();
        }
    }
}

#endif  // WELKARA_TEST_GMP

}  // namespace
