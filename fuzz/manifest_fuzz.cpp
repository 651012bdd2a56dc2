// Fuzzes the manifest grammar with arbitrary files (n bytes read as n/2 UTF-16LE code units).
// Invariants: no key or value is empty or starts or ends with a blank, no value holds a line end, a key
// holds no separator after its first character, entries lie inside the text, and each key's stored
// value is the value of its first occurrence.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "settings/manifest_grammar.h"

namespace {

struct Scan {
    const std::vector<char16_t>* text;
    std::unordered_map<std::u16string, std::u16string> first;
};

void visit(void* context, const ManifestEntry& entry) {
    Scan* scan = static_cast<Scan*>(context);
    const std::vector<char16_t>& text = *scan->text;
    check(entry.keyLength > 0 && entry.valueLength > 0);
    check(entry.keyOffset + entry.keyLength < entry.valueOffset);
    check(entry.valueOffset + entry.valueLength <= text.size());
    const std::u16string key(text.data() + entry.keyOffset, entry.keyLength);
    const std::u16string value(text.data() + entry.valueOffset, entry.valueLength);
    check(!isManifestBlank(key.front()) && !isManifestBlank(key.back()));
    check(!isManifestBlank(value.front()) && !isManifestBlank(value.back()));
    for (std::size_t i = 1; i < key.size(); ++i) {
        check(!isManifestSeparator(key[i]));
    }
    for (char16_t c : value) {
        check(!isManifestLineEnd(c));
    }
    scan->first.emplace(key, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char16_t> text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
    Scan scan = {&text, {}};
    scanManifest(text.data(), text.size(), visit, &scan);

    Manifest* manifest = parseManifest(text.data(), text.size());
    check(manifest != nullptr);
    check(manifest->entries.size() == scan.first.size());
    for (const auto& entry : scan.first) {
        check(manifest->entries.at(entry.first) == entry.second);
        // Lookups take zero-terminated keys, so keys holding NUL are not reachable through them.
        if (entry.first.find(u'\0') == std::u16string::npos) {
            check(lookupManifest(manifest, entry.first.c_str(), u"") == manifest->entries.at(entry.first).c_str());
        }
    }
    releaseManifest(manifest);
    return 0;
}
