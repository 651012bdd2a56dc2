// The code folder's journal under Wine: what an interrupted or stopped swap leaves is settled by the
// next run before anything else, all old or all new, never a mix, never an entry lost; a swap whose
// undo cannot bring an entry back leaves the new one in place and its record for the next run. Beside
// this executable: installer_thread_test's packages, 7za.exe and both runners.
#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "install/files/safe_files.h"
#include "tests/support/installer_harness.h"
#include "tests/support/wine_test_support.h"

using testsupport::endsWith;
using testsupport::exeFolder;
using testsupport::kError;
using testsupport::kInstalled;
using testsupport::packageSignature;
using testsupport::pathExists;
using testsupport::readBytes;
using testsupport::removeTree;
using testsupport::sameTree;
using testsupport::Tree;
using testsupport::treeContents;
using testsupport::unstamped;
using testsupport::utf16Bytes;
using testsupport::waitFor;
using testsupport::withoutOwnFolder;
using testsupport::writeBytes;

namespace {

class InstallerThreadTest : public testsupport::InstallerHarness {};

template <class Row>
class InstallerTable : public InstallerThreadTest, public ::testing::WithParamInterface<Row> {};

// A run that was interrupted (the installer ended, the machine stopped) leaves its work folder with the
// unpacked package and the entries its swap had moved aside, and the record of the swap when it had got
// that far. The next run settles that first, before it changes anything else: a recorded swap is
// finished, an unrecorded one undone, a record that is not whole or names anything but top-level entries
// is followed by no move at all. Whether that run then fails (a signed package that is no archive) or
// succeeds, no whole installation is lost, and a success leaves the new installation and nothing else.
// An earlier version of the installer kept no work folders: its "unpacked" and "previous" lay in the
// installer's folder itself, and it may have left them too.
struct Leftovers {
    std::wstring code, own, src;
    bool earlier;  // the layout of an earlier version
    std::wstring work() const { return earlier ? own : own + L"\\run-0000000000000001"; }
    bool aside(const wchar_t* name) const {
        SHCreateDirectoryExW(nullptr, (work() + L"\\previous").c_str(), nullptr);
        return MoveFileW((code + L"\\" + name).c_str(), (work() + L"\\previous\\" + name).c_str()) != FALSE;
    }
    // The package's entry unpacked, with what the installed one holds and the package lacks carried in.
    bool unpacked(const wchar_t* name) const {
        const std::wstring fresh = work() + L"\\unpacked\\" + name;
        SHCreateDirectoryExW(nullptr, (work() + L"\\unpacked").c_str(), nullptr);
        bool made = testsupport::copyTree(src + L"\\" + name, fresh);
        const Tree there = treeContents(fresh);
        for (const auto& [path, bytes] : treeContents(code + L"\\" + name)) {
            const std::wstring at = fresh + L"\\" + path;
            made = made && (std::wstring(name) == L"python" || there.count(path) != 0 ||
                            (bytes == "<folder>" ? CreateDirectoryW(at.c_str(), nullptr) != FALSE
                                                 : writeBytes(at, bytes)));
        }
        return made;
    }
    bool unpackedAll() const { return unpacked(L"python") && unpacked(L"data") && unpacked(L"welkara.exe"); }
    bool swapped(const wchar_t* name) const {
        return unpacked(name) && aside(name) &&
               MoveFileW((work() + L"\\unpacked\\" + name).c_str(), (code + L"\\" + name).c_str());
    }
    bool recorded(const std::wstring& entries = L"+data\n+python\n+welkara.exe\n") const {
        CreateDirectoryW(own.c_str(), nullptr);
        return writeBytes(own + L"\\swap",
                          utf16Bytes((earlier ? L"" : L"@run-0000000000000001\n") + entries));
    }
};

struct Interrupted {
    const char* name;
    bool recorded;  // the swap had got as far as its record: the next run finishes it
    bool earlier;   // left by an earlier version
    bool (*leave)(const Leftovers&);
    const wchar_t* damaged = nullptr;  // entries that no swap records, after the work folder's line
};

// Each row twice: the bool is true when the next run installs package.7z, false when it fails on a
// signed non-archive.
using InterruptedRunTest = InstallerTable<std::tuple<Interrupted, bool>>;

TEST_P(InterruptedRunTest, IsSettledByTheNextRun) {
    const auto& [c, succeeds] = GetParam();
    makeOldInstallation();
    const Leftovers at{codeFolder, codeFolder + L"\\.installer", package(L"src"), c.earlier};
    ASSERT_TRUE(c.leave(at) && (c.damaged == nullptr || at.recorded(c.damaged)));
    runLocalPackage(succeeds ? L"package.7z" : L"random.bin", succeeds ? L"package" : L"random");

    if (c.damaged != nullptr) {
        EXPECT_EQ(messages(), kError);
        const std::wstring ending = expand(
            L"The record of the swap {code}\\.installer\\swap is damaged\nCouldn't settle what an "
            L"interrupted "
            L"installation left in {code}\\.installer\nCouldn't recover the previous installation\n");
        EXPECT_TRUE(endsWith(log(), ending)) << log();
        EXPECT_TRUE(sameTree(withoutOwnFolder(installed()), withoutOwnFolder(previous)));
        return;
    }
    EXPECT_EQ(messages(), succeeds ? kInstalled : kError);
    // What was settled comes first, in one line when a swap was finished or undone; leftovers alone go
    // silently. The rest is the log of any run.
    const std::wstring settled =
        c.recorded  ? L"Finished the update that an interrupted run left in " + codeFolder + L"\n"
        : c.earlier ? L"Undid the update that an interrupted run left in " + codeFolder + L"\n"
                    : L"";
    EXPECT_EQ(log().rfind(L"Installer thread started\n" + settled + L"Manifest loaded", 0), 0u) << log();
    if (succeeds) {
        EXPECT_EQ(log(),
                  L"Installer thread started\n" + settled +
                      (localVerified() + installLines(true)).substr(wcslen(L"Installer thread started\n")));
        EXPECT_TRUE(applicationStarted());
    }
    EXPECT_TRUE(sameTree(installed(), succeeds || c.recorded ? newInstallation() : previous));
}

bool partlyUnpacked(const Leftovers& at) {
    const std::wstring unpacked = at.work() + L"\\unpacked";
    return SHCreateDirectoryExW(nullptr, (unpacked + L"\\python\\lib").c_str(), nullptr) == ERROR_SUCCESS &&
           writeBytes(unpacked + L"\\python\\lib\\runtime.txt", "new ru") &&
           writeBytes(at.work() + L"\\7za.exe", "a copy of the extractor") &&
           writeBytes(at.own + L"\\swap.new", "+da");
}
bool runtimeAsideUnrecorded(const Leftovers& at) {
    return at.unpackedAll() && at.aside(L"python");
}
bool recordedNothingMoved(const Leftovers& at) {
    return at.unpackedAll() && at.recorded();
}
bool recordedApplicationAside(const Leftovers& at) {
    return at.unpackedAll() && at.recorded() && at.aside(L"welkara.exe");
}
bool recordedTwoOfThreeSwapped(const Leftovers& at) {
    return at.recorded() && at.swapped(L"python") && at.swapped(L"data") && at.unpacked(L"welkara.exe");
}
bool recordedAllSwapped(const Leftovers& at) {
    return at.recorded() && at.swapped(L"python") && at.swapped(L"data") && at.swapped(L"welkara.exe");
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, InterruptedRunTest,
    ::testing::Combine(
        ::testing::Values(
            Interrupted{"PartlyUnpacked", false, false, partlyUnpacked},
            Interrupted{"EarlierRuntimeAsideUnrecorded", false, true, runtimeAsideUnrecorded},
            Interrupted{"RecordedNothingMoved", true, false, recordedNothingMoved},
            Interrupted{"RecordedApplicationAside", true, false, recordedApplicationAside},
            Interrupted{"RecordedTwoOfThreeSwapped", true, false, recordedTwoOfThreeSwapped},
            Interrupted{"RecordedAllSwapped", true, false, recordedAllSwapped},
            Interrupted{"EarlierRecordTwoOfThreeSwapped", true, true, recordedTwoOfThreeSwapped},
            Interrupted{"RecordNamingAFileInAFolder", true, false, recordedNothingMoved,
                        L"+python\n+data\\readme.txt\n"},
            Interrupted{"RecordNamingTheFolderAbove", true, false, recordedNothingMoved, L"+python\n+..\n"},
            Interrupted{"RecordNamingTheInstallersFolder", true, false, recordedNothingMoved,
                        L"+python\n+.installer\n"},
            Interrupted{"RecordCutOff", true, false, recordedNothingMoved, L"+python\n+welkara.ex"}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<InterruptedRunTest::ParamType>& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "ThenSucceeding" : "ThenFailing");
    });

// A swap stopped on the spot before any one of its moves (the process ended, as in a power cut), here
// of a package whose two hundred more top-level files replace older ones: the next run undoes it before
// it fails, and the one after that installs. Never is the installation a mix of the two, never is an
// entry lost.
class StoppedSwapTest : public InstallerThreadTest, public ::testing::WithParamInterface<int> {};

TEST_P(StoppedSwapTest, IsUndoneByTheNextRunWithNothingMixedOrLost) {
    makeOldInstallation();
    for (int i = 0; i < 200; ++i) {
        wchar_t name[16];
        swprintf(name, 16, L"\\e%03d.txt", i);
        ASSERT_TRUE(writeBytes(codeFolder + name, "old " + std::to_string(i) + "\n"));
    }
    previous = treeContents(codeFolder);
    useLocalPackage(L"many.7z", L"many");
    SetEnvironmentVariableW(L"WELKARA_TEST_STOP_AFTER_MOVES", std::to_wstring(GetParam()).c_str());
    PROCESS_INFORMATION stopped = startRunner(exeFolder(), L"installer_stopping_runner.exe");
    SetEnvironmentVariableW(L"WELKARA_TEST_STOP_AFTER_MOVES", nullptr);
    endRunner(&stopped, false);
    ASSERT_EQ(log().find(L"Installer thread finished"), std::wstring::npos) << "the swap was not stopped";

    runLocalPackage(L"random.bin", L"random");
    EXPECT_EQ(messages(), kError);
    EXPECT_TRUE(sameTree(installed(), previous));
    runLocalPackage(L"many.7z", L"many");
    EXPECT_EQ(messages(), kInstalled);
    EXPECT_TRUE(sameTree(installed(), newInstallation(L"many-src")));
}

// 203 replaced files, each given its second name and then replaced, and four more changes: 0 to 406.
INSTANTIATE_TEST_SUITE_P(Moves, StoppedSwapTest, ::testing::Values(0, 1, 2, 203, 204, 405));

// A swap whose move fails, and whose undo cannot bring what it moved back (here every change from the
// fourth on fails, as changes of held files do): what is new stays in place, so that no name of the
// installation is ever empty, the record stays, and the next run, even one that fails afterwards,
// undoes the swap first.
TEST_F(InstallerThreadTest, UndoThatCannotBringAnEntryBackLeavesTheNewOneInPlace) {
    makeOldInstallation();
    useLocalPackage(L"package.7z", L"package");
    SetEnvironmentVariableW(L"WELKARA_TEST_FAIL_MOVES", L"3-");
    PROCESS_INFORMATION failing = startRunner(exeFolder(), L"installer_stopping_runner.exe");
    SetEnvironmentVariableW(L"WELKARA_TEST_FAIL_MOVES", nullptr);
    endRunner(&failing, false);
    EXPECT_NE(log().find(
                  expand(L"The installation in {code} is part-way through a swap; the next run undoes it\n")),
              std::wstring::npos)
        << log();
    const Tree stuck = installed();
    for (const auto& [path, bytes] : newInstallation()) {
        EXPECT_TRUE(previous.count(path) == 0 || stuck.count(path) == 1)
            << "the undo left no " << testsupport::utf16Bytes(path);
    }
    const size_t before = log().size();
    runLocalPackage(L"random.bin", L"random");
    EXPECT_EQ(messages(), kError);
    EXPECT_EQ(
        log().find(
            expand(L"Installer thread started\nUndid the update that an interrupted run left in {code}\n"),
            before),
        before)
        << log();
    EXPECT_TRUE(sameTree(installed(), previous));
}

// The leftover of an earlier version's swap, held open by another program, never stops a run.
TEST_F(InstallerThreadTest, HeldLeftoverOfAnEarlierSwapNeverStopsARun) {
    makeOldInstallation();
    const Leftovers at{codeFolder, codeFolder + L"\\.installer", package(L"src"), true};
    ASSERT_TRUE(at.recorded() && at.swapped(L"python") && at.swapped(L"data") && at.swapped(L"welkara.exe"));
    OwnedHandle held(CreateFileW((at.own + L"\\previous\\welkara.exe").c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    runLocalPackage(L"package.7z", L"package");
    EXPECT_EQ(messages(), kInstalled) << log();
    EXPECT_TRUE(sameTree(withoutOwnFolder(installed()), newInstallation()));
}

}  // namespace
