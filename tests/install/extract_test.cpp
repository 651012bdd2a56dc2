// extractUpdateFromFileToCwd under Wine with the real 7za.exe beside the executable: a package made by
// Debian's 7z at build time is unpacked into the current directory, overwriting what is there; the
// extractor's failures are refused with its own last lines of output, a 7za.exe other than the pinned one
// never runs, and an extraction whose caller is ended (extract_runner, terminated) ends with it. Built
// again without 7za.exe, only a decoy in the current directory (extract_no7za_test), and against a digest
// off in its last byte (extract_lastbyte_test). Beside each: package.7z and package-src, the tree it holds;
// beside extract_test also blocks.7z and blocks-src (many files, large ones, LZMA2 in blocks).
#include "install/extract.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "install/install_log.h"
#include "tests/support/wine_test_support.h"

using testsupport::currentDirectory;
using testsupport::exeFolder;
using testsupport::pathExists;
using testsupport::readBytes;
using testsupport::removeTree;
using testsupport::writeBytes;

namespace {

const std::wstring kInvokingLine = L"extractUpdate: invoking 7za.exe -y -bd x archive.7z\n";
const std::wstring kQuote = L"extractUpdate: 7za.exe: ";

// Relative paths of every file under `root`, found recursively.
[[maybe_unused]] std::set<std::wstring> filesIn(const std::wstring& root) {
    std::set<std::wstring> files;
    for (const auto& [path, bytes] : testsupport::treeContents(root)) {
        if (bytes != "<folder>") {
            files.insert(path);
        }
    }
    return files;
}

// The final paths of the files on disk that the process open as `process` (with PROCESS_DUP_HANDLE)
// holds open: each handle value it may hold (Wine hands them out from 4 up, in steps of 4, the lowest
// free one first) is copied into this process and its copy asked what it names.
[[maybe_unused]] std::vector<std::wstring> filesHeldBy(HANDLE process) {
    std::vector<std::wstring> files;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        HANDLE copy = nullptr;
        if (!DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            continue;
        }
        wchar_t path[MAX_PATH];
        const DWORD length =
            GetFileType(copy) == FILE_TYPE_DISK ? GetFinalPathNameByHandleW(copy, path, MAX_PATH, 0) : 0;
        if (length > 0 && length < MAX_PATH) {
            files.emplace_back(path, length);
        }
        CloseHandle(copy);
    }
    return files;
}

class ExtractTest : public ::testing::Test {
  protected:
    // Each test gets a work folder of a name never used before in this run. Right after 7za.exe has
    // ended, Wine still holds its current directory (the work folder) open for a few tens of
    // milliseconds: a removal then fails with a sharing violation, and a folder made again under the
    // same name could collide with it.
    void SetUp() override {
        ++workNumber_;
        removeTree(workFolder());
        ASSERT_TRUE(CreateDirectoryW(workFolder().c_str(), nullptr));
        savedDirectory_ = currentDirectory();
    }
    void TearDown() override {
        SetCurrentDirectoryW(savedDirectory_.c_str());
        removeTree(workFolder());
    }

    static std::wstring workFolder() { return exeFolder() + L"\\work-" + std::to_wstring(workNumber_); }
    static inline int workNumber_ = 0;
    static std::wstring sourceFolder() { return exeFolder() + L"\\package-src"; }
    // Copies `name` from beside the executable into `folder` (the work folder by default) as archive.7z.
    static bool placeArchive(const wchar_t* name = L"package.7z", const std::wstring& folder = workFolder()) {
        return CopyFileW((exeFolder() + L"\\" + name).c_str(), (folder + L"\\archive.7z").c_str(), FALSE);
    }
    // Where the extraction writes the copy of the extractor that it runs.
    static std::wstring stagingFolder() {
        const std::wstring folder = exeFolder() + L"\\staging";
        CreateDirectoryW(folder.c_str(), nullptr);
        return folder;
    }

    // Runs the extraction with a fresh log and `folder` (the work folder by default) current; returns its
    // result and what it logged, and checks that the current directory is what it was before.
    static bool extractInWorkFolder(std::wstring* logText, const std::wstring& folder = workFolder()) {
        EXPECT_TRUE(SetCurrentDirectoryW(folder.c_str()));
        const std::wstring before = currentDirectory();
        bool ok = false;
        *logText = testsupport::installLogOf([&](InstallLog& log) {
            PinnedExtractor extractor;
            extractor.load();
            ok = extractUpdateFromFileToCwd(log, extractor, stagingFolder().c_str());
        });
        EXPECT_EQ(currentDirectory(), before) << "extraction changed the current directory";
        return ok;
    }

    std::wstring savedDirectory_;
};

#if defined(WELKARA_TEST_PINNED_ELSEWHERE)

// This build pins a digest that differs from the real 7za.exe's in its last byte only: the real one
// beside it is refused, so the whole digest is compared.
TEST_F(ExtractTest, ExtractorWhoseDigestDiffersOnlyInItsLastByteIsRefused) {
    std::wstring logText;
    EXPECT_FALSE(extractInWorkFolder(&logText));
    EXPECT_EQ(logText, kInvokingLine + L"extractUpdate: " + exeFolder() +
                           L"\\7za.exe is not the 7za.exe this installer was built with\n");
}

#elif !defined(WELKARA_TEST_WITHOUT_EXTRACTOR)

// Each package beside the executable unpacks whole, byte for byte the tree beside it: the small one of
// make_test_archive.sh (its random file is stored, its text files barely reach the LZMA decoder), and
// blocks.7z, thousands of small files and large compressible ones in one LZMA2 stream of 1 MiB blocks,
// each decoded on its own, with matches short and long, near and 64 KiB back.
TEST_F(ExtractTest, UnpacksTheArchiveIntoTheCurrentDirectory) {
    ASSERT_TRUE(pathExists(exeFolder() + L"\\7za.exe")) << "the build copies 7za.exe beside this test";
    struct Case {
        const wchar_t* archive;
        const wchar_t* source;
        size_t files;  // as the build makes the source, so that a tree that changes is noticed
    };
    const Case cases[] = {
        {L"package.7z", L"package-src", 4},
        {L"blocks.7z", L"blocks-src", 2002},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        const std::wstring source = exeFolder() + L"\\" + c.source;
        const std::wstring folder = workFolder() + L"\\" + c.source;
        std::set<std::wstring> expected = filesIn(source);
        ASSERT_EQ(expected.size(), c.files) << "the tree that the build makes beside this test";
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        ASSERT_TRUE(placeArchive(c.archive, folder));

        std::wstring logText;
        EXPECT_TRUE(extractInWorkFolder(&logText, folder));
        EXPECT_EQ(logText, kInvokingLine);
        EXPECT_FALSE(pathExists(exeFolder() + L"\\welkara.exe")) << "unpacked beside the executable";
        // Every file of the package and nothing else (the extractor's output file included), each with
        // the bytes of its source.
        std::set<std::wstring> unpacked = filesIn(folder);
        EXPECT_EQ(unpacked.erase(L"archive.7z"), 1u);
        EXPECT_EQ(unpacked, expected);
        size_t differing = 0;
        std::wstring firstDiffering;
        for (const std::wstring& file : unpacked) {
            if (expected.count(file) != 0 &&
                readBytes(folder + L"\\" + file) != readBytes(source + L"\\" + file) && differing++ == 0) {
                firstDiffering = file;
            }
        }
        EXPECT_EQ(differing, 0u) << "files whose contents differ, the first " << firstDiffering;
    }
}

TEST_F(ExtractTest, OverwritesExistingFilesAndKeepsOthers) {
    ASSERT_TRUE(CreateDirectoryW((workFolder() + L"\\python").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((workFolder() + L"\\python\\lib").c_str(), nullptr));
    ASSERT_TRUE(writeBytes(workFolder() + L"\\welkara.exe", "old build, longer than the new one\n"));
    ASSERT_TRUE(writeBytes(workFolder() + L"\\python\\lib\\site.py", "old"));
    ASSERT_TRUE(writeBytes(workFolder() + L"\\python\\lib\\leftover.py", "stays"));
    ASSERT_TRUE(placeArchive());

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
        const wchar_t* error;  // one of the lines that 7za.exe prints
    };
    const Case cases[] = {
        {"not a 7z archive", true, std::string(4096, 'x'), L"Is not archive"},
        {"archive cut in half", true, package.substr(0, package.size() / 2), L"Unexpected end of archive"},
        {"empty archive file", true, "", L"Cannot open the file as archive"},
        {"no archive at all", false, "", L"File not found."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW((workFolder() + L"\\archive.7z").c_str());
        if (c.writeArchive) {
            ASSERT_TRUE(writeBytes(workFolder() + L"\\archive.7z", c.bytes));
        }
        std::wstring logText;
        EXPECT_FALSE(extractInWorkFolder(&logText));
        // The invoking line, the extractor's own lines (its error among them), the exit code.
        const std::wstring exitLine = L"extractUpdate: 7za.exe failed with exit code 2\n";
        ASSERT_EQ(logText.substr(0, kInvokingLine.size()), kInvokingLine) << logText;
        ASSERT_GE(logText.size(), kInvokingLine.size() + exitLine.size());
        EXPECT_EQ(logText.substr(logText.size() - exitLine.size()), exitLine);
        const std::wstring quoted =
            logText.substr(kInvokingLine.size(), logText.size() - kInvokingLine.size() - exitLine.size());
        EXPECT_NE(quoted.find(kQuote + c.error + L"\n"), std::wstring::npos) << logText;
        EXPECT_EQ(filesIn(workFolder()).size(), c.writeArchive ? 1u : 0u) << "only archive.7z is left";
    }
}

// A "Cancel" (or a kill) ends the installer while it waits for the extractor: the extractor ends with
// it, holding none of its caller's handles but those given to it (a file that the caller held through
// an inheritable handle is free as soon as the caller has ended), and its output file goes with it.
// The extractor is suspended before its caller is ended, so that it cannot end by finishing its work:
// only its job ends it, and one outside the job would run on for ever.
TEST_F(ExtractTest, ExtractorEndsWithItsCaller) {
    ASSERT_TRUE(placeArchive(L"large.7z"));
    PROCESS_INFORMATION runner = {};
    ASSERT_TRUE(testsupport::startProcess(
        L"\"" + exeFolder() + L"\\extract_runner.exe\" \"" + workFolder() + L"\"", &runner));
    // Once large.bin appears the extractor is copying 256 MiB into it.
    const std::wstring large = workFolder() + L"\\large.bin";
    testsupport::waitFor(30000, 1, [&] {
        return pathExists(large) || WaitForSingleObject(runner.hProcess, 0) != WAIT_TIMEOUT;
    });
    HANDLE extractor =
        OpenProcess(SYNCHRONIZE | PROCESS_SUSPEND_RESUME | PROCESS_DUP_HANDLE | PROCESS_TERMINATE, FALSE,
                    testsupport::childProcess(runner.dwProcessId, L"7za.exe"));
    const bool suspended = extractor != nullptr && testsupport::suspendProcess(extractor);
    const std::vector<std::wstring> files =
        extractor != nullptr ? filesHeldBy(extractor) : std::vector<std::wstring>{};
    TerminateProcess(runner.hProcess, 99);
    testsupport::closeProcess(&runner);
    ASSERT_NE(extractor, nullptr) << "no 7za.exe was seen running";
    EXPECT_TRUE(suspended);
    const DWORD waited = WaitForSingleObject(extractor, 10000);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(extractor, 1);
        WaitForSingleObject(extractor, 10000);
    }
    CloseHandle(extractor);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "7za.exe runs on without its caller";
    // Its standard output is the output file; the caller's file is not among what it holds.
    const auto holds = [&](const wchar_t* part) {
        return std::any_of(files.begin(), files.end(),
                           [&](const std::wstring& file) { return file.find(part) != std::wstring::npos; });
    };
    EXPECT_TRUE(holds(L"\\7za-output-")) << "the files that 7za.exe holds were not seen";
    EXPECT_FALSE(holds(L"\\held-by-runner.txt")) << "7za.exe inherited its caller's handle";
    HANDLE held = CreateFileW((exeFolder() + L"\\held-by-runner.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE) << "7za.exe held its caller's handle (" << GetLastError() << ")";
    CloseHandle(held);
    for (const std::wstring& name : filesIn(workFolder())) {
        EXPECT_NE(name.rfind(L"7za-output-", 0), 0u) << "the output file is left";
    }
}

// What runs is the bytes that were checked, not whatever the name beside the executable leads to by
// the time the extractor starts: here the file is replaced by something that is no program at all
// between the check and the extraction.
TEST_F(ExtractTest, ExtractorReplacedAfterItsCheckIsNotWhatRuns) {
    const std::wstring path = exeFolder() + L"\\7za.exe";
    const std::string pinned = readBytes(path);
    ASSERT_TRUE(placeArchive());
    ASSERT_TRUE(SetCurrentDirectoryW(workFolder().c_str()));
    InstallLog log;
    PinnedExtractor extractor;
    ASSERT_TRUE(extractor.load());
    const bool replaced = writeBytes(path, "not a program");
    const bool ok = extractUpdateFromFileToCwd(log, extractor, stagingFolder().c_str());
    ASSERT_TRUE(writeBytes(path, pinned));
    ASSERT_TRUE(replaced);
    EXPECT_TRUE(ok);
    EXPECT_EQ(readBytes(workFolder() + L"\\welkara.exe"), readBytes(sourceFolder() + L"\\welkara.exe"));
    EXPECT_FALSE(pathExists(stagingFolder() + L"\\7za.exe")) << "the copy that ran is removed";
}

// A 7za.exe that is not the pinned one never runs, even one that would unpack the archive: the real
// extractor with one byte more at its end.
TEST_F(ExtractTest, ExtractorThatIsNotThePinnedOneNeverRuns) {
    const std::wstring extractor = exeFolder() + L"\\7za.exe";
    const std::string pinned = readBytes(extractor);
    ASSERT_GT(pinned.size(), 100000u);
    ASSERT_TRUE(writeBytes(extractor, pinned + "x"));
    ASSERT_TRUE(placeArchive());

    std::wstring logText;
    const bool ok = extractInWorkFolder(&logText);
    ASSERT_TRUE(writeBytes(extractor, pinned));
    EXPECT_FALSE(ok);
    EXPECT_EQ(logText, kInvokingLine + L"extractUpdate: " + extractor +
                           L" is not the 7za.exe this installer was built with\n");
    EXPECT_FALSE(pathExists(workFolder() + L"\\welkara.exe"));
}

#else  // WELKARA_TEST_WITHOUT_EXTRACTOR

TEST_F(ExtractTest, MissingExtractorFailsWithCreateProcessAndIgnoresTheCurrentDirectory) {
    ASSERT_FALSE(pathExists(exeFolder() + L"\\7za.exe")) << "this test needs a folder without 7za.exe";
    // A working 7za.exe in the current directory must not stand in for the missing one.
    ASSERT_TRUE(
        CopyFileW((exeFolder() + L"\\decoy\\7za.exe").c_str(), (workFolder() + L"\\7za.exe").c_str(), FALSE));
    ASSERT_TRUE(placeArchive());

    std::wstring logText;
    EXPECT_FALSE(extractInWorkFolder(&logText));
    EXPECT_EQ(logText, kInvokingLine + L"extractUpdate: CreateProcess failed (2)\n");
    EXPECT_FALSE(pathExists(workFolder() + L"\\welkara.exe"));
}

#endif

}  // namespace
