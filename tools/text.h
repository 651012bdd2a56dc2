// Text helpers of the publisher tool: UTF-8 <-> UTF-16 for command-line arguments and output, Base64
// encoding, and decoding to an exact size through the installer's own decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Strict UTF-8 to UTF-16: false for malformed input (bad sequences, overlong forms, surrogates, values
// above U+10FFFF), leaving *out unspecified.
bool utf8ToUtf16(const std::string& in, std::u16string* out);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(const std::u16string& in);

// Standard Base64 (RFC 4648 alphabet, "=" padding) of count bytes.
std::string base64Encode(const std::uint8_t* data, std::size_t count);

// Decodes Base64 text as the installer does into out[0, size). Returns false, and writes nothing, unless
// the text is valid, holds no NUL, and decodes to exactly `size` bytes.
bool decodeBase64Exactly(const std::string& text, std::uint8_t* out, std::size_t size);
