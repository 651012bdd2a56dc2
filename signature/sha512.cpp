// Streaming SHA-512: the buffering of sha512_update and sha512_final, and the block functions.
// The portable block function runs everywhere; on x86-64 a vectorised one is chosen at run time when
// the processor and the operating system support it.
#include "signature/sha512.h"

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define WELKARA_SHA512_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define WELKARA_SHA512_X86 0
#endif

#if defined(__GNUC__) || defined(__clang__)
#define WELKARA_SHA512_INLINE __attribute__((always_inline)) inline
#else
#define WELKARA_SHA512_INLINE inline
#endif

namespace {

constexpr std::uint64_t kInitial[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179,
};

// The first 64 bits of the fractional parts of the cube roots of the first 80 primes.
alignas(64) constexpr std::uint64_t kRound[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
    0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
    0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
    0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
    0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
    0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
    0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
    0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
    0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817,
};

inline std::uint64_t load_be64(const std::uint8_t* p) {
    return std::uint64_t{p[0]} << 56 | std::uint64_t{p[1]} << 48 | std::uint64_t{p[2]} << 40 |
           std::uint64_t{p[3]} << 32 | std::uint64_t{p[4]} << 24 | std::uint64_t{p[5]} << 16 |
           std::uint64_t{p[6]} << 8 | std::uint64_t{p[7]};
}

inline void store_be64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

WELKARA_SHA512_INLINE std::uint64_t rotr(std::uint64_t x, int n) {
    return x >> n | x << (64 - n);
}
WELKARA_SHA512_INLINE std::uint64_t big_sigma0(std::uint64_t x) {
    return rotr(x, 28) ^ rotr(x, 34) ^ rotr(x, 39);
}
WELKARA_SHA512_INLINE std::uint64_t big_sigma1(std::uint64_t x) {
    return rotr(x, 14) ^ rotr(x, 18) ^ rotr(x, 41);
}
WELKARA_SHA512_INLINE std::uint64_t small_sigma0(std::uint64_t x) {
    return rotr(x, 1) ^ rotr(x, 8) ^ x >> 7;
}
WELKARA_SHA512_INLINE std::uint64_t small_sigma1(std::uint64_t x) {
    return rotr(x, 19) ^ rotr(x, 61) ^ x >> 6;
}

// One compression step with k_plus_w = K[t] + W[t]. The roles of a..h rotate from step to step instead
// of the values moving: the caller passes them shifted by one place each time, and this step writes the
// new e into d and the new a into h. Ch(e,f,g) = ((f^g)&e)^g; Maj(a,b,c) = ((b^c)&(a^b))^b.
WELKARA_SHA512_INLINE void step(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& d,
                                std::uint64_t e, std::uint64_t f, std::uint64_t g, std::uint64_t& h,
                                std::uint64_t k_plus_w) {
    std::uint64_t t1 = h + k_plus_w + (((f ^ g) & e) ^ g) + big_sigma1(e);
    d += t1;
    h = t1 + big_sigma0(a) + (((b ^ c) & (a ^ b)) ^ b);
}

// W[t] for t >= 16 in a ring of 16 words: w[t % 16] holds W[t - 16] and becomes W[t].
WELKARA_SHA512_INLINE std::uint64_t extend(std::uint64_t* w, int t) {
    w[t & 15] += small_sigma1(w[(t - 2) & 15]) + w[(t - 7) & 15] + small_sigma0(w[(t - 15) & 15]);
    return w[t & 15];
}

// Step t of the portable block function, which extends the schedule one word at a time as the steps
// need it (t is a constant after unrolling, so the test on it disappears).
#define WELKARA_SHA512_PORTABLE_STEP(a, b, c, d, e, f, g, h, t) \
    step(a, b, c, d, e, f, g, h, kRound[t] + ((t) < 16 ? w[(t)&15] : extend(w, t)))

// Steps t..t+15, the roles of a..h rotating through all eight positions twice.
#define WELKARA_SHA512_PORTABLE_SIXTEEN_STEPS(t)                    \
    WELKARA_SHA512_PORTABLE_STEP(a, b, c, d, e, f, g, h, (t) + 0);  \
    WELKARA_SHA512_PORTABLE_STEP(h, a, b, c, d, e, f, g, (t) + 1);  \
    WELKARA_SHA512_PORTABLE_STEP(g, h, a, b, c, d, e, f, (t) + 2);  \
    WELKARA_SHA512_PORTABLE_STEP(f, g, h, a, b, c, d, e, (t) + 3);  \
    WELKARA_SHA512_PORTABLE_STEP(e, f, g, h, a, b, c, d, (t) + 4);  \
    WELKARA_SHA512_PORTABLE_STEP(d, e, f, g, h, a, b, c, (t) + 5);  \
    WELKARA_SHA512_PORTABLE_STEP(c, d, e, f, g, h, a, b, (t) + 6);  \
    WELKARA_SHA512_PORTABLE_STEP(b, c, d, e, f, g, h, a, (t) + 7);  \
    WELKARA_SHA512_PORTABLE_STEP(a, b, c, d, e, f, g, h, (t) + 8);  \
    WELKARA_SHA512_PORTABLE_STEP(h, a, b, c, d, e, f, g, (t) + 9);  \
    WELKARA_SHA512_PORTABLE_STEP(g, h, a, b, c, d, e, f, (t) + 10); \
    WELKARA_SHA512_PORTABLE_STEP(f, g, h, a, b, c, d, e, (t) + 11); \
    WELKARA_SHA512_PORTABLE_STEP(e, f, g, h, a, b, c, d, (t) + 12); \
    WELKARA_SHA512_PORTABLE_STEP(d, e, f, g, h, a, b, c, (t) + 13); \
    WELKARA_SHA512_PORTABLE_STEP(c, d, e, f, g, h, a, b, (t) + 14); \
    WELKARA_SHA512_PORTABLE_STEP(b, c, d, e, f, g, h, a, (t) + 15)

void portable_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count) {
    for (; count > 0; --count, blocks += 128) {
        std::uint64_t w[16];
        for (int i = 0; i < 16; ++i) {
            w[i] = load_be64(blocks + 8 * i);
        }
        std::uint64_t a = chaining[0], b = chaining[1], c = chaining[2], d = chaining[3];
        std::uint64_t e = chaining[4], f = chaining[5], g = chaining[6], h = chaining[7];
        WELKARA_SHA512_PORTABLE_SIXTEEN_STEPS(0);
        WELKARA_SHA512_PORTABLE_SIXTEEN_STEPS(16);
        WELKARA_SHA512_PORTABLE_SIXTEEN_STEPS(32);
        WELKARA_SHA512_PORTABLE_SIXTEEN_STEPS(48);
        WELKARA_SHA512_PORTABLE_SIXTEEN_STEPS(64);
        chaining[0] += a;
        chaining[1] += b;
        chaining[2] += c;
        chaining[3] += d;
        chaining[4] += e;
        chaining[5] += f;
        chaining[6] += g;
        chaining[7] += h;
    }
}

#if WELKARA_SHA512_X86

// The x86-64 block functions. The message schedule runs two words at a time in 128-bit vector registers,
// 16 words ahead of the steps, and adds K[t], so that each step reads one ready word K[t] + W[t] from the
// stack. The steps stay scalar and use the three-operand rotate of BMI2. Two variants differ only in how
// sigma0 and sigma1 are formed: with shifts (AVX), or with the vector rotate and three-way XOR of
// AVX-512VL (still on 128-bit registers). Neither uses 256-bit registers, so no spill ever needs more
// than the 16-byte stack alignment that every x86-64 ABI keeps.
#define WELKARA_SHA512_AVX __attribute__((target("avx,bmi2")))
#define WELKARA_SHA512_AVX512 __attribute__((target("avx,bmi2,avx512f,avx512vl")))

WELKARA_SHA512_AVX WELKARA_SHA512_INLINE __m128i avx_rotr(__m128i x, int n) {
    return _mm_or_si128(_mm_srli_epi64(x, n), _mm_slli_epi64(x, 64 - n));
}
WELKARA_SHA512_AVX WELKARA_SHA512_INLINE __m128i avx_sigma0(__m128i x) {
    return _mm_xor_si128(_mm_xor_si128(avx_rotr(x, 1), avx_rotr(x, 8)), _mm_srli_epi64(x, 7));
}
WELKARA_SHA512_AVX WELKARA_SHA512_INLINE __m128i avx_sigma1(__m128i x) {
    return _mm_xor_si128(_mm_xor_si128(avx_rotr(x, 19), avx_rotr(x, 61)), _mm_srli_epi64(x, 6));
}
// 0x96 is the truth table of a ^ b ^ c.
WELKARA_SHA512_AVX512 WELKARA_SHA512_INLINE __m128i avx512_sigma0(__m128i x) {
    return _mm_ternarylogic_epi64(_mm_ror_epi64(x, 1), _mm_ror_epi64(x, 8), _mm_srli_epi64(x, 7), 0x96);
}
WELKARA_SHA512_AVX512 WELKARA_SHA512_INLINE __m128i avx512_sigma1(__m128i x) {
    return _mm_ternarylogic_epi64(_mm_ror_epi64(x, 19), _mm_ror_epi64(x, 61), _mm_srli_epi64(x, 6), 0x96);
}

// The schedule ring: v[j] holds the pair W[16g + 2j], W[16g + 2j + 1] of the current group g of 16 words.
// NEXT_PAIR replaces v[j] by the pair 16 words later, W[t], W[t + 1] with t = 16(g + 1) + 2j, from
//   W[t] = sigma1(W[t-2]) + W[t-7] + sigma0(W[t-15]) + W[t-16].
// W[t + 1] needs W[t - 1] but not W[t], so both lanes are computed at once. The pairs are replaced in the
// order j = 0..7, so the slots (j + 4..7) & 7 already hold the new group where the formula needs it, and
// K[t] + W[t] goes to kw[t % 16].
#define WELKARA_SHA512_NEXT_PAIR(sigma0, sigma1, j, t)                                                       \
    do {                                                                                                     \
        __m128i w15 = _mm_alignr_epi8(v[((j) + 1) & 7], v[j], 8);                                            \
        __m128i w7 = _mm_alignr_epi8(v[((j) + 5) & 7], v[((j) + 4) & 7], 8);                                 \
        v[j] = _mm_add_epi64(_mm_add_epi64(v[j], sigma0(w15)), _mm_add_epi64(w7, sigma1(v[((j) + 7) & 7]))); \
        _mm_store_si128(                                                                                     \
            reinterpret_cast<__m128i*>(kw + ((t)&15)),                                                       \
            _mm_add_epi64(v[j], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + (t)))));            \
    } while (0)

// Two steps t, t + 1 with the roles of a..h given in the order of step t.
#define WELKARA_SHA512_TWO_STEPS(a, b, c, d, e, f, g, h, t) \
    step(a, b, c, d, e, f, g, h, kw[(t)&15]);               \
    step(h, a, b, c, d, e, f, g, kw[((t) + 1) & 15])

// Steps t..t+15, each pair followed by the schedule pair that reuses its two kw slots.
#define WELKARA_SHA512_SIXTEEN_STEPS_AND_SCHEDULE(sigma0, sigma1, t) \
    WELKARA_SHA512_TWO_STEPS(a, b, c, d, e, f, g, h, (t) + 0);       \
    WELKARA_SHA512_NEXT_PAIR(sigma0, sigma1, 0, (t) + 16);           \
    WELKARA_SHA512_TWO_STEPS(g, h, a, b, c, d, e, f, (t) + 2);       \
    WELKARA_SHA512_NEXT_PAIR(sigma0, sigma1, 1, (t) + 18);           \
    WELKARA_SHA512_TWO_STEPS(e, f, g, h, a, b, c, d, (t) + 4);       \
    WELKARA_SHA512_NEXT_PAIR(sigma0, sigma1, 2, (t) + 20);           \
    WELKARA_SHA512_TWO_STEPS(c, d, e, f, g, h, a, b, (t) + 6);       \
    WELKARA_SHA512_NEXT_PAIR(sigma0, sigma1, 3, (t) + 22);           \
    WELKARA_SHA512_TWO_STEPS(a, b, c, d, e, f, g, h, (t) + 8);       \
    WELKARA_SHA512_NEXT_PAIR(sigma0, sigma1, 4, (t) + 24);           \
    WELKARA_SHA512_TWO_STEPS(g, h, a, b, c, d, e, f, (t) + 10);      \
    WELKARA_SHA512_NEXT_PAIR(sigma0, sigma1, 5, (t) + 26);           \
    WELKARA_SHA512_TWO_STEPS(e, f, g, h, a, b, c, d, (t) + 12);      \
    WELKARA_SHA512_NEXT_PAIR(sigma0, sigma1, 6, (t) + 28);           \
    WELKARA_SHA512_TWO_STEPS(c, d, e, f, g, h, a, b, (t) + 14);      \
    WELKARA_SHA512_NEXT_PAIR(sigma0, sigma1, 7, (t) + 30)

#define WELKARA_SHA512_SIXTEEN_STEPS(t)                         \
    WELKARA_SHA512_TWO_STEPS(a, b, c, d, e, f, g, h, (t) + 0);  \
    WELKARA_SHA512_TWO_STEPS(g, h, a, b, c, d, e, f, (t) + 2);  \
    WELKARA_SHA512_TWO_STEPS(e, f, g, h, a, b, c, d, (t) + 4);  \
    WELKARA_SHA512_TWO_STEPS(c, d, e, f, g, h, a, b, (t) + 6);  \
    WELKARA_SHA512_TWO_STEPS(a, b, c, d, e, f, g, h, (t) + 8);  \
    WELKARA_SHA512_TWO_STEPS(g, h, a, b, c, d, e, f, (t) + 10); \
    WELKARA_SHA512_TWO_STEPS(e, f, g, h, a, b, c, d, (t) + 12); \
    WELKARA_SHA512_TWO_STEPS(c, d, e, f, g, h, a, b, (t) + 14)

// The whole block function for one sigma pair. The empty asm statements tell the compiler that kw may
// have changed, so the steps read it from memory (one load each) instead of moving every word out of a
// vector register (two or three instructions each).
#define WELKARA_SHA512_X86_BLOCKS(sigma0, sigma1)                                                       \
    const __m128i swap_bytes = _mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);      \
    for (; count > 0; --count, blocks += 128) {                                                         \
        alignas(16) std::uint64_t kw[16];                                                               \
        __m128i v[8];                                                                                   \
        for (int j = 0; j < 8; ++j) {                                                                   \
            v[j] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * j)), \
                                    swap_bytes);                                                        \
            _mm_store_si128(                                                                            \
                reinterpret_cast<__m128i*>(kw + 2 * j),                                                 \
                _mm_add_epi64(v[j], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 2 * j)))); \
        }                                                                                               \
        std::uint64_t a = chaining[0], b = chaining[1], c = chaining[2], d = chaining[3];               \
        std::uint64_t e = chaining[4], f = chaining[5], g = chaining[6], h = chaining[7];               \
        for (int t = 0; t < 64; t += 16) {                                                              \
            __asm__("" : "+m"(kw));                                                                     \
            WELKARA_SHA512_SIXTEEN_STEPS_AND_SCHEDULE(sigma0, sigma1, t);                               \
        }                                                                                               \
        __asm__("" : "+m"(kw));                                                                         \
        WELKARA_SHA512_SIXTEEN_STEPS(64);                                                               \
        chaining[0] += a;                                                                               \
        chaining[1] += b;                                                                               \
        chaining[2] += c;                                                                               \
        chaining[3] += d;                                                                               \
        chaining[4] += e;                                                                               \
        chaining[5] += f;                                                                               \
        chaining[6] += g;                                                                               \
        chaining[7] += h;                                                                               \
    }

WELKARA_SHA512_AVX void avx_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks,
                                   std::size_t count){WELKARA_SHA512_X86_BLOCKS(avx_sigma0, avx_sigma1)}

WELKARA_SHA512_AVX512
    void avx512_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count) {
    WELKARA_SHA512_X86_BLOCKS(avx512_sigma0, avx512_sigma1)
}

struct X86Features {
    bool avx_bmi2;  // AVX and BMI2, with the AVX state saved by the operating system
    bool avx512vl;  // and AVX-512F and AVX-512VL, with the AVX-512 state saved too
};

X86Features x86_features() {
    X86Features features{false, false};
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    const unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((ecx & osxsave) == 0 || (ecx & avx) == 0) {
        return features;
    }
    unsigned xcr0, xcr0_high;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    const unsigned sse_avx_state = 0x06, avx512_state = 0xe0;  // XMM, YMM; opmask, ZMM0-15 upper, ZMM16-31
    const unsigned bmi2 = 1u << 8, avx512f = 1u << 16, avx512vl = 1u << 31;
    features.avx_bmi2 = (xcr0 & sse_avx_state) == sse_avx_state && (ebx & bmi2) != 0;
    features.avx512vl = features.avx_bmi2 && (xcr0 & avx512_state) == avx512_state && (ebx & avx512f) != 0 &&
                        (ebx & avx512vl) != 0;
    return features;
}

#endif

// The implementations to try, fastest first; portable always works.
constexpr Sha512Implementation kFastestFirst[] = {
    Sha512Implementation::x86_avx512, Sha512Implementation::x86_avx, Sha512Implementation::portable};

Sha512Blocks& active_blocks() {
    static Sha512Blocks blocks = [] {
        Sha512Blocks found = nullptr;
        for (Sha512Implementation which : kFastestFirst) {
            if (found == nullptr) {
                found = sha512_blocks_of(which);
            }
        }
        return found;
    }();
    return blocks;
}

}  // namespace

Sha512Blocks sha512_blocks_of(Sha512Implementation which) {
#if WELKARA_SHA512_X86
    static const X86Features features = x86_features();
    switch (which) {
        case Sha512Implementation::portable:
            return portable_blocks;
        case Sha512Implementation::x86_avx:
            return features.avx_bmi2 ? avx_blocks : nullptr;
        case Sha512Implementation::x86_avx512:
            return features.avx512vl ? avx512_blocks : nullptr;
    }
    return nullptr;
#else
    return which == Sha512Implementation::portable ? portable_blocks : nullptr;
#endif
}

bool sha512_use(Sha512Implementation which) {
    Sha512Blocks blocks = sha512_blocks_of(which);
    if (blocks == nullptr) {
        return false;
    }
    active_blocks() = blocks;
    return true;
}

Sha512Implementation sha512_in_use() {
    for (Sha512Implementation which : kFastestFirst) {
        if (active_blocks() == sha512_blocks_of(which)) {
            return which;
        }
    }
    return Sha512Implementation::portable;
}

int sha512_init(Sha512State* state) {
    if (state == nullptr) {
        return 1;
    }
    state->bit_count = 0;
    std::memcpy(state->chaining, kInitial, sizeof kInitial);
    state->buffered_count = 0;
    return 0;
}

int sha512_update(Sha512State* state, const std::uint8_t* data, std::size_t count) {
    if (state == nullptr || data == nullptr || state->buffered_count > 128) {
        return 1;
    }
    Sha512Blocks blocks = active_blocks();
    while (count > 0) {
        if (state->buffered_count == 0 && count >= 128) {
            // Every whole block straight from the caller's memory, in one call.
            std::size_t whole = count / 128;
            blocks(state->chaining, data, whole);
            state->bit_count += 1024 * static_cast<std::uint64_t>(whole);
            data += 128 * whole;
            count -= 128 * whole;
            continue;
        }
        std::size_t room = 128 - state->buffered_count;
        std::size_t take = count < room ? count : room;
        std::memcpy(state->buffer + state->buffered_count, data, take);
        state->buffered_count += take;
        data += take;
        count -= take;
        if (state->buffered_count == 128) {
            blocks(state->chaining, state->buffer, 1);
            state->bit_count += 1024;
            state->buffered_count = 0;
        }
    }
    return 0;
}

int sha512_final(Sha512State* state, std::uint8_t* digest64) {
    if (state == nullptr || digest64 == nullptr || state->buffered_count >= 128) {
        return 1;
    }
    Sha512Blocks blocks = active_blocks();
    std::size_t n = state->buffered_count;
    state->bit_count += 8 * static_cast<std::uint64_t>(n);
    state->buffer[n++] = 0x80;
    if (n > 112) {
        std::memset(state->buffer + n, 0, 128 - n);
        blocks(state->chaining, state->buffer, 1);
        n = 0;
    }
    // Bytes 112..119, the upper half of the 128-bit length, are always zero.
    std::memset(state->buffer + n, 0, 120 - n);
    store_be64(state->buffer + 120, state->bit_count);
    blocks(state->chaining, state->buffer, 1);
    state->buffered_count = 0;
    for (int i = 0; i < 8; ++i) {
        store_be64(digest64 + 8 * i, state->chaining[i]);
    }
    return 0;
}

int sha512_compress(Sha512State* state, const std::uint8_t* block128) {
    if (state == nullptr || block128 == nullptr) {
        return 1;
    }
    active_blocks()(state->chaining, block128, 1);
    return 0;
}
