// Hex text for the crypto tests: bytes in memory order, so that a failed comparison shows which bytes
// differ, and little-endian numbers (field elements, scalars) written as numbers are, most significant
// digit first.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// The bytes of `text` itself, one a character.
inline std::vector<std::uint8_t> bytes_of(const std::string& text) {
    return {text.begin(), text.end()};
}

// The bytes that `text` writes two hex digits a byte, in memory order (hex's inverse); an odd last
// digit is ignored.
inline std::vector<std::uint8_t> bytes_of_hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// The same into N bytes, for a text of 2N digits; bytes that a shorter text leaves out are zero.
template <std::size_t N>
std::array<std::uint8_t, N> bytes_of_hex(const std::string& text) {
    const std::vector<std::uint8_t> bytes = bytes_of_hex(text);
    std::array<std::uint8_t, N> out{};
    std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
    return out;
}

// The number held little-endian in bytes[0, count), two digits a byte, leading zeros kept.
inline std::string number_hex(const std::uint8_t* bytes, std::size_t count) {
    std::string out;
    for (std::size_t i = count; i-- > 0;) {
        out += hex(bytes + i, 1);
    }
    return out;
}

template <std::size_t N>
std::string number_hex(const std::array<std::uint8_t, N>& bytes) {
    return number_hex(bytes.data(), N);
}

// The little-endian bytes of the number that `text` writes in lower-case hex (at most 2N digits).
template <std::size_t N>
std::array<std::uint8_t, N> number_of_hex(const std::string& text) {
    std::array<std::uint8_t, N> out{};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[text.size() - 1 - i];
        const int nibble = c <= '9' ? c - '0' : c - 'a' + 10;
        out[i / 2] |= static_cast<std::uint8_t>(nibble << (4 * (i % 2)));
    }
    return out;
}
