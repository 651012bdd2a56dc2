// ed25519_verify: verification against the key built into the installer. Kept apart from ed25519.cpp so
// that programs without a built-in key (tests, tools) can link the verifier alone.
#include "signature/ed25519.h"

int ed25519_verify(const std::uint8_t* signature64, const std::uint8_t* message, std::uint32_t length) {
    return ed25519_verify_with_key(signature64, message, length, packagePublicKey);
}
