// What a run with /uninstall guarantees, under Wine over the installer harness: the installation and
// its Apps & features entry go, all or nothing, and the shared database and the log stay; the entry
// that an installation writes names the code folder and an uninstaller that removes it; a run killed
// anywhere among its changes leaves the installation whole (once the next run has healed it) or gone.
// Beside this executable: installer_thread_test's packages, 7za.exe and both runners.
#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <set>
#include <vector>
#include <string>

#include "tests/support/installer_harness.h"
#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::kError;
using testsupport::kInstalled;
using testsupport::kRemoved;
using testsupport::pathExists;
using testsupport::readBytes;
using testsupport::sameTree;
using testsupport::Tree;
using testsupport::unstamped;

namespace {

constexpr const wchar_t* kSessionManager = L"System\\CurrentControlSet\\Control\\Session Manager";

// The files and folders that the system is to delete at the next restart (pairs of a "\\??\\" path and
// an empty target), by their paths.
std::set<std::wstring> markedForRestart() {
    std::set<std::wstring> marked;
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                     nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return marked;
    }
    std::wstring list(size / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                     nullptr, list.data(), &size) != ERROR_SUCCESS) {
        return marked;
    }
    for (const wchar_t* entry = list.c_str(); *entry != L'\0';) {
        const std::wstring from = entry;
        entry += from.size() + 1;
        const std::wstring to = entry;
        entry += to.size() + 1;
        if (to.empty()) {
            marked.insert(from.rfind(L"\\??\\", 0) == 0 ? from.substr(4) : from);
        }
    }
    return marked;
}

std::string narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

class RemovalTest : public testsupport::InstallerHarness {
  protected:
    void SetUp() override {
        InstallerHarness::SetUp();
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    }
    // What a removal left in the code folder: every entry there must be marked to go at the next
    // restart, and so must the folders that hold it, up to the program folder. The files left, by
    // their paths in the code folder with work folders' stamps unstamped.
    std::vector<std::wstring> leftForRestart() const {
        const std::set<std::wstring> marked = markedForRestart();
        std::vector<std::wstring> files;
        for (const auto& [path, bytes] : testsupport::treeContents(codeFolder)) {
            EXPECT_EQ(marked.count(codeFolder + L"\\" + path), 1u) << narrow(path) << " is not marked";
            if (bytes != "<folder>") {
                files.push_back(unstamped(path));
            }
        }
        for (const std::wstring& folder : {codeFolder + L"\\.installer", codeFolder, vendorFolder()}) {
            EXPECT_EQ(marked.count(folder), 1u) << narrow(folder) << " is not marked";
        }
        return files;
    }
    void uninstall() {
        request.uninstall = true;
        runInstaller();
        request.uninstall = false;
    }
    std::wstring uninstaller() const { return codeFolder + L"\\.installer\\Installer.exe"; }
    // The lines of a removal that found `found` ("Removed the installation from" or "Nothing is
    // installed in").
    std::wstring removalLines(const std::wstring& found) const {
        return L"Uninstaller thread started\n" + found + L" " + codeFolder +
               L"\nUninstaller thread finished victorious and will exit shortly.\n";
    }
    // The program folder above the code folder, which goes with it when nothing else is in it.
    std::wstring vendorFolder() const { return codeFolder.substr(0, codeFolder.rfind(L'\\')); }
};

struct Removal {
    const char* name;
    bool earlierVersion;  // an installation by a version that kept no uninstaller and wrote no entry
    bool installed;       // installed by this version (over the earlier one, when there is one)
    const wchar_t* found;
};

class RemovalOfTest : public RemovalTest, public ::testing::WithParamInterface<Removal> {};

// Whatever is installed goes whole, the application's own files with it, and so do the entry, the
// uninstaller and the program folders; the database and the log stay as they were.
TEST_P(RemovalOfTest, LeavesNoInstallationNoEntryAndTheMachinesFilesAsTheyWere) {
    const Removal& c = GetParam();
    if (c.earlierVersion) {
        makeOldInstallation();
    }
    if (c.installed) {
        runLocalPackage(L"package.7z", L"package");
        ASSERT_EQ(messages(), kInstalled) << log();
    } else {
        ASSERT_TRUE(SHCreateDirectoryExW(nullptr, databaseFolder.c_str(), nullptr) == ERROR_SUCCESS);
        ASSERT_TRUE(testsupport::writeBytes(databasePath(), ""));
    }
    ASSERT_TRUE(testsupport::writeBytes(databasePath(), "the users' data\n"));
    const std::wstring before = log();

    uninstall();

    EXPECT_EQ(messages(), kRemoved) << log();
    EXPECT_EQ(log(), before + removalLines(c.found));
    EXPECT_FALSE(pathExists(codeFolder)) << "left: " << testsupport::treeContents(codeFolder).size();
    EXPECT_FALSE(pathExists(vendorFolder()));
    EXPECT_EQ(entryValue(L"DisplayName"), L"<none>");
    EXPECT_EQ(readBytes(databasePath()), "the users' data\n");
}

INSTANTIATE_TEST_SUITE_P(
    Installations, RemovalOfTest,
    ::testing::Values(Removal{"ByThisVersion", false, true, L"Removed the installation from"},
                      Removal{"WithTheApplicationsOwnFiles", true, true, L"Removed the installation from"},
                      Removal{"ByAnEarlierVersion", true, false, L"Removed the installation from"},
                      Removal{"OfNothing", false, false, L"Nothing is installed in"}),
    [](const ::testing::TestParamInfo<Removal>& info) { return std::string(info.param.name); });

// The entry names the installation and a copy of the program that installed it, in the installer's
// own folder; a second installation writes it again. Its quiet uninstall command, run as a deployment
// tool runs it, removes the installation and the entry, ends with 0 and leaves the database and the log.
TEST_F(RemovalTest, QuietUninstallStringOfTheEntryRemovesTheInstallation) {
    makeOldInstallation();
    useLocalPackage(L"package.7z", L"package");
    const std::wstring runner = exeFolder() + L"\\installer_runner.exe";
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        PROCESS_INFORMATION installing = startRunner(exeFolder());
        endRunner(&installing, false);
        ASSERT_TRUE(logShows(L"Installer thread finished victorious")) << log();
        EXPECT_TRUE(readBytes(uninstaller()) == readBytes(runner)) << "the uninstaller is not the runner";
        EXPECT_EQ(entryValue(L"InstallLocation"), codeFolder);
        EXPECT_EQ(entryValue(L"DisplayVersion"), L"4.3.2.1");  // the test application's
        EXPECT_EQ(entryValue(L"UninstallString"), L"\"" + uninstaller() + L"\" /uninstall");
    }
    const std::wstring quiet = entryValue(L"QuietUninstallString");
    ASSERT_EQ(quiet, L"\"" + uninstaller() + L"\" /uninstall /unattended");
    const std::string database = readBytes(databasePath());
    const std::wstring before = log();

    EXPECT_EQ(testsupport::runAndWait(quiet), 0) << log();

    // The uninstaller ran from the code folder: its file, which the system keeps while it runs, goes at
    // the next restart, from a work folder of its own.
    const std::wstring after = log();
    ASSERT_EQ(after.compare(0, before.size(), before), 0) << "the log was not kept";
    EXPECT_EQ(unstamped(after.substr(before.size())),
              L"Uninstaller thread started\nRunning unattended (the /unattended option): nothing waits for a "
              L"person and "
              L"the application is not started\nRemoved the installation from " +
                  codeFolder + L"\nCouldn't delete " + codeFolder +
                  L"\\.installer\\run-{stamp}\\Installer.exe now; it goes at the next restart\n"
                  L"Uninstaller thread finished victorious and will exit shortly.\n");
    EXPECT_EQ(leftForRestart(), std::vector<std::wstring>{L".installer\\run-{stamp}\\Installer.exe"});
    EXPECT_EQ(entryValue(L"DisplayName"), L"<none>");
    EXPECT_EQ(readBytes(databasePath()), database);
}

// The installer is started through a folder link (a Downloads folder that is a junction), which its
// owner repoints at once to a folder holding the same manifest, package and 7za.exe but another program
// under the installer's name. The run installs either way; the uninstaller it keeps is the program that
// ran or none (with the line that says so, and then no entry), never the other one.
TEST_F(RemovalTest, UninstallerIsNeverAnotherProgramPutWhereTheInstallerWas) {
    useLocalPackage(L"package.7z", L"package");
    const std::wstring via = exeFolder() + L"-via";
    const std::wstring other = exeFolder() + L"\\other";
    testsupport::removeTree(other);
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    for (const wchar_t* name : {L"manifest", L"local.7z", L"7za.exe"}) {
        ASSERT_TRUE(CopyFileW((exeFolder() + L"\\" + name).c_str(), (other + L"\\" + name).c_str(), FALSE));
    }
    const std::wstring impostor = other + L"\\installer_runner.exe";
    ASSERT_TRUE(CopyFileW(package(L"src\\welkara.exe").c_str(), impostor.c_str(), FALSE));
    testsupport::removeUnixLink(via);
    ASSERT_TRUE(testsupport::makeUnixLink(exeFolder(), via));

    PROCESS_INFORMATION runner = startRunner(via);
    testsupport::removeUnixLink(via);
    ASSERT_TRUE(testsupport::makeUnixLink(other, via));
    endRunner(&runner, false);
    testsupport::removeUnixLink(via);

    EXPECT_TRUE(logShows(L"Installer thread finished victorious")) << log();
    bool kept = false;
    const std::string copy = readBytes(uninstaller(), &kept);
    EXPECT_FALSE(copy == readBytes(impostor)) << "the other program was kept";
    if (kept) {
        EXPECT_TRUE(copy == readBytes(exeFolder() + L"\\installer_runner.exe"))
            << "the copy is not the runner";
    } else {
        EXPECT_NE(log().find(L"Not keeping a copy of the installer: "), std::wstring::npos) << log();
        EXPECT_EQ(entryValue(L"UninstallString"), L"<none>");
    }
    testsupport::removeTree(other);
}

// The application keeps running through its removal: its file is moved aside with the rest, and, as
// the system keeps a running program's file, it is marked to go at the next restart.
TEST_F(RemovalTest, RemovesTheInstallationWhileTheApplicationRuns) {
    runLocalPackage(L"package.7z", L"package");
    ASSERT_EQ(messages(), kInstalled) << log();
    OwnedHandle stop(CreateEventW(nullptr, TRUE, FALSE, L"welkara-test-stop"));
    PROCESS_INFORMATION running = {};
    ASSERT_TRUE(testsupport::startProcess(L"\"" + codeFolder + L"\\welkara.exe\" wait", &running));

    uninstall();

    EXPECT_EQ(messages(), kRemoved) << log();
    EXPECT_EQ(leftForRestart(), std::vector<std::wstring>{L".installer\\run-{stamp}\\previous\\welkara.exe"});
    EXPECT_NE(unstamped(log()).find(L"Couldn't delete " + codeFolder +
                                    L"\\.installer\\run-{stamp}\\previous\\welkara.exe now; it goes at the "
                                    L"next restart\n"),
              std::wstring::npos);
    EXPECT_EQ(entryValue(L"DisplayName"), L"<none>");
    SetEvent(stop.get());
    EXPECT_EQ(testsupport::closeProcess(&running, 10000), WAIT_OBJECT_0);
}

// A removal ended on the spot before a given change of the installation: its 8 files moved aside (in
// any order) are changes 0 to 7, its 5 folders removed once they are empty 8 to 12, and a number beyond
// lets it finish. The next run that may change the installation heals it first: the installation is then
// exactly as it was, or gone. A removal after that removes it.
class KilledRemovalTest : public RemovalTest, public ::testing::WithParamInterface<int> {};

TEST_P(KilledRemovalTest, LeavesTheInstallationWholeOrGone) {
    makeOldInstallation();
    runLocalPackage(L"package.7z", L"package");
    ASSERT_EQ(messages(), kInstalled) << log();
    const Tree whole = installed();

    SetEnvironmentVariableW(L"WELKARA_TEST_STOP_AFTER_MOVES", std::to_wstring(GetParam()).c_str());
    PROCESS_INFORMATION stopped = startRunner(exeFolder(), L"installer_stopping_runner.exe", L" /uninstall");
    SetEnvironmentVariableW(L"WELKARA_TEST_STOP_AFTER_MOVES", nullptr);
    endRunner(&stopped, false);
    const bool finished = GetParam() > 12;
    EXPECT_EQ(pathExists(codeFolder), !finished);

    runLocalPackage(L"random.bin", L"random");
    EXPECT_EQ(messages(), kError);
    const Tree healed = installed();
    EXPECT_TRUE(finished ? healed.empty() : sameTree(healed, whole))
        << "neither gone nor whole: " << sameTree(healed, whole).message() << "\n"
        << log();

    uninstall();
    EXPECT_EQ(messages(), kRemoved) << log();
    EXPECT_FALSE(pathExists(codeFolder));
}

INSTANTIATE_TEST_SUITE_P(Moments, KilledRemovalTest, ::testing::Values(0, 5, 7, 8, 10, 12, 40));

}  // namespace
