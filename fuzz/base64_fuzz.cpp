// Fuzzes base64_decode and base64_decoded_length with arbitrary texts. The first input byte picks the
// capacity, the rest, up to its first zero byte, is the text. The output buffer is a heap block of
// exactly the capacity, so ASan catches any write past it.
// Invariants: both functions agree on validity and length; a result of 1 needs a capacity of at least
// the length and writes exactly the bytes that re-encode to the text (dropped bits aside); a result of
// 0 writes nothing; a second call gives the same result and bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "signature/base64.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kUntouched = 0xA5;

// Canonical Base64 of bytes, "=" padded: what a valid text is once its dropped bits are cleared.
std::string encode(const std::uint8_t* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::size_t n = size - i < 3 ? size - i : 3;
        std::uint32_t v = static_cast<std::uint32_t>(bytes[i]) << 16;
        v |= n > 1 ? static_cast<std::uint32_t>(bytes[i + 1]) << 8 : 0;
        v |= n > 2 ? bytes[i + 2] : 0;
        for (std::size_t j = 0; j < 4; ++j) {
            text += j <= n ? kAlphabet[v >> (18 - 6 * j) & 63] : '=';
        }
    }
    return text;
}

// The text with the bits of its last letter that fill no whole byte cleared.
std::string withDroppedBitsCleared(std::string text) {
    const std::size_t pads =
        text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : (!text.empty() && text.back() == '=');
    if (pads > 0) {
        char& last = text[text.size() - pads - 1];
        const std::size_t value = std::strchr(kAlphabet, last) - kAlphabet;
        last = kAlphabet[value & (pads == 2 ? 0x30 : 0x3c)];
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* terminated = text.c_str();  // ends at the input's first zero byte, if any

    std::size_t length = 0xDEAD;
    const bool valid = base64_decoded_length(terminated, &length);
    if (!valid) {
        check(length == 0xDEAD);
        length = std::strlen(terminated) / 4 * 3;  // some capacity for the rejected text
    } else {
        check(length <= std::strlen(terminated) / 4 * 3);
    }
    // Below 128 the first byte asks for a capacity near the length (length - 2 to length + 2, not
    // below 0), from 128 on for any small capacity.
    std::size_t capacity = mode < 128 ? length + mode % 5 : mode % 100;
    capacity = mode < 128 ? (capacity >= 2 ? capacity - 2 : 0) : capacity;

    std::uint8_t* out = new std::uint8_t[capacity];  // never null, even for 0 bytes
    std::memset(out, kUntouched, capacity);
    const int result = base64_decode(terminated, out, capacity);
    check(result == (valid && capacity >= length ? 1 : 0));
    const std::size_t written = result == 1 ? length : 0;
    if (result == 1) {
        check(encode(out, length) == withDroppedBitsCleared(terminated));
    }
    for (std::size_t i = written; i < capacity; ++i) {
        check(out[i] == kUntouched);
    }

    std::uint8_t* again = new std::uint8_t[capacity];
    std::memset(again, kUntouched, capacity);
    check(base64_decode(terminated, again, capacity) == result);
    check(std::memcmp(again, out, capacity) == 0);
    check(base64_decode(terminated, nullptr, capacity) == 0);
    delete[] again;
    delete[] out;
    return 0;
}
