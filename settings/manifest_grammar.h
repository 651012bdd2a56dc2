// The manifest's settings and the grammar of its text, independent of where the text comes from.
// A manifest is UTF-16 key/value lines, for example
//     version = 1.4.2
//     mode:release
// "=" and ":" both separate a key from its value; TAB, LF, CR and SPACE are blanks. Nothing is ever
// rejected: text that does not follow the grammar yields odd keys or no entry, and lookups fall back to
// the defaults. Portable code: text is held as char16_t.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

// The grammar's character classes, said once for the scanner and for the tools that check text against it.
inline bool isManifestBlank(char16_t c) {
    return c == u'\t' || c == u'\n' || c == u'\r' || c == u' ';
}
inline bool isManifestSeparator(char16_t c) {
    return c == u'=' || c == u':';
}
inline bool isManifestLineEnd(char16_t c) {
    return c == u'\r' || c == u'\n';
}

// The four settings the installer looks up, and their defaults.
extern const char16_t* const manifestKeyVersion;               // "version"
extern const char16_t* const manifestKeyMode;                  // "mode"
extern const char16_t* const manifestKeyLocalUpdateFilename;   // "local_update_filename"
extern const char16_t* const manifestKeyEddsaSignature;        // "eddsa_signature"
extern const char16_t* const defaultVersion;                   // "latest"
extern const char16_t* const defaultMode;                      // "devel"
extern const char16_t* const defaultLocalUpdateFilename;       // "" (download the package)
extern const char16_t* const defaultEddsaSignature;            // Base64 of 64 zero bytes

// The loaded settings. Keys are unique and compared code unit by code unit; neither keys nor values
// are empty or start or end with a blank. The first occurrence of a key wins.
struct Manifest {
    std::unordered_map<std::u16string, std::u16string> entries;
};

// One entry as the grammar finds it: offsets and lengths in code units into the scanned text, blanks
// at both ends already left out.
struct ManifestEntry {
    std::size_t keyOffset;
    std::size_t keyLength;
    std::size_t valueOffset;
    std::size_t valueLength;
};

// Calls visit(context, entry) for every entry of `text` (`count` code units, need not be terminated),
// in file order, duplicates included. One pass, O(count).
void scanManifest(const char16_t* text, std::size_t count,
                  void (*visit)(void* context, const ManifestEntry& entry), void* context);

// Parses `text` into a new Manifest (first occurrence of a key wins). Returns null only when memory
// runs out. The caller releases it with releaseManifest.
Manifest* parseManifest(const char16_t* text, std::size_t count);

// Frees a manifest from parseManifest; null is allowed.
void releaseManifest(Manifest* manifest);

// The value stored under `key`, else `defaultValue`; an absent (null) manifest always gives the
// default. The result lives as long as the manifest or the default; callers copy it.
const char16_t* lookupManifest(const Manifest* manifest, const char16_t* key, const char16_t* defaultValue);
