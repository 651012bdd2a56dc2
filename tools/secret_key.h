// Secret keys of welkara-sign, kept as PKCS#8 PEM, the usual form of an Ed25519 private key (RFC 8410),
// so that other tools can read and make them too. Key files are written once and never replaced; the
// secret bytes are wiped from memory once used (failures: tool_error.h).
#pragma once

#include <sodium.h>

#include <cstdint>
#include <string>

struct KeyPair {
    std::uint8_t publicKey[crypto_sign_PUBLICKEYBYTES];
    std::uint8_t secretKey[crypto_sign_SECRETKEYBYTES];
    ~KeyPair() { sodium_memzero(secretKey, sizeof secretKey); }
};

// Makes a key from a random seed and writes it to `path` (mode 0600), which must not exist yet.
bool makeSecretKey(const std::string& path, KeyPair* keys);

// Reads the key at `path`. Warns on stderr, with the chmod that fixes it, when anyone but the owner may
// read or change the file, and still uses the key.
bool loadSecretKey(const std::string& path, KeyPair* keys);
