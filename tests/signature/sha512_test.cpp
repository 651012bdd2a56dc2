// SHA-512 known answers and the state contract, run with every block function this processor can run.
// The published vectors go in whole, byte by byte and split at every offset; the padding boundary is
// checked against blocks padded by hand; damaged states and null pointers must be refused untouched.
#include "signature/sha512.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/signature/sha512_block_functions.h"
#include "tests/signature/test_hex.h"

namespace {

// Hashes message given as pieces ending at the offsets in cuts (ascending, each at most the size).
// Empty pieces are passed too, with a non-null pointer (a null one is refused even for 0 bytes).
std::string digest_in_pieces(const std::vector<std::uint8_t>& message, const std::vector<std::size_t>& cuts) {
    static const std::uint8_t nothing = 0;
    const std::uint8_t* data = message.empty() ? &nothing : message.data();
    Sha512State state;
    sha512_init(&state);
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        EXPECT_EQ(sha512_update(&state, data + at, cut - at), 0);
        at = cut;
    }
    EXPECT_EQ(sha512_update(&state, data + at, message.size() - at), 0);
    std::uint8_t digest[64];
    EXPECT_EQ(sha512_final(&state, digest), 0);
    return hex(digest, 64);
}

struct KnownAnswer {
    const char* name;
    std::vector<std::uint8_t> message;
    const char* digest;
};

std::vector<KnownAnswer> published_vectors() {
    return {
        {"empty",
         {},
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc", bytes_of("abc"),
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"two blocks",
         bytes_of(
             "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopq"
             "rsmnopqrstnopqrstu"),
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
}

class Sha512Test : public EachSha512BlockFunction {};

TEST_P(Sha512Test, PublishedVectorsInOneCallByteByByteAndSplitAnywhere) {
    for (const KnownAnswer& vector : published_vectors()) {
        SCOPED_TRACE(vector.name);
        EXPECT_EQ(digest_in_pieces(vector.message, {}), vector.digest);
        std::vector<std::size_t> every_byte;
        for (std::size_t i = 1; i < vector.message.size(); ++i) {
            every_byte.push_back(i);
        }
        EXPECT_EQ(digest_in_pieces(vector.message, every_byte), vector.digest);
        for (std::size_t cut = 0; cut <= vector.message.size(); ++cut) {
            EXPECT_EQ(digest_in_pieces(vector.message, {cut}), vector.digest) << "split at " << cut;
        }
    }
}

TEST_P(Sha512Test, MillionAsInOneCall) {
    const std::vector<std::uint8_t> message(1000000, 'a');
    EXPECT_EQ(digest_in_pieces(message, {}),
              "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
              "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
}

TEST_P(Sha512Test, OddPiecesGiveTheOneCallDigest) {
    // Pieces of 1, 127, 129, 1000, ... bytes, so that partial buffers meet whole blocks at every buffer
    // position. The bytes differ from block to block, so a block taken out of order changes the digest.
    std::vector<std::uint8_t> message(100000);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(i * 131 + (i >> 7));
    }
    std::vector<std::size_t> cuts;
    const std::size_t steps[] = {1, 127, 129, 1000, 128, 3, 256, 77};
    for (std::size_t at = 0, i = 0; at + steps[i % 8] < message.size(); ++i) {
        at += steps[i % 8];
        cuts.push_back(at);
    }
    EXPECT_EQ(digest_in_pieces(message, cuts), digest_in_pieces(message, {}));
}

// The blocks that FIPS 180-4 padding gives for a message of n bytes (n < 256), built here by hand.
std::vector<std::uint8_t> padded_by_hand(const std::vector<std::uint8_t>& message) {
    std::vector<std::uint8_t> padded(message);
    padded.push_back(0x80);
    while (padded.size() % 128 != 112) {
        padded.push_back(0);
    }
    const std::uint64_t bits = 8 * message.size();
    for (int i = 15; i >= 0; --i) {
        padded.push_back(i < 8 ? static_cast<std::uint8_t>(bits >> (8 * i)) : 0);
    }
    return padded;
}

TEST_P(Sha512Test, PaddingNeedsAnotherBlockFrom112BufferedBytes) {
    const struct {
        std::size_t length;
        std::size_t blocks;
    } cases[] = {{0, 1}, {111, 1}, {112, 2}, {127, 2}, {128, 2}, {239, 2}, {240, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<std::uint8_t> message(c.length);
        for (std::size_t i = 0; i < c.length; ++i) {
            message[i] = static_cast<std::uint8_t>(i * 7 + 1);
        }
        const std::vector<std::uint8_t> padded = padded_by_hand(message);
        ASSERT_EQ(padded.size(), 128 * c.blocks);

        Sha512State by_blocks;
        sha512_init(&by_blocks);
        for (std::size_t at = 0; at < padded.size(); at += 128) {
            EXPECT_EQ(sha512_compress(&by_blocks, padded.data() + at), 0);
        }
        std::uint8_t expected[64];
        for (int i = 0; i < 64; ++i) {
            expected[i] = static_cast<std::uint8_t>(by_blocks.chaining[i / 8] >> (56 - 8 * (i % 8)));
        }
        EXPECT_EQ(digest_in_pieces(message, {}), hex(expected, 64));
    }
}

TEST_P(Sha512Test, WholeBlocksAfterAnEmptyBufferBypassTheBuffer) {
    std::vector<std::uint8_t> message(3 * 128 + 5);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(i);
    }
    Sha512State state;
    sha512_init(&state);
    std::memset(state.buffer, 0xa5, sizeof state.buffer);
    ASSERT_EQ(sha512_update(&state, message.data(), 128), 0);
    ASSERT_EQ(sha512_update(&state, message.data() + 128, 256), 0);
    EXPECT_EQ(state.buffered_count, 0u);
    EXPECT_EQ(state.bit_count, 3u * 1024);
    for (std::uint8_t byte : state.buffer) {
        ASSERT_EQ(byte, 0xa5) << "a whole block went through the buffer";
    }
    ASSERT_EQ(sha512_update(&state, message.data() + 384, 5), 0);
    EXPECT_EQ(state.buffered_count, 5u);
    EXPECT_EQ(state.bit_count, 3u * 1024);
}

TEST_P(Sha512Test, BlockFunctionAgreesWithPortableForEveryCountUpToNineAtAnyAlignment) {
    // The two-block functions work on pairs of blocks, schedule the next pair during the second block
    // of the current one and handle an odd last block apart: counts 0..9 meet each of those cases, and
    // each count runs from an aligned and from two unaligned addresses.
    if (GetParam() == Sha512Implementation::portable) {
        GTEST_SKIP() << "portable is the reference";
    }
    const Sha512Blocks ours = sha512_blocks_of(GetParam());
    const Sha512Blocks reference = sha512_blocks_of(Sha512Implementation::portable);
    std::vector<std::uint8_t> bytes(9 * 128 + 8);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 167 + (i >> 7) * 13 + 1);
    }
    for (std::size_t offset : {0, 1, 8}) {
        for (std::size_t count = 0; count <= 9; ++count) {
            std::uint64_t expected[8], actual[8];
            for (int i = 0; i < 8; ++i) {
                expected[i] = actual[i] = 0x0123456789abcdefu * (i + 1) + count;
            }
            reference(expected, bytes.data() + offset, count);
            ours(actual, bytes.data() + offset, count);
            EXPECT_EQ(std::memcmp(expected, actual, sizeof expected), 0)
                << "count " << count << ", offset " << offset;
        }
    }
}

TEST_P(Sha512Test, NoBlocksReadsNothingAndChangesNothing) {
    // The block functions load the next block ahead of time; with no block there is nothing to load.
    std::uint64_t chaining[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    sha512_blocks_of(GetParam())(chaining, nullptr, 0);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(chaining[i], std::uint64_t(i + 1));
    }
}

WELKARA_INSTANTIATE_FOR_EACH_SHA512_BLOCK_FUNCTION(Sha512Test);

TEST(Sha512Dispatch, OffersWhatTheProcessorAndSystemSupportAndUsesTheFastest) {
    // The compiler's own run-time check (which also asks the system, through XGETBV, whether it saves the
    // vector state) is the reference, natively and under Windows.
    bool avx = false, avx2 = false, avx512 = false;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    avx = __builtin_cpu_supports("avx") && __builtin_cpu_supports("bmi2");
    avx2 = avx && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
    avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#endif
    EXPECT_NE(sha512_blocks_of(Sha512Implementation::portable), nullptr);
    EXPECT_EQ(sha512_blocks_of(Sha512Implementation::x86_avx) != nullptr, avx);
    EXPECT_EQ(sha512_blocks_of(Sha512Implementation::x86_avx2) != nullptr, avx2);
    EXPECT_EQ(sha512_blocks_of(Sha512Implementation::x86_avx512) != nullptr, avx512);
    const Sha512Implementation fastest = avx512 ? Sha512Implementation::x86_avx512
                                         : avx2 ? Sha512Implementation::x86_avx2
                                         : avx  ? Sha512Implementation::x86_avx
                                                : Sha512Implementation::portable;
    EXPECT_EQ(sha512_in_use(), fastest);
}

// The decision itself, for processors and systems this machine is not: each feature needs its CPUID
// bits and every piece of register state it uses saved by the system, not just some of it.
TEST(Sha512Dispatch, FeaturesNeedEveryBitAndEverySavedState) {
    const std::uint32_t osxsave_avx = 1u << 27 | 1u << 28;
    const std::uint32_t bmi1 = 1u << 3, avx2 = 1u << 5, bmi2 = 1u << 8, avx512 = 1u << 16 | 1u << 31;
    const std::uint32_t all = bmi1 | avx2 | bmi2 | avx512;
    struct Case {
        const char* name;
        std::uint32_t ecx, ebx;
        std::uint64_t xcr0;
        bool avx, avx2, avx512;
    };
    const Case cases[] = {
        {"XMM state only", osxsave_avx, all, 0x03, false, false, false},
        {"YMM state without XMM", osxsave_avx, all, 0x05, false, false, false},
        {"XMM and YMM, no AVX-512 state", osxsave_avx, all, 0x07, true, true, false},
        {"AVX-512 state without ZMM16-31", osxsave_avx, all, 0x67, true, true, false},
        {"everything", osxsave_avx, all, 0xe7, true, true, true},
        {"AVX2 without BMI1 and BMI2", osxsave_avx, avx2 | avx512, 0xe7, false, false, false},
        {"AVX2 without BMI1", osxsave_avx, all & ~bmi1, 0xe7, true, false, false},
        {"no OSXSAVE", 1u << 28, all, 0xe7, false, false, false},
    };
    for (const Case& c : cases) {
        const Sha512X86Features features = sha512_x86_features(c.ecx, c.ebx, c.xcr0);
        EXPECT_EQ(features.avx_bmi2, c.avx) << c.name;
        EXPECT_EQ(features.avx2, c.avx2) << c.name;
        EXPECT_EQ(features.avx512vl, c.avx512) << c.name;
    }
}

TEST(Sha512State, RefusesNullPointersAndDamagedStatesWithoutTouchingThem) {
    const std::uint8_t data[3] = {'a', 'b', 'c'};
    Sha512State state;
    sha512_init(&state);
    ASSERT_EQ(sha512_update(&state, data, 3), 0);
    const std::size_t damaged[] = {129, 1000, static_cast<std::size_t>(-1)};

    // update: null state, null data, buffered count above 128.
    EXPECT_EQ(sha512_update(nullptr, data, 3), 1);
    Sha512State before = state;
    EXPECT_EQ(sha512_update(&state, nullptr, 3), 1);
    EXPECT_EQ(sha512_update(&state, nullptr, 0), 1);
    EXPECT_EQ(std::memcmp(&before, &state, sizeof state), 0);
    for (std::size_t count : damaged) {
        Sha512State broken = state;
        broken.buffered_count = count;
        Sha512State copy = broken;
        EXPECT_EQ(sha512_update(&broken, data, 3), 1) << count;
        EXPECT_EQ(std::memcmp(&copy, &broken, sizeof broken), 0) << count;
    }
    // A count of 0 changes nothing and succeeds.
    EXPECT_EQ(sha512_update(&state, data, 0), 0);
    EXPECT_EQ(std::memcmp(&before, &state, sizeof state), 0);

    // final: null state, null digest, buffered count 128 or more; the digest buffer stays as it was.
    std::uint8_t digest[64];
    std::memset(digest, 0x5a, sizeof digest);
    EXPECT_EQ(sha512_final(nullptr, digest), 1);
    EXPECT_EQ(sha512_final(&state, nullptr), 1);
    for (std::size_t count : {std::size_t{128}, damaged[0], damaged[1], damaged[2]}) {
        Sha512State broken = state;
        broken.buffered_count = count;
        EXPECT_EQ(sha512_final(&broken, digest), 1) << count;
    }
    for (std::uint8_t byte : digest) {
        ASSERT_EQ(byte, 0x5a);
    }
    // The state that was refused everywhere still gives the right digest.
    EXPECT_EQ(sha512_final(&state, digest), 0);
    EXPECT_EQ(hex(digest, 64), published_vectors()[1].digest);
}

TEST(Sha512State, InitResetsAUsedState) {
    const std::uint8_t data[200] = {1, 2, 3};
    Sha512State state;
    sha512_init(&state);
    sha512_update(&state, data, sizeof data);
    EXPECT_EQ(sha512_init(&state), 0);
    std::uint8_t digest[64];
    sha512_final(&state, digest);
    EXPECT_EQ(hex(digest, 64), published_vectors()[0].digest);
}

}  // namespace
