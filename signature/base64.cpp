// Base64 decoding in two passes over the text: the first checks every byte and the place of every "="
// and works out the decoded length, the second (only after the first has passed and the capacity has
// been checked) turns each group of four characters into up to three bytes.
#include "signature/base64.h"

#include <cstring>

namespace {

constexpr std::uint8_t XX = 0xFF;  // not in the alphabet ("=" included: it is placed, not looked up)

// Value of each byte in the standard alphabet, or XX.
// clang-format off
constexpr std::uint8_t kValues[256] = {
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,  // 0x00
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,  // 0x10
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, 62, XX, XX, XX, 63,  // 0x20  '+' '/'
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, XX, XX, XX, XX, XX, XX,  // 0x30  '0'-'9'
    XX,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14,  // 0x40  'A'-'O'
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, XX, XX, XX, XX, XX,  // 0x50  'P'-'Z'
    XX, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,  // 0x60  'a'-'o'
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, XX, XX, XX, XX, XX,  // 0x70  'p'-'z'
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,  // 0x80
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,  // 0x90
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,  // 0xA0
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,  // 0xB0
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,  // 0xC0
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,  // 0xD0
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,  // 0xE0
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,  // 0xF0
};
// clang-format on

std::uint8_t valueOf(char c) {
    return kValues[static_cast<unsigned char>(c)];
}

// Checks text[0, size) and returns true with its decoded length in *length, or false. A "=" may only be
// the last character, or one of the last two when both are "=".
bool validate(const char* text, std::size_t size, std::size_t* length) {
    if (size % 4 != 0) {
        return false;
    }
    std::size_t padding = 0;
    if (size > 0 && text[size - 1] == '=') {
        padding = size > 1 && text[size - 2] == '=' ? 2 : 1;
    }
    for (std::size_t i = 0; i < size - padding; ++i) {
        if (valueOf(text[i]) == XX) {
            return false;
        }
    }
    *length = size / 4 * 3 - padding;
    return true;
}

}  // namespace

bool base64_decoded_length(const char* text, std::size_t* length) {
    if (text == nullptr || length == nullptr) {
        return false;
    }
    return validate(text, std::strlen(text), length);
}

int base64_decode(const char* text, std::uint8_t* out, std::size_t capacity) {
    if (text == nullptr || out == nullptr) {
        return 0;
    }
    const std::size_t size = std::strlen(text);
    std::size_t length = 0;
    if (!validate(text, size, &length) || capacity < length) {
        return 0;
    }
    // Group q gives v = c0 * 2^18 + c1 * 2^12 + c2 * 2^6 + c3 ("=" counting as 0) and the bytes
    // v >> 16, v >> 8 and v of it that lie below `length`; the bits left over in a padded group drop out.
    std::size_t written = 0;
    for (std::size_t i = 0; i < size; i += 4) {
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const std::uint8_t value = valueOf(text[i + j]);
            v = v << 6 | (value == XX ? 0 : value);
        }
        for (int shift = 16; shift >= 0 && written < length; shift -= 8) {
            out[written++] = static_cast<std::uint8_t>(v >> shift);
        }
    }
    return 1;
}
