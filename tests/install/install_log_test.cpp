// The install log on a real file in the test run's Wine prefix: its place, its bytes, appending across
// processes, the 1023-character cut, a log that cannot be opened and one that a reader has locked.
#include "install/install_log.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/support/wine_test_support.h"

using testsupport::installLog;
using testsupport::logFilePath;
using testsupport::readBytes;
using testsupport::runAndWait;

namespace {

class InstallLogTest : public ::testing::Test {
  protected:
    void SetUp() override { DeleteFileW(logFilePath().c_str()); }
    static std::wstring writerCommand(const std::wstring& arguments) {
        return L"\"" + testsupport::exeFolder() + L"\\log_writer.exe\" " + arguments;
    }
};

// Both ways of finding the folder give the same one here: nothing redirects the shell's folders.
TEST_F(InstallLogTest, OpensInLocalAppDataOrvantaWelkara) {
    for (const LogFolder from : {LogFolder::shellFolders, LogFolder::profileList}) {
        SCOPED_TRACE(from == LogFolder::profileList ? "profile list" : "shell folders");
        DeleteFileW(logFilePath().c_str());
        InstallLog log;
        log.open(from);
        ASSERT_TRUE(log.isOpen());
        EXPECT_EQ(std::wstring(log.filePath()), logFilePath());
        log.close();
        bool exists = false;
        EXPECT_EQ(readBytes(logFilePath(), &exists), "");  // nothing is written on opening
        EXPECT_TRUE(exists);
    }
}

TEST_F(InstallLogTest, WritesFormattedUtf16WithoutBomAndWithBareLineFeeds) {
    InstallLog log;
    log.open(LogFolder::profileList);
    EXPECT_TRUE(log.write(L"Installer thread started\n"));
    EXPECT_TRUE(log.write(L"Creating %ls\n", L"C:\\ProgramData\\Orvanta\\Welkara\\vorlinde.db"));
    // "%s" takes a wide string in the CRT's wide printf, exactly like "%ls".
    EXPECT_TRUE(log.write(L"Couldn't open %s\n", L"Z:\\x\\manifest \u00e9\u4e2d"));
    // "%d" and "%ld" print signed 32-bit values; error codes of 0x80000000 and above come out negative.
    EXPECT_TRUE(
        log.write(L"(%d) (%ld) (%d)\n", static_cast<int>(0x80070005u), static_cast<long>(-1), 2147483647));
    log.close();

    // The file's UTF-16 units are exactly these: no byte-order mark before them, no carriage return.
    EXPECT_EQ(installLog(),
              L"Installer thread started\n"
              L"Creating C:\\ProgramData\\Orvanta\\Welkara\\vorlinde.db\n"
              L"Couldn't open Z:\\x\\manifest \u00e9\u4e2d\n"
              L"(-2147024891) (-1) (2147483647)\n");
}

TEST_F(InstallLogTest, TwoProcessesAppendToOneFile) {
    ASSERT_EQ(runAndWait(writerCommand(L"write \"first run\"")), 0);
    ASSERT_EQ(runAndWait(writerCommand(L"write \"second run\" again")), 0);
    EXPECT_EQ(installLog(), L"first run\nsecond run\nagain\n");
}

TEST_F(InstallLogTest, LongLinesAreCutTo1023CharactersAndTheNextLineContinuesThem) {
    struct Case {
        std::size_t argumentLength;  // characters of the %ls argument
        std::wstring expected;       // what the line leaves in the file
    };
    const std::wstring prefix = L"Will try to install ";  // 20 characters
    const std::size_t fits = 1023 - prefix.size() - 1;    // the line feed is the 1023rd character
    const Case cases[] = {
        {fits, prefix + std::wstring(fits, L'u') + L"\n"},
        {fits + 1, prefix + std::wstring(fits + 1, L'u')},  // the line feed is cut off
        {fits + 2, prefix + std::wstring(fits + 1, L'u')},
        {5000, prefix + std::wstring(fits + 1, L'u')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argumentLength);
        const std::wstring written = testsupport::installLogOf([&](InstallLog& log) {
            EXPECT_TRUE(
                log.write(L"Will try to install %ls\n", std::wstring(c.argumentLength, L'u').c_str()));
            EXPECT_TRUE(log.write(L"next\n"));
        });
        EXPECT_EQ(written, c.expected + L"next\n");
    }
}

TEST_F(InstallLogTest, ReadersMayOpenTheLogWhileItIsWritten) {
    InstallLog log;
    log.open(LogFolder::profileList);
    ASSERT_TRUE(log.write(L"one\n"));
    EXPECT_EQ(installLog(), L"one\n");  // readBytes shares read and write access
    HANDLE reader = CreateFileW(logFilePath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(log.write(L"two\n"));
    CloseHandle(reader);
    log.close();
    EXPECT_EQ(installLog(), L"one\ntwo\n");
}

// A reader may lock bytes of the log (an elevated run writes it in the user's own profile). A line waits
// for its range up to InstallLog::kRetryMs and is given up whole after that; once one is given up, the
// next ones are tried without waiting, until one gets through. Each row writes "one" and "two" while
// the lock is held (for `holdMs`, or until both have ended) and "three" after it is let go.
TEST_F(InstallLogTest, LinesWaitForALockedRangeAndAreGivenUpWhole) {
    struct Case {
        const char* name;
        DWORD lockedBytes;  // from the start of the file
        DWORD holdMs;       // INFINITE: let go after "two"
        bool oneWritten, twoWritten;
        DWORD oneTakesMs;        // at least; "two" never waits
        std::wstring atRelease;  // the log when the lock is let go
        std::wstring expected;
    };
    const std::wstring before = L"before\n";
    const Case cases[] = {
        {"LockOfTheLinesThereAlready", static_cast<DWORD>(before.size() * 2), INFINITE, true, true, 0,
         before + L"one\ntwo\n", before + L"one\ntwo\nthree\n"},
        {"LockHeldAMoment", MAXDWORD, 300, true, true, 300, before, before + L"one\ntwo\nthree\n"},
        {"LockHeldForEver", MAXDWORD, INFINITE, false, false, InstallLog::kRetryMs, before,
         before + L"three\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(logFilePath().c_str());
        InstallLog log;
        log.open(LogFolder::profileList);
        ASSERT_TRUE(log.write(L"%ls", before.c_str()));
        OwnedHandle reader(CreateFileW(logFilePath().c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader.valid());
        ASSERT_TRUE(LockFile(reader.get(), 0, 0, c.lockedBytes, 0));
        // What the log held when the lock was let go, read through the lock's own handle.
        LARGE_INTEGER atRelease = {};
        const auto release = [&] {
            GetFileSizeEx(reader.get(), &atRelease);
            UnlockFile(reader.get(), 0, 0, c.lockedBytes, 0);
        };
        std::thread releaser;
        if (c.holdMs != INFINITE) {
            releaser = std::thread([&] {
                Sleep(c.holdMs);
                release();
            });
        }
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(log.write(L"one\n"), c.oneWritten);
        const ULONGLONG oneTook = GetTickCount64() - start;
        EXPECT_EQ(log.write(L"two\n"), c.twoWritten);
        const ULONGLONG twoTook = GetTickCount64() - start - oneTook;
        if (releaser.joinable()) {
            releaser.join();
        } else {
            release();
        }
        EXPECT_TRUE(log.write(L"three\n"));
        log.close();
        // 20 ms of slack for the tick count's resolution, and two seconds for a busy machine.
        EXPECT_GE(oneTook + 20, c.oneTakesMs);
        EXPECT_LT(oneTook, c.oneTakesMs + 2000);
        EXPECT_LT(twoTook, 500u);
        EXPECT_EQ(atRelease.QuadPart, static_cast<LONGLONG>(c.atRelease.size() * 2));
        EXPECT_EQ(installLog(), c.expected);
    }
}

TEST_F(InstallLogTest, LogHeldOpenForWritingByAnotherProcessLeavesTheRunWritingNothing) {
    testsupport::writeBytes(logFilePath(), testsupport::utf16Bytes(L"earlier\n"));
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, L"welkara-test-held");
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"welkara-test-release");
    PROCESS_INFORMATION holder = {};
    ASSERT_TRUE(testsupport::startProcess(writerCommand(L"hold"), &holder));
    ASSERT_EQ(WaitForSingleObject(held, 30000), WAIT_OBJECT_0);

    InstallLog log;
    log.open(LogFolder::profileList);
    EXPECT_FALSE(log.isOpen());
    EXPECT_FALSE(log.write(L"Installer thread started\n"));
    EXPECT_FALSE(log.write(L"Creating %ls\n", L"x"));
    EXPECT_TRUE(log.write(L""));  // an empty line on a closed log: nothing to write, nothing lost
    log.close();

    SetEvent(release);
    testsupport::closeProcess(&holder, 30000);
    CloseHandle(held);
    CloseHandle(release);
    EXPECT_EQ(installLog(), L"earlier\n");
}

// A second name for another file, put where the log belongs by the user's own programs, would have the
// run append to that file: the log stays closed and the other file as it was.
TEST_F(InstallLogTest, HardLinkInPlaceOfTheLogIsNotWrittenThrough) {
    const std::wstring other = testsupport::systemFolder(CSIDL_LOCAL_APPDATA) + L"\\other.txt";
    ASSERT_TRUE(testsupport::writeBytes(other, "not the log"));
    ASSERT_TRUE(CreateHardLinkW(logFilePath().c_str(), other.c_str(), nullptr));
    InstallLog log;
    log.open(LogFolder::profileList);
    EXPECT_FALSE(log.isOpen());
    log.write(L"Installer thread started\n");
    log.close();
    DeleteFileW(logFilePath().c_str());
    EXPECT_EQ(readBytes(other), "not the log");
    DeleteFileW(other.c_str());
}

TEST_F(InstallLogTest, ClosedLogWritesNothingAndClosesOnce) {
    InstallLog log;
    EXPECT_FALSE(log.isOpen());
    EXPECT_FALSE(log.write(L"before open\n"));
    log.open(LogFolder::profileList);
    EXPECT_TRUE(log.write(L"kept\n"));
    log.close();
    log.close();
    EXPECT_FALSE(log.write(L"after close\n"));
    EXPECT_EQ(installLog(), L"kept\n");
}

}  // namespace
