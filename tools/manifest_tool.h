// The publisher tool's side of the manifest: writing a file that the installer reads back exactly, and
// checking an existing file with the installer's own grammar, naming each trap it falls into.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// One setting to write: its key (one of the four the installer reads) and its value.
using ManifestSetting = std::pair<std::u16string, std::u16string>;

// Why the installer could not read `value` back exactly under `key` (empty, a blank at either end, a
// line break inside, an eddsa_signature that is not Base64 of 64 bytes), or "" when it can.
std::string manifestValueProblem(const std::u16string& key, const std::u16string& value);

// The file for these settings: UTF-16LE, no byte-order mark, "key=value" lines ended by CR LF.
// The caller has checked every value with manifestValueProblem.
std::string manifestFileBytes(const std::vector<ManifestSetting>& settings);

struct ManifestCheck {
    struct Effective {
        std::u16string key;
        std::u16string value;
        bool isDefault;
        std::size_t line;  // line of the key in the file; 0 for a default
    };
    std::vector<Effective> settings;  // the four settings, in the order version, mode, local file, signature
    std::vector<std::string> warnings;  // one UTF-8 sentence each, naming the line
};

// Reads `bytes` as the installer does (n/2 UTF-16LE code units) and reports what it would see.
ManifestCheck checkManifest(const std::string& bytes);

// A value for display: control characters and the byte-order mark written as escapes, in UTF-8.
std::string displayText(const std::u16string& text);
