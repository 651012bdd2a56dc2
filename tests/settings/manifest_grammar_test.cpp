// The manifest grammar, table-driven: each case is a file text and the exact entries it must give.
// In the texts below "\r\n" and friends are written out; <BOM> stands for U+FEFF.
#include "settings/manifest_grammar.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/support/utf16le.h"

namespace {

using testsupport::fromUtf16le;

std::u16string widen(const std::string& ascii) {
    std::u16string out;
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        if (ascii.compare(i, 5, "<BOM>") == 0) {
            out.push_back(u'\xfeff');
            i += 4;
        } else {
            out.push_back(static_cast<char16_t>(static_cast<unsigned char>(ascii[i])));
        }
    }
    return out;
}

std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "<" + std::to_string(c) + ">";
    }
    return out;
}

std::map<std::string, std::string> entriesOf(const std::u16string& text) {
    Manifest* manifest = parseManifest(text.data(), text.size());
    std::map<std::string, std::string> out;
    for (const auto& entry : manifest->entries) {
        out[narrow(entry.first)] = narrow(entry.second);
    }
    releaseManifest(manifest);
    return out;
}

using Entries = std::map<std::string, std::string>;

struct GrammarCase {
    const char* what;
    std::string text;
    Entries expected;
};

TEST(ManifestGrammar, TextGivesExactlyTheseEntries) {
    const GrammarCase cases[] = {
        {"empty", "", {}},
        {"blanks only", " \t\r\n \r\n", {}},
        {"one line, CR LF", "version = 1.4.2 \r\n", {{"version", "1.4.2"}}},
        {"colon separator", "mode:release", {{"mode", "release"}}},
        {"tabs trimmed", "\tmode\t=\trelease\t\r\n", {{"mode", "release"}}},
        {"several lines", "version=1\r\nmode=r\nlocal_update_filename=p.7z\reddsa_signature=AA==",
         {{"version", "1"}, {"mode", "r"}, {"local_update_filename", "p.7z"}, {"eddsa_signature", "AA=="}}},
        {"inner blanks stay", "my key = a b\r\n", {{"my key", "a b"}}},
        {"separators inside value", "mode=a=b:c\r\n", {{"mode", "a=b:c"}}},
        {"key may start with a separator", ":mode=x\r\n", {{":mode", "x"}}},
        {"first char of key never separates", "==x\r\n", {{"=", "x"}}},
        {"first occurrence wins", "mode=one\r\nmode=two\r\n", {{"mode", "one"}}},
        {"keys are case-sensitive", "Version=1\r\nversion=2", {{"Version", "1"}, {"version", "2"}}},
        {"line without separator swallows next key", "[settings]\r\nmode=release\r\n",
         {{"[settings]\r\nmode", "release"}}},
        {"separator at line end takes next line", "local_update_filename=\r\nversion=2.0\r\n",
         {{"local_update_filename", "version=2.0"}}},
        {"value may come lines later", "mode=\r\n\r\n \t\r\n  x y \r\n", {{"mode", "x y"}}},
        {"last line without line end kept", "a=1\r\nmode=release", {{"a", "1"}, {"mode", "release"}}},
        {"last line without line end, trailing blanks", "mode=release \t", {{"mode", "release"}}},
        {"pending key at end dropped", "a=1\r\nmode=", {{"a", "1"}}},
        {"pending key before value dropped", "a=1\r\nmode=  \r\n", {{"a", "1"}}},
        {"key without separator at end dropped", "a=1\r\nmode", {{"a", "1"}}},
        {"BOM hides the first key", "<BOM>version=1\r\nmode=r\r\n", {{"<65279>version", "1"}, {"mode", "r"}}},
        {"NUL is ordinary text", std::string("a\0b=c\0d", 7), {{std::string("a\0b", 3), std::string("c\0d", 3)}}},
        {"VT and FF are ordinary text", "\va=\fb\f", {{"\va", "\fb\f"}}},
        {"lone CR ends a value", "a=1\rb=2", {{"a", "1"}, {"b", "2"}}},
        {"blank key end trimmed before separator", "a \r\n = 1", {{"a", "1"}}},
    };
    for (const GrammarCase& c : cases) {
        EXPECT_EQ(entriesOf(widen(c.text)), c.expected) << c.what;
    }
}

TEST(ManifestGrammar, ByteLevelFiles) {
    // "mode=release\r\n" in UTF-16LE and, byte-swapped, in UTF-16BE.
    std::string utf16, bigEndian;
    for (char c : std::string("mode=release\r\n")) {
        utf16 += std::string{c, '\0'};
        bigEndian += std::string{'\0', c};
    }
    EXPECT_EQ(entriesOf(fromUtf16le(utf16)), (Entries{{"mode", "release"}}));
    // An odd last byte is ignored.
    EXPECT_EQ(entriesOf(fromUtf16le(utf16 + "X")), (Entries{{"mode", "release"}}));
    EXPECT_EQ(entriesOf(fromUtf16le(utf16.substr(0, 24) + "\x00")), (Entries{{"mode", "release"}}));
    // The same text in an 8-bit encoding pairs bytes into code units that are never separators.
    EXPECT_EQ(entriesOf(fromUtf16le("mode=release\r\nversion=1.2.3\r\n")), Entries{});
    EXPECT_EQ(entriesOf(fromUtf16le("mode:release\r\nversion:1.2.3\r\n")), Entries{});
    // A big-endian file: every unit is byte-swapped, nothing is a separator either.
    EXPECT_EQ(entriesOf(fromUtf16le(bigEndian)), Entries{});
}

TEST(ManifestGrammar, LookupGivesValueOrDefault) {
    const std::u16string text = u"version=2.0\r\nmode = release\r\nextra=1\r\n";
    Manifest* manifest = parseManifest(text.data(), text.size());
    EXPECT_EQ(std::u16string(lookupManifest(manifest, manifestKeyVersion, defaultVersion)), u"2.0");
    EXPECT_EQ(std::u16string(lookupManifest(manifest, manifestKeyMode, defaultMode)), u"release");
    EXPECT_EQ(lookupManifest(manifest, manifestKeyLocalUpdateFilename, defaultLocalUpdateFilename),
              defaultLocalUpdateFilename);
    EXPECT_EQ(lookupManifest(manifest, manifestKeyEddsaSignature, defaultEddsaSignature), defaultEddsaSignature);
    releaseManifest(manifest);

    // An absent manifest and an empty one both give every default.
    Manifest* empty = parseManifest(u"", 0);
    for (const Manifest* m : {static_cast<const Manifest*>(nullptr), static_cast<const Manifest*>(empty)}) {
        EXPECT_EQ(std::u16string(lookupManifest(m, manifestKeyVersion, defaultVersion)), u"latest");
        EXPECT_EQ(std::u16string(lookupManifest(m, manifestKeyMode, defaultMode)), u"devel");
        EXPECT_EQ(std::u16string(lookupManifest(m, manifestKeyLocalUpdateFilename, defaultLocalUpdateFilename)),
                  u"");
    }
    releaseManifest(empty);
    releaseManifest(nullptr);
}

TEST(ManifestGrammar, DefaultSignatureIsBase64OfSixtyFourZeroBytes) {
    const std::u16string signature(defaultEddsaSignature);
    ASSERT_EQ(signature.size(), 88u);
    EXPECT_EQ(signature.substr(0, 86), std::u16string(86, u'A'));
    EXPECT_EQ(signature.substr(86), u"==");
}

TEST(ManifestGrammar, ScanReportsOffsetsInFileOrderWithDuplicates) {
    const std::u16string text = u"a = 1\r\n  a:2\nbb=\r\n  c d \r\n";
    std::vector<ManifestEntry> seen;
    scanManifest(
        text.data(), text.size(),
        [](void* context, const ManifestEntry& entry) {
            static_cast<std::vector<ManifestEntry>*>(context)->push_back(entry);
        },
        &seen);
    ASSERT_EQ(seen.size(), 3u);
    auto key = [&](const ManifestEntry& e) { return text.substr(e.keyOffset, e.keyLength); };
    auto value = [&](const ManifestEntry& e) { return text.substr(e.valueOffset, e.valueLength); };
    EXPECT_EQ(key(seen[0]), u"a");
    EXPECT_EQ(value(seen[0]), u"1");
    EXPECT_EQ(seen[0].keyOffset, 0u);
    EXPECT_EQ(key(seen[1]), u"a");
    EXPECT_EQ(seen[1].keyOffset, 9u);
    EXPECT_EQ(key(seen[2]), u"bb");
    EXPECT_EQ(value(seen[2]), u"c d");
}

}  // namespace
