// OwnImage under Wine, through own_image_runner.exe: a copy of the runner in "home" (a folder that its
// user may change, as a Downloads folder is) is started, the test acts on its file or folder while it
// waits, and it then writes its own image as "Installer.exe" into "kept". The copy is always the image
// that runs: a new copy over an old one (held open or running), and never other bytes when the folder
// it was started through is repointed or its file is renamed and replaced.
#include "install/own_image.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::pathExists;
using testsupport::readBytes;
using testsupport::removeTree;
using testsupport::writeBytes;

namespace {

const std::wstring kNotTheProgram = L"Not keeping a copy of the installer: ";

class OwnImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const std::wstring& folder : {home(), kept(), other()}) {
            removeTree(folder);
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        }
        ASSERT_TRUE(CopyFileW(runner().c_str(), (home() + L"\\own_image_runner.exe").c_str(), FALSE));
        // Another program of the runner's name: any bytes that are not the runner's.
        ASSERT_TRUE(CopyFileW((exeFolder() + L"\\own_image_test.exe").c_str(),
                              (other() + L"\\own_image_runner.exe").c_str(), FALSE));
        runnerBytes_ = readBytes(runner());
        otherBytes_ = readBytes(other() + L"\\own_image_runner.exe");
        ASSERT_FALSE(runnerBytes_.empty());
        ASSERT_FALSE(runnerBytes_ == otherBytes_);
    }
    void TearDown() override {
        testsupport::removeUnixLink(via());
        for (const std::wstring& folder : {home(), kept(), other()}) {
            removeTree(folder);
        }
    }

    static std::wstring runner() { return exeFolder() + L"\\own_image_runner.exe"; }
    static std::wstring home() { return exeFolder() + L"\\home"; }
    static std::wstring kept() { return exeFolder() + L"\\kept"; }
    static std::wstring other() { return exeFolder() + L"\\other"; }
    // A folder link beside home: Wine does not follow a link that leads back up to a folder above it.
    static std::wstring via() { return exeFolder() + L"\\via"; }
    static std::wstring copy() { return kept() + L"\\Installer.exe"; }

    // Starts `program` with `argument`; once it runs, calls `meanwhile`, then lets it go on. Returns its
    // exit code (-1 when it did not start or end) and the log it wrote.
    static int run(const std::wstring& program, const std::wstring& argument,
                   const std::function<void()>& meanwhile, std::wstring* log) {
        DeleteFileW(testsupport::logFilePath().c_str());
        OwnedHandle ready(CreateEventW(nullptr, TRUE, FALSE, L"own-image-ready"));
        OwnedHandle go(CreateEventW(nullptr, TRUE, FALSE, L"own-image-go"));
        ResetEvent(ready.get());  // set already when a running old copy holds the same event
        PROCESS_INFORMATION started = {};
        if (!testsupport::startProcess(L"\"" + program + L"\" \"" + argument + L"\"", &started)) {
            return -1;
        }
        const bool running = WaitForSingleObject(ready.get(), 30000) == WAIT_OBJECT_0;
        if (running) {
            meanwhile();
        }
        SetEvent(go.get());
        DWORD code = static_cast<DWORD>(-1);
        const bool ended = WaitForSingleObject(started.hProcess, 30000) == WAIT_OBJECT_0 &&
                           GetExitCodeProcess(started.hProcess, &code);
        testsupport::closeProcess(&started, 0);
        if (!ended || !running) {
            return -1;
        }
        *log = testsupport::installLog();
        return static_cast<int>(code);
    }

    std::string runnerBytes_;
    std::string otherBytes_;
};

// What lies at the copy's name before the run, and what holds it.
enum class Before {
    noFolder,  // the kept folder is missing
    nothing,
    oldCopy,               // an earlier copy
    draftLeft,             // a draft that an earlier run left ("Installer.exe.new")
    oldCopyHeld,           // an earlier copy held open with delete sharing, as a running program is
    oldCopyRunning,        // an earlier copy that runs
    heldWithOneAside,      // an earlier copy held, and an older one left aside as "Installer.exe.old"
    heldWithOneAsideHeld,  // the same, the older one held too: an open file cannot be replaced
};

struct CopyCase {
    const char* name;
    Before before;
    bool written;
    bool aside;           // "Installer.exe.old" is there afterwards
    const wchar_t* line;  // the log's text after the kept folder's path; null for none
};

class OwnImageCopyTest : public OwnImageTest, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(OwnImageCopyTest, EndsWithTheRunnersBytesAtTheNameOrWithTheOldCopyWhole) {
    const CopyCase& c = GetParam();
    const std::string old = "an earlier copy";
    const std::wstring aside = copy() + L".old";
    OwnedHandle held;
    OwnedHandle asideHeld;
    OwnedHandle stop(CreateEventW(nullptr, TRUE, FALSE, L"own-image-stop"));
    PROCESS_INFORMATION running = {};
    if (c.before == Before::noFolder) {
        ASSERT_TRUE(RemoveDirectoryW(kept().c_str()));
    } else if (c.before != Before::nothing && c.before != Before::draftLeft) {
        ASSERT_TRUE(writeBytes(copy(), old));
    }
    if (c.before == Before::draftLeft) {
        ASSERT_TRUE(writeBytes(copy() + L".new", "a draft left behind"));
    }
    if (c.before == Before::heldWithOneAside || c.before == Before::heldWithOneAsideHeld) {
        ASSERT_TRUE(writeBytes(aside, "an older copy"));
    }
    if (c.before == Before::heldWithOneAsideHeld) {
        asideHeld.reset(CreateFileW(aside.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(asideHeld.valid());
    }
    if (c.before == Before::oldCopyHeld || c.before == Before::heldWithOneAside ||
        c.before == Before::heldWithOneAsideHeld) {
        held.reset(CreateFileW(copy().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
    }
    if (c.before == Before::oldCopyRunning) {
        ASSERT_TRUE(CopyFileW(runner().c_str(), copy().c_str(), FALSE));
        OwnedHandle ready(CreateEventW(nullptr, TRUE, FALSE, L"own-image-ready"));
        ASSERT_TRUE(testsupport::startProcess(L"\"" + copy() + L"\" hold", &running));
        ASSERT_EQ(WaitForSingleObject(ready.get(), 30000), WAIT_OBJECT_0);
    }

    std::wstring log;
    const int code = run(
        home() + L"\\own_image_runner.exe", kept(), [] {}, &log);
    SetEvent(stop.get());
    if (running.hProcess != nullptr) {
        EXPECT_EQ(testsupport::closeProcess(&running, 30000), WAIT_OBJECT_0);
    }

    EXPECT_EQ(code, c.written ? 0 : 1) << log;
    EXPECT_EQ(log, c.line == nullptr ? L"" : L"Couldn't write " + kept() + c.line) << log;
    EXPECT_FALSE(pathExists(copy() + L".new")) << "a draft was left behind";
    EXPECT_EQ(pathExists(aside), c.aside);
    if (c.written) {
        EXPECT_TRUE(readBytes(copy()) == runnerBytes_) << "the copy is not the runner";
    } else if (c.before != Before::nothing && c.before != Before::noFolder) {
        EXPECT_TRUE(readBytes(copy()) == old) << "the old copy was lost";
    } else {
        EXPECT_FALSE(pathExists(copy()));
    }
}

const CopyCase kCopyCases[] = {
    {"NotIntoAMissingFolder", Before::noFolder, false, false, L"\\Installer.exe.new (3)\n"},
    {"IntoAnEmptyFolder", Before::nothing, true, false, nullptr},
    {"OverAnEarlierCopy", Before::oldCopy, true, false, nullptr},
    {"OverADraftLeftBehind", Before::draftLeft, true, false, nullptr},
    {"OverAHeldCopy", Before::oldCopyHeld, true, true, nullptr},
    {"OverARunningCopy", Before::oldCopyRunning, true, true, nullptr},
    {"OverAHeldCopyWithAnOlderOneAside", Before::heldWithOneAside, true, true, nullptr},
    {"NotOverAHeldCopyWhoseOlderOneAsideIsHeld", Before::heldWithOneAsideHeld, false, true,
     L"\\Installer.exe (5)\n"},
};

INSTANTIATE_TEST_SUITE_P(Copies, OwnImageCopyTest, ::testing::ValuesIn(kCopyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The runner is started through a folder link (a Downloads folder that is a junction) that its owner
// repoints, once the runner runs, at a folder holding another program of the runner's name: that
// program's bytes are never kept, and the run says why.
TEST_F(OwnImageTest, StartedThroughAFolderLinkRepointedKeepsNoOtherProgram) {
    const std::wstring started = via() + L"\\own_image_runner.exe";
    ASSERT_TRUE(testsupport::makeUnixLink(home(), via()));
    std::wstring log;
    const int code = run(
        started, kept(),
        [&] {
            testsupport::removeUnixLink(via());
            EXPECT_TRUE(testsupport::makeUnixLink(other(), via()));
        },
        &log);
    EXPECT_FALSE(readBytes(copy()) == otherBytes_) << "another program's bytes were kept";
    EXPECT_FALSE(pathExists(copy()));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(log, kNotTheProgram + started + L" is not the program that runs\n");
}

// The runner's own code with one byte changed: the middle byte of its first section's raw data.
std::string withCodeByteChanged(std::string bytes) {
    const auto at = [&](std::size_t offset) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) {
            value = value << 8 | static_cast<std::uint8_t>(bytes.at(offset + i));
        }
        return value;
    };
    const std::size_t nt = at(0x3C);
    const std::size_t section = nt + 24 + (at(nt + 20) & 0xFFFF);  // past the optional header
    bytes.at(at(section + 20) + at(section + 16) / 2) ^= 0x01;
    return bytes;
}

struct ReplacementCase {
    const char* name;
    std::string (*bytes)(const std::string& runner, const std::string& other);
};

void PrintTo(const ReplacementCase& c, std::ostream* os) { *os << c.name; }

class OwnImageReplacedTest : public OwnImageTest, public ::testing::WithParamInterface<ReplacementCase> {};

// The runner's own file is renamed once it runs (through Wine's MoveFileW: any program of its user may
// rename a running program's file) and other bytes are put at its name. Wine keeps the name the image
// was opened by (seen), so the held file passes the name proof there; its bytes are not the image's,
// and nothing is kept.
TEST_P(OwnImageReplacedTest, FileRenamedAndReplacedAfterTheStartIsNotKept) {
    const std::wstring started = home() + L"\\own_image_runner.exe";
    const std::string replacement = GetParam().bytes(runnerBytes_, otherBytes_);
    ASSERT_FALSE(replacement == runnerBytes_);
    std::wstring log;
    const int code = run(
        started, kept(),
        [&] {
            EXPECT_TRUE(MoveFileW(started.c_str(), (home() + L"\\moved.exe").c_str()));
            EXPECT_TRUE(writeBytes(started, replacement));
        },
        &log);
    EXPECT_FALSE(pathExists(copy())) << "other bytes were kept";
    EXPECT_EQ(code, 1);
    EXPECT_EQ(log, kNotTheProgram + started + L" is not the program that runs\n");
}

const ReplacementCase kReplacements[] = {
    {"ByAnotherProgram", [](const std::string&, const std::string& other) { return other; }},
    {"ByTheRunnerWithOneCodeByteChanged",
     [](const std::string& runner, const std::string&) { return withCodeByteChanged(runner); }},
};

INSTANTIATE_TEST_SUITE_P(Replaced, OwnImageReplacedTest, ::testing::ValuesIn(kReplacements),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
