// SHA-512 throughput: hashes the same 256 MiB buffer with each of our block functions that this processor
// can run (each forced in turn with sha512_use) and, in native builds, with OpenSSL's SHA-512 (EVP
// interface), and prints MB/s (10^6 bytes per second) for each, each one's rate over OpenSSL's (above 1
// is faster than OpenSSL), and that ratio again for the implementation chosen at run time.
// Each contender hashes the whole buffer once per round, as one message fed in 8 MiB pieces; each piece
// is timed, and a contender's time is the sum over pieces of its fastest round for that piece. The
// contenders take turns within every round, so a burst of load from other processes costs one piece of
// one round, not a contender's whole figure. The Windows build has no OpenSSL and prints our rates only.
//   sha512_bench [MiB] [rounds]     defaults: 256 MiB, 7 rounds
#include "signature/sha512.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef WELKARA_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

constexpr std::size_t kPiece = std::size_t{8} << 20;

struct Contender {
    const char* name;
    Sha512Implementation which;  // ignored for OpenSSL
    bool openssl;
    std::vector<double> best_piece_seconds;
    std::uint8_t digest[64];
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void keep_best(Contender& contender, std::size_t piece, double seconds) {
    double& best = contender.best_piece_seconds[piece];
    best = best == 0 || seconds < best ? seconds : best;
}

void hash_with(Contender& contender, const std::vector<std::uint8_t>& data) {
    const std::size_t pieces = contender.best_piece_seconds.size();
#ifdef WELKARA_BENCH_OPENSSL
    if (contender.openssl) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestInit_ex(context, EVP_sha512(), nullptr);
        for (std::size_t piece = 0; piece < pieces; ++piece) {
            const std::size_t at = piece * kPiece,
                              count = data.size() - at < kPiece ? data.size() - at : kPiece;
            auto start = std::chrono::steady_clock::now();
            EVP_DigestUpdate(context, data.data() + at, count);
            keep_best(contender, piece, seconds_since(start));
        }
        EVP_DigestFinal_ex(context, contender.digest, nullptr);
        EVP_MD_CTX_free(context);
        return;
    }
#endif
    sha512_use(contender.which);
    Sha512State state;
    sha512_init(&state);
    for (std::size_t piece = 0; piece < pieces; ++piece) {
        const std::size_t at = piece * kPiece, count = data.size() - at < kPiece ? data.size() - at : kPiece;
        auto start = std::chrono::steady_clock::now();
        sha512_update(&state, data.data() + at, count);
        keep_best(contender, piece, seconds_since(start));
    }
    sha512_final(&state, contender.digest);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    std::vector<std::uint8_t> data(mib << 20);
    std::uint32_t x = 0x12345678;
    for (auto& byte : data) {
        x = x * 1664525 + 1013904223;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    const std::size_t pieces = (data.size() + kPiece - 1) / kPiece;

    const Sha512Implementation chosen = sha512_in_use();
    std::vector<Contender> contenders;
    const struct {
        const char* name;
        Sha512Implementation which;
    } ours[] = {{"portable", Sha512Implementation::portable},
                {"x86_avx", Sha512Implementation::x86_avx},
                {"x86_avx2", Sha512Implementation::x86_avx2},
                {"x86_avx512", Sha512Implementation::x86_avx512}};
    for (const auto& implementation : ours) {
        if (sha512_blocks_of(implementation.which) != nullptr) {
            contenders.push_back(
                {implementation.name, implementation.which, false, std::vector<double>(pieces), {}});
        }
    }
#ifdef WELKARA_BENCH_OPENSSL
    contenders.push_back({"OpenSSL", Sha512Implementation::portable, true, std::vector<double>(pieces), {}});
#endif

    std::printf("SHA-512 over %zu MiB in %zu pieces, best of %d rounds per piece\n", mib, pieces, rounds);
    for (int round = 0; round < rounds; ++round) {
        for (Contender& contender : contenders) {
            hash_with(contender, data);
        }
    }
    sha512_use(chosen);

    std::vector<double> rates;
    double openssl_rate = 0;
    for (const Contender& contender : contenders) {
        double seconds = 0;
        for (double piece_seconds : contender.best_piece_seconds) {
            seconds += piece_seconds;
        }
        rates.push_back(static_cast<double>(data.size()) / seconds / 1e6);
        openssl_rate = contender.openssl ? rates.back() : openssl_rate;
    }
    double chosen_rate = 0;
    for (std::size_t i = 0; i < contenders.size(); ++i) {
        const Contender& contender = contenders[i];
        const bool is_chosen = !contender.openssl && contender.which == chosen;
        std::printf("  %-10s %8.1f MB/s", contender.name, rates[i]);
        if (openssl_rate > 0 && !contender.openssl) {
            std::printf("  %5.3f x OpenSSL", rates[i] / openssl_rate);
        } else {
            std::printf("                 ");
        }
        std::printf("  digest %02x%02x%02x%02x...%s\n", contender.digest[0], contender.digest[1],
                    contender.digest[2], contender.digest[3], is_chosen ? "  (chosen at run time)" : "");
        chosen_rate = is_chosen ? rates[i] : chosen_rate;
        if (std::memcmp(contender.digest, contenders[0].digest, 64) != 0) {
            std::printf("  digests differ\n");
            return 1;
        }
    }
    if (openssl_rate > 0) {
        std::printf("ratio ours/OpenSSL: %.3f\n", chosen_rate / openssl_rate);
    } else {
        std::printf("ours: %.1f MB/s (no OpenSSL in this build)\n", chosen_rate);
    }
    return 0;
}
