// Bytes as hex text in memory order, so that a failed comparison shows which bytes differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string hex(const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

template <typename Bytes>
std::string hex(const Bytes& bytes) {
    return hex(bytes.data(), bytes.size());
}
