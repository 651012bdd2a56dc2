// The journal text, table-driven: texts the reader must refuse, texts with the exact steps each gives
// forward and back, the writer and the reader agreeing on paths, work folders and letters, and a large
// round trip. Damaged journals are built by the writer and then changed in one place, and re-sealed
// where the fault is not in the check, so that each row holds one fault. Native trees also check the
// check line against OpenSSL's SHA-512.
#include "install/code_folder/journal_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#ifdef WELKARA_TEST_OPENSSL
#include <openssl/sha.h>
#endif

namespace {

// A literal with the NULs it holds (a u"" literal's length without its terminator).
template <std::size_t N>
std::u16string lit(const char16_t (&text)[N]) {
    return std::u16string(text, N - 1);
}

const std::u16string kWork = u"run-01dc4a3b5e6f7a80";
const std::u16string kHead = u"welkara journal 1\n@run-01dc4a3b5e6f7a80\n";

// `body` followed by the check line of it, whatever it holds.
std::u16string sealed(std::u16string body) {
    sealJournal(&body);
    return body;
}

std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : "<" + std::to_string(c) + ">";
    }
    return out;
}

using Step = std::pair<char16_t, std::u16string>;

std::vector<Step> stepsForward(const JournalText& journal) {
    std::vector<Step> steps;
    std::size_t cursor = journal.firstStep;
    JournalLine line;
    while (nextJournalStep(journal, &cursor, &line)) {
        steps.emplace_back(static_cast<char16_t>(line.step), std::u16string(line.path, line.length));
    }
    EXPECT_EQ(cursor, journal.endOfSteps);
    return steps;
}

std::vector<Step> stepsBackward(const JournalText& journal) {
    std::vector<Step> steps;
    std::size_t cursor = journal.endOfSteps;
    JournalLine line;
    while (previousJournalStep(journal, &cursor, &line)) {
        steps.emplace_back(static_cast<char16_t>(line.step), std::u16string(line.path, line.length));
    }
    EXPECT_EQ(cursor, journal.firstStep);
    std::reverse(steps.begin(), steps.end());
    return steps;
}

bool reads(const std::u16string& text) {
    JournalText journal;
    return readJournal(text.data(), text.size(), &journal);
}

struct DamagedCase {
    const char* what;
    std::u16string text;
};

TEST(JournalText, DamagedTextIsRefusedAndLeavesTheResultUntouched) {
    const std::u16string good = sealed(kHead + u"d data\nf data\\a.txt\n");
    const std::u16string body = good.substr(0, good.size() - 130), check = good.substr(good.size() - 130);
    const std::u16string other = sealed(kHead + u"d data\nf data\\b.txt\n");
    const std::u16string shortCheck = sealed(kHead + u"d data\n").substr(kHead.size() + 7);
    std::u16string upperCheck = good;
    for (std::size_t i = good.size() - 129; i < good.size() - 1; ++i) {
        if (upperCheck[i] >= u'a' && upperCheck[i] <= u'f') {
            upperCheck[i] = static_cast<char16_t>(upperCheck[i] - 32);
        }
    }
    ASSERT_NE(upperCheck, good);  // the digest has a letter among its digits
    std::u16string nulInCheck = good;
    nulInCheck[good.size() - 2] = u'\0';

    const DamagedCase cases[] = {
        {"empty text", u""},
        // The first line and the work folder's line.
        {"first line of another version", sealed(u"welkara journal 2\n@run-01dc4a3b5e6f7a80\n")},
        {"first line ended by CR LF", sealed(u"welkara journal 1\r\n@run-01dc4a3b5e6f7a80\n")},
        {"byte-order mark before the first line",
         sealed(u"\xfeffwelkara journal 1\n@run-01dc4a3b5e6f7a80\n")},
        {"only the first line", u"welkara journal 1\n"},
        {"no work folder line", sealed(u"welkara journal 1\nd data\n")},
        {"work folder with 15 digits", sealed(u"welkara journal 1\n@run-01dc4a3b5e6f7a8\n")},
        {"work folder with 17 digits", sealed(u"welkara journal 1\n@run-01dc4a3b5e6f7a801\n")},
        {"work folder with an uppercase digit", sealed(u"welkara journal 1\n@run-01DC4a3b5e6f7a80\n")},
        {"work folder line twice", sealed(kHead + u"@run-01dc4a3b5e6f7a80\n")},
        // Step lines.
        {"NUL in a path", sealed(kHead + lit(u"f a\0b\n"))},
        {"earlier release's '+' step", sealed(kHead + u"+data\n")},
        {"earlier release's '-' step with a space", sealed(kHead + u"- data\n")},
        {"unknown letter", sealed(kHead + u"q data\n")},
        {"uppercase letter", sealed(kHead + u"F data\n")},
        {"no space after the letter", sealed(kHead + u"fdata\n")},
        {"tab for the space", sealed(kHead + u"f\tdata\n")},
        {"letter alone", sealed(kHead + u"f\n")},
        {"empty path", sealed(kHead + u"f \n")},
        {"empty line among the steps", sealed(kHead + u"d data\n\nf data\\a\n")},
        {"CR before the line feed", sealed(kHead + u"f data\r\n")},
        {"parent name in a path", sealed(kHead + u"f data\\..\\a\n")},
        {"forbidden character in a path", sealed(kHead + u"f data\\a?\n")},
        {"installer's folder as the first name", sealed(kHead + u"a .Installer\\log.txt\n")},
        {"last line cut off", good.substr(0, good.size() - 1)},
        // The check line.
        {"NUL in the check", nulInCheck},
        {"check of another text", body + other.substr(other.size() - 130)},
        {"check of the text without its last step", kHead + u"d data\n" + u"f data\\a.txt\n" + shortCheck},
        {"check in uppercase", upperCheck},
        {"check with a digit missing", good.substr(0, good.size() - 2) + u"\n"},
        {"check with a digit too many", good.substr(0, good.size() - 1) + u"0\n"},
        {"check line without its '#'", body + check.substr(1)},
        {"check missing", body},
        {"check missing, no steps", kHead},
        {"text after the check", good + u"x"},
        {"step after the check", good + u"f data\\b.txt\n"},
        {"second check", sealed(good)},
        // The earlier release's records.
        {"earlier record with a NUL", lit(u"@run-01\n+da\0ta\n")},
        {"earlier record with a work line not first", u"+data\n@run-01\n"},
        {"earlier record with two work lines", u"@run-01\n@run-02\n+data\n"},
        {"earlier record with a work folder not run-", u"@tmp-01\n+data\n"},
        {"earlier record with a work folder holding '\\'", u"@run-01\\x\n+data\n"},
        {"earlier record with an empty work line", u"@\n+data\n"},
        {"earlier record with a name holding '\\'", u"+data\\cache\n"},
        {"earlier record with a name holding '/'", u"+data/cache\n"},
        {"earlier record with a name holding ':'", u"-data:stream\n"},
        {"earlier record with an empty name", u"+data\n-\n"},
        {"earlier record with '..'", u"-..\n"},
        {"earlier record with '.installer'", u"+data\n-.INSTALLER\n"},
        {"earlier record with an empty line", u"+data\n\n-python\n"},
        {"earlier record with a letter of this release", u"f data\n"},
        {"earlier record cut off", u"+data\n-python"},
        {"earlier entries after the first line", u"welkara journal 1\n+data\n"},
    };
    for (const DamagedCase& c : cases) {
        JournalText journal;
        journal.length = 12345;
        journal.firstStep = 678;
        EXPECT_FALSE(readJournal(c.text.data(), c.text.size(), &journal)) << c.what << ": " << narrow(c.text);
        EXPECT_EQ(journal.text, nullptr) << c.what;
        EXPECT_EQ(journal.length, 12345u) << c.what;
        EXPECT_EQ(journal.firstStep, 678u) << c.what;
    }
}

TEST(JournalText, AnyOneUnitChangedCutOrAddedIsRefused) {
    // Every unit counts, its high byte too: the check covers the whole text up to it, and every digit
    // of the check is compared.
    const std::u16string good = sealed(kHead + u"d data\nr data\\r\u00e9sum\u00e9.txt\nx python\\lib\n");
    ASSERT_TRUE(reads(good));
    const char16_t masks[] = {0x0001, 0x0020, 0x0100, 0x8000};
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (char16_t mask : masks) {
            std::u16string changed = good;
            changed[i] ^= mask;
            EXPECT_FALSE(reads(changed)) << "unit " << i << " ^ " << mask;
        }
        EXPECT_FALSE(reads(good.substr(0, i))) << "cut to " << i;
        EXPECT_FALSE(reads(good.substr(0, i) + u"\n" + good.substr(i))) << "line feed at " << i;
    }
}

struct ValidCase {
    const char* what;
    std::u16string text;
    JournalFormat format;
    std::u16string work;
    std::vector<Step> steps;
};

TEST(JournalText, ValidTextGivesExactlyTheseStepsForwardAndBack) {
    const ValidCase cases[] = {
        {"every letter",
         sealed(kHead + u"d data\nf data\\new.txt\nr data\\readme.txt\na old.dll\nx python\\lib\\gone\n"),
         JournalFormat::steps,
         kWork,
         {{u'd', u"data"},
          {u'f', u"data\\new.txt"},
          {u'r', u"data\\readme.txt"},
          {u'a', u"old.dll"},
          {u'x', u"python\\lib\\gone"}}},
        {"no steps", sealed(kHead), JournalFormat::steps, kWork, {}},
        {"one step", sealed(kHead + u"f a\n"), JournalFormat::steps, kWork, {{u'f', u"a"}}},
        // One space follows the letter; a second one starts the path, as a name may start with a space.
        {"path starting with a space",
         sealed(kHead + u"r  a\n"),
         JournalFormat::steps,
         kWork,
         {{u'r', u" a"}}},
        {"names with spaces and dots",
         sealed(kHead + u"f my data\\a b.\\...\\ c \n"),
         JournalFormat::steps,
         kWork,
         {{u'f', u"my data\\a b.\\...\\ c "}}},
        {"names beside the installer's folder",
         sealed(kHead + u"d .installerx\nf x\\.installer\n"),
         JournalFormat::steps,
         kWork,
         {{u'd', u".installerx"}, {u'f', u"x\\.installer"}}},
        {"letters beyond ASCII",
         sealed(kHead + u"f \u00e9t\u00e9\\\u65e5\u672c\\\U0001f600.txt\n"),
         JournalFormat::steps,
         kWork,
         {{u'f', u"\u00e9t\u00e9\\\u65e5\u672c\\\U0001f600.txt"}}},
        {"earlier record with work folder",
         u"@run-01dc4a3b5e6f7a80\n+data\n-python\n+app.exe\n",
         JournalFormat::entries,
         kWork,
         {{u'+', u"data"}, {u'-', u"python"}, {u'+', u"app.exe"}}},
        {"earlier record with only its work folder", u"@run-\n", JournalFormat::entries, u"run-", {}},
        {"earlier record without work folder",
         u"+data\n-python\n",
         JournalFormat::entriesWithoutWork,
         u"",
         {{u'+', u"data"}, {u'-', u"python"}}},
        {"earlier record with odd bare names",
         u"-.installerx\n+ a b \n+...\n",
         JournalFormat::entriesWithoutWork,
         u"",
         {{u'-', u".installerx"}, {u'+', u" a b "}, {u'+', u"..."}}},
    };
    for (const ValidCase& c : cases) {
        JournalText journal;
        ASSERT_TRUE(readJournal(c.text.data(), c.text.size(), &journal)) << c.what << ": " << narrow(c.text);
        EXPECT_EQ(journal.text, c.text.data()) << c.what;
        EXPECT_EQ(journal.length, c.text.size()) << c.what;
        EXPECT_EQ(journal.format, c.format) << c.what;
        EXPECT_EQ(c.text.substr(journal.workOffset, journal.workLength), c.work) << c.what;
        EXPECT_EQ(stepsForward(journal), c.steps) << c.what;
        EXPECT_EQ(stepsBackward(journal), c.steps) << c.what;
        // Past either end nothing is given and the cursor stays.
        std::size_t end = journal.endOfSteps, start = journal.firstStep;
        JournalLine line;
        EXPECT_FALSE(nextJournalStep(journal, &end, &line)) << c.what;
        EXPECT_FALSE(previousJournalStep(journal, &start, &line)) << c.what;
        EXPECT_EQ(end, journal.endOfSteps) << c.what;
        EXPECT_EQ(start, journal.firstStep) << c.what;
    }
}

TEST(JournalText, WriterWritesTheLiteralJournalAndItsDigest) {
    const std::u16string body =
        u"welkara journal 1\n"
        u"@run-01dc4a3b5e6f7a80\n"
        u"d data\\cache\n"
        u"r data\\\u65e5\u672c\\r\u00e9sum\u00e9.txt\n";
    std::u16string written;
    ASSERT_TRUE(beginJournal(&written, kWork.data(), kWork.size()));
    ASSERT_TRUE(addJournalStep(&written, JournalStep::makeFolder, u"data\\cache", 10));
    ASSERT_TRUE(
        addJournalStep(&written, JournalStep::replaceFile, u"data\\\u65e5\u672c\\r\u00e9sum\u00e9.txt", 18));
    EXPECT_EQ(written, body);
    sealJournal(&written);
    ASSERT_EQ(written.size(), body.size() + 130);
    EXPECT_EQ(written.substr(0, body.size() + 1), body + u"#");
    EXPECT_EQ(written.back(), u'\n');
    EXPECT_TRUE(reads(written));
#ifdef WELKARA_TEST_OPENSSL
    std::string bytes;
    for (char16_t c : body) {
        bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    }
    unsigned char digest[SHA512_DIGEST_LENGTH];
    SHA512(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    std::u16string hex;
    for (unsigned char byte : digest) {
        hex += u"0123456789abcdef"[byte >> 4];
        hex += u"0123456789abcdef"[byte & 0xF];
    }
    EXPECT_EQ(written, body + u"#" + hex + u"\n");
#endif
}

struct PathCase {
    std::u16string path;
    bool ok;
};

TEST(JournalText, ReaderAndWriterAgreeOnPaths) {
    const PathCase cases[] = {
        {u"a", true},
        {u"data\\readme.txt", true},
        {u" a\\b \\c.", true},
        {u"...\\.a\\a.", true},
        {u".installerx", true},
        {u"x\\.installer", true},
        {u"\u00e9\\\U0001f600", true},
        {u"a\x7f~!#$%&'()+,;=@[]^`{}", true},
        {std::u16string(32000, u'a'), true},
        {std::u16string(15999, u'a') + u"\\" + std::u16string(16000, u'b'), true},
        {std::u16string(32001, u'a'), false},
        {u"", false},
        {u".", false},
        {u"..", false},
        {u"a\\.", false},
        {u"..\\a", false},
        {u"a\\..\\b", false},
        {u"\\a", false},
        {u"a\\", false},
        {u"a\\\\b", false},
        {u"\\", false},
        {u".installer", false},
        {u".INSTALLER\\a", false},
        {u".Installer", false},
        {lit(u"a\0b"), false},
        {u"a\tb", false},
        {u"a\nb", false},
        {u"a\x1f", false},
        {u"a<", false},
        {u"a>", false},
        {u"c:\\a", false},
        {u"a\"", false},
        {u"a/b", false},
        {u"a|b", false},
        {u"a?", false},
        {u"*", false},
    };
    for (const PathCase& c : cases) {
        const std::string what = narrow(c.path.substr(0, 40));
        EXPECT_EQ(isJournalPath(c.path.data(), c.path.size()), c.ok) << what;
        std::u16string out = kHead;
        EXPECT_EQ(addJournalStep(&out, JournalStep::addFile, c.path.data(), c.path.size()), c.ok) << what;
        EXPECT_EQ(out, c.ok ? kHead + u"f " + c.path + u"\n" : kHead) << what;
        EXPECT_EQ(reads(sealed(kHead + u"f " + c.path + u"\n")), c.ok) << what;
    }
}

TEST(JournalText, ReaderAndWriterAgreeOnWorkFolders) {
    const PathCase cases[] = {
        {u"run-0123456789abcdef", true},
        {u"run-0000000000000000", true},
        {u"run-0123456789abcde", false},
        {u"run-0123456789abcdef0", false},
        {u"run-0123456789ABCDEF", false},
        {u"run-0123456789abcdeg", false},
        {u"Run-0123456789abcdef", false},
        {u"run_0123456789abcdef", false},
        {u"run-0123456789abcde\n", false},
        {u"run-", false},
        {u"", false},
    };
    for (const PathCase& c : cases) {
        std::u16string out = u"unchanged";
        EXPECT_EQ(beginJournal(&out, c.path.data(), c.path.size()), c.ok) << narrow(c.path);
        EXPECT_EQ(out, c.ok ? u"welkara journal 1\n@" + c.path + u"\n" : u"unchanged") << narrow(c.path);
        EXPECT_EQ(reads(sealed(u"welkara journal 1\n@" + c.path + u"\n")), c.ok) << narrow(c.path);
    }
}

TEST(JournalText, ReaderAndWriterAgreeOnStepLetters) {
    // Every unit as a letter: only this release's five are written and read.
    for (char32_t unit = 0; unit <= 0xFFFF; ++unit) {
        const char16_t letter = static_cast<char16_t>(unit);
        const bool ok =
            letter == u'd' || letter == u'f' || letter == u'r' || letter == u'a' || letter == u'x';
        std::u16string out = kHead;
        ASSERT_EQ(addJournalStep(&out, static_cast<JournalStep>(letter), u"a", 1), ok) << unit;
        ASSERT_EQ(out, ok ? kHead + letter + u" a\n" : kHead) << unit;
        ASSERT_EQ(reads(sealed(kHead + letter + u" a\n")), ok) << unit;
    }
}

TEST(JournalText, LargeJournalReadsBackEveryStep) {
    const JournalStep letters[] = {JournalStep::makeFolder, JournalStep::addFile, JournalStep::replaceFile,
                                   JournalStep::moveAside, JournalStep::removeFolder};
    std::vector<Step> steps;
    std::u16string text;
    ASSERT_TRUE(beginJournal(&text, kWork.data(), kWork.size()));
    for (std::size_t i = 0; i < 100000; ++i) {
        std::u16string path = u"data\\" + std::u16string(i % 7 + 1, static_cast<char16_t>(u'a' + i % 26));
        for (char c : std::to_string(i)) {
            path += static_cast<char16_t>(c);
        }
        const JournalStep step = letters[i % 5];
        ASSERT_TRUE(addJournalStep(&text, step, path.data(), path.size()));
        steps.emplace_back(static_cast<char16_t>(step), path);
    }
    sealJournal(&text);
    JournalText journal;
    ASSERT_TRUE(readJournal(text.data(), text.size(), &journal));
    EXPECT_EQ(stepsForward(journal), steps);
    EXPECT_EQ(stepsBackward(journal), steps);
}

}  // namespace
