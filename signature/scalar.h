// Reduction modulo the order of the Ed25519 base point,
//   L = 2^252 + 27742317777372353535851937790883648493.
#pragma once

#include <cstdint>

// Reads s64[0, 64) as a little-endian integer and writes that integer modulo L, the unique value below L,
// as 32 little-endian bytes to s64[0, 32). Bytes 32..63 are left as they were.
void reduce_scalar(std::uint8_t* s64);
