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

// K, the first 64 bits of the fractional parts of the cube roots of the first 80 primes, and after it the
// byte shuffle that reverses each 64-bit word of a 256-bit register, so that the two-block functions reach
// both through one pointer.
struct RoundConstants {
    std::uint64_t k[80];
    std::uint8_t swap_bytes[32];
};
alignas(64) constexpr RoundConstants kConstants = {
    {
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
    },
    {7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
     7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8}};
constexpr const std::uint64_t* kRound = kConstants.k;

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
// Sigma0 and Sigma1 with two of their three rotates as one rotate of a sum (rotr(x, 28) ^ rotr(x, 34) =
// rotr(x ^ rotr(x, 6), 28)): one copy of x fewer where a rotate overwrites its operand, for one operation
// more on the way from x to the result.
WELKARA_SHA512_INLINE std::uint64_t big_sigma0(std::uint64_t x) {
    return rotr(x ^ rotr(x, 6), 28) ^ rotr(x, 39);
}
WELKARA_SHA512_INLINE std::uint64_t big_sigma1(std::uint64_t x) {
    return rotr(x ^ rotr(x, 4), 14) ^ rotr(x, 41);
}
// Ends a sum here: the compiler may neither reassociate across it nor move later additions before it.
// It emits nothing. The steps below use it to keep the order of their additions.
#if defined(__GNUC__) || defined(__clang__)
#define WELKARA_SHA512_KEEP(x) __asm__("" : "+r"(x))
#else
#define WELKARA_SHA512_KEEP(x) ((void)0)
#endif

// One compression step of the portable block function, with k_plus_w = K[t] + W[t]:
//   T1 = h + K[t] + W[t] + Ch(e, f, g) + Sigma1(e),  new e = d + T1,  new a = T1 + Maj(a, b, c) + Sigma0(a).
// The roles of a..h rotate from step to step instead of the values moving: the caller passes them shifted
// by one place each time, and this step writes the new e into d and the new a into h. T1 is formed with
// Sigma1(e) last and the new a with Sigma0(a) last, the terms that take longest after e and a. Ch(e,f,g) =
// ((f^g)&e)^g and Maj(a,b,c) = ((b^c)&(a^b))^b, where b^c is the previous step's a^b, which the compiler
// keeps. This is the form with the fewest instructions; the x86-64 functions, with the three-operand
// rotate of BMI2, use a form with shorter dependency chains instead (WELKARA_SHA512_X86_STEP).
WELKARA_SHA512_INLINE void step(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& d,
                                std::uint64_t e, std::uint64_t f, std::uint64_t g, std::uint64_t& h,
                                std::uint64_t k_plus_w) {
    h += k_plus_w;
    WELKARA_SHA512_KEEP(h);
    h += ((f ^ g) & e) ^ g;
    WELKARA_SHA512_KEEP(h);
    h += big_sigma1(e);
    WELKARA_SHA512_KEEP(h);
    d += h;
    h += ((b ^ c) & (a ^ b)) ^ b;
    WELKARA_SHA512_KEEP(h);
    h += big_sigma0(a);
}

// Two words of the message schedule side by side, in the compilers' generic vectors: SSE2 instructions on
// x86-64, which every x86-64 processor has, NEON on ARM64, and pairs of scalar operations where the target
// has no such registers. The steps stay scalar; the schedule runs beside them in the vector unit.
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

// The one-block functions, portable and x86_avx, differ only in their step; their schedule is a ring of
// eight pairs: v[j] holds W[16g + 2j], W[16g + 2j + 1] of the current group g of 16 words. NEXT_PAIR
// replaces v[j] by the pair 16 words later, W[t], W[t + 1] with t = 16(g + 1) + 2j, from
//   W[t] = sigma1(W[t-2]) + W[t-7] + sigma0(W[t-15]) + W[t-16].
// W[t + 1] needs W[t - 1] but not W[t], so both words are computed at once. The pairs are replaced in the
// order j = 0..7, so the slots (j + 4..7) & 7 already hold the new group where the formula needs it, and
// K[t] + W[t] goes to kw[t % 16], the slots that the two steps just before have read.
#define WELKARA_SHA512_NEXT_PAIR(j, t)                                                             \
    do {                                                                                           \
        v[j] += pair_sigma0(pair_straddle(v[j], v[((j) + 1) & 7])) +                               \
                pair_straddle(v[((j) + 4) & 7], v[((j) + 5) & 7]) + pair_sigma1(v[((j) + 7) & 7]); \
        store_pair(kw + ((t)&15), v[j] + load_pair(kRound + (t)));                                 \
    } while (0)

// Two steps t, t + 1 with the roles of a..h given in the order of step t, reading kw[t % 16].
#define WELKARA_SHA512_ONE_BLOCK_TWO_STEPS(step, a, b, c, d, e, f, g, h, t) \
    step(a, b, c, d, e, f, g, h, kw[(t)&15]);                               \
    step(h, a, b, c, d, e, f, g, kw[((t) + 1) & 15])

// Loads words 2j, 2j + 1 of the block at `next` into v[j] and K[2j] + W[2j], K[2j + 1] + W[2j + 1] into
// kw[2j], kw[2j + 1].
#define WELKARA_SHA512_ONE_BLOCK_LOAD_PAIR(j, next)                                      \
    do {                                                                                 \
        v[j] = WordPair{load_be64((next) + 16 * (j)), load_be64((next) + 16 * (j) + 8)}; \
        store_pair(kw + 2 * (j), v[j] + load_pair(kRound + 2 * (j)));                    \
    } while (0)

// What follows the pair of steps t + 2j, t + 2j + 1, reusing the two kw slots they read: the schedule
// pair 16 words later, or the words of the next block.
#define WELKARA_SHA512_ONE_BLOCK_SCHEDULE(j, t) WELKARA_SHA512_NEXT_PAIR(j, (t) + 16 + 2 * (j))
#define WELKARA_SHA512_ONE_BLOCK_LOAD_NEXT(j, t) WELKARA_SHA512_ONE_BLOCK_LOAD_PAIR(j, next)

// Steps t..t+15, each pair followed by then(j, t).
#define WELKARA_SHA512_ONE_BLOCK_SIXTEEN_STEPS(step, t, then)                   \
    WELKARA_SHA512_ONE_BLOCK_TWO_STEPS(step, a, b, c, d, e, f, g, h, (t) + 0);  \
    then(0, t);                                                                 \
    WELKARA_SHA512_ONE_BLOCK_TWO_STEPS(step, g, h, a, b, c, d, e, f, (t) + 2);  \
    then(1, t);                                                                 \
    WELKARA_SHA512_ONE_BLOCK_TWO_STEPS(step, e, f, g, h, a, b, c, d, (t) + 4);  \
    then(2, t);                                                                 \
    WELKARA_SHA512_ONE_BLOCK_TWO_STEPS(step, c, d, e, f, g, h, a, b, (t) + 6);  \
    then(3, t);                                                                 \
    WELKARA_SHA512_ONE_BLOCK_TWO_STEPS(step, a, b, c, d, e, f, g, h, (t) + 8);  \
    then(4, t);                                                                 \
    WELKARA_SHA512_ONE_BLOCK_TWO_STEPS(step, g, h, a, b, c, d, e, f, (t) + 10); \
    then(5, t);                                                                 \
    WELKARA_SHA512_ONE_BLOCK_TWO_STEPS(step, e, f, g, h, a, b, c, d, (t) + 12); \
    then(6, t);                                                                 \
    WELKARA_SHA512_ONE_BLOCK_TWO_STEPS(step, c, d, e, f, g, h, a, b, (t) + 14); \
    then(7, t)

// The body of a one-block function. The next block's words are loaded during the last 16 steps of the
// block before (the last block loads itself again, unused), the first block's on their own. The empty asm
// statements tell the compiler that kw may have changed, so that the steps load each K[t] + W[t] (one
// load, folded into an addition) instead of taking it out of a vector register (two or three
// instructions).
#define WELKARA_SHA512_ONE_BLOCK(step)                                                          \
    if (count == 0) {                                                                           \
        return;                                                                                 \
    }                                                                                           \
    alignas(16) std::uint64_t kw[16];                                                           \
    WordPair v[8];                                                                              \
    for (int j = 0; j < 8; ++j) {                                                               \
        WELKARA_SHA512_ONE_BLOCK_LOAD_PAIR(j, blocks);                                          \
    }                                                                                           \
    for (; count > 0; --count, blocks += 128) {                                                 \
        std::uint64_t a = chaining[0], b = chaining[1], c = chaining[2], d = chaining[3];       \
        std::uint64_t e = chaining[4], f = chaining[5], g = chaining[6], h = chaining[7];       \
        for (int t = 0; t < 64; t += 16) {                                                      \
            __asm__("" : "+m"(kw));                                                             \
            WELKARA_SHA512_ONE_BLOCK_SIXTEEN_STEPS(step, t, WELKARA_SHA512_ONE_BLOCK_SCHEDULE); \
        }                                                                                       \
        __asm__("" : "+m"(kw));                                                                 \
        const std::uint8_t* next = count > 1 ? blocks + 128 : blocks;                           \
        WELKARA_SHA512_ONE_BLOCK_SIXTEEN_STEPS(step, 64, WELKARA_SHA512_ONE_BLOCK_LOAD_NEXT);   \
        chaining[0] += a;                                                                       \
        chaining[1] += b;                                                                       \
        chaining[2] += c;                                                                       \
        chaining[3] += d;                                                                       \
        chaining[4] += e;                                                                       \
        chaining[5] += f;                                                                       \
        chaining[6] += g;                                                                       \
        chaining[7] += h;                                                                       \
    }

void portable_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count) {
    WELKARA_SHA512_ONE_BLOCK(step)
}

#if WELKARA_SHA512_X86

// The x86-64 block functions. The steps stay scalar, with the three-operand rotate of BMI2, and read each
// K[t] + W[t] from memory, where the message schedule, running in vector registers ahead of them, stores
// it. The empty asm statements tell the compiler that this memory may have changed, so the steps load
// each word (one load, folded into an addition) instead of moving it out of a vector register (two or
// three instructions).
//   x86_avx: the one-block function of the portable path with this step (AVX, BMI2).
//   x86_avx2, x86_avx512: two blocks at a time, the same two words of both blocks in one 256-bit register,
//   the first block's in the low half and the second's in the high half, so that each vector instruction
//   serves two blocks (AVX2, BMI1, BMI2; the AVX-512 variant also AVX-512F and AVX-512VL, for the 64-bit
//   vector rotate and the three-input logic instruction that shorten sigma0 and sigma1).
// 64-bit Windows keeps the stack 16-byte aligned and GCC does not realign it for 32-byte locals, so the
// 256-bit schedule memory is a word array aligned by hand.

// The step of the x86-64 functions: the same sums as step(), in a fixed order of instructions, so that
// whatever else the compiler schedules around them, each step needs the eight values and three temporaries
// in registers and nothing more. The new e is ((d + h + K[t] + W[t]) + Ch) + Sigma1(e) and the new a
// ((h + K[t] + W[t] + Ch) + Sigma1(e) + Maj) + Sigma0(a). Operand names are capitals so that the macro
// parameters a..h do not rename them.
#define WELKARA_SHA512_X86_STEP(a, b, c, d, e, f, g, h, k_plus_w)                                          \
    do {                                                                                                   \
        std::uint64_t t1, t2, t3;                                                                          \
        __asm__(                                                                                           \
            "add %[KW], %[H]\n\t"                                                                          \
            "mov %[F], %[T1]\n\t"                                                                          \
            "add %[H], %[D]\n\t"                                                                           \
            "xor %[G], %[T1]\n\t"                                                                          \
            "and %[E], %[T1]\n\t"                                                                          \
            "xor %[G], %[T1]\n\t"                                                                          \
            "rorx $14, %[E], %[T2]\n\t"                                                                    \
            "rorx $18, %[E], %[T3]\n\t"                                                                    \
            "add %[T1], %[D]\n\t"                                                                          \
            "add %[T1], %[H]\n\t"                                                                          \
            "xor %[T3], %[T2]\n\t"                                                                         \
            "rorx $41, %[E], %[T3]\n\t"                                                                    \
            "xor %[T3], %[T2]\n\t"                                                                         \
            "add %[T2], %[D]\n\t"                                                                          \
            "add %[T2], %[H]\n\t"                                                                          \
            "mov %[B], %[T1]\n\t"                                                                          \
            "xor %[C], %[T1]\n\t"                                                                          \
            "and %[A], %[T1]\n\t"                                                                          \
            "mov %[B], %[T2]\n\t"                                                                          \
            "and %[C], %[T2]\n\t"                                                                          \
            "xor %[T2], %[T1]\n\t"                                                                         \
            "add %[T1], %[H]\n\t"                                                                          \
            "rorx $28, %[A], %[T2]\n\t"                                                                    \
            "rorx $34, %[A], %[T3]\n\t"                                                                    \
            "xor %[T3], %[T2]\n\t"                                                                         \
            "rorx $39, %[A], %[T3]\n\t"                                                                    \
            "xor %[T3], %[T2]\n\t"                                                                         \
            "add %[T2], %[H]"                                                                              \
            : [D] "+r"(d), [H] "+r"(h), [T1] "=&r"(t1), [T2] "=&r"(t2), [T3] "=&r"(t3)                     \
            : [A] "r"(a), [B] "r"(b), [C] "r"(c), [E] "r"(e), [F] "r"(f), [G] "r"(g), [KW] "m"(k_plus_w)); \
    } while (0)

#define WELKARA_SHA512_AVX __attribute__((target("avx,bmi2")))
#define WELKARA_SHA512_AVX2 __attribute__((target("avx,avx2,bmi,bmi2")))
// The AVX-512 function is tuned as for Skylake-AVX512: with the generic tuning, GCC keeps some of its
// pointers in vector registers and moves them back for each use, which measured about 5% slower.
#define WELKARA_SHA512_AVX512 \
    __attribute__((target("avx,avx2,bmi,bmi2,avx512f,avx512vl,tune=skylake-avx512")))

WELKARA_SHA512_AVX void avx_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count) {
    WELKARA_SHA512_ONE_BLOCK(WELKARA_SHA512_X86_STEP)
}

// Two blocks at a time. A pair of blocks has one schedule, each 256-bit value holding the same two words
// of both blocks: 8 loads (words 0..15) and 32 schedule steps q = 0..31 (words 16 + 2q, 17 + 2q). So that
// no stretch of steps carries all of the vector work, it is spread over the 160 steps of the pair:
//   - the first block's steps 8..71 run schedule steps 16..31 of their own pair, one after every four
//     steps (step q = 16 + i after step 11 + 4i, well before step 16 + 2q reads its words);
//   - the second block's steps 0..15 load the next pair of blocks, one load after every two steps, and
//     its steps 16..79 run schedule steps 0..15 of the next pair, one after every four steps.
// The next pair's words go where the current pair's words that the second block has already read were.
// The first pair's loads and first 16 schedule steps run on their own before its first block. A pair that is
// a single block (the last one when the count is odd) has the same block in both halves and skips its second
// block; the last pair's second block schedules a next pair from its own bytes, which is never used. The
// stretches with schedule work are loops over 16 steps: the code stays small enough for the processor's
// decoded-instruction cache, which the measurements showed to matter more than unrolling.
//
// Memory (`scratch`, 32-byte aligned, 320 words): kw, the 160 words K[t] + W[t] of the pair, and w, the
// 160 words W[t], both laid out as [4p + 2 lane + i] for the word 2p + i of block `lane`. Schedule step q
// reads the pairs q, q + 1, q + 4 and q + 5 of w and writes pair 8 + q of both, so that with o pointing at
// pair q everything it touches is at a constant distance from o. The latest pair of words stays in a
// register, `last`.
constexpr int kWOffset = 160;  // w, after kw
constexpr int kScratchWords = 320;

// Loads words 2j, 2j + 1 of both blocks of a pair (block 0 at `first`, block 1 at `second`) into the
// scratch memory at `base`.
#define WELKARA_SHA512_LOAD_PAIR(j, first, second, base)                                                 \
    do {                                                                                                 \
        last = _mm256_shuffle_epi8(                                                                      \
            _mm256_inserti128_si256(                                                                     \
                _mm256_castsi128_si256(                                                                  \
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>((first) + 16 * (j)))),              \
                _mm_loadu_si128(reinterpret_cast<const __m128i*>((second) + 16 * (j))), 1),              \
            _mm256_load_si256(reinterpret_cast<const __m256i*>(swap_bytes)));                            \
        _mm256_store_si256(reinterpret_cast<__m256i*>((base) + kWOffset + 4 * (j)), last);               \
        _mm256_store_si256(reinterpret_cast<__m256i*>((base) + 4 * (j)),                                 \
                           _mm256_add_epi64(last, _mm256_broadcastsi128_si256(_mm_load_si128(            \
                                                      reinterpret_cast<const __m128i*>(k + 2 * (j)))))); \
        __asm__("" : "+m"(*reinterpret_cast<std::uint64_t(*)[kScratchWords]>(scratch)));                 \
    } while (0)

// Schedule step q + i of both blocks, with o = scratch + 4q and kq = K + 16 + 2q: with t = 16 + 2(q + i),
//   W[t] = sigma1(W[t-2]) + W[t-7] + sigma0(W[t-15]) + W[t-16],
// for the pair W[t], W[t + 1] at once (W[t + 1] needs W[t - 1], not W[t]). W[t-2], W[t-1] are `last`;
// the pairs of words that straddle two stored pairs come from _mm256_alignr_epi8, which works within each
// 128-bit half, that is within each block.
#define WELKARA_SHA512_SCHEDULE_PAIR(sigma0, sigma1, i)                                                   \
    do {                                                                                                  \
        const __m256i w16 = _mm256_load_si256(reinterpret_cast<const __m256i*>(o + kWOffset + 4 * (i)));  \
        const __m256i w15 = _mm256_alignr_epi8(                                                           \
            _mm256_load_si256(reinterpret_cast<const __m256i*>(o + kWOffset + 4 * (i) + 4)), w16, 8);     \
        const __m256i w7 = _mm256_alignr_epi8(                                                            \
            _mm256_load_si256(reinterpret_cast<const __m256i*>(o + kWOffset + 4 * (i) + 20)),             \
            _mm256_load_si256(reinterpret_cast<const __m256i*>(o + kWOffset + 4 * (i) + 16)), 8);         \
        last = _mm256_add_epi64(_mm256_add_epi64(w16, sigma0(w15)), _mm256_add_epi64(w7, sigma1(last)));  \
        _mm256_store_si256(reinterpret_cast<__m256i*>(o + kWOffset + 4 * (i) + 32), last);                \
        _mm256_store_si256(reinterpret_cast<__m256i*>(o + 4 * (i) + 32),                                  \
                           _mm256_add_epi64(last, _mm256_broadcastsi128_si256(_mm_load_si128(             \
                                                      reinterpret_cast<const __m128i*>(kq + 2 * (i)))))); \
        __asm__("" : "+m"(*reinterpret_cast<std::uint64_t(*)[kScratchWords]>(scratch)));                  \
    } while (0)

// Two steps t, t + 1 of the block whose K + W are in[2t], in[2t + 1] (in = kw + 2 lane + an even
// multiple of 16), with the roles of a..h as for step t.
#define WELKARA_SHA512_LANE_TWO_STEPS(a, b, c, d, e, f, g, h, t)  \
    WELKARA_SHA512_X86_STEP(a, b, c, d, e, f, g, h, in[2 * (t)]); \
    WELKARA_SHA512_X86_STEP(h, a, b, c, d, e, f, g, in[2 * (t) + 1])

// Steps t..t+7 from `in`, the roles as at a multiple of 8.
#define WELKARA_SHA512_LANE_EIGHT_STEPS(t)                          \
    WELKARA_SHA512_LANE_TWO_STEPS(a, b, c, d, e, f, g, h, (t) + 0); \
    WELKARA_SHA512_LANE_TWO_STEPS(g, h, a, b, c, d, e, f, (t) + 2); \
    WELKARA_SHA512_LANE_TWO_STEPS(e, f, g, h, a, b, c, d, (t) + 4); \
    WELKARA_SHA512_LANE_TWO_STEPS(c, d, e, f, g, h, a, b, (t) + 6)

// Steps 0..15 from `in` (roles as at a multiple of 8), with schedule steps o, kq + 0..3 after every four.
#define WELKARA_SHA512_SIXTEEN_STEPS_AND_SCHEDULE(sigma0, sigma1) \
    WELKARA_SHA512_LANE_TWO_STEPS(a, b, c, d, e, f, g, h, 0);     \
    WELKARA_SHA512_LANE_TWO_STEPS(g, h, a, b, c, d, e, f, 2);     \
    WELKARA_SHA512_SCHEDULE_PAIR(sigma0, sigma1, 0);              \
    WELKARA_SHA512_LANE_TWO_STEPS(e, f, g, h, a, b, c, d, 4);     \
    WELKARA_SHA512_LANE_TWO_STEPS(c, d, e, f, g, h, a, b, 6);     \
    WELKARA_SHA512_SCHEDULE_PAIR(sigma0, sigma1, 1);              \
    WELKARA_SHA512_LANE_TWO_STEPS(a, b, c, d, e, f, g, h, 8);     \
    WELKARA_SHA512_LANE_TWO_STEPS(g, h, a, b, c, d, e, f, 10);    \
    WELKARA_SHA512_SCHEDULE_PAIR(sigma0, sigma1, 2);              \
    WELKARA_SHA512_LANE_TWO_STEPS(e, f, g, h, a, b, c, d, 12);    \
    WELKARA_SHA512_LANE_TWO_STEPS(c, d, e, f, g, h, a, b, 14);    \
    WELKARA_SHA512_SCHEDULE_PAIR(sigma0, sigma1, 3)

// Steps 0..15 from `in` = kw + 2 (the second block), loading the pair of blocks at first, second after
// every two (addressed from `in`, which holds the address anyway).
#define WELKARA_SHA512_SIXTEEN_STEPS_AND_LOAD(first, second)   \
    WELKARA_SHA512_LANE_TWO_STEPS(a, b, c, d, e, f, g, h, 0);  \
    WELKARA_SHA512_LOAD_PAIR(0, first, second, in - 2);        \
    WELKARA_SHA512_LANE_TWO_STEPS(g, h, a, b, c, d, e, f, 2);  \
    WELKARA_SHA512_LOAD_PAIR(1, first, second, in - 2);        \
    WELKARA_SHA512_LANE_TWO_STEPS(e, f, g, h, a, b, c, d, 4);  \
    WELKARA_SHA512_LOAD_PAIR(2, first, second, in - 2);        \
    WELKARA_SHA512_LANE_TWO_STEPS(c, d, e, f, g, h, a, b, 6);  \
    WELKARA_SHA512_LOAD_PAIR(3, first, second, in - 2);        \
    WELKARA_SHA512_LANE_TWO_STEPS(a, b, c, d, e, f, g, h, 8);  \
    WELKARA_SHA512_LOAD_PAIR(4, first, second, in - 2);        \
    WELKARA_SHA512_LANE_TWO_STEPS(g, h, a, b, c, d, e, f, 10); \
    WELKARA_SHA512_LOAD_PAIR(5, first, second, in - 2);        \
    WELKARA_SHA512_LANE_TWO_STEPS(e, f, g, h, a, b, c, d, 12); \
    WELKARA_SHA512_LOAD_PAIR(6, first, second, in - 2);        \
    WELKARA_SHA512_LANE_TWO_STEPS(c, d, e, f, g, h, a, b, 14); \
    WELKARA_SHA512_LOAD_PAIR(7, first, second, in - 2)

#define WELKARA_SHA512_FEED_FORWARD() \
    chaining[0] = a += chaining[0];   \
    chaining[1] = b += chaining[1];   \
    chaining[2] = c += chaining[2];   \
    chaining[3] = d += chaining[3];   \
    chaining[4] = e += chaining[4];   \
    chaining[5] = f += chaining[5];   \
    chaining[6] = g += chaining[6];   \
    chaining[7] = h += chaining[7]

// The two-block function for one sigma pair (see above). `in` passes through WELKARA_SHA512_KEEP each time
// it is set, so that the compiler forms each step's address from it instead of keeping every address of
// the loop in a register of its own.
#define WELKARA_SHA512_TWO_BLOCKS(sigma0, sigma1)                                                   \
    /* The constants through a pointer that the compiler cannot follow, so that it loads them where \
       they are used instead of keeping them in registers across the function. */                   \
    const RoundConstants* constants = &kConstants;                                                  \
    WELKARA_SHA512_KEEP(constants);                                                                 \
    const std::uint64_t* const k = constants->k;                                                    \
    const std::uint8_t* const swap_bytes = constants->swap_bytes;                                   \
    __m256i last;                                                                                   \
    const std::uint8_t* second = count > 1 ? blocks + 128 : blocks;                                 \
    for (int j = 0; j < 8; ++j) {                                                                   \
        WELKARA_SHA512_LOAD_PAIR(j, blocks, second, scratch);                                       \
    }                                                                                               \
    for (int q = 0; q < 16; q += 4) {                                                               \
        std::uint64_t* o = scratch + 4 * q;                                                         \
        const std::uint64_t* kq = k + 16 + 2 * q;                                                   \
        WELKARA_SHA512_SCHEDULE_PAIR(sigma0, sigma1, 0);                                            \
        WELKARA_SHA512_SCHEDULE_PAIR(sigma0, sigma1, 1);                                            \
        WELKARA_SHA512_SCHEDULE_PAIR(sigma0, sigma1, 2);                                            \
        WELKARA_SHA512_SCHEDULE_PAIR(sigma0, sigma1, 3);                                            \
    }                                                                                               \
    std::uint64_t a = chaining[0], b = chaining[1], c = chaining[2], d = chaining[3];               \
    std::uint64_t e = chaining[4], f = chaining[5], g = chaining[6], h = chaining[7];               \
    for (;;) {                                                                                      \
        /* The first block: steps 0..7, 64 steps with schedule steps 16..31, steps 72..79. */       \
        std::uint64_t* in = scratch;                                                                \
        WELKARA_SHA512_KEEP(in);                                                                    \
        WELKARA_SHA512_LANE_EIGHT_STEPS(0);                                                         \
        for (int q = 16; q < 32; q += 4) {                                                          \
            in = scratch + 2 * (8 + 4 * (q - 16));                                                  \
            WELKARA_SHA512_KEEP(in);                                                                \
            std::uint64_t* o = scratch + 4 * q;                                                     \
            const std::uint64_t* kq = k + 16 + 2 * q;                                               \
            WELKARA_SHA512_SIXTEEN_STEPS_AND_SCHEDULE(sigma0, sigma1);                              \
        }                                                                                           \
        in = scratch + 2 * 72;                                                                      \
        WELKARA_SHA512_KEEP(in);                                                                    \
        WELKARA_SHA512_LANE_EIGHT_STEPS(0);                                                         \
        WELKARA_SHA512_FEED_FORWARD();                                                              \
        if (count == 1) {                                                                           \
            break;                                                                                  \
        }                                                                                           \
        /* The second block: steps 0..15 loading the next pair, 64 steps with its schedule steps    \
           0..15. */                                                                                \
        const std::uint8_t* next_first = count > 2 ? blocks + 256 : blocks;                         \
        const std::uint8_t* next_second = count > 3 ? blocks + 384 : next_first;                    \
        in = scratch + 2;                                                                           \
        WELKARA_SHA512_KEEP(in);                                                                    \
        WELKARA_SHA512_SIXTEEN_STEPS_AND_LOAD(next_first, next_second);                             \
        for (int q = 0; q < 16; q += 4) {                                                           \
            in = scratch + 2 + 2 * (16 + 4 * q);                                                    \
            WELKARA_SHA512_KEEP(in);                                                                \
            std::uint64_t* o = scratch + 4 * q;                                                     \
            const std::uint64_t* kq = k + 16 + 2 * q;                                               \
            WELKARA_SHA512_SIXTEEN_STEPS_AND_SCHEDULE(sigma0, sigma1);                              \
        }                                                                                           \
        WELKARA_SHA512_FEED_FORWARD();                                                              \
        if (count == 2) {                                                                           \
            break;                                                                                  \
        }                                                                                           \
        blocks += 256;                                                                              \
        count -= 2;                                                                                 \
    }

WELKARA_SHA512_AVX2 WELKARA_SHA512_INLINE __m256i avx2_rotr(__m256i x, int n) {
    return _mm256_or_si256(_mm256_srli_epi64(x, n), _mm256_slli_epi64(x, 64 - n));
}
WELKARA_SHA512_AVX2 WELKARA_SHA512_INLINE __m256i avx2_sigma0(__m256i x) {
    return _mm256_xor_si256(_mm256_xor_si256(avx2_rotr(x, 1), avx2_rotr(x, 8)), _mm256_srli_epi64(x, 7));
}
WELKARA_SHA512_AVX2 WELKARA_SHA512_INLINE __m256i avx2_sigma1(__m256i x) {
    return _mm256_xor_si256(_mm256_xor_si256(avx2_rotr(x, 19), avx2_rotr(x, 61)), _mm256_srli_epi64(x, 6));
}
// 0x96 is the truth table of a ^ b ^ c.
WELKARA_SHA512_AVX512 WELKARA_SHA512_INLINE __m256i avx512_sigma0(__m256i x) {
    return _mm256_ternarylogic_epi64(_mm256_ror_epi64(x, 1), _mm256_ror_epi64(x, 8), _mm256_srli_epi64(x, 7),
                                     0x96);
}
WELKARA_SHA512_AVX512 WELKARA_SHA512_INLINE __m256i avx512_sigma1(__m256i x) {
    return _mm256_ternarylogic_epi64(_mm256_ror_epi64(x, 19), _mm256_ror_epi64(x, 61),
                                     _mm256_srli_epi64(x, 6), 0x96);
}

// The two-block functions proper take their scratch memory from the caller: GCC gives a large local array
// of a function built for AVX 32-byte alignment, and realigning the stack costs a frame pointer, one
// register fewer for the steps.
WELKARA_SHA512_AVX2 void avx2_blocks_in(std::uint64_t chaining[8], const std::uint8_t* blocks,
                                        std::size_t count, std::uint64_t* scratch){
    WELKARA_SHA512_TWO_BLOCKS(avx2_sigma0, avx2_sigma1)}

WELKARA_SHA512_AVX512
    void avx512_blocks_in(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count,
                          std::uint64_t* scratch){WELKARA_SHA512_TWO_BLOCKS(avx512_sigma0, avx512_sigma1)}

// kScratchWords words aligned to 32 bytes.
std::uint64_t* aligned_scratch(std::uint64_t (&space)[kScratchWords + 4]) {
    return reinterpret_cast<std::uint64_t*>((reinterpret_cast<std::uintptr_t>(space) + 31) &
                                            ~std::uintptr_t{31});
}

// The wrappers that the dispatch hands out. The two-block functions need at least one block.
void avx2_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count) {
    if (count == 0) {
        return;
    }
    std::uint64_t space[kScratchWords + 4];
    avx2_blocks_in(chaining, blocks, count, aligned_scratch(space));
}

void avx512_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count) {
    if (count == 0) {
        return;
    }
    std::uint64_t space[kScratchWords + 4];
    avx512_blocks_in(chaining, blocks, count, aligned_scratch(space));
}

Sha512X86Features x86_features() {
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return Sha512X86Features{false, false, false};
    }
    const unsigned cpuid1_ecx = ecx;
    std::uint64_t xcr0 = 0;
    if ((cpuid1_ecx & (1u << 27)) != 0) {  // OSXSAVE: XGETBV may be used
        unsigned low, high;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        xcr0 = static_cast<std::uint64_t>(high) << 32 | low;
    }
    const unsigned cpuid7_ebx = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 ? ebx : 0;
    return sha512_x86_features(cpuid1_ecx, cpuid7_ebx, xcr0);
}

#endif

// The implementations to try, fastest first; portable always works.
constexpr Sha512Implementation kFastestFirst[] = {
    Sha512Implementation::x86_avx512, Sha512Implementation::x86_avx2, Sha512Implementation::x86_avx,
    Sha512Implementation::portable};

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

Sha512X86Features sha512_x86_features(std::uint32_t cpuid1_ecx, std::uint32_t cpuid7_ebx,
                                      std::uint64_t xcr0) {
    const std::uint32_t osxsave = 1u << 27, avx = 1u << 28;
    const std::uint32_t bmi1 = 1u << 3, avx2 = 1u << 5, bmi2 = 1u << 8, avx512f = 1u << 16,
                        avx512vl = 1u << 31;
    const std::uint64_t sse_avx_state = 0x06,
                        avx512_state = 0xe0;  // XMM, YMM; opmask, ZMM0-15 upper, ZMM16-31
    Sha512X86Features features{false, false, false};
    if ((cpuid1_ecx & osxsave) == 0 || (cpuid1_ecx & avx) == 0) {
        return features;
    }
    features.avx_bmi2 = (xcr0 & sse_avx_state) == sse_avx_state && (cpuid7_ebx & bmi2) != 0;
    features.avx2 = features.avx_bmi2 && (cpuid7_ebx & avx2) != 0 && (cpuid7_ebx & bmi1) != 0;
    features.avx512vl = features.avx2 && (xcr0 & avx512_state) == avx512_state &&
                        (cpuid7_ebx & avx512f) != 0 && (cpuid7_ebx & avx512vl) != 0;
    return features;
}

Sha512Blocks sha512_blocks_of(Sha512Implementation which) {
#if WELKARA_SHA512_X86
    static const Sha512X86Features features = x86_features();
    switch (which) {
        case Sha512Implementation::portable:
            return portable_blocks;
        case Sha512Implementation::x86_avx:
            return features.avx_bmi2 ? avx_blocks : nullptr;
        case Sha512Implementation::x86_avx2:
            return features.avx2 ? avx2_blocks : nullptr;
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
