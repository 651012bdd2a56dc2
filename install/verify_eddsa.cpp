// verify_eddsa: the text is narrowed into a copy of one byte per UTF-16 unit and validated; only a text
// that decodes to 64 bytes is decoded, into a buffer of exactly that size. The narrowed copy is owned by
// a unique_ptr, so each return path releases it; allocation never throws.
#include "install/verify_eddsa.h"

#include <climits>
#include <cstddef>
#include <cwchar>
#include <memory>
#include <new>

#include "signature/base64.h"
#include "signature/ed25519.h"

namespace {

constexpr std::size_t kSignatureSize = 64;

// The log's "%ld" takes a 32-bit value; a decoded length beyond it (a text of about 2.9 billion
// characters) is written in full through a 64-bit placeholder instead of being cut to 32 bits.
void writeLengthIncorrect(InstallLog& log, std::size_t length) {
    if (length <= static_cast<std::size_t>(LONG_MAX)) {
        log.write(L"verify_eddsa: signature length (%ld) incorrect\n", static_cast<long>(length));
    } else {
        log.write(L"verify_eddsa: signature length (%I64u) incorrect\n",
                  static_cast<unsigned long long>(length));
    }
}

}  // namespace

bool verify_eddsa(InstallLog& log, const std::uint8_t* package, std::uint32_t length,
                  const wchar_t* signatureText) {
    log.write(L"Verifying with base64 signature %ls\n", signatureText != nullptr ? signatureText : L"");
    if (signatureText == nullptr) {
        return false;  // no text at all: like an invalid one
    }

    // The narrowed text: units up to the first one whose low byte is zero, then a zero.
    const std::size_t units = std::wcslen(signatureText);
    std::unique_ptr<char[]> narrowed(new (std::nothrow) char[units + 1]);
    if (narrowed == nullptr) {
        log.write(L"verify_eddsa: out of memory\n");
        return false;
    }
    for (std::size_t i = 0; i <= units; ++i) {
        narrowed[i] = static_cast<char>(signatureText[i] & 0xFF);
    }

    std::size_t decodedLength = 0;
    if (!base64_decoded_length(narrowed.get(), &decodedLength)) {
        return false;
    }
    if (decodedLength != kSignatureSize) {
        writeLengthIncorrect(log, decodedLength);
        return false;
    }
    std::uint8_t signature[kSignatureSize];
    if (base64_decode(narrowed.get(), signature, kSignatureSize) != 1) {
        return false;  // not reached: the text was validated above
    }
    const int result = ed25519_verify(signature, package, length);
    log.write(L"verify_eddsa: verify result: %d\n", result);
    return result == 1;
}
