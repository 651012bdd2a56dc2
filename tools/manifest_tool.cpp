// Writing and checking manifests for publishers. Both use the installer's own grammar code, so what
// the tool writes or reports is what the installer reads.
#include "tools/manifest_tool.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "settings/manifest_grammar.h"
#include "tools/text.h"

namespace {

const char16_t* const kKeys[] = {manifestKeyVersion, manifestKeyMode, manifestKeyLocalUpdateFilename,
                                 manifestKeyEddsaSignature};
const char16_t* const kDefaults[] = {defaultVersion, defaultMode, defaultLocalUpdateFilename,
                                     defaultEddsaSignature};

bool isSignatureText(const std::u16string& value) {
    std::string narrow;
    for (char16_t c : value) {
        if (c == 0 || c > 0x7F) {
            return false;
        }
        narrow += static_cast<char>(c);
    }
    std::uint8_t decoded[64];
    return decodeBase64Exactly(narrow, decoded, sizeof decoded);
}

std::string quoted(const std::u16string& text) {
    return "\"" + displayText(text) + "\"";
}

// Line numbers (from 1) of offsets in a text whose lines end in CR, LF or CR LF.
class LineIndex {
  public:
    explicit LineIndex(const std::u16string& text) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == u'\n' || (text[i] == u'\r' && (i + 1 == text.size() || text[i + 1] != u'\n'))) {
                starts_.push_back(i + 1);
            }
        }
    }
    std::size_t lineOf(std::size_t offset) const {
        return static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) -
                                        starts_.begin());
    }

  private:
    std::vector<std::size_t> starts_{0};
};

void collect(void* context, const ManifestEntry& entry) {
    static_cast<std::vector<ManifestEntry>*>(context)->push_back(entry);
}

std::string lineText(std::size_t line) {
    return "line " + std::to_string(line);
}

}  // namespace

std::string displayText(const std::u16string& text) {
    std::u16string shown;
    for (char16_t c : text) {
        if (c == u'\r') {
            shown += u"\\r";
        } else if (c == u'\n') {
            shown += u"\\n";
        } else if (c == u'\t') {
            shown += u"\\t";
        } else if (c < 0x20 || c == 0x7F || c == 0xFEFF) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            for (const char* p = escape; *p != '\0'; ++p) {
                shown += static_cast<char16_t>(*p);
            }
        } else {
            shown += c;
        }
    }
    return utf16ToUtf8(shown);
}

std::string manifestValueProblem(const std::u16string& key, const std::u16string& value) {
    const char* problem = value.empty()
                              ? " is empty; a manifest cannot carry an empty value (leave the setting out)"
                          : isManifestBlank(value.front()) || isManifestBlank(value.back())
                              ? " begins or ends with a blank, which the installer would drop"
                          : std::any_of(value.begin(), value.end(), isManifestLineEnd)
                              ? " holds a line break, which would end it early"
                          : key == manifestKeyEddsaSignature && !isSignatureText(value)
                              ? " is not the Base64 of a 64-byte signature (88 characters ending in ==)"
                              : nullptr;
    return problem == nullptr ? "" : "the value of " + utf16ToUtf8(key) + problem;
}

std::string manifestFileBytes(const std::vector<ManifestSetting>& settings) {
    std::u16string text;
    for (const ManifestSetting& setting : settings) {
        text += setting.first + u"=" + setting.second + u"\r\n";
    }
    std::string bytes;
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

ManifestCheck checkManifest(const std::string& bytes) {
    ManifestCheck check;
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                      static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    const LineIndex lines(text);
    std::vector<ManifestEntry> entries;
    scanManifest(text.data(), text.size(), collect, &entries);

    if (bytes.size() % 2 != 0) {
        check.warnings.push_back("the file has an odd number of bytes (" + std::to_string(bytes.size()) +
                                 "); the installer ignores the last one");
    }
    if (!text.empty() && text[0] == 0xFEFF) {
        check.warnings.push_back(
            "line 1: the file begins with a byte-order mark (U+FEFF); it becomes part of the first key, "
            "which the installer then does not find under its name");
    }
    // A file in an 8-bit encoding pairs two characters into each code unit.
    std::size_t pairedAscii = 0;
    for (char16_t c : text) {
        pairedAscii += (c & 0xFF) >= 0x20 && (c & 0xFF) < 0x7F && c >> 8 >= 0x20 && c >> 8 < 0x7F;
    }
    const bool looksEightBit = entries.empty() && pairedAscii * 2 > text.size();
    if (looksEightBit) {
        check.warnings.push_back(
            "the file is not UTF-16LE text (it looks like an 8-bit or UTF-8 file): the installer finds no "
            "entry in it at all");
    }

    std::map<std::u16string, ManifestCheck::Effective> first;  // by key, as the installer keeps it
    for (const ManifestEntry& entry : entries) {
        const std::u16string key = text.substr(entry.keyOffset, entry.keyLength);
        const std::u16string value = text.substr(entry.valueOffset, entry.valueLength);
        const std::size_t keyLine = lines.lineOf(entry.keyOffset);
        std::size_t separator = entry.keyOffset + entry.keyLength;
        while (!isManifestSeparator(text[separator])) {
            ++separator;
        }
        const std::size_t separatorLine = lines.lineOf(separator);
        const std::size_t valueLine = lines.lineOf(entry.valueOffset);

        const bool swallowed = std::any_of(key.begin(), key.end(), isManifestLineEnd);
        if (swallowed) {
            check.warnings.push_back(
                lineText(keyLine) +
                ": the line has no separator; it and the line break become the start of the key " +
                quoted(key) + " that ends on " + lineText(separatorLine) +
                ", so that setting is not found under its name");
        }
        if (valueLine != separatorLine) {
            check.warnings.push_back(lineText(separatorLine) + ": " + quoted(key) +
                                     " has nothing after its separator; it takes " + quoted(value) +
                                     " from " + lineText(valueLine) + " as its value");
        }
        const auto earlier = first.find(key);
        if (earlier != first.end()) {
            check.warnings.push_back(lineText(keyLine) + ": " + quoted(key) +
                                     " appears again; the installer keeps the first value, from " +
                                     lineText(earlier->second.line) + ", and ignores this one");
            continue;
        }
        first.emplace(key, ManifestCheck::Effective{key, value, false, keyLine});
        const bool known = std::find(std::begin(kKeys), std::end(kKeys), key) != std::end(kKeys);
        if (!known && !swallowed && key[0] != 0xFEFF) {
            std::u16string lower = key;
            std::transform(key.begin(), key.end(), lower.begin(), [](char16_t c) {
                return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
            });
            const auto match = std::find(std::begin(kKeys), std::end(kKeys), lower);
            const std::string hint = match == std::end(kKeys)
                                         ? " is not a setting the installer reads"
                                         : " is not " + quoted(*match) + ": keys are case-sensitive";
            check.warnings.push_back(lineText(keyLine) + ": the key " + quoted(key) + hint);
        }
        if (key == manifestKeyEddsaSignature && !isSignatureText(value)) {
            check.warnings.push_back(
                lineText(valueLine) +
                ": eddsa_signature is not the Base64 of a 64-byte signature; the installer "
                "rejects every package with it");
        }
    }

    // Text after the last complete entry is a key that never got a value: the installer drops it.
    std::size_t tail = entries.empty() ? 0 : entries.back().valueOffset + entries.back().valueLength;
    while (tail < text.size() && isManifestBlank(text[tail])) {
        ++tail;
    }
    if (tail < text.size() && !looksEightBit) {
        std::size_t end = tail;
        while (end < text.size() && !isManifestLineEnd(text[end])) {
            ++end;
        }
        check.warnings.push_back(lineText(lines.lineOf(tail)) + ": " + quoted(text.substr(tail, end - tail)) +
                                 " at the end of the file has no value, so the installer drops it");
    }

    for (std::size_t i = 0; i < 4; ++i) {
        const auto found = first.find(kKeys[i]);
        check.settings.push_back(
            found != first.end() ? found->second : ManifestCheck::Effective{kKeys[i], kDefaults[i], true, 0});
    }
    return check;
}
