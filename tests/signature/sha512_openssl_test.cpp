// Our SHA-512 against OpenSSL's on random messages cut into random pieces, with every block function this
// processor can run. Lengths cover 0 to 3 blocks exhaustively around the block edges and a few MiB.
// Native builds only (OpenSSL is the oracle). The seed is printed; WELKARA_TEST_SEED replays it.
#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "signature/sha512.h"
#include "tests/signature/sha512_block_functions.h"
#include "tests/signature/test_random.h"

namespace {

// Hashes message in random pieces, about `pieces` of them, some empty.
void ours_in_random_pieces(const std::vector<std::uint8_t>& message, std::mt19937_64& random, int pieces,
                           std::uint8_t* digest) {
    Sha512State state;
    sha512_init(&state);
    std::size_t at = 0;
    while (at < message.size()) {
        std::size_t left = message.size() - at;
        std::size_t take = pieces <= 1 ? left : random() % (2 * left / pieces + 2);
        take = take > left ? left : take;
        ASSERT_EQ(sha512_update(&state, message.data() + at, take), 0);
        at += take;
    }
    std::uint8_t nothing = 0;
    ASSERT_EQ(sha512_update(&state, &nothing, 0), 0);
    ASSERT_EQ(sha512_final(&state, digest), 0);
}

class Sha512AgainstOpenssl : public EachSha512BlockFunction {
  protected:
    void expect_same(const std::vector<std::uint8_t>& message, std::mt19937_64& random, int pieces) {
        std::uint8_t ours[64], theirs[64];
        ours_in_random_pieces(message, random, pieces, ours);
        SHA512(message.data(), message.size(), theirs);
        ASSERT_EQ(std::memcmp(ours, theirs, 64), 0)
            << "length " << message.size() << ", about " << pieces << " pieces, seed " << test_seed();
    }
};

TEST_P(Sha512AgainstOpenssl, EveryLengthUpToThreeBlocks) {
    std::mt19937_64 random = test_random();
    for (std::size_t length = 0; length <= 3 * 128; ++length) {
        const std::vector<std::uint8_t> message = random_bytes(random, length);
        expect_same(message, random, 1);
        expect_same(message, random, 2);
        expect_same(message, random, 1 + static_cast<int>(random() % 12));
    }
}

TEST_P(Sha512AgainstOpenssl, LargeMessagesInRandomPieces) {
    std::mt19937_64 random = test_random();
    for (int round = 0; round < 4; ++round) {
        const std::size_t length = (1u << 20) + random() % (3u << 20);
        const std::vector<std::uint8_t> message = random_bytes(random, length);
        expect_same(message, random, 1);
        expect_same(message, random, 1 + static_cast<int>(random() % 2000));
    }
}

WELKARA_INSTANTIATE_FOR_EACH_SHA512_BLOCK_FUNCTION(Sha512AgainstOpenssl);

}  // namespace
