// Ed25519 verification time. (1) One verification of a 0-byte message, ours against libsodium's
// crypto_sign_verify_detached on the same key and signature: microseconds per verification and the ratio
// ours/libsodium. (2) Verification of a 256 MiB message against OpenSSL's SHA-512 of the same bytes
// (the floor for any verifier, which must hash it): seconds and the ratio. The contenders take turns
// and each keeps its best run. The Windows build has neither library and prints our own times only.
//   ed25519_bench [MiB] [rounds]     defaults: 256 MiB, 5 rounds
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "signature/ed25519.h"
#include "signature/sha512.h"

#ifdef WELKARA_BENCH_ORACLES
#include <openssl/sha.h>
#include <sodium.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// RFC 8032 section 7.1, TEST 1: a key and its signature of the empty message.
const std::uint8_t kKey[32] = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe,
                               0xd3, 0xc9, 0x64, 0x07, 0x3a, 0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6,
                               0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
const std::uint8_t kSignature[64] = {
    0xe5, 0x56, 0x43, 0x00, 0xc3, 0x60, 0xac, 0x72, 0x90, 0x86, 0xe2, 0xcc, 0x80, 0x6e, 0x82, 0x8a,
    0x84, 0x87, 0x7f, 0x1e, 0xb8, 0xe5, 0xd9, 0x74, 0xd8, 0x73, 0xe0, 0x65, 0x22, 0x49, 0x01, 0x55,
    0x5f, 0xb8, 0x82, 0x15, 0x90, 0xa3, 0x3b, 0xac, 0xc6, 0x1e, 0x39, 0x70, 0x1c, 0xf9, 0xb4, 0x6b,
    0xd2, 0x5b, 0xf5, 0xf0, 0x59, 0x5b, 0xbe, 0x24, 0x65, 0x51, 0x41, 0x43, 0x8e, 0x7a, 0x10, 0x0b};

// Best time in seconds of `repeat` calls to f, over `rounds` rounds interleaved by the caller.
template <typename F>
double seconds_per_call(int repeat, F f) {
    auto start = Clock::now();
    for (int i = 0; i < repeat; ++i) {
        f();
    }
    return std::chrono::duration<double>(Clock::now() - start).count() / repeat;
}

double best(double current, double candidate) {
    return current == 0 || candidate < current ? candidate : current;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    int failures = 0;

    // (1) Short message.
    const std::uint8_t empty = 0;
    double ours_short = 0, theirs_short = 0;
#ifdef WELKARA_BENCH_ORACLES
    if (sodium_init() < 0) {
        return 1;
    }
#endif
    for (int round = 0; round < 3 * rounds; ++round) {
        ours_short = best(ours_short, seconds_per_call(400, [&] {
                              failures += ed25519_verify_with_key(kSignature, &empty, 0, kKey) == 1 ? 0 : 1;
                          }));
#ifdef WELKARA_BENCH_ORACLES
        theirs_short = best(theirs_short, seconds_per_call(400, [&] {
                                failures +=
                                    crypto_sign_verify_detached(kSignature, &empty, 0, kKey) == 0 ? 0 : 1;
                            }));
#endif
    }
    std::printf("verify, 0-byte message: ours %.1f us", ours_short * 1e6);
    if (theirs_short > 0) {
        std::printf(", libsodium %.1f us, ratio ours/libsodium %.3f", theirs_short * 1e6,
                    ours_short / theirs_short);
    }
    std::printf("\n");

    // (2) Long message: a valid signature is not needed, the work is the same for a wrong one (the
    // point arithmetic does not depend on the outcome); the result must then be 0.
    std::vector<std::uint8_t> message(mib << 20);
    std::uint32_t x = 0x9e3779b9;
    for (auto& byte : message) {
        x = x * 1664525 + 1013904223;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    const std::uint32_t length = static_cast<std::uint32_t>(message.size());
    double ours_long = 0, hash_long = 0;
    for (int round = 0; round < rounds; ++round) {
        ours_long = best(
            ours_long, seconds_per_call(1, [&] {
                failures += ed25519_verify_with_key(kSignature, message.data(), length, kKey) == 0 ? 0 : 1;
            }));
#ifdef WELKARA_BENCH_ORACLES
        std::uint8_t digest[64];
        hash_long =
            best(hash_long, seconds_per_call(1, [&] { SHA512(message.data(), message.size(), digest); }));
#endif
    }
    std::printf("verify, %zu MiB message: ours %.3f s (%.1f MB/s)", mib, ours_long,
                static_cast<double>(message.size()) / ours_long / 1e6);
    if (hash_long > 0) {
        std::printf(", OpenSSL SHA-512 alone %.3f s, ratio ours/OpenSSL-hash %.3f", hash_long,
                    ours_long / hash_long);
    }
    std::printf("\n");
    if (failures != 0) {
        std::printf("unexpected verification results: %d\n", failures);
        return 1;
    }
    return 0;
}
