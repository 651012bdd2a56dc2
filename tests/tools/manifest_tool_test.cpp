// Manifests for publishers: what the tool writes reads back exactly through the installer's grammar,
// what it refuses, and which traps the check names, on which line.
#include "tools/manifest_tool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/manifest_grammar.h"
#include "tests/support/utf16le.h"

namespace {

using testsupport::utf16le;

const std::u16string kSignature =
    u"MTIzNDU2Nzg5MDEyMzQ1Njc4OTAxMjM0NTY3ODkwMTIzNDU2Nzg5MDEyMzQ1Njc4OTAxMjM0NTY3ODkwMTI"
    u"zNA==";

TEST(ManifestTool, WrittenFileReadsBackExactly) {
    const std::vector<std::vector<ManifestSetting>> cases = {
        {},
        {{u"version", u"1.4.2"}},
        {{u"version", u"1.4.2"},
         {u"mode", u"release"},
         {u"local_update_filename", u"welkara 1.4.2.7z"},
         {u"eddsa_signature", kSignature}},
        // Separators, leading separators, inner blanks and non-ASCII text are all carried.
        {{u"mode", u"=a:b=c"},
         {u"version", u":1"},
         {u"local_update_filename", u"pak\u00e9 \u4e2d\U0001F600.7z"}},
    };
    for (const auto& settings : cases) {
        const std::string bytes = manifestFileBytes(settings);
        ASSERT_EQ(bytes.size() % 2, 0u);
        ASSERT_TRUE(bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0) << "no byte-order mark";
        const std::u16string text = testsupport::fromUtf16le(bytes);
        Manifest* manifest = parseManifest(text.data(), text.size());
        EXPECT_EQ(manifest->entries.size(), settings.size());
        for (const ManifestSetting& setting : settings) {
            EXPECT_EQ(std::u16string(lookupManifest(manifest, setting.first.c_str(), u"<absent>")),
                      setting.second);
        }
        releaseManifest(manifest);
        EXPECT_TRUE(checkManifest(bytes).warnings.empty());
        if (!settings.empty()) {
            EXPECT_EQ(text.substr(text.size() - 2), u"\r\n");
        }
    }
}

TEST(ManifestTool, RefusesValuesTheGrammarCannotCarry) {
    struct Case {
        std::u16string key, value;
        const char* problem;  // part of the message, "" when accepted
    } cases[] = {
        {u"version", u"", "is empty"},
        {u"version", u" 1", "begins or ends with a blank"},
        {u"version", u"1\t", "begins or ends with a blank"},
        {u"mode", u"\r\nx", "begins or ends with a blank"},
        {u"mode", u"a\rb", "line break"},
        {u"mode", u"a\nb", "line break"},
        {u"eddsa_signature", u"AA==", "not the Base64 of a 64-byte signature"},
        {u"eddsa_signature", kSignature.substr(0, 86) + u"=", "not the Base64 of a 64-byte signature"},
        {u"eddsa_signature", u"\u0141" + kSignature.substr(1), "not the Base64 of a 64-byte signature"},
        {u"eddsa_signature", kSignature, ""},
        {u"mode", u"a b", ""},
        {u"mode", u"=", ""},
    };
    for (const Case& c : cases) {
        const std::string problem = manifestValueProblem(c.key, c.value);
        EXPECT_TRUE(c.problem[0] == '\0' ? problem.empty() : problem.find(c.problem) != std::string::npos)
            << problem;
    }
}

TEST(ManifestTool, CheckNamesEachTrapAndItsLine) {
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> warnings;  // each a part of one warning, in order
    } cases[] = {
        {"clean", utf16le(u"version=1\r\nmode=release\r\n"), {}},
        {"byte-order mark",
         utf16le(u"\ufeffversion=1\r\nmode=release\r\n"),
         {"line 1: the file begins with a byte-order mark"}},
        {"separator at the end of a line",
         utf16le(u"local_update_filename=\r\nversion=2.0\r\n"),
         {"line 1: \"local_update_filename\" has nothing after its separator; it takes \"version=2.0\" from "
          "line 2"}},
        {"line without separator",
         utf16le(u"[settings]\r\nmode=release\r\n"),
         {"line 1: the line has no separator; it and the line break become the start of the key "
          "\"[settings]\\r\\nmode\" that ends on line 2"}},
        {"duplicate",
         utf16le(u"mode=one\r\nversion=1\nmode=two\r\n"),
         {"line 3: \"mode\" appears again; the installer keeps the first value, from line 1"}},
        {"case of a key",
         utf16le(u"Version=1\r\n"),
         {"line 1: the key \"Version\" is not \"version\": keys are case-sensitive"}},
        {"unknown key",
         utf16le(u"mode=x\r\nchannel=beta\r\n"),
         {"line 2: the key \"channel\" is not a setting"}},
        {"odd length", utf16le(u"mode=x\r\n") + "!", {"odd number of bytes (17)"}},
        {"8-bit file", "version=1.2.30\r\nmode=release\r\n", {"is not UTF-16LE text"}},
        {"key without value at the end",
         utf16le(u"mode=x\r\nversion="),
         {"line 2: \"version=\" at the end of the file has no value"}},
        {"key alone at the end", utf16le(u"mode=x\r\n\r\nversion\r\n"), {"line 3: \"version\" at the end"}},
        {"bad signature",
         utf16le(u"eddsa_signature=AA==\r\n"),
         {"line 1: eddsa_signature is not the Base64"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ManifestCheck check = checkManifest(c.bytes);
        ASSERT_EQ(check.warnings.size(), c.warnings.size())
            << (check.warnings.empty() ? "" : check.warnings[0]);
        for (std::size_t i = 0; i < c.warnings.size(); ++i) {
            EXPECT_NE(check.warnings[i].find(c.warnings[i]), std::string::npos) << check.warnings[i];
        }
    }
}

TEST(ManifestTool, CheckReportsEffectiveValuesAndDefaults) {
    const ManifestCheck check =
        checkManifest(utf16le(u"\r\nmode = release \r\nmode=other\r\nlocal_update_filename:p.7z"));
    ASSERT_EQ(check.settings.size(), 4u);
    EXPECT_EQ(check.settings[0].key, u"version");
    EXPECT_EQ(check.settings[0].value, u"latest");
    EXPECT_TRUE(check.settings[0].isDefault);
    EXPECT_EQ(check.settings[1].value, u"release");
    EXPECT_FALSE(check.settings[1].isDefault);
    EXPECT_EQ(check.settings[1].line, 2u);
    EXPECT_EQ(check.settings[2].value, u"p.7z");
    EXPECT_EQ(check.settings[2].line, 4u);
    EXPECT_EQ(check.settings[3].value, std::u16string(defaultEddsaSignature));
    EXPECT_TRUE(check.settings[3].isDefault);
}

TEST(ManifestTool, DisplayEscapesInvisibleCharacters) {
    EXPECT_EQ(displayText(u"a\r\n\tb\ufeff\x01"), "a\\r\\n\\tb\\uFEFF\\u0001");
    EXPECT_EQ(displayText(u"\u00e9"), "\xc3\xa9");
}

}  // namespace
