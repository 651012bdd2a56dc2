// SHA-512 throughput: hashes the same 256 MiB buffer with each of our block functions that this processor
// can run and, in native builds, with OpenSSL's SHA512, and prints MB/s (10^6 bytes per second) for each
// and the ratio of ours (the implementation chosen at run time) to OpenSSL. The contenders take turns
// within each round and each keeps its fastest round, so that load from other processes hits all alike.
// The Windows build has no OpenSSL and prints our rates only.
//   sha512_bench [MiB] [rounds]     defaults: 256 MiB, 5 rounds
#include "signature/sha512.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef WELKARA_BENCH_OPENSSL
#include <openssl/sha.h>
#endif

namespace {

struct Contender {
    const char* name;
    Sha512Implementation which;  // ignored for OpenSSL
    bool openssl;
    double best_seconds;
    std::uint8_t digest[64];
};

void hash_with(Contender& contender, const std::vector<std::uint8_t>& data) {
    auto start = std::chrono::steady_clock::now();
#ifdef WELKARA_BENCH_OPENSSL
    if (contender.openssl) {
        SHA512(data.data(), data.size(), contender.digest);
    }
#endif
    if (!contender.openssl) {
        sha512_use(contender.which);
        Sha512State state;
        sha512_init(&state);
        sha512_update(&state, data.data(), data.size());
        sha512_final(&state, contender.digest);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (contender.best_seconds == 0 || seconds < contender.best_seconds) {
        contender.best_seconds = seconds;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    std::vector<std::uint8_t> data(mib << 20);
    std::uint32_t x = 0x12345678;
    for (auto& byte : data) {
        x = x * 1664525 + 1013904223;
        byte = static_cast<std::uint8_t>(x >> 24);
    }

    const Sha512Implementation chosen = sha512_in_use();
    std::vector<Contender> contenders;
    const Contender ours[] = {{"portable", Sha512Implementation::portable, false, 0, {}},
                              {"x86_avx", Sha512Implementation::x86_avx, false, 0, {}},
                              {"x86_avx512", Sha512Implementation::x86_avx512, false, 0, {}}};
    for (const Contender& contender : ours) {
        if (sha512_blocks_of(contender.which) != nullptr) {
            contenders.push_back(contender);
        }
    }
#ifdef WELKARA_BENCH_OPENSSL
    contenders.push_back({"OpenSSL", Sha512Implementation::portable, true, 0, {}});
#endif

    std::printf("SHA-512 over %zu MiB, best of %d rounds\n", mib, rounds);
    for (int round = 0; round < rounds; ++round) {
        for (Contender& contender : contenders) {
            hash_with(contender, data);
        }
    }
    sha512_use(chosen);

    double ours_rate = 0, openssl_rate = 0;
    for (const Contender& contender : contenders) {
        double rate = static_cast<double>(data.size()) / contender.best_seconds / 1e6;
        bool is_chosen = !contender.openssl && contender.which == chosen;
        std::printf("  %-10s %8.1f MB/s  digest %02x%02x%02x%02x...%s\n", contender.name, rate,
                    contender.digest[0], contender.digest[1], contender.digest[2], contender.digest[3],
                    is_chosen ? "  (chosen at run time)" : "");
        if (is_chosen) {
            ours_rate = rate;
        }
        if (contender.openssl) {
            openssl_rate = rate;
        }
        if (std::memcmp(contender.digest, contenders[0].digest, 64) != 0) {
            std::printf("  digests differ\n");
            return 1;
        }
    }
    if (openssl_rate > 0) {
        std::printf("ratio ours/OpenSSL: %.3f\n", ours_rate / openssl_rate);
    } else {
        std::printf("ours: %.1f MB/s (no OpenSSL in this build)\n", ours_rate);
    }
    return 0;
}
