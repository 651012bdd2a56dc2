// Base64 decoding in two passes over the text: the first checks every byte and the place of every "="
// and works out the decoded length, the second (only after the first has passed and the capacity has
// been checked) turns each group of four characters into up to three bytes.
#include "signature/base64.h"

#include <array>
#include <cstring>

namespace {

constexpr std::uint8_t XX = 0xFF;  // not in the alphabet ("=" included: it is placed, not looked up)

// Value of each byte in the standard alphabet, or XX.
constexpr std::array<std::uint8_t, 256> kValues = [] {
    std::array<std::uint8_t, 256> values{};
    for (std::uint8_t& value : values) {
        value = XX;
    }
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) {
        values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return values;
}();

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
    return text != nullptr && length != nullptr && validate(text, std::strlen(text), length);
}

int base64_decode(const char* text, std::uint8_t* out, std::size_t capacity) {
    const std::size_t size = text != nullptr ? std::strlen(text) : 0;
    std::size_t length = 0;
    if (text == nullptr || out == nullptr || !validate(text, size, &length) || capacity < length) {
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
