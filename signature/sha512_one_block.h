// The body of SHA-512's one-block functions, portable and x86_avx, which differ only in their step: one
// block after another, all 80 steps unrolled, the message schedule two words at a time in the compilers'
// generic vectors (SSE2 on x86-64, which every x86-64 processor has, NEON on ARM64, pairs of scalar
// operations elsewhere) running beside the scalar steps. Internal to signature/.
#pragma once

#include <cstring>

#include "signature/sha512_blocks.h"

namespace sha512_detail {

inline std::uint64_t load_be64(const std::uint8_t* p) {
    return std::uint64_t{p[0]} << 56 | std::uint64_t{p[1]} << 48 | std::uint64_t{p[2]} << 40 |
           std::uint64_t{p[3]} << 32 | std::uint64_t{p[4]} << 24 | std::uint64_t{p[5]} << 16 |
           std::uint64_t{p[6]} << 8 | std::uint64_t{p[7]};
}

// Two words of the message schedule side by side.
typedef std::uint64_t WordPair __attribute__((vector_size(16)));

WELKARA_SHA512_INLINE WordPair load_pair(const std::uint64_t* p) {
    WordPair x;
    std::memcpy(&x, p, sizeof x);
    return x;
}
WELKARA_SHA512_INLINE void store_pair(std::uint64_t* p, WordPair x) {
    std::memcpy(p, &x, sizeof x);
}
WELKARA_SHA512_INLINE WordPair pair_rotr(WordPair x, int n) {
    return x >> n | x << (64 - n);
}
WELKARA_SHA512_INLINE WordPair pair_sigma0(WordPair x) {
    return pair_rotr(x, 1) ^ pair_rotr(x, 8) ^ x >> 7;
}
WELKARA_SHA512_INLINE WordPair pair_sigma1(WordPair x) {
    return pair_rotr(x, 19) ^ pair_rotr(x, 61) ^ x >> 6;
}
// The second word of x and the first of y.
WELKARA_SHA512_INLINE WordPair pair_straddle(WordPair x, WordPair y) {
    return __builtin_shufflevector(x, y, 1, 2);
}

// The schedule is a ring of eight pairs: v[j] holds W[16g + 2j], W[16g + 2j + 1] of the current group g
// of 16 words. Schedule step j after steps t..t+15 replaces v[j] by the pair 16 words later, W[u], W[u + 1]
// with u = t + 16 + 2j, from
//   W[u] = sigma1(W[u-2]) + W[u-7] + sigma0(W[u-15]) + W[u-16].
// W[u + 1] needs W[u - 1] but not W[u], so both words are computed at once. The pairs are replaced in the
// order j = 0..7, so the slots (j + 4..7) & 7 already hold the new group where the formula needs it, and
// K[u] + W[u] goes to kw[u % 16], the slots that the two steps just before have read.
#define WELKARA_SHA512_ONE_BLOCK_SCHEDULE(j, t)                                                            \
    do {                                                                                                   \
        v[j] += pair_sigma0(pair_straddle(v[j], v[((j) + 1) & 7])) +                                       \
                pair_straddle(v[((j) + 4) & 7], v[((j) + 5) & 7]) + pair_sigma1(v[((j) + 7) & 7]);         \
        store_pair(kw + (((t) + 16 + 2 * (j)) & 15), v[j] + load_pair(kConstants.k + (t) + 16 + 2 * (j))); \
    } while (0)

// Loads words 2j, 2j + 1 of the block at `next` into v[j] and K[2j] + W[2j], K[2j + 1] + W[2j + 1] into
// kw[2j], kw[2j + 1].
#define WELKARA_SHA512_ONE_BLOCK_LOAD_NEXT(j, t)                                     \
    do {                                                                             \
        v[j] = WordPair{load_be64(next + 16 * (j)), load_be64(next + 16 * (j) + 8)}; \
        store_pair(kw + 2 * (j), v[j] + load_pair(kConstants.k + 2 * (j)));          \
    } while (0)

// Two steps t, t + 1 with the roles of a..h given in the order of step t, reading kw[t % 16].
#define WELKARA_SHA512_ONE_BLOCK_TWO_STEPS(a, b, c, d, e, f, g, h, t) \
    step(a, b, c, d, e, f, g, h, kw[(t)&15]);                         \
    step(h, a, b, c, d, e, f, g, kw[((t) + 1) & 15])

// Updates chaining with blocks[0, 128 * count), as a block function does, calling
//   step(a, b, c, d, e, f, g, h, k_plus_w)
// for each compression step t, with k_plus_w = K[t] + W[t], an lvalue in kw. The step adds
//   T1 = h + K[t] + W[t] + Ch(e, f, g) + Sigma1(e)
// to d (the new e) and leaves T1 + Maj(a, b, c) + Sigma0(a) in h (the new a): the roles of a..h rotate from
// step to step instead of the values moving. The next block's words are loaded during the last 16 steps of
// the block before (the last block loads itself again, unused), the first block's on their own. The empty
// asm statements tell the compiler that kw may have changed, so that the steps load each K[t] + W[t] (one
// load, folded into an addition) instead of taking it out of a vector register (two or three instructions).
template <typename Step>
WELKARA_SHA512_INLINE void one_block_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks,
                                            std::size_t count, Step step) {
    if (count == 0) {
        return;
    }
    alignas(16) std::uint64_t kw[16];
    WordPair v[8];
    const std::uint8_t* next = blocks;
    for (int j = 0; j < 8; ++j) {
        WELKARA_SHA512_ONE_BLOCK_LOAD_NEXT(j, 0);
    }
    for (; count > 0; --count, blocks += 128) {
        std::uint64_t a = chaining[0], b = chaining[1], c = chaining[2], d = chaining[3];
        std::uint64_t e = chaining[4], f = chaining[5], g = chaining[6], h = chaining[7];
        for (int t = 0; t < 64; t += 16) {
            __asm__("" : "+m"(kw));
            WELKARA_SHA512_SIXTEEN_STEPS(WELKARA_SHA512_ONE_BLOCK_TWO_STEPS, t,
                                         WELKARA_SHA512_ONE_BLOCK_SCHEDULE);
        }
        __asm__("" : "+m"(kw));
        next = count > 1 ? blocks + 128 : blocks;
        WELKARA_SHA512_SIXTEEN_STEPS(WELKARA_SHA512_ONE_BLOCK_TWO_STEPS, 64,
                                     WELKARA_SHA512_ONE_BLOCK_LOAD_NEXT);
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

}  // namespace sha512_detail
