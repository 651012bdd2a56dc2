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

}  // namespace testsupport
