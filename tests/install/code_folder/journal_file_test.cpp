// The journal file on disk, beside this test executable in the run's Wine prefix: how large a journal
// may be. One as large as the limit (64 MiB) is written and read back whole, its check included; one
// unit larger is refused by the writer, and a file one byte or one unit larger is refused by the reader
// before anything is taken from it.
#include "install/code_folder/journal_file.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;

namespace {

constexpr std::size_t kLimitUnits = 32 * 1024 * 1024;  // 64 MiB of UTF-16
constexpr std::size_t kCheckLine = 1 + 128 + 1;        // "#", the digest and the line feed

// A sealed journal of exactly `units` units: "f" steps with paths of a single name, the longest a path
// may be, and one shorter step that makes up the rest.
std::u16string journalOf(std::size_t units) {
    std::u16string text;
    const std::u16string work = u"run-0000000000000001";
    EXPECT_TRUE(beginJournal(&text, work.data(), work.size()));
    for (char16_t name = u'a'; text.size() + kCheckLine < units; name = name == u'z' ? u'a' : name + 1) {
        const std::size_t room = units - kCheckLine - text.size() - 3;  // "f", a blank, the path, "\n"
        const std::u16string path(room < 32000 ? room : 32000, name);
        if (!addJournalStep(&text, JournalStep::addFile, path.data(), path.size())) {
            ADD_FAILURE() << "a step of " << path.size() << " units was refused";
            break;
        }
    }
    sealJournal(&text);
    EXPECT_EQ(text.size(), units);
    return text;
}

struct SizeCase {
    const char* name;
    std::string tail;  // bytes after a sealed journal as large as the limit
    bool written;      // writeJournalFile takes it (only for whole units)
    JournalRead read;
};

TEST(JournalFile, IsWrittenAndReadUpToItsLimitAndNoFurther) {
    const std::wstring path = exeFolder() + L"\\swap";
    const std::wstring draft = exeFolder() + L"\\swap.new";
    const std::u16string atLimit = journalOf(kLimitUnits);
    const SizeCase cases[] = {
        {"as large as any journal", "", true, JournalRead::ok},
        {"one byte larger", "x", false, JournalRead::unreadable},
        {"one unit larger", std::string("\n\0", 2), false, JournalRead::unreadable},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(path.c_str());
        DeleteFileW(draft.c_str());
        std::string bytes(reinterpret_cast<const char*>(atLimit.data()), atLimit.size() * sizeof(char16_t));
        bytes += c.tail;
        if (bytes.size() % 2 == 0) {
            const std::u16string text(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2);
            const bool written = writeJournalFile(draft.c_str(), path.c_str(), nullptr, text);
            const DWORD error = GetLastError();
            EXPECT_EQ(written, c.written);
            if (!written) {
                EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
            }
        }
        if (!c.written) {
            ASSERT_TRUE(testsupport::writeBytes(path, bytes));
        }
        LocalMemory<char16_t> block;
        JournalText journal;
        const JournalRead read = readJournalFile(path.c_str(), &block, &journal);
        const DWORD error = GetLastError();
        EXPECT_EQ(static_cast<int>(read), static_cast<int>(c.read));
        if (read == JournalRead::ok) {
            EXPECT_EQ(journal.length, kLimitUnits);
        } else if (read == JournalRead::unreadable) {
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
        }
    }
    DeleteFileW(path.c_str());
    DeleteFileW(draft.c_str());
}

}  // namespace
