// Fuzzes the option parser with arbitrary UTF-16 command lines (input bytes paired little-endian).
// Invariants: names hold at most 31 and values at most 511 characters, a name never holds ':' or a
// space, a value never holds a quote mark, and the settings obey the same bounds afterwards.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/options.h"
#include "fuzz/fuzz_check.h"

namespace {

std::size_t length(const char16_t* text) {
    std::size_t n = 0;
    while (text[n] != u'\0') {
        ++n;
    }
    return n;
}

bool checkOption(const char16_t* name, const char16_t* value) {
    check(length(name) <= 31);
    for (const char16_t* p = name; *p != u'\0'; ++p) {
        check(*p != u':' && *p != u' ');
    }
    if (value != nullptr) {
        check(length(value) <= 511);
        for (const char16_t* p = value; *p != u'\0'; ++p) {
            check(*p != u'"');
        }
    }
    return ApplyOption(name, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char16_t> line;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        line.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
    line.push_back(u'\0');

    parseOptions(line.data(), checkOption);
    ReleaseOptions();
    verifyOnly = false;

    ParseCommandLine(line.data());
    for (const char16_t* setting : {urlOverride, signatureOverride}) {
        if (setting != nullptr) {
            check(length(setting) <= 511);
        }
    }
    ReleaseOptions();
    verifyOnly = false;
    return 0;
}
