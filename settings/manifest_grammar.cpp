// The manifest grammar as one pass with four states:
//   1 between entries: skip blanks; the first other character starts a key (and is never a separator)
//   2 in a key:        the first '=' or ':' ends it; line ends do not
//   3 before a value:  skip blanks, line ends included
//   4 in a value:      the first CR or LF ends it; '=' and ':' are ordinary
// Keys and values lose their trailing blanks. At the end of the text a value in progress is kept and a
// pending key is dropped.
#include "settings/manifest_grammar.h"

#include <new>

const char16_t* const manifestKeyVersion = u"version";
const char16_t* const manifestKeyMode = u"mode";
const char16_t* const manifestKeyLocalUpdateFilename = u"local_update_filename";
const char16_t* const manifestKeyEddsaSignature = u"eddsa_signature";
const char16_t* const defaultVersion = u"latest";
const char16_t* const defaultMode = u"devel";
const char16_t* const defaultLocalUpdateFilename = u"";
const char16_t* const defaultEddsaSignature =
    u"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==";

namespace {

// Length of text[start, end) without its trailing blanks. text[start] is never blank.
std::size_t trimmedLength(const char16_t* text, std::size_t start, std::size_t end) {
    while (end > start && isManifestBlank(text[end - 1])) {
        --end;
    }
    return end - start;
}

enum class ScanState { BetweenEntries, InKey, BeforeValue, InValue };

struct BuildContext {
    const char16_t* text;
    Manifest* manifest;
};

void addEntry(void* context, const ManifestEntry& entry) {
    BuildContext* build = static_cast<BuildContext*>(context);
    // emplace leaves an existing key untouched: the first occurrence wins.
    build->manifest->entries.emplace(std::u16string(build->text + entry.keyOffset, entry.keyLength),
                                     std::u16string(build->text + entry.valueOffset, entry.valueLength));
}

}  // namespace

void scanManifest(const char16_t* text, std::size_t count,
                  void (*visit)(void* context, const ManifestEntry& entry), void* context) {
    ScanState state = ScanState::BetweenEntries;
    ManifestEntry entry = {0, 0, 0, 0};
    for (std::size_t i = 0; i <= count; ++i) {
        const char16_t c = i < count ? text[i] : u'\n';  // the end ends a value in progress, not a key
        switch (state) {
            case ScanState::BetweenEntries:
            case ScanState::BeforeValue:
                if (!isManifestBlank(c)) {
                    const bool key = state == ScanState::BetweenEntries;
                    (key ? entry.keyOffset : entry.valueOffset) = i;
                    state = key ? ScanState::InKey : ScanState::InValue;
                }
                break;
            case ScanState::InKey:
                if (isManifestSeparator(c)) {
                    entry.keyLength = trimmedLength(text, entry.keyOffset, i);
                    state = ScanState::BeforeValue;
                }
                break;
            case ScanState::InValue:
                if (isManifestLineEnd(c)) {
                    entry.valueLength = trimmedLength(text, entry.valueOffset, i);
                    visit(context, entry);
                    state = ScanState::BetweenEntries;
                }
                break;
        }
    }
}

Manifest* parseManifest(const char16_t* text, std::size_t count) {
    Manifest* manifest = new (std::nothrow) Manifest;
    if (manifest != nullptr) {
        BuildContext build = {text, manifest};
        scanManifest(text, count, addEntry, &build);
    }
    return manifest;
}

void releaseManifest(Manifest* manifest) {
    delete manifest;
}

const char16_t* lookupManifest(const Manifest* manifest, const char16_t* key, const char16_t* defaultValue) {
    if (manifest == nullptr) {
        return defaultValue;
    }
    auto found = manifest->entries.find(std::u16string(key));
    return found == manifest->entries.end() ? defaultValue : found->second.c_str();
}
