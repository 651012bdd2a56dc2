// extractUpdateFromFileToCwd under Wine with the real 7za.exe. Built twice:
//   extract_test          7za.exe lies beside the executable: a package made by Debian's 7z at build
//                         time is unpacked into the current directory, overwriting what is there;
//                         the extractor's failures and a 7za.exe other than the pinned one are refused;
//   extract_no7za_test    (WELKARA_TEST_WITHOUT_EXTRACTOR) no 7za.exe beside it, only a decoy in the
//                         current directory, which must not be run.
// Beside each executable the build puts package.7z and package-src, the tree that the package holds.
#include "install/extract.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/install_log.h"
#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::fromUtf16Bytes;
using testsupport::logFilePath;
using testsupport::readBytes;
using testsupport::writeBytes;

namespace {

const std::wstring kInvokingLine = L"extractUpdate: invoking 7za.exe -y -bd x archive.7z\n";

bool fileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Relative paths of every file under `root`, found recursively.
void listFiles(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* files) {
    WIN32_FIND_DATAW found;
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            listFiles(root, path, files);
        } else {
            files->push_back(path);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void removeTree(const std::wstring& path) {
    std::wstring from = path;
    from.push_back(L'\0');  // SHFileOperationW takes a list ended by two nulls
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    SHFileOperationW(&operation);
}

std::wstring currentDirectory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, path);
    return std::wstring(path, length);
}

class ExtractTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DeleteFileW(logFilePath().c_str());
        removeTree(workFolder());
        ASSERT_TRUE(CreateDirectoryW(workFolder().c_str(), nullptr));
        savedDirectory_ = currentDirectory();
    }
    void TearDown() override {
        SetCurrentDirectoryW(savedDirectory_.c_str());
        removeTree(workFolder());
    }

    static std::wstring workFolder() { return exeFolder() + L"\\work"; }
    static std::wstring sourceFolder() { return exeFolder() + L"\\package-src"; }

    // Runs the extraction with the work folder current; returns its result and what it logged, and
    // checks that the current directory is what it was before.
    static bool extractInWorkFolder(std::wstring* logText) {
        EXPECT_TRUE(SetCurrentDirectoryW(workFolder().c_str()));
        const std::wstring before = currentDirectory();
        InstallLog log;
        log.open();
        PinnedExtractor extractor;
        const bool ok = extractor.open(log) && extractUpdateFromFileToCwd(log, extractor);
        log.close();
        EXPECT_EQ(currentDirectory(), before) << "extraction changed the current directory";
        *logText = fromUtf16Bytes(readBytes(logFilePath()));
        return ok;
    }

    std::wstring savedDirectory_;
};

#ifndef WELKARA_TEST_WITHOUT_EXTRACTOR

TEST_F(ExtractTest, UnpacksTheArchiveIntoTheCurrentDirectory) {
    ASSERT_TRUE(fileExists(exeFolder() + L"\\7za.exe")) << "the build copies 7za.exe beside this test";
    std::vector<std::wstring> expected;
    listFiles(sourceFolder(), L"", &expected);
    ASSERT_EQ(expected.size(), 4u) << "package-src as tests/support/make_test_archive.sh makes it";
    ASSERT_TRUE(
        CopyFileW((exeFolder() + L"\\package.7z").c_str(), (workFolder() + L"\\archive.7z").c_str(), FALSE));

    std::wstring logText;
    EXPECT_TRUE(extractInWorkFolder(&logText));
    EXPECT_EQ(logText, kInvokingLine);
    for (const std::wstring& file : expected) {
        SCOPED_TRACE(testsupport::utf16Bytes(file));
        bool exists = false;
        const std::string unpacked = readBytes(workFolder() + L"\\" + file, &exists);
        EXPECT_TRUE(exists);
        EXPECT_TRUE(unpacked == readBytes(sourceFolder() + L"\\" + file)) << "contents differ";
    }
    EXPECT_FALSE(fileExists(exeFolder() + L"\\welkara.exe")) << "unpacked beside the executable";
}

TEST_F(ExtractTest, OverwritesExistingFilesAndKeepsOthers) {
    ASSERT_TRUE(CreateDirectoryW((workFolder() + L"\\python").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((workFolder() + L"\\python\\lib").c_str(), nullptr));
    ASSERT_TRUE(writeBytes(workFolder() + L"\\welkara.exe", "old build, longer than the new one\n"));
    ASSERT_TRUE(writeBytes(workFolder() + L"\\python\\lib\\site.py", "old"));
    ASSERT_TRUE(writeBytes(workFolder() + L"\\python\\lib\\leftover.py", "stays"));
    ASSERT_TRUE(
        CopyFileW((exeFolder() + L"\\package.7z").c_str(), (workFolder() + L"\\archive.7z").c_str(), FALSE));

    std::wstring logText;
    EXPECT_TRUE(extractInWorkFolder(&logText));
    EXPECT_EQ(logText, kInvokingLine);
    EXPECT_EQ(readBytes(workFolder() + L"\\welkara.exe"), readBytes(sourceFolder() + L"\\welkara.exe"));
    EXPECT_EQ(readBytes(workFolder() + L"\\python\\lib\\site.py"),
              readBytes(sourceFolder() + L"\\python\\lib\\site.py"));
    EXPECT_EQ(readBytes(workFolder() + L"\\python\\lib\\leftover.py"), "stays");
}

TEST_F(ExtractTest, FailureInsideTheExtractorIsReportedWithItsExitCode) {
    const std::string package = readBytes(exeFolder() + L"\\package.7z");
    ASSERT_GT(package.size(), 1000u);
    struct Case {
        const char* name;
        bool writeArchive;
        std::string bytes;
    };
    const Case cases[] = {
        {"not a 7z archive", true, std::string(4096, 'x')},
        {"archive cut in half", true, package.substr(0, package.size() / 2)},
        {"empty archive file", true, ""},
        {"no archive at all", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(logFilePath().c_str());
        DeleteFileW((workFolder() + L"\\archive.7z").c_str());
        if (c.writeArchive) {
            ASSERT_TRUE(writeBytes(workFolder() + L"\\archive.7z", c.bytes));
        }
        std::wstring logText;
        EXPECT_FALSE(extractInWorkFolder(&logText));
        EXPECT_EQ(logText, kInvokingLine + L"extractUpdate: 7za.exe failed with exit code 2\n");
    }
}

// A 7za.exe that is not the pinned one never runs, even one that would unpack the archive: the real
// extractor with one byte more at its end.
TEST_F(ExtractTest, ExtractorThatIsNotThePinnedOneNeverRuns) {
    const std::wstring extractor = exeFolder() + L"\\7za.exe";
    const std::string pinned = readBytes(extractor);
    ASSERT_GT(pinned.size(), 100000u);
    ASSERT_TRUE(writeBytes(extractor, pinned + "x"));
    ASSERT_TRUE(
        CopyFileW((exeFolder() + L"\\package.7z").c_str(), (workFolder() + L"\\archive.7z").c_str(), FALSE));

    std::wstring logText;
    const bool ok = extractInWorkFolder(&logText);
    ASSERT_TRUE(writeBytes(extractor, pinned));
    EXPECT_FALSE(ok);
    EXPECT_EQ(logText, L"extractUpdate: " + extractor + L" is not the 7za.exe this installer was built with\n");
    EXPECT_FALSE(fileExists(workFolder() + L"\\welkara.exe"));
}

#else  // WELKARA_TEST_WITHOUT_EXTRACTOR

TEST_F(ExtractTest, MissingExtractorFailsWithCreateProcessAndIgnoresTheCurrentDirectory) {
    ASSERT_FALSE(fileExists(exeFolder() + L"\\7za.exe")) << "this test needs a folder without 7za.exe";
    // A working 7za.exe in the current directory must not stand in for the missing one.
    ASSERT_TRUE(
        CopyFileW((exeFolder() + L"\\decoy\\7za.exe").c_str(), (workFolder() + L"\\7za.exe").c_str(), FALSE));
    ASSERT_TRUE(
        CopyFileW((exeFolder() + L"\\package.7z").c_str(), (workFolder() + L"\\archive.7z").c_str(), FALSE));

    std::wstring logText;
    EXPECT_FALSE(extractInWorkFolder(&logText));
    EXPECT_EQ(logText, L"extractUpdate: CreateProcess failed (2)\n");
    EXPECT_FALSE(fileExists(workFolder() + L"\\welkara.exe"));
}

#endif

}  // namespace
