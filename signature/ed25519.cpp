// Ed25519 verification with a given public key: the check S B - k A == R on encodings, with
// k = SHA-512(R || A || message) mod L. The acceptance rules are listed in ed25519.h. Variable time
// (every input is public); no heap memory; nothing is kept between calls.
#include <cstdint>

#include "signature/ed25519.h"
#include "signature/edwards_point.h"
#include "signature/scalar.h"
#include "signature/sha512.h"

namespace {

// 1 when the two 32-byte encodings are equal, else 0: all 32 differences are combined with OR, with no
// early exit, so the time taken never tells how many leading bytes of R matched.
int encodings_equal(const std::uint8_t* a32, const std::uint8_t* b32) {
    unsigned difference = 0;
    for (int i = 0; i < 32; ++i) {
        difference |= static_cast<unsigned>(a32[i] ^ b32[i]);
    }
    return difference == 0 ? 1 : 0;
}

}  // namespace

int ed25519_verify_with_key(const std::uint8_t* signature64, const std::uint8_t* message,
                            std::uint32_t length, const std::uint8_t* publicKey32) {
    // Missing inputs are a rejection like any other, never a crash.
    if (signature64 == nullptr || publicKey32 == nullptr || (message == nullptr && length != 0)) {
        return 0;
    }
    const std::uint8_t* r = signature64;
    const std::uint8_t* s = signature64 + 32;
    // S must be below 2^253 and A must decode, before anything is hashed.
    ExtendedPoint minus_a;
    if ((s[31] & 0xe0) != 0 || !decode_point_negated(&minus_a, publicKey32)) {
        return 0;
    }

    static const std::uint8_t nothing = 0;
    std::uint8_t k[64];
    Sha512State state;
    sha512_init(&state);
    sha512_update(&state, r, 32);
    sha512_update(&state, publicKey32, 32);
    sha512_update(&state, message != nullptr ? message : &nothing, length);
    sha512_final(&state, k);
    reduce_scalar(k);

    // R' = k (-A) + S B, S as it stands (below 2^253, not reduced).
    std::uint8_t r_check[32];
    encode_point(r_check, double_scalar_multiply(minus_a, k, s));
    return encodings_equal(r_check, r);
}
