// Fuzzes ed25519_verify_with_key with arbitrary signatures, keys and messages. Input layout: 64 bytes of
// signature, 32 bytes of key, the rest is the message; with less than 96 bytes the missing bytes are
// zero. Half the time (by the first byte's lowest bit) the key is replaced by a fixed valid one, so that
// the point arithmetic runs past decoding. Invariants: no crash or out-of-bounds access (the message is
// copied to a buffer of exactly its length), the result is 0 or 1, and the same inputs give the same result.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "signature/ed25519.h"

namespace {

// RFC 8032 section 7.1, TEST 2's public key.
const std::uint8_t kValidKey[32] = {0x3d, 0x40, 0x17, 0xc3, 0xe8, 0x43, 0x89, 0x5a, 0x92, 0xb7, 0x0a,
                                    0xa7, 0x4d, 0x1b, 0x7e, 0xbc, 0x9c, 0x98, 0x2c, 0xcf, 0x2e, 0xc4,
                                    0x96, 0x8c, 0xc0, 0xcd, 0x55, 0xf1, 0x2a, 0xf4, 0x66, 0x0c};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t head[96] = {};
    std::memcpy(head, data, size < 96 ? size : 96);
    const std::uint8_t* key = (head[0] & 1) != 0 ? kValidKey : head + 64;
    std::vector<std::uint8_t> message(data + (size < 96 ? size : 96), data + size);
    const std::uint32_t length = static_cast<std::uint32_t>(message.size());

    const int first = ed25519_verify_with_key(head, message.data(), length, key);
    const int second = ed25519_verify_with_key(head, message.data(), length, key);
    check((first == 0 || first == 1) && first == second);
    return 0;
}
