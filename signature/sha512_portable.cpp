// SHA-512's portable block function: plain C++ with the compilers' generic vectors, for every target and
// every processor. It is the one-block body of sha512_one_block.h with the step below, the form with the
// fewest instructions.
#include "signature/sha512_one_block.h"

namespace sha512_detail {
namespace {

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

// One compression step (contract: one_block_blocks):
//   T1 = h + K[t] + W[t] + Ch(e, f, g) + Sigma1(e),  new e = d + T1,  new a = T1 + Maj(a, b, c) + Sigma0(a).
// T1 is formed with Sigma1(e) last and the new a with Sigma0(a) last, the terms that take longest after e
// and a, and WELKARA_SHA512_KEEP holds the compiler to that order. Ch(e,f,g) = ((f^g)&e)^g and
// Maj(a,b,c) = ((b^c)&(a^b))^b, where b^c is the previous step's a^b, which the compiler keeps.
struct PortableStep {
    WELKARA_SHA512_INLINE void operator()(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& d,
                                          std::uint64_t e, std::uint64_t f, std::uint64_t g, std::uint64_t& h,
                                          std::uint64_t k_plus_w) const {
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
};

}  // namespace

void portable_blocks(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count) {
    one_block_blocks(chaining, blocks, count, PortableStep{});
}

}  // namespace sha512_detail
