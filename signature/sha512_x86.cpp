// SHA-512's x86-64 block functions, each for processors with the instructions its target attribute names
// (the dispatch in sha512.cpp hands one out only then; the rest of the program needs none of them):
//   x86_avx: the one-block body of sha512_one_block.h with the step below (AVX, BMI2);
//   x86_avx2, x86_avx512: two blocks at a time, the same two words of both blocks in one 256-bit register,
//   the first block's in the low half and the second's in the high half (AVX2, BMI1, BMI2; the AVX-512
//   variant also AVX-512F and AVX-512VL, for the 64-bit vector rotate and the three-input logic instruction).
#include "signature/sha512_one_block.h"

#if WELKARA_SHA512_X86

#include <immintrin.h>

namespace sha512_detail {
namespace {

// The step of the x86-64 functions: scalar, with the three-operand rotate of BMI2, and reading K[t] + W[t]
// from memory, where the vector schedule running ahead stores it (one load, folded into an addition). The
// sums of the portable step in a fixed order of instructions, so that whatever else the compiler schedules
// around them, each step needs the eight values and three temporaries in registers and nothing more. The
// new e is ((d + h + K[t] + W[t]) + Ch) + Sigma1(e) and the new a ((h + K[t] + W[t] + Ch) + Sigma1(e) +
// Maj) + Sigma0(a). Operand names are capitals so that the macro parameters a..h do not rename them. A
// macro, not a function, because GCC allocates the two-block functions' registers differently around an
// inlined call, and their code is kept as measured.
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

// The same step for the body of sha512_one_block.h (contract: one_block_blocks).
struct X86Step {
    WELKARA_SHA512_INLINE void operator()(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& d,
                                          std::uint64_t e, std::uint64_t f, std::uint64_t g, std::uint64_t& h,
                                          const std::uint64_t& k_plus_w) const {
        WELKARA_SHA512_X86_STEP(a, b, c, d, e, f, g, h, k_plus_w);
    }
};

#define WELKARA_SHA512_AVX2 __attribute__((target("avx,avx2,bmi,bmi2")))
// The AVX-512 function is tuned as for Skylake-AVX512: with the generic tuning, GCC keeps some of its
// pointers in vector registers and moves them back for each use, which measured about 5% slower.
#define WELKARA_SHA512_AVX512 \
    __attribute__((target("avx,avx2,bmi,bmi2,avx512f,avx512vl,tune=skylake-avx512")))

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
// register, `last`. An empty asm statement after each store tells the compiler that the memory may have
// changed, so the steps load each K[t] + W[t] instead of moving it out of a vector register.
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
#define WELKARA_SHA512_SCHEDULE_PAIR(i)                                                                   \
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

// After the pairs of steps j = 1, 3, 5, 7 of WELKARA_SHA512_SIXTEEN_STEPS: schedule steps o, kq + 0..3.
#define WELKARA_SHA512_SCHEDULE_AFTER_FOUR(j, t) \
    if ((j) % 2 == 1) {                          \
        WELKARA_SHA512_SCHEDULE_PAIR((j) / 2);   \
    }

// During the second block's steps 0..15 (`in` = kw + 2): the next pair of blocks, addressed from `in`, which
// holds the address anyway.
#define WELKARA_SHA512_LOAD_NEXT(j, t) WELKARA_SHA512_LOAD_PAIR(j, next_first, next_second, in - 2)

#define WELKARA_SHA512_FEED_FORWARD() \
    chaining[0] = a += chaining[0];   \
    chaining[1] = b += chaining[1];   \
    chaining[2] = c += chaining[2];   \
    chaining[3] = d += chaining[3];   \
    chaining[4] = e += chaining[4];   \
    chaining[5] = f += chaining[5];   \
    chaining[6] = g += chaining[6];   \
    chaining[7] = h += chaining[7]

// The two-block function, with the sigma0 and sigma1 of its instruction set in scope (see above). `in` passes
// through WELKARA_SHA512_KEEP each time it is set, so that the compiler forms each step's address from it
// instead of keeping every address of the loop in a register of its own.
#define WELKARA_SHA512_TWO_BLOCKS()                                                                 \
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
        WELKARA_SHA512_SCHEDULE_PAIR(0);                                                            \
        WELKARA_SHA512_SCHEDULE_PAIR(1);                                                            \
        WELKARA_SHA512_SCHEDULE_PAIR(2);                                                            \
        WELKARA_SHA512_SCHEDULE_PAIR(3);                                                            \
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
            WELKARA_SHA512_SIXTEEN_STEPS(WELKARA_SHA512_LANE_TWO_STEPS, 0,                          \
                                         WELKARA_SHA512_SCHEDULE_AFTER_FOUR);                       \
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
        WELKARA_SHA512_SIXTEEN_STEPS(WELKARA_SHA512_LANE_TWO_STEPS, 0, WELKARA_SHA512_LOAD_NEXT);   \
        for (int q = 0; q < 16; q += 4) {                                                           \
            in = scratch + 2 + 2 * (16 + 4 * q);                                                    \
            WELKARA_SHA512_KEEP(in);                                                                \
            std::uint64_t* o = scratch + 4 * q;                                                     \
            const std::uint64_t* kq = k + 16 + 2 * q;                                               \
            WELKARA_SHA512_SIXTEEN_STEPS(WELKARA_SHA512_LANE_TWO_STEPS, 0,                          \
                                         WELKARA_SHA512_SCHEDULE_AFTER_FOUR);                       \
        }                                                                                           \
        WELKARA_SHA512_FEED_FORWARD();                                                              \
        if (count == 2) {                                                                           \
            break;                                                                                  \
        }                                                                                           \
        blocks += 256;                                                                              \
        count -= 2;                                                                                 \
    }

// The schedule's sigma0 and sigma1 on four words, with AVX2, and with AVX-512VL's 64-bit rotate and
// three-input logic instruction (0x96 is the truth table of a ^ b ^ c).
namespace avx2 {
WELKARA_SHA512_AVX2 WELKARA_SHA512_INLINE __m256i rotr(__m256i x, int n) {
    return _mm256_or_si256(_mm256_srli_epi64(x, n), _mm256_slli_epi64(x, 64 - n));
}
WELKARA_SHA512_AVX2 WELKARA_SHA512_INLINE __m256i sigma0(__m256i x) {
    return _mm256_xor_si256(_mm256_xor_si256(rotr(x, 1), rotr(x, 8)), _mm256_srli_epi64(x, 7));
}
WELKARA_SHA512_AVX2 WELKARA_SHA512_INLINE __m256i sigma1(__m256i x) {
    return _mm256_xor_si256(_mm256_xor_si256(rotr(x, 19), rotr(x, 61)), _mm256_srli_epi64(x, 6));
}
}  // namespace avx2
namespace avx512 {
WELKARA_SHA512_AVX512 WELKARA_SHA512_INLINE __m256i sigma0(__m256i x) {
    return _mm256_ternarylogic_epi64(_mm256_ror_epi64(x, 1), _mm256_ror_epi64(x, 8), _mm256_srli_epi64(x, 7),
                                     0x96);
}
WELKARA_SHA512_AVX512 WELKARA_SHA512_INLINE __m256i sigma1(__m256i x) {
    return _mm256_ternarylogic_epi64(_mm256_ror_epi64(x, 19), _mm256_ror_epi64(x, 61),
                                     _mm256_srli_epi64(x, 6), 0x96);
}
}  // namespace avx512

// The two-block functions proper take their scratch memory from the caller: GCC gives a large local array
// of a function built for AVX 32-byte alignment, and realigning the stack costs a frame pointer, one
// register fewer for the steps.
WELKARA_SHA512_AVX2 void avx2_blocks_in(std::uint64_t chaining[8], const std::uint8_t* blocks,
                                        std::size_t count, std::uint64_t* scratch) {
    using namespace avx2;
    WELKARA_SHA512_TWO_BLOCKS()
}
WELKARA_SHA512_AVX512 void avx512_blocks_in(std::uint64_t chaining[8], const std::uint8_t* blocks,
                                            std::size_t count, std::uint64_t* scratch) {
    using namespace avx512;
    WELKARA_SHA512_TWO_BLOCKS()
}

using TwoBlocksIn = void (*)(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count,
                             std::uint64_t* scratch);

// The two-block functions' entry: at least one block, and kScratchWords words aligned to 32 bytes by hand
// (64-bit Windows keeps the stack 16-byte aligned and GCC does not realign it for 32-byte locals).
template <TwoBlocksIn blocks_in>
void with_scratch(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count) {
    if (count == 0) {
        return;
    }
    std::uint64_t space[kScratchWords + 4];
    blocks_in(chaining, blocks, count,
              reinterpret_cast<std::uint64_t*>((reinterpret_cast<std::uintptr_t>(space) + 31) &
                                               ~std::uintptr_t{31}));
}

}  // namespace

__attribute__((target("avx,bmi2"))) void avx_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks,
                                                    std::size_t count) {
    one_block_blocks(chaining, blocks, count, X86Step{});
}

void avx2_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count) {
    with_scratch<avx2_blocks_in>(chaining, blocks, count);
}

void avx512_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count) {
    with_scratch<avx512_blocks_in>(chaining, blocks, count);
}

}  // namespace sha512_detail

#endif
