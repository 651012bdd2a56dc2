// What an update guarantees about the installation it finds, run under Wine over the installer harness
// (tests/support/installer_harness.h). Only the package's files move, each by a rename of its own: a
// folder that stays is the same folder afterwards, with its access list, and the application's own
// files outside "python" are not touched, held open or read-only. What another program holds either
// never stops a run (a folder held without delete sharing, a file of the application's own held
// without any sharing) or ends it with the installation whole: a replaced file held without delete
// sharing when its move fails, a folder held without write sharing before anything moves. A run killed
// anywhere among its changes leaves no name empty, and the next run heals it, all old or all new,
// before any step that can fail. Beside this executable: installer_thread_test's packages, 7za.exe,
// installer_runner.exe and installer_stopping_runner.exe. The kills are drawn from a seed that is
// printed; WELKARA_TEST_SEED replays it.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <random>
#include <string>

#include "tests/signature/test_random.h"
#include "tests/support/installer_harness.h"
#include "tests/support/wine_test_support.h"

using testsupport::endsWith;
using testsupport::exeFolder;
using testsupport::FileIdentity;
using testsupport::fileIdentity;
using testsupport::hold;
using testsupport::kError;
using testsupport::kInstalled;
using testsupport::pathExists;
using testsupport::sameFile;
using testsupport::sameTree;
using testsupport::systemFolder;
using testsupport::Tree;
using testsupport::treeContents;
using testsupport::unstamped;
using testsupport::writeBytes;

namespace {

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareReadDelete = FILE_SHARE_READ | FILE_SHARE_DELETE;

std::string narrow(const std::wstring& path) {
    return std::string(path.begin(), path.end());
}

// The access list of the file or folder at `path` as SDDL text, read through a handle with
// GetSecurityInfo; empty when it cannot be read.
std::wstring accessList(const std::wstring& path) {
    const OwnedHandle opened(CreateFileW(path.c_str(), READ_CONTROL,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                         nullptr));  // hTemplateFile
    LocalMemory<void> descriptor;
    LocalMemory<wchar_t> text;
    if (!opened.valid() ||
        GetSecurityInfo(opened.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                        nullptr,  // owner, group and lists: within the descriptor
                        descriptor.receive()) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, text.receive(),
                                                              nullptr)) {  // StringSecurityDescriptorLen
        return L"";
    }
    return text.get();
}

// Every right for the system, the administrators and Everyone, protected from the folder above. Wine
// keeps an access list only as Unix mode bits: this one gives Everyone the write bit, which the default
// list of a new folder does not, so a folder made anew with the default list reads back otherwise.
constexpr wchar_t kOpenToEveryone[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)";

bool setAccessList(const std::wstring& path, const wchar_t* sddl) {
    LocalMemory<void> descriptor;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.receive(),
                                                                nullptr) &&  // SecurityDescriptorSize
           GetSecurityDescriptorDacl(descriptor.get(), &present, &list, &defaulted) &&
           SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr,  // psidOwner: unchanged
                                 nullptr,  // psidGroup: unchanged
                                 list,
                                 nullptr) == ERROR_SUCCESS;  // pSacl
}

class UpdateTest : public testsupport::InstallerHarness {
  protected:
    void TearDown() override {
        // Read-only files would outlast the removal of the installation before the next test.
        for (const auto& [path, bytes] : treeContents(codeFolder)) {
            if (bytes != "<folder>") {
                SetFileAttributesW(at(path).c_str(), FILE_ATTRIBUTE_NORMAL);
            }
        }
        InstallerHarness::TearDown();
    }

    // The harness's older installation with, under "python", a file that the package replaces
    // (lib\runtime.txt) and a folder that it lacks (tools), whose file moves aside and which goes once
    // it is empty.
    void makeInstallation() {
        makeOldInstallation();
        ASSERT_TRUE(CreateDirectoryW(at(L"python\\tools").c_str(), nullptr));
        ASSERT_TRUE(writeBytes(at(L"python\\tools\\tool.txt"), "old tool\n"));
        ASSERT_TRUE(writeBytes(at(L"python\\lib\\runtime.txt"), "old runtime\n"));
        previous = treeContents(codeFolder);
    }
    // The installation of StoppedSwapTest: the harness's older one with 200 top-level files, each of
    // which many.7z replaces.
    void makeInstallationOfManyFiles() {
        makeOldInstallation();
        for (int i = 0; i < 200; ++i) {
            wchar_t name[16];
            swprintf(name, 16, L"e%03d.txt", i);
            ASSERT_TRUE(writeBytes(at(name), "old " + std::to_string(i) + "\n"));
        }
        previous = treeContents(codeFolder);
    }

    // The path in the code folder of a relative path, "" for the code folder itself.
    std::wstring at(const std::wstring& relative) const {
        return relative.empty() ? codeFolder : codeFolder + L"\\" + relative;
    }
    // The identities of the code folder and of each folder of `previous` that `kept` holds too.
    std::map<std::wstring, FileIdentity> folders(const Tree& kept) const {
        std::map<std::wstring, FileIdentity> found = {{L"", fileIdentity(codeFolder)}};
        for (const auto& [path, bytes] : previous) {
            if (bytes == "<folder>" && kept.count(path) != 0) {
                found[path] = fileIdentity(at(path));
            }
        }
        return found;
    }
    void expectSameFolders(const std::map<std::wstring, FileIdentity>& before) const {
        for (const auto& [path, identity] : before) {
            EXPECT_TRUE(sameFile(fileIdentity(at(path)), identity))
                << "the folder \"" << narrow(path) << "\"";
        }
    }
};

template <class Row>
class UpdateTable : public UpdateTest, public ::testing::WithParamInterface<Row> {};

template <class Row>
std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

// Another program holds a folder of the installation open without delete sharing (as a console holds
// its current folder), or a file of the application's own, in a folder the package holds, open without
// any sharing. No file of the package has that name, so nothing there moves: the run installs, and the
// held entry and the folder it lies in are the same ones afterwards; the held file has no second name
// left behind. (A folder held with write sharing lets files move in and out of it: the open of a
// rename's target folder that Windows makes, which Wine does not, is granted; see the test of a folder
// held without write sharing below.) Wine renames a folder with a file held open inside it; these rows
// do not depend on whether a system refuses that: a folder moved aside and made anew, or a second name
// of the held file left behind, shows in the identities all the same.
struct Held {
    const char* name;
    const wchar_t* path;  // in the code folder
    DWORD access;
    DWORD share;
};

using HeldEntryTest = UpdateTable<Held>;

TEST_P(HeldEntryTest, DoesNotStopTheUpdateAndStaysItself) {
    const Held& c = GetParam();
    makeInstallation();
    const std::wstring path = at(c.path);
    const std::wstring parent = path.substr(0, path.rfind(L'\\'));
    const FileIdentity before = fileIdentity(path);
    const FileIdentity parentBefore = fileIdentity(parent);
    OwnedHandle held = hold(path, c.access, c.share);
    ASSERT_TRUE(held.valid()) << "error " << GetLastError();
    runLocalPackage(L"package.7z", L"package");

    const FileIdentity after = fileIdentity(path);
    EXPECT_TRUE(sameFile(after, before));
    EXPECT_TRUE(sameFile(fileIdentity(parent), parentBefore)) << "the folder it lies in";
    if (previous.at(c.path) != "<folder>") {
        EXPECT_EQ(after.links, 1u) << "the held file has another name";
    }
    held.reset();  // a file held without sharing cannot be read for the tree
    EXPECT_EQ(messages(), kInstalled) << log();
    expectNewInstallation();
}

INSTANTIATE_TEST_SUITE_P(
    Entries, HeldEntryTest,
    ::testing::Values(Held{"FolderThePackageHolds", L"data", FILE_LIST_DIRECTORY, kShareReadWrite},
                      Held{"RuntimeFolderThePackageHolds", L"python\\lib", FILE_LIST_DIRECTORY,
                           kShareReadWrite},
                      Held{"Runtime", L"python", FILE_LIST_DIRECTORY, kShareReadWrite},
                      Held{"FolderThePackageLacks", L"data\\cache", FILE_LIST_DIRECTORY, kShareReadWrite},
                      Held{"OwnFileWithoutSharing", L"data\\user.cfg", GENERIC_READ, 0}),
    rowName<Held>);

// Every folder of the installation that the new installation still has is the same folder afterwards,
// and keeps the access list it was given: one row for each folder whose list is set to one that a new
// folder would not get.
struct ListedFolder {
    const char* name;
    const wchar_t* path;  // in the code folder
};

using KeptFolderTest = UpdateTable<ListedFolder>;

TEST_P(KeptFolderTest, KeepsItsIdentityAndItsAccessList) {
    const ListedFolder& c = GetParam();
    makeInstallation();
    const std::wstring path = at(c.path);
    ASSERT_TRUE(setAccessList(path, kOpenToEveryone));
    const std::wstring list = accessList(path);
    // Beside the code folder, in the folder that every test starts without.
    const std::wstring madeAnew = systemFolder(CSIDL_PROGRAM_FILESX86) + L"\\Orvanta\\made-anew";
    ASSERT_TRUE(CreateDirectoryW(madeAnew.c_str(), nullptr));
    ASSERT_NE(list, accessList(madeAnew)) << "a new folder reads back the same: the row would show nothing";
    const auto before = folders(newInstallation());
    runLocalPackage(L"package.7z", L"package");

    EXPECT_EQ(messages(), kInstalled) << log();
    expectSameFolders(before);
    EXPECT_EQ(accessList(path), list);
    expectNewInstallation();
}

INSTANTIATE_TEST_SUITE_P(Folders, KeptFolderTest,
                         ::testing::Values(ListedFolder{"FolderThePackageHolds", L"data"},
                                           ListedFolder{"DeepInAFolderThePackageLacks",
                                                        L"data\\cache\\nested"},
                                           ListedFolder{"RuntimeFolderThePackageHolds", L"python\\lib"}),
                         rowName<ListedFolder>);

// A file of the application's own that it marked read-only keeps the mark: beside the package's files
// in a folder the package holds, and in a folder of its own there.
struct OwnFile {
    const char* name;
    const wchar_t* path;  // in the code folder
};

using ReadOnlyFileTest = UpdateTable<OwnFile>;

TEST_P(ReadOnlyFileTest, KeepsItsReadOnlyMark) {
    const OwnFile& c = GetParam();
    makeInstallation();
    ASSERT_TRUE(SetFileAttributesW(at(c.path).c_str(), FILE_ATTRIBUTE_READONLY));
    runLocalPackage(L"package.7z", L"package");

    EXPECT_EQ(messages(), kInstalled) << log();
    const DWORD attributes = GetFileAttributesW(at(c.path).c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        << std::hex << attributes;
    expectNewInstallation();
}

INSTANTIATE_TEST_SUITE_P(Files, ReadOnlyFileTest,
                         ::testing::Values(OwnFile{"InAFolderThePackageHolds", L"data\\user.cfg"},
                                           OwnFile{"InAFolderOfItsOwn", L"data\\cache\\nested\\deep.bin"}),
                         rowName<OwnFile>);

// A run of many.7z over 200 older top-level files, ended on the spot before a change of the
// installation drawn at random (each rename, link, replacement, folder made or removed counts; a draw
// beyond the changes the run makes lets it finish). Right after the kill, no name that the old and the
// new installation both hold is missing. The next run, of a signed package that is no archive, first
// heals what the kill left and says so right after its first line when the killed run had recorded its
// update; it then fails, leaving the installation exactly all old or all new. The run after it installs.
constexpr int kKills = 8;
constexpr int kChangesDrawnFrom = 450;

class KilledUpdateTest : public UpdateTest, public ::testing::WithParamInterface<int> {};

TEST_P(KilledUpdateTest, LeavesNoNameEmptyAndIsHealedAllOldOrAllNew) {
    std::mt19937_64 random = test_random();
    const int stopBefore = std::uniform_int_distribution<int>(0, kChangesDrawnFrom - 1)(random);
    const std::string drawn = "killed before change " + std::to_string(stopBefore) +
                              " (WELKARA_TEST_SEED=" + std::to_string(test_seed()) + ")";
    std::printf("%s\n", drawn.c_str());
    SCOPED_TRACE(drawn);
    makeInstallationOfManyFiles();
    const Tree fresh = newInstallation(L"many-src");
    useLocalPackage(L"many.7z", L"many");
    SetEnvironmentVariableW(L"WELKARA_TEST_STOP_AFTER_MOVES", std::to_wstring(stopBefore).c_str());
    PROCESS_INFORMATION stopped = startRunner(exeFolder(), L"installer_stopping_runner.exe");
    SetEnvironmentVariableW(L"WELKARA_TEST_STOP_AFTER_MOVES", nullptr);
    endRunner(&stopped, false);

    const std::wstring killed = log();
    const bool recorded = pathExists(at(L".installer\\swap"));
    for (const auto& [path, bytes] : previous) {
        EXPECT_TRUE(fresh.count(path) == 0 || pathExists(at(path)))
            << "no " << narrow(path) << " after the kill";
    }

    runLocalPackage(L"random.bin", L"random");
    EXPECT_EQ(messages(), kError);
    const Tree healed = installed();
    const bool allNew = sameTree(healed, fresh);
    const bool allOld = sameTree(healed, previous);
    EXPECT_TRUE(allNew || allOld) << "neither the new installation (" << sameTree(healed, fresh).message()
                                  << ") nor the old (" << sameTree(healed, previous).message() << ")";
    const std::wstring text = log();
    ASSERT_EQ(text.compare(0, killed.size(), killed), 0) << "the log of the killed run is not kept";
    const std::wstring healing = text.substr(killed.size());
    const std::wstring started = L"Installer thread started\n";
    if (recorded) {
        const std::wstring line = expand(std::wstring(allOld ? L"Undid" : L"Finished") +
                                         L" the update that an interrupted run left in {code}\n");
        EXPECT_EQ(healing.substr(0, started.size() + line.size()), started + line) << healing;
    } else {
        EXPECT_EQ(healing.rfind(started + L"Manifest loaded", 0), 0u) << "nothing to heal, yet:\n" << healing;
    }

    runLocalPackage(L"many.7z", L"many");
    EXPECT_EQ(messages(), kInstalled) << log();
    EXPECT_TRUE(sameTree(installed(), fresh));
}

INSTANTIATE_TEST_SUITE_P(Moments, KilledUpdateTest, ::testing::Range(0, kKills));

// A file that the package replaces, held by another program without delete sharing, cannot be moved
// aside: the run undoes what it moved, names the file and where it was to go, and ends with the
// installation exactly as it was, its folders the same ones; a file of the runtime ends it as the
// runtime's removal, any other as the extraction. Once the file is let go, the next run installs.
// On Windows a rename asks for the right to delete, which a holder without FILE_SHARE_DELETE refuses
// (https://learn.microsoft.com/windows/win32/fileio/creating-and-opening-files), and a file with open
// handles is replaced only by a rename with POSIX semantics, which keeps those handles on the replaced
// file (https://learn.microsoft.com/windows-hardware/drivers/ddi/ntifs/ns-ntifs-_file_rename_information).
// Wine refuses both as well: the replacement with error 5, the rename with 32.
struct HeldReplaced {
    const char* name;
    const wchar_t* path;       // in the code folder
    const wchar_t* finalLine;  // of the log
};

using HeldReplacedFileTest = UpdateTable<HeldReplaced>;

TEST_P(HeldReplacedFileTest, EndsTheRunWithTheInstallationWholeUntilItIsLetGo) {
    const HeldReplaced& c = GetParam();
    makeInstallation();
    const auto before = folders(previous);
    OwnedHandle held = hold(at(c.path), GENERIC_READ, kShareReadWrite);
    ASSERT_TRUE(held.valid()) << "error " << GetLastError();
    runLocalPackage(L"package.7z", L"package");

    EXPECT_EQ(messages(), kError);
    const std::wstring path = c.path;
    const std::wstring ending =
        expand(L"Couldn't move {code}\\" + path + L" to {code}\\.installer\\run-{stamp}\\previous\\" + path +
               L" (32)\nThe previous installation in {code} was put back\n" + c.finalLine);
    EXPECT_TRUE(endsWith(unstamped(log()), ending)) << log();
    expectOldInstallationUntouched();
    expectSameFolders(before);
    EXPECT_TRUE(pathExists(localPackage())) << "the next run has no package to install";

    held.reset();
    runInstaller();
    EXPECT_EQ(messages(), kInstalled) << log();
    expectNewInstallation();
}

INSTANTIATE_TEST_SUITE_P(Files, HeldReplacedFileTest,
                         ::testing::Values(HeldReplaced{"InData", L"data\\readme.txt",
                                                        L"Couldn't extract file\n"},
                                           HeldReplaced{"InTheRuntime", L"python\\lib\\runtime.txt",
                                                        L"Couldn't remove existing files"}),
                         rowName<HeldReplaced>);

// A folder that files of the package move into or out of, held by another program without write
// sharing, is found before anything moves: the run names it, keeps the installation exactly as it was
// (its folders the same ones) and leaves no record of an update. On Windows every rename opens the
// folder its target lies in, to check that a child may be made there
// (https://learn.microsoft.com/windows-hardware/drivers/ifs/set-file-information-processing), and such
// a holder refuses that open part-way through the moves; Wine opens no such folder, so here only the
// run's own open of each folder, before its first move, finds the holder.
struct HeldTarget {
    const char* name;
    const wchar_t* path;       // in the code folder, "" for the code folder itself
    const wchar_t* finalLine;  // of the log: a folder of the runtime stops its removal
};

using HeldFolderTest = UpdateTable<HeldTarget>;

TEST_P(HeldFolderTest, WithoutWriteSharingEndsTheRunBeforeAnythingMoves) {
    const HeldTarget& c = GetParam();
    makeInstallation();
    const auto before = folders(previous);
    const std::wstring folder = at(c.path);
    OwnedHandle held = hold(folder, FILE_LIST_DIRECTORY, kShareReadDelete);
    ASSERT_TRUE(held.valid()) << "error " << GetLastError();
    runLocalPackage(L"package.7z", L"package");
    held.reset();

    EXPECT_EQ(messages(), kError);
    EXPECT_TRUE(endsWith(log(), L"Couldn't open the folder " + folder + L" to move files in or out (32)\n" +
                                    expand(L"The previous installation in {code} was kept\n") + c.finalLine))
        << log();
    expectOldInstallationUntouched();
    expectSameFolders(before);
    EXPECT_FALSE(pathExists(at(L".installer\\swap")));
    EXPECT_TRUE(pathExists(localPackage()));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, HeldFolderTest,
    ::testing::Values(HeldTarget{"CodeFolder", L"", L"Couldn't extract file\n"},
                      HeldTarget{"FolderThePackageHolds", L"data", L"Couldn't extract file\n"},
                      HeldTarget{"RuntimeFolderThePackageHolds", L"python\\lib", L"Couldn't remove existing files"},
                      HeldTarget{"RuntimeFolderThePackageLacks", L"python\\tools", L"Couldn't remove existing files"}),
    rowName<HeldTarget>);

}  // namespace
