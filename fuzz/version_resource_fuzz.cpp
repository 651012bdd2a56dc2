// Fuzzes the version resource reader with arbitrary blocks, and with the same bytes as the children of a
// well-formed root (so that the walk below the root is reached), each in a heap copy of exactly its size
// so that ASan sees a read past it. Invariants: an answer is terminated inside its capacity, a refusal
// leaves "", a product version is four decimal parts of at most five digits, and a string is refused
// exactly when its capacity cannot hold it and its terminator.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "install/version_resource.h"

namespace {

constexpr std::size_t kCapacity = 40;

bool terminatedWithin(const char16_t* text, std::size_t capacity) {
    for (std::size_t i = 0; i < capacity; ++i) {
        if (text[i] == 0) {
            return true;
        }
    }
    return false;
}

bool isVersionText(const char16_t* text) {
    int dots = 0, digits = 0;
    for (; *text != 0; ++text) {
        if (*text == u'.') {
            check(digits != 0);
            ++dots;
            digits = 0;
        } else {
            check(*text >= u'0' && *text <= u'9' && ++digits <= 5);
        }
    }
    return dots == 3 && digits != 0;
}

void checkBlock(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[size]);
    if (size != 0) {
        std::memcpy(block.get(), data, size);
    }
    char16_t version[kCapacity];
    if (productVersionText(block.get(), size, version, kCapacity)) {
        check(terminatedWithin(version, kCapacity) && isVersionText(version));
    } else {
        check(version[0] == 0);
    }
    // Every capacity from 0 up to one past the text: refused exactly until the text and its terminator fit.
    char16_t company[kCapacity];
    const bool found = versionString(block.get(), size, u"CompanyName", company, kCapacity);
    if (found) {
        check(terminatedWithin(company, kCapacity));
        std::size_t length = 0;
        while (company[length] != 0) {
            ++length;
        }
        for (std::size_t capacity = 0; capacity <= length + 1; ++capacity) {
            std::unique_ptr<char16_t[]> out(new char16_t[capacity]);
            const bool fits = versionString(block.get(), size, u"CompanyName", out.get(), capacity);
            check(fits == (capacity > length));
            check(!fits || std::memcmp(out.get(), company, (length + 1) * sizeof(char16_t)) == 0);
        }
    }
}

// A root "VS_VERSION_INFO" with 52 bytes of fixed information (version 1.2.3.4), before its children.
std::vector<std::uint8_t> rootHead() {
    std::vector<std::uint8_t> head = {0, 0, 52, 0, 0, 0};
    for (char c : std::string("VS_VERSION_INFO")) {
        head.insert(head.end(), {static_cast<std::uint8_t>(c), 0});
    }
    head.insert(head.end(), {0, 0, 0, 0});  // terminator and padding
    const std::uint8_t fixed[24] = {0xBD, 0x04, 0xEF, 0xFE, 0, 0, 1, 0, 0, 0, 0, 0,
                                    0,    0,    0,    0,    2, 0, 1, 0, 4, 0, 3, 0};
    head.insert(head.end(), fixed, fixed + 24);
    head.resize(head.size() + 28, 0);
    return head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkBlock(data, size);
    static const std::vector<std::uint8_t> head = rootHead();
    if (size <= 0xFFFF - head.size()) {
        std::vector<std::uint8_t> rooted = head;
        rooted.insert(rooted.end(), data, data + size);
        rooted[0] = static_cast<std::uint8_t>(rooted.size());
        rooted[1] = static_cast<std::uint8_t>(rooted.size() >> 8);
        checkBlock(rooted.data(), rooted.size());
    }
    return 0;
}
