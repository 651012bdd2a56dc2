// Command-line options: what each line sets, where parsing stops, and the name and value limits.
// In the tables a Q stands for a quote mark and a T for a tab, to keep the lines readable.
#include "app/options.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string line(const std::string& ascii) {
    std::u16string out;
    for (char c : ascii) {
        out.push_back(c == 'Q' ? u'"' : c == 'T' ? u'\t' : static_cast<char16_t>(c));
    }
    return out;
}

std::string narrow(const char16_t* text) {
    std::string out;
    for (; *text != u'\0'; ++text) {
        out.push_back(static_cast<char>(*text));
    }
    return out;
}

class OptionsTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        ReleaseOptions();
        verifyOnly = false;
        unattended = false;
        uninstall = false;
    }
};

constexpr const char* kNull = "<null>";

struct SettingsCase {
    const char* commandLine;
    const char* url;  // kNull for an unset setting
    const char* signature;
    bool verify;
    bool unattended = false;
    bool uninstall = false;
};

TEST_F(OptionsTest, CommandLineSetsExactlyTheseSettings) {
    const SettingsCase cases[] = {
        {"", kNull, kNull, false},
        {"/url:abc", "abc", kNull, false},
        {"/eddsa_signature:AA==", kNull, "AA==", false},
        {"/verify_only", kNull, kNull, true},
        // An empty value at the end of the line changes nothing; before a space it sets "".
        {"/url:", kNull, kNull, false},
        {"/url:QQ", kNull, kNull, false},
        {"/url: /verify_only", "", kNull, true},
        {"/url:QQ /verify_only", "", kNull, true},
        {"/verify_only:", kNull, kNull, false},
        {"/verify_only:no", kNull, kNull, true},
        // Only a single space separates options; anything else between options stops parsing.
        {"/verify_only  /url:x", kNull, kNull, true},
        {"x /url:y", kNull, kNull, false},
        {" /url:y", kNull, kNull, false},
        {"/ /url:x", kNull, kNull, false},
        {"/URL:x", kNull, kNull, false},
        {"/verify_onlyT/url:x", kNull, kNull, false},
        {"/unknown /url:x", kNull, kNull, false},
        {"/url:x /unknown:y /verify_only", "x", kNull, false},
        {"/url:x Q/verify_only", "x", kNull, false},
        {"/passive /unattended", kNull, kNull, false},
        // /unattended, like /verify_only, only turns on; a value is ignored.
        {"/unattended", kNull, kNull, false, true},
        {"/unattended:no", kNull, kNull, false, true},
        {"/unattended:", kNull, kNull, false, false},
        {"/url:a /unattended /verify_only", "a", kNull, true, true},
        {"/unattended /url:a", "a", kNull, false, true},
        {"/Unattended /url:a", kNull, kNull, false, false},
        // /uninstall is a switch of the same kind, and changes how no other option is read.
        {"/uninstall /unattended", kNull, kNull, false, true, true},
        {"/uninstall:yes /verify_only", kNull, kNull, true, false, true},
        {"/uninstall:", kNull, kNull, false, false, false},
        {"/url:a /uninstall", "a", kNull, false, false, true},
        {"/Uninstall /unattended", kNull, kNull, false, false, false},
        {"/uninstal /unattended", kNull, kNull, false, false, false},
        // Later occurrences replace earlier ones.
        {"/url:a /url:b", "b", kNull, false},
        {"/url:a /eddsa_signature:s /verify_only", "a", "s", true},
        // Quote marks toggle quoting and are never stored.
        {"/url:Qa bQ /verify_only", "a b", kNull, true},
        {"/url:Qa b /verify_only", "a b /verify_only", kNull, false},
        {"/url:aQbQc", "abc", kNull, false},
        {"/url:QQQQ /verify_only", "", kNull, true},
        // ':' and '/' after the first ':' belong to the value; a tab is an ordinary character there.
        {"/url:a:b/c", "a:b/c", kNull, false},
        {"/url:aTb /verify_only", "a\tb", kNull, true},
        // Without ':' the two string options keep their setting and parsing goes on.
        {"/url /verify_only", kNull, kNull, true},
        {"/url:a /url", "a", kNull, false},
        {"/eddsa_signature /url:z", "z", kNull, false},
        // A name ends at ':' or space only; '"' and '/' inside a name are ordinary.
        {"/url/verify_only", kNull, kNull, false},
        {"/QurlQ:x", kNull, kNull, false},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.commandLine);
        reset();
        ParseCommandLine(line(c.commandLine).c_str());
        EXPECT_EQ(urlOverride == nullptr ? kNull : narrow(urlOverride), c.url);
        EXPECT_EQ(signatureOverride == nullptr ? kNull : narrow(signatureOverride), c.signature);
        EXPECT_EQ(verifyOnly, c.verify);
        EXPECT_EQ(unattended, c.unattended);
        EXPECT_EQ(uninstall, c.uninstall);
    }
}

TEST_F(OptionsTest, EmptyValueIsAnEmptyStringNotNull) {
    ParseCommandLine(u"/url: /eddsa_signature: /verify_only");
    ASSERT_NE(urlOverride, nullptr);
    ASSERT_NE(signatureOverride, nullptr);
    EXPECT_EQ(urlOverride[0], u'\0');
    EXPECT_EQ(signatureOverride[0], u'\0');
}

TEST_F(OptionsTest, NonAsciiUnitsAreCopiedUnchanged) {
    ParseCommandLine(u"/url:\u00e9\u4e2d\xd83d\xde00 /verify_only");
    ASSERT_NE(urlOverride, nullptr);
    EXPECT_EQ(std::u16string(urlOverride), std::u16string(u"\u00e9\u4e2d\xd83d\xde00"));
    EXPECT_TRUE(verifyOnly);
}

TEST_F(OptionsTest, ReleaseClearsBothStrings) {
    ParseCommandLine(u"/url:a /eddsa_signature:b");
    ReleaseOptions();
    EXPECT_EQ(urlOverride, nullptr);
    EXPECT_EQ(signatureOverride, nullptr);
    ReleaseOptions();  // a second release finds nothing to free
}

// What the parser hands to its handler, in order: "[name=value]" for each call, the value kNull when
// the option had no ':'.
std::string calls;
bool stopAfterRecording = false;

bool recordCall(const char16_t* name, const char16_t* value) {
    calls += "[" + narrow(name) + "=" + (value == nullptr ? kNull : narrow(value)) + "]";
    return stopAfterRecording;
}

std::string parse(const std::string& commandLine) {
    calls.clear();
    parseOptions(line(commandLine).c_str(), recordCall);
    return calls;
}

struct GrammarCase {
    std::string commandLine;
    std::string expected;  // the calls, as parse() gives them
};

TEST(OptionGrammar, NameLimits) {
    const std::string n30(30, 'n'), n31(31, 'n'), n32(32, 'n');
    const GrammarCase cases[] = {
        {"/" + n30 + ":v /a", "[" + n30 + "=v][a=<null>]"},
        {"/" + n30 + " /a", "[" + n30 + "=<null>][a=<null>]"},
        {"/" + n30, "[" + n30 + "=<null>]"},
        // 31 characters: applied at the end of the line or before a space, then parsing stops.
        {"/" + n31, "[" + n31 + "=<null>]"},
        {"/" + n31 + " /a", "[" + n31 + "=<null>]"},
        // ...and before ':' parsing stops before the value is read.
        {"/" + n31 + ":v /a", ""},
        // 32 characters stop at the last one: nothing of that option is applied.
        {"/" + n32, ""},
        {"/a /" + n32 + " /b", "[a=<null>]"},
        {"/" + n32 + n32, ""},
        // A lone '/' at the end of the line applies nothing.
        {"/", ""},
        {"/a /", "[a=<null>]"},
    };
    stopAfterRecording = false;
    for (const GrammarCase& c : cases) {
        EXPECT_EQ(parse(c.commandLine), c.expected) << c.commandLine;
    }
}

TEST(OptionGrammar, ValueLimits) {
    const std::string v511(511, 'v'), v512(512, 'v'), v510(510, 'v');
    const GrammarCase cases[] = {
        {"/a:" + v511, "[a=" + v511 + "]"},
        // 511 characters and an unquoted space: applied, then parsing stops.
        {"/a:" + v511 + " /b", "[a=" + v511 + "]"},
        {"/a:" + v510 + " /b", "[a=" + v510 + "][b=<null>]"},
        // The 512th character stops parsing and the option is not applied.
        {"/a:" + v512, ""},
        {"/x /a:" + v512 + " /b", "[x=<null>]"},
        // Quote marks are not counted; a quoted space is.
        {"/a:QQ" + v511 + "QQ", "[a=" + v511 + "]"},
        {"/a:Q " + v510 + "Q", "[a= " + v510 + "]"},
        {"/a:Q " + v511 + "Q", ""},
    };
    stopAfterRecording = false;
    for (const GrammarCase& c : cases) {
        EXPECT_EQ(parse(c.commandLine), c.expected) << c.commandLine.size();
    }
}

TEST(OptionGrammar, HandlerDecidesWhetherParsingGoesOn) {
    stopAfterRecording = true;
    EXPECT_EQ(parse("/a /b"), "[a=<null>]");
    EXPECT_EQ(parse("/a:x /b"), "[a=x]");
    stopAfterRecording = false;
    EXPECT_EQ(parse("/a /b:y /c:"), "[a=<null>][b=y]");
}

TEST_F(OptionsTest, OverlongValueKeepsTheEarlierSetting) {
    const std::string v511(511, 'x'), v512(512, 'y');
    ParseCommandLine(line("/url:" + v511).c_str());
    ASSERT_NE(urlOverride, nullptr);
    EXPECT_EQ(narrow(urlOverride), v511);
    ParseCommandLine(line("/url:" + v512).c_str());
    EXPECT_EQ(narrow(urlOverride), v511);
}

}  // namespace
