// Text helpers of the publisher tool: strict UTF-8 <-> UTF-16, Base64 encoding and the exact-size
// check around the installer's Base64 decoder; see text.h for the contracts.
#include "tools/text.h"

#include "signature/base64.h"

bool utf8ToUtf16(const std::string& in, std::u16string* out) {
    out->clear();
    std::size_t i = 0;
    while (i < in.size()) {
        const unsigned char lead = static_cast<unsigned char>(in[i]);
        // The count of continuation bytes from the lead's high bits; the lead keeps the bits below them.
        const std::size_t extra = lead < 0x80             ? 0
                                  : (lead & 0xE0) == 0xC0 ? 1
                                  : (lead & 0xF0) == 0xE0 ? 2
                                  : (lead & 0xF8) == 0xF0 ? 3
                                                          : 4;
        if (extra == 4 || in.size() - i - 1 < extra) {
            return false;
        }
        const std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        std::uint32_t code = lead & (0x7F >> extra);
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(in[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (next & 0x3F);
        }
        if (code < minimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 | code >> 10));
            out->push_back(static_cast<char16_t>(0xDC00 | (code & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(code));
        }
        i += extra + 1;
    }
    return true;
}

std::string utf16ToUtf8(const std::u16string& in) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        std::uint32_t code = in[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        // A lead byte with the count of the continuation bytes, then 6 bits in each.
        const int extra = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        const unsigned lead[] = {0x00, 0xC0, 0xE0, 0xF0};
        out += static_cast<char>(lead[extra] | code >> (6 * extra));
        for (int k = extra - 1; k >= 0; --k) {
            out += static_cast<char>(0x80 | (code >> (6 * k) & 0x3F));
        }
    }
    return out;
}

std::string base64Encode(const std::uint8_t* data, std::size_t count) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((count + 2) / 3 * 4);
    for (std::size_t i = 0; i < count; i += 3) {
        const std::size_t left = count - i;
        const std::uint32_t group = static_cast<std::uint32_t>(data[i]) << 16 |
                                    (left > 1 ? static_cast<std::uint32_t>(data[i + 1]) << 8 : 0) |
                                    (left > 2 ? data[i + 2] : 0);
        out += alphabet[group >> 18];
        out += alphabet[group >> 12 & 0x3F];
        out += left > 1 ? alphabet[group >> 6 & 0x3F] : '=';
        out += left > 2 ? alphabet[group & 0x3F] : '=';
    }
    return out;
}

bool decodeBase64Exactly(const std::string& text, std::uint8_t* out, std::size_t size) {
    std::size_t padding = 0;
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '=' && padding < 2; --i) {
        ++padding;
    }
    // The decoder reads the text up to its first NUL: one inside would cut it short unnoticed.
    if (text.size() % 4 != 0 || text.size() / 4 * 3 - padding != size ||
        text.find('\0') != std::string::npos) {
        return false;
    }
    return base64_decode(text.c_str(), out, size) == 1;
}
