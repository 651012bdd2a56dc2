// Ed25519 signature verification (edwards25519, SHA-512, no context, no pre-hashing), with these rules:
//   - S (signature bytes 32..63, little-endian) must be below 2^253 (the top three bits of byte 63
//     clear); it is used as it stands, not reduced modulo L;
//   - the check is cofactorless: the canonical encoding of S*B - k*A must equal R byte for byte, where
//     k = SHA-512(R || A || message) mod L; R is never decoded, so a non-canonical R never matches;
//   - points of small order in R or A are not rejected.
// Variable time: every input is public. No heap memory is used.
#pragma once

#include <cstdint>

// The package signing key built into the installer: the 32-byte encoding of a point A.
extern const std::uint8_t packagePublicKey[32];

// Returns 1 when signature64 is a valid signature of message[0, length) under publicKey32, else 0
// (also when publicKey32 does not decode to a point). message may be null when length is 0.
int ed25519_verify_with_key(const std::uint8_t* signature64, const std::uint8_t* message, std::uint32_t length,
                            const std::uint8_t* publicKey32);

// ed25519_verify_with_key with packagePublicKey.
int ed25519_verify(const std::uint8_t* signature64, const std::uint8_t* message, std::uint32_t length);
