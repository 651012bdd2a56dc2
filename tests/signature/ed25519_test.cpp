// The Ed25519 verifier's acceptance rules, in every tree: the RFC 8032 section 7.1 vectors, every single
// bit flip of message, R and S, S + nL while below 2^253, the top bits of S and undecodable keys rejected
// before anything is hashed, the all-zero signature, non-canonical R against non-canonical keys, and
// ed25519_verify with a built-in key.
#include "signature/ed25519.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "tests/signature/test_hex.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Vector {
    const char* name;
    Bytes key;
    Bytes message;
    Bytes signature;
};

// RFC 8032 section 7.1: TEST 1, TEST 2, TEST 3 and TEST SHA(abc).
std::vector<Vector> rfc_vectors() {
    return {
        {"TEST 1",
         bytes_of_hex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"),
         {},
         bytes_of_hex(
             "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b4"
             "6bd25bf5f0595bbe24655141438e7a100b")},
        {"TEST 2", bytes_of_hex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"),
         bytes_of_hex("72"),
         bytes_of_hex(
             "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d"
             "8c387b2eaeb4302aeeb00d291612bb0c00")},
        {"TEST 3", bytes_of_hex("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025"),
         bytes_of_hex("af82"),
         bytes_of_hex(
             "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6"
             "594a7c15e9716ed28dc027beceea1ec40a")},
        {"TEST SHA(abc)", bytes_of_hex("ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf"),
         bytes_of_hex(
             "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feeb"
             "bd454d4423643ce80e2a9ac94fa54ca49f"),
         bytes_of_hex(
             "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e0"
             "303dca179c138ac17ad9bef1177331a704")},
    };
}

// L, little-endian.
const Bytes kOrder = bytes_of_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");

int verify(const Bytes& signature, const Bytes& message, const Bytes& key) {
    return ed25519_verify_with_key(signature.data(), message.data(),
                                   static_cast<std::uint32_t>(message.size()), key.data());
}

// S + n L over the 32 bytes of S, with the carry out of byte 31 in *overflow.
Bytes plus_multiple_of_order(const Bytes& signature, int n, bool* overflow) {
    Bytes out = signature;
    int carry = 0;
    for (int i = 0; i < 32; ++i) {
        const int sum = out[32 + i] + n * kOrder[i] + carry;
        out[32 + i] = static_cast<std::uint8_t>(sum & 0xff);
        carry = sum >> 8;
    }
    *overflow = carry != 0;
    return out;
}

TEST(Ed25519Verify, RfcVectorsVerify) {
    for (const Vector& v : rfc_vectors()) {
        EXPECT_EQ(verify(v.signature, v.message, v.key), 1) << v.name;
    }
}

TEST(Ed25519Verify, EverySingleBitFlipIsRejected) {
    const struct {
        const char* name;
        Bytes Vector::*part;
    } parts[] = {{"signature", &Vector::signature}, {"message", &Vector::message}, {"key", &Vector::key}};
    for (const Vector& v : rfc_vectors()) {
        SCOPED_TRACE(v.name);
        for (const auto& p : parts) {
            for (std::size_t bit = 0; bit < 8 * (v.*p.part).size(); ++bit) {
                Vector flipped = v;
                (flipped.*p.part)[bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
                ASSERT_EQ(verify(flipped.signature, flipped.message, flipped.key), 0)
                    << p.name << " bit " << bit;
            }
        }
        // A byte more or less of message.
        Bytes longer = v.message;
        longer.push_back(0);
        EXPECT_EQ(verify(v.signature, longer, v.key), 0);
        if (!v.message.empty()) {
            EXPECT_EQ(verify(v.signature, Bytes(v.message.begin(), v.message.end() - 1), v.key), 0);
        }
    }
}

TEST(Ed25519Verify, SPlusMultiplesOfLAcceptedWhileBelow2To253) {
    for (const Vector& v : rfc_vectors()) {
        SCOPED_TRACE(v.name);
        int accepted = 0;
        for (int n = 1; n < 16; ++n) {
            bool overflow = false;
            const Bytes signature = plus_multiple_of_order(v.signature, n, &overflow);
            const bool below_2_253 = !overflow && (signature[63] & 0xe0) == 0;
            EXPECT_EQ(verify(signature, v.message, v.key), below_2_253 ? 1 : 0) << "S + " << n << " L";
            accepted += below_2_253 ? 1 : 0;
        }
        EXPECT_GE(accepted, 1);  // S < L leaves room for at least S + L below 2^253 (> 2L)
    }
}

TEST(Ed25519Verify, TopBitsOfSAndUndecodableKeysRejectBeforeHashing) {
    // The message claims 4 GiB behind a 16-byte buffer: hashing it would read far out of bounds (and
    // crash, or trip AddressSanitizer), so a 0 here means nothing was hashed.
    const std::array<std::uint8_t, 16> tiny{};
    const std::uint32_t huge = 0xffffffffu;
    const Vector v = rfc_vectors()[0];
    for (std::uint8_t top : {0x20, 0x40, 0x80, 0xe0, 0xff}) {
        Bytes signature = v.signature;
        signature[63] |= top;
        EXPECT_EQ(ed25519_verify_with_key(signature.data(), tiny.data(), huge, v.key.data()), 0) << int(top);
    }
    // y = 2 is not the y of any point.
    Bytes not_a_point(32, 0);
    not_a_point[0] = 2;
    EXPECT_EQ(ed25519_verify_with_key(v.signature.data(), tiny.data(), huge, not_a_point.data()), 0);
}

TEST(Ed25519Verify, KeysThatDoNotDecodeGiveZero) {
    // y = 2 and y = 3 are not the y of any point, with either sign. Besides the RFC signatures, try the
    // signature (R = neutral point, S = 0), which a verifier that went on with a garbage x might accept.
    Bytes neutral_zero(64, 0);
    neutral_zero[0] = 1;
    for (std::uint8_t y : {2, 3}) {
        for (std::uint8_t sign : {0x00, 0x80}) {
            Bytes key(32, 0);
            key[0] = y;
            key[31] = sign;
            for (const Vector& v : rfc_vectors()) {
                EXPECT_EQ(verify(v.signature, v.message, key), 0);
                EXPECT_EQ(verify(neutral_zero, v.message, key), 0);
            }
        }
    }
}

TEST(Ed25519Verify, AllZeroSignatureNeverVerifiesUnderPrimeOrderKeys) {
    const Bytes zero(64, 0);
    for (const Vector& v : rfc_vectors()) {
        for (const Bytes& message : {Bytes{}, Bytes{0}, v.message, Bytes(1000, 0xaa)}) {
            EXPECT_EQ(verify(zero, message, v.key), 0) << v.name;
        }
    }
}

TEST(Ed25519Verify, EmptyMessageWithNullOrRealPointer) {
    const Vector v = rfc_vectors()[0];  // TEST 1 signs the empty message
    ASSERT_TRUE(v.message.empty());
    EXPECT_EQ(ed25519_verify_with_key(v.signature.data(), nullptr, 0, v.key.data()), 1);
    const std::uint8_t byte = 0;
    EXPECT_EQ(ed25519_verify_with_key(v.signature.data(), &byte, 0, v.key.data()), 1);
    EXPECT_EQ(ed25519_verify_with_key(v.signature.data(), &byte, 1, v.key.data()), 0);
}

TEST(Ed25519Verify, NullPointersAreRejections) {
    const Vector v = rfc_vectors()[1];
    EXPECT_EQ(ed25519_verify_with_key(nullptr, v.message.data(), 1, v.key.data()), 0);
    EXPECT_EQ(ed25519_verify_with_key(v.signature.data(), nullptr, 1, v.key.data()), 0);
    EXPECT_EQ(ed25519_verify_with_key(v.signature.data(), v.message.data(), 1, nullptr), 0);
}

TEST(Ed25519Verify, NonCanonicalRNeverMatchesWhileNonCanonicalKeysDecode) {
    // With A the neutral point, k A is neutral for every k, so R = S B with S = 0 is the neutral point:
    // canonical encoding y = 1, non-canonical y = p + 1. The key may be written either way (it is decoded
    // modulo p and hashed as written); R only matches in canonical form.
    const Bytes canonical_neutral =
        bytes_of_hex("0100000000000000000000000000000000000000000000000000000000000000");
    const Bytes noncanonical_neutral =
        bytes_of_hex("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
    Bytes signature = canonical_neutral, noncanonical = noncanonical_neutral;
    signature.resize(64);  // S = 0
    noncanonical.resize(64);
    for (const Bytes& key : {canonical_neutral, noncanonical_neutral}) {
        for (const Bytes& message : {Bytes{}, Bytes{1, 2, 3}}) {
            EXPECT_EQ(verify(signature, message, key), 1);
            EXPECT_EQ(verify(noncanonical, message, key), 0);
        }
    }
}

TEST(Ed25519Verify, SignBitOfRCountsWhereTheHashCannotHideIt) {
    // Under the neutral key, R' = S B whatever k is, so R = B (S = 1) verifies for every message, and the
    // same R with bit 255 flipped must not: the comparison includes the sign of x.
    const Bytes key = bytes_of_hex("0100000000000000000000000000000000000000000000000000000000000000");
    Bytes signature = bytes_of_hex(
        "5866666666666666666666666666666666666666666666666666666666666666"
        "0100000000000000000000000000000000000000000000000000000000000000");
    EXPECT_EQ(verify(signature, Bytes{9, 9}, key), 1);
    signature[31] ^= 0x80;
    EXPECT_EQ(verify(signature, Bytes{9, 9}, key), 0);
}

}  // namespace

// ed25519_verify against the key of TEST SHA(abc), built in for this test.
const std::uint8_t packagePublicKey[32] = {0xec, 0x17, 0x2b, 0x93, 0xad, 0x5e, 0x56, 0x3b, 0xf4, 0x93, 0x2c,
                                           0x70, 0xe1, 0x24, 0x50, 0x34, 0xc3, 0x54, 0x67, 0xef, 0x2e, 0xfd,
                                           0x4d, 0x64, 0xeb, 0xf8, 0x19, 0x68, 0x34, 0x67, 0xe2, 0xbf};

namespace {

TEST(Ed25519VerifyPackage, UsesTheBuiltInKey) {
    const std::vector<Vector> vectors = rfc_vectors();
    const Vector& own = vectors[3];
    EXPECT_EQ(ed25519_verify(own.signature.data(), own.message.data(), 64), 1);
    Bytes tampered = own.message;
    tampered[10] ^= 1;
    EXPECT_EQ(ed25519_verify(own.signature.data(), tampered.data(), 64), 0);
    // Another key's valid signature does not verify under the built-in key.
    const Vector& other = vectors[1];
    EXPECT_EQ(ed25519_verify(other.signature.data(), other.message.data(), 1), 0);
}

}  // namespace
