// Our SHA-512 against OpenSSL's. The first input byte picks the block function (modulo those this
// processor can run) and seeds the piece sizes; the rest is the message, hashed in pieces of 0 to 300
// bytes. Any difference aborts.
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "signature/sha512.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const Sha512Implementation all[] = {Sha512Implementation::portable, Sha512Implementation::x86_avx,
                                        Sha512Implementation::x86_avx2, Sha512Implementation::x86_avx512};
    Sha512Implementation usable[4];
    std::size_t count = 0;
    for (Sha512Implementation which : all) {
        if (sha512_blocks_of(which) != nullptr) {
            usable[count++] = which;
        }
    }
    std::uint32_t random = data[0] * 2654435761u + 1;
    sha512_use(usable[data[0] % count]);
    const std::uint8_t* message = data + 1;
    const std::size_t length = size - 1;

    Sha512State state;
    sha512_init(&state);
    for (std::size_t at = 0; at < length;) {
        random = random * 1103515245u + 12345u;
        std::size_t take = (random >> 16) % 301;
        take = take > length - at ? length - at : take;
        check(sha512_update(&state, message + at, take) == 0);
        at += take;
    }
    std::uint8_t ours[64], theirs[64];
    check(sha512_final(&state, ours) == 0);
    SHA512(message, length, theirs);
    check(std::memcmp(ours, theirs, 64) == 0);
    return 0;
}
