// UTF-16LE bytes of portable text, for the native tests that write the files the installer reads (its
// manifest): two bytes a code unit, low byte first, no byte-order mark added. The tests' own encoder,
// so that a fault in the publisher tool's cannot hide itself.
#pragma once

#include <string>

namespace testsupport {

inline std::string utf16le(const std::u16string& text) {
    std::string bytes;
    for (char16_t c : text) {
        bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    }
    return bytes;
}

// The text that UTF-16LE `bytes` hold, read as the installer reads a file: n bytes are the first n/2
// code units, an odd last byte ignored.
inline std::u16string fromUtf16le(const std::string& bytes) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                      static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    return text;
}

}  // namespace testsupport
