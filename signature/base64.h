// Strict Base64 decoding: the standard alphabet of RFC 4648 ("A"-"Z", "a"-"z", "0"-"9", "+", "/") with
// "=" padding, no line breaks and no blanks. For example "QUJD" is "ABC", "QUI=" is "AB", "QQ==" is "A".
// A text is valid when its length is a multiple of 4, every byte is in the alphabet or is "=", and the
// only "=" are a final "=" or a final "==". The bits of the last group that fill no whole byte are
// ignored, so "QR==" is "A" too. Portable code.
#pragma once

#include <cstddef>
#include <cstdint>

// Validates the zero-terminated `text` and stores in *length its decoded length, (L / 4) * 3 - P bytes
// for a text of L characters ending in P "=" (0, 1 or 2). Returns false, leaving *length unchanged, when
// text or length is null or the text is not valid. An empty text is valid, with length 0.
bool base64_decoded_length(const char* text, std::size_t* length);

// Decodes the zero-terminated `text` into out[0, decoded length). Returns 1 when the text is valid and
// has been decoded, 0 when text or out is null, the text is not valid, or `capacity` is smaller than
// the decoded length. Nothing is written unless the result is 1: the whole text is checked first. An
// empty text gives 1 and writes nothing. out must not overlap the text.
int base64_decode(const char* text, std::uint8_t* out, std::size_t capacity);
