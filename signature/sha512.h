// Streaming SHA-512 (FIPS 180-4). The state lives wherever the caller puts it; nothing is allocated.
// Input may arrive in pieces of any size; whole 128-byte blocks are compressed where they lie in the
// caller's memory, and only a partial block passes through the state's buffer.
// Portable C++; on x86-64 a faster block function is chosen at run time when the processor has the
// instructions it needs. Every block function gives the same results.
#pragma once

#include <cstddef>
#include <cstdint>

struct Sha512State {
    std::uint64_t bit_count;     // message bits already compressed
    std::uint64_t chaining[8];   // H0..H7
    std::size_t buffered_count;  // bytes waiting in buffer, 0..127 between calls
    std::uint8_t buffer[128];    // the block being filled
};

// Sets the state to that of an empty message. Returns 0, or 1 for a null state.
int sha512_init(Sha512State* state);

// Adds data[0, count) to the message. Returns 0; returns 1 and leaves the state untouched when state or
// data is null or the buffered count is above 128 (a damaged state). data is not read when count is 0,
// but must still be non-null.
int sha512_update(Sha512State* state, const std::uint8_t* data, std::size_t count);

// Pads the message, writes the 64-byte digest to digest64 and leaves the state used up (init it again
// to hash another message). Returns 0; returns 1 without writing when state or digest64 is null or the
// buffered count is 128 or more.
int sha512_final(Sha512State* state, std::uint8_t* digest64);

// Applies the SHA-512 block function to the chaining value with one 128-byte block. Touches neither the
// bit count nor the buffer. Returns 0, or 1 without doing anything when either pointer is null.
int sha512_compress(Sha512State* state, const std::uint8_t* block128);

// Block functions, for tests and benchmarks that compare each one against a reference.
// A block function updates chaining with blocks[0, 128 * count).
using Sha512Blocks = void (*)(std::uint64_t chaining[8], const std::uint8_t* blocks, std::size_t count);
// x86_avx needs AVX and BMI2; x86_avx2 needs AVX2 and BMI1 as well, and x86_avx512 AVX-512F and AVX-512VL
// on top of those. x86_avx2 and x86_avx512 hash two blocks at a time (one at the end of an odd count).
enum class Sha512Implementation { portable, x86_avx, x86_avx2, x86_avx512 };
// Returns the block function of `which`, or null when this build or this processor cannot run it.
Sha512Blocks sha512_blocks_of(Sha512Implementation which);
// Makes `which` the block function used by every state from now on. Returns false, changing nothing,
// when it is not available. Not thread-safe: call it before hashing starts.
bool sha512_use(Sha512Implementation which);
// The implementation in use: the fastest available unless sha512_use chose otherwise.
Sha512Implementation sha512_in_use();

// Which x86 block functions a processor can run, decided from three words alone: cpuid1_ecx (CPUID
// leaf 1, ECX: OSXSAVE and AVX), cpuid7_ebx (leaf 7 sub-leaf 0, EBX: BMI1, AVX2, BMI2, AVX-512F,
// AVX-512VL; 0 when the leaf is missing) and xcr0 (the register state the operating system saves, as
// XGETBV reads it; looked at only when OSXSAVE is set). Every build has it, whatever its target.
struct Sha512X86Features {
    bool avx_bmi2;  // AVX and BMI2, with the XMM and YMM state both saved
    bool avx2;      // and AVX2 and BMI1
    bool avx512vl;  // and AVX-512F and AVX-512VL, with the opmask and both ZMM states saved too
};
Sha512X86Features sha512_x86_features(std::uint32_t cpuid1_ecx, std::uint32_t cpuid7_ebx, std::uint64_t xcr0);
