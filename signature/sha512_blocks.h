// What SHA-512's block functions share with each other and with the dispatch in sha512.cpp: the round
// constants, the block functions' declarations and the compiler spellings that their unrolled code uses.
// Internal to signature/: the block functions are written for GCC and Clang (vector types, asm
// statements), as every tree builds them.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define WELKARA_SHA512_X86 1
#else
#define WELKARA_SHA512_X86 0
#endif

#define WELKARA_SHA512_INLINE __attribute__((always_inline)) inline
// Makes x opaque to the optimiser, as if changed in its register. Ends a sum here: the compiler may neither
// reassociate across it nor move later additions before it, and a pointer passed through it is not followed
// to its known value. It emits nothing.
#define WELKARA_SHA512_KEEP(x) __asm__("" : "+r"(x))

// Steps t..t+15 as eight pairs two_steps(a, b, c, d, e, f, g, h, t + 2j), j = 0..7, the roles of a..h
// rotating two places from pair to pair, each pair followed by then(j, t).
#define WELKARA_SHA512_SIXTEEN_STEPS(two_steps, t, then) \
    two_steps(a, b, c, d, e, f, g, h, (t) + 0);          \
    then(0, t);                                          \
    two_steps(g, h, a, b, c, d, e, f, (t) + 2);          \
    then(1, t);                                          \
    two_steps(e, f, g, h, a, b, c, d, (t) + 4);          \
    then(2, t);                                          \
    two_steps(c, d, e, f, g, h, a, b, (t) + 6);          \
    then(3, t);                                          \
    two_steps(a, b, c, d, e, f, g, h, (t) + 8);          \
    then(4, t);                                          \
    two_steps(g, h, a, b, c, d, e, f, (t) + 10);         \
    then(5, t);                                          \
    two_steps(e, f, g, h, a, b, c, d, (t) + 12);         \
    then(6, t);                                          \
    two_steps(c, d, e, f, g, h, a, b, (t) + 14);         \
    then(7, t)

namespace sha512_detail {

// K, the first 64 bits of the fractional parts of the cube roots of the first 80 primes, and after it the
// byte shuffle that reverses each 64-bit word of a 256-bit register, so that the two-block functions reach
// both through one pointer.
struct RoundConstants {
    std::uint64_t k[80];
    std::uint8_t swap_bytes[32];
};
alignas(64) inline constexpr RoundConstants kConstants = {
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

// The block functions (contract: Sha512Blocks in sha512.h). The x86 ones need the instructions that
// sha512_x86_features names for them; the dispatch hands them out only then.
void portable_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count);
#if WELKARA_SHA512_X86
void avx_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count);
void avx2_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count);
void avx512_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count);
#endif

}  // namespace sha512_detail
