// The whole installation under Wine, run headless: the installer thread reports to a message-only
// window that this test pumps, recording each message and when it came. Every test starts from a known
// state of the prefix (no application folders, no log, nothing beside this executable but 7za.exe) and
// checks the log line by line, the files left behind and the reports.
#include "install/installer_thread.h"

#include <aclapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/installer_messages.h"
#include "app/options.h"
#include "tests/support/package_store_access.h"
#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::fromUtf16Bytes;
using testsupport::logFilePath;
using testsupport::packageSignature;
using testsupport::pathExists;
using testsupport::readBytes;
using testsupport::removeTree;
using testsupport::systemFolder;
using testsupport::treeContents;
using testsupport::utf16Bytes;
using testsupport::writeBytes;

namespace {

using Tree = std::map<std::wstring, std::string>;

// Equal trees, or the paths in which they differ (the bytes themselves are too many to print).
::testing::AssertionResult sameTree(const Tree& actual, const Tree& expected) {
    std::string differences;
    const auto narrow = [](const std::wstring& path) { return std::string(path.begin(), path.end()); };
    for (const auto& [path, bytes] : expected) {
        const auto found = actual.find(path);
        differences += found == actual.end()    ? " missing " + narrow(path)
                       : found->second != bytes ? " differs " + narrow(path)
                                                : "";
    }
    for (const auto& entry : actual) {
        differences += expected.count(entry.first) == 0 ? " extra " + narrow(entry.first) : "";
    }
    if (differences.empty()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the trees differ:" << differences;
}

struct Report {
    UINT message;
    ULONGLONG at;  // GetTickCount64 when it arrived
};

std::vector<Report>* receivedReports = nullptr;

LRESULT CALLBACK receiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_INSTALLER_INSTALLED && message <= WM_INSTALLER_CLOSE) {
        receivedReports->push_back({message, GetTickCount64()});
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI installerThread(LPVOID window) {
    runInstallation(static_cast<HWND>(window));
    return 0;
}

std::u16string u16(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

[[maybe_unused]] void setOption(char16_t** setting, const std::wstring& value) {
    const std::u16string text = u16(value);
    std::u16string line = (setting == &urlOverride ? u"/url:\"" : u"/eddsa_signature:\"") + text + u"\"";
    ParseCommandLine(line.c_str());
}

class InstallerThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        codeFolder = systemFolder(CSIDL_PROGRAM_FILESX86) + L"\\Orvanta\\Welkara";
        databaseFolder = systemFolder(CSIDL_COMMON_APPDATA) + L"\\Orvanta\\Welkara";
        removeTree(systemFolder(CSIDL_PROGRAM_FILESX86) + L"\\Orvanta");
        removeTree(systemFolder(CSIDL_COMMON_APPDATA) + L"\\Orvanta");
        DeleteFileW(logFilePath().c_str());
        DeleteFileW(manifest().c_str());
        DeleteFileW(localPackage().c_str());
        ReleaseOptions();
        verifyOnly = false;
        receivedReports = &reports;
    }
    void TearDown() override {
        ReleaseOptions();
        verifyOnly = false;
        DeleteFileW(manifest().c_str());
        DeleteFileW(localPackage().c_str());
        if (!pathExists(extractor())) {
            MoveFileW((extractor() + L".away").c_str(), extractor().c_str());
        }
    }

    static std::wstring manifest() { return exeFolder() + L"\\manifest"; }
    static std::wstring localPackage() { return exeFolder() + L"\\local.7z"; }
    static std::wstring extractor() { return exeFolder() + L"\\7za.exe"; }
    static std::wstring package(const std::wstring& name) { return exeFolder() + L"\\packages\\" + name; }
    std::wstring databasePath() const { return databaseFolder + L"\\vorlinde.db"; }

    static void writeManifest(const std::wstring& text) {
        ASSERT_TRUE(writeBytes(manifest(), utf16Bytes(text)));
    }

    // A manifest naming local.7z, a copy of packages\NAME, with NAME's signature.
    static void useLocalPackage(const std::wstring& name, const std::wstring& signatureName) {
        ASSERT_TRUE(CopyFileW(package(name).c_str(), localPackage().c_str(), FALSE));
        writeManifest(L"local_update_filename = local.7z\r\neddsa_signature=" +
                      packageSignature(signatureName) + L"\r\n");
    }

    // An existing installation: a runtime, data and the application, and a file of its own beside them
    // that no package holds. Its tree is kept in `previous`.
    void makeOldInstallation() {
        ASSERT_EQ(SHCreateDirectoryExW(nullptr, (codeFolder + L"\\python\\lib").c_str(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(SHCreateDirectoryExW(nullptr, (codeFolder + L"\\data").c_str(), nullptr), ERROR_SUCCESS);
        ASSERT_TRUE(writeBytes(codeFolder + L"\\python\\lib\\old.txt", "old runtime\n"));
        ASSERT_TRUE(writeBytes(codeFolder + L"\\data\\readme.txt", "old readme\n"));
        ASSERT_TRUE(writeBytes(codeFolder + L"\\welkara.exe", "old application\n"));
        ASSERT_TRUE(writeBytes(codeFolder + L"\\notes.txt", "not the package's\n"));
        previous = treeContents(codeFolder);
    }

    // Runs the installer thread to its end, pumping the receiver's messages meanwhile.
    void runInstaller() {
        reports.clear();
        WNDCLASSW receiverClass = {};
        receiverClass.lpfnWndProc = receiverProc;
        receiverClass.hInstance = GetModuleHandleW(nullptr);
        receiverClass.lpszClassName = L"WelkaraTestReceiver";
        RegisterClassW(&receiverClass);
        HWND receiver = CreateWindowExW(0, L"WelkaraTestReceiver", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(receiver, nullptr);
        started = GetTickCount64();
        HANDLE thread = CreateThread(nullptr, 0, installerThread, receiver, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        for (;;) {
            const DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, 120000, QS_ALLINPUT);
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageW(&message);
            }
            if (woke != WAIT_OBJECT_0 + 1) {
                ASSERT_EQ(woke, WAIT_OBJECT_0) << "the installer thread did not end within two minutes";
                break;
            }
        }
        CloseHandle(thread);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        DestroyWindow(receiver);
    }

    std::vector<UINT> messages() const {
        std::vector<UINT> out;
        for (const Report& report : reports) {
            out.push_back(report.message);
        }
        return out;
    }
    ULONGLONG gapBeforeClose() const {
        return reports.size() >= 2 ? reports.back().at - reports[reports.size() - 2].at : 0;
    }

    static std::wstring log() { return fromUtf16Bytes(readBytes(logFilePath())); }

    // Waits up to 20 s for the test welkara.exe's marker.
    bool applicationStarted() const {
        for (int i = 0; i < 200 && !pathExists(codeFolder + L"\\started.txt"); ++i) {
            Sleep(100);
        }
        return pathExists(codeFolder + L"\\started.txt");
    }

    std::wstring linesUpToDatabase(bool created) const {
        return L"Installer thread started\n"
               L"Manifest loaded from " +
               manifest() + L".\n" +
               (created ? L"Creating " + databasePath() + L"\n"
                        : L"Database " + databasePath() + L" already exists (which is fine).\n");
    }
    std::wstring verifiedLines(const std::wstring& source, const std::wstring& signature, int result) const {
        return L"Will try to install " + source + L"\nVerifying with base64 signature " + signature +
               L"\nverify_eddsa: verify result: " + std::to_wstring(result) + L"\n";
    }
    std::wstring installLines(bool oldRuntime) const {
        return (oldRuntime ? L"Deleting existing Python installation at " + codeFolder + L"\\python\n"
                           : L"No existing Python installation at " + codeFolder + L"\\python.\n") +
               L"extractUpdate: invoking 7za.exe -y -bd x archive.7z\n"
               L"Executing " +
               codeFolder +
               L"\\welkara.exe\n"
               L"Installer thread finished victorious and will exit shortly.\n";
    }

    // The code folder as it is, without the marker that the test application leaves when it starts.
    Tree installed() const {
        Tree tree = treeContents(codeFolder);
        tree.erase(L"started.txt");
        return tree;
    }
    // What installing package.7z leaves: the tree it holds, and beside it whatever of the previous
    // installation it does not replace.
    Tree newInstallation() const {
        Tree tree = treeContents(package(L"src"));
        if (previous.count(L"notes.txt") != 0) {
            tree[L"notes.txt"] = previous.at(L"notes.txt");
        }
        return tree;
    }
    void expectNewInstallation() const { EXPECT_TRUE(sameTree(installed(), newInstallation())); }
    void expectOldInstallationUntouched() const { EXPECT_TRUE(sameTree(installed(), previous)); }

    // Starts installer_runner.exe, reached through `folder` (this executable's folder or a link to it).
    static PROCESS_INFORMATION startRunner(const std::wstring& folder) {
        std::wstring commandLine = L"\"" + folder + L"\\installer_runner.exe\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION runner = {};
        EXPECT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &runner))
            << "error " << GetLastError();
        return runner;
    }
    static void endRunner(PROCESS_INFORMATION* runner, bool terminate) {
        if (terminate) {
            TerminateProcess(runner->hProcess, 99);
        }
        EXPECT_EQ(WaitForSingleObject(runner->hProcess, 120000), WAIT_OBJECT_0);
        CloseHandle(runner->hProcess);
        CloseHandle(runner->hThread);
    }
    // Waits up to a minute for `text` in the log.
    static bool logShows(const std::wstring& text) {
        for (int i = 0; i < 60000; ++i) {
            if (log().find(text) != std::wstring::npos) {
                return true;
            }
            Sleep(1);
        }
        return false;
    }

    std::wstring codeFolder;
    std::wstring databaseFolder;
    Tree previous;  // the code folder as makeOldInstallation left it
    std::vector<Report> reports;
    ULONGLONG started = 0;
};

#if !defined(WELKARA_TEST_REFUSE_DELETE_ACCESS)

TEST_F(InstallerThreadTest, InstallsFromALocalPackage) {
    makeOldInstallation();
    useLocalPackage(L"package.7z", L"package");
    wchar_t before[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, before);
    runInstaller();

    EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_INSTALLED, WM_INSTALLER_CLOSE}));
    EXPECT_GE(gapBeforeClose(), 2450u);
    EXPECT_EQ(log(), linesUpToDatabase(true) +
                         verifiedLines(localPackage(), packageSignature(L"package"), 1) + installLines(true));
    expectNewInstallation();
    EXPECT_FALSE(pathExists(localPackage()))
        << "the local package is deleted after a successful installation";
    EXPECT_EQ(readBytes(databasePath()), "");
    EXPECT_TRUE(applicationStarted());
    // The application starts in its own folder, not in the installer's current directory.
    // The application itself starts, in its own folder, not in the installer's current directory, with
    // its quoted path as its whole command line.
    const std::wstring application = codeFolder + L"\\welkara.exe";
    EXPECT_EQ(fromUtf16Bytes(readBytes(codeFolder + L"\\started.txt")),
              application + L"\n" + codeFolder + L"\n\"" + application + L"\"\n");
    wchar_t after[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, after);
    EXPECT_STREQ(after, before);
}

class InstallerDownloadTest : public InstallerThreadTest {
  protected:
    void SetUp() override {
        InstallerThreadTest::SetUp();
        ASSERT_TRUE(store.load(exeFolder() + L"\\store")) << "the package store fixture is not running";
        ASSERT_TRUE(store.putPackage(L"package.7z", readBytes(package(L"package.7z"))));
    }
    testsupport::PackageStore store;
};

TEST_F(InstallerDownloadTest, InstallsADownloadedPackageWithTheOptions) {
    makeOldInstallation();
    // A manifest whose settings the options replace: its version, mode and signature play no part.
    writeManifest(L"version=9\r\nmode=x\r\neddsa_signature=AA==\r\n");
    const std::wstring url = store.http + L"/files/package.7z";
    setOption(&urlOverride, url);
    setOption(&signatureOverride, packageSignature(L"package"));
    runInstaller();

    EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_INSTALLED, WM_INSTALLER_CLOSE}));
    EXPECT_EQ(log(), linesUpToDatabase(true) + verifiedLines(url, packageSignature(L"package"), 1) +
                         installLines(true));
    expectNewInstallation();
    EXPECT_TRUE(applicationStarted());
}

TEST_F(InstallerThreadTest, WithoutAManifestTheDefaultUrlIsTriedAndTheDefaultSignatureUsed) {
    runInstaller();
    EXPECT_EQ(messages(), std::vector<UINT>{WM_INSTALLER_ERROR});
    const std::wstring text = log();
    EXPECT_EQ(text.rfind(L"Installer thread started\nCouldn't open " + manifest() + L"\nCreating " +
                             databasePath() + L"\nWill try to install ",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find(L"/welkara-32-devel-latest.7z\n"), std::wstring::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 23), L"Couldn't download file\n");
}

TEST_F(InstallerThreadTest, VerifyOnlyChecksAndStopsBeforeTouchingAnything) {
    makeOldInstallation();
    useLocalPackage(L"package.7z", L"package");
    verifyOnly = true;
    runInstaller();

    EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_VERIFIED, WM_INSTALLER_CLOSE}));
    EXPECT_GE(gapBeforeClose(), 950u);
    EXPECT_LT(gapBeforeClose(), 2400u);
    EXPECT_EQ(log(), linesUpToDatabase(true) +
                         verifiedLines(localPackage(), packageSignature(L"package"), 1) +
                         L"Exiting after successful verification as requested\n");
    expectOldInstallationUntouched();
    EXPECT_TRUE(pathExists(localPackage()));
}

TEST_F(InstallerThreadTest, InvalidSignatureFailsAndLeavesTheCodeFolderAndPackageAlone) {
    for (bool verify : {false, true}) {
        SCOPED_TRACE(verify ? "verify-only" : "install");
        SetUp();
        makeOldInstallation();
        useLocalPackage(L"package.7z", L"damaged");  // a valid signature, but of another file
        verifyOnly = verify;
        runInstaller();

        EXPECT_EQ(messages(), std::vector<UINT>{WM_INSTALLER_ERROR});
        EXPECT_EQ(log(), linesUpToDatabase(true) +
                             verifiedLines(localPackage(), packageSignature(L"damaged"), 0) +
                             L"Couldn't validate file\n");
        expectOldInstallationUntouched();
        EXPECT_TRUE(pathExists(localPackage()));
    }
}

TEST_F(InstallerThreadTest, ZeroBytePackageIsReadAndVerified) {
    useLocalPackage(L"empty.bin", L"empty");
    verifyOnly = true;
    runInstaller();
    EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_VERIFIED, WM_INSTALLER_CLOSE}));
    EXPECT_NE(log().find(L"verify_eddsa: verify result: 1\n"), std::wstring::npos) << log();
}

// The rights that the access list of `path` grants to Everyone (S-1-1-0), read back with
// GetFileSecurityW and GetExplicitEntriesFromAclW; 0 when it grants none.
ACCESS_MASK rightsOfEveryone(const std::wstring& path) {
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed);
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    if (needed == 0 ||
        !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed) ||
        !GetSecurityDescriptorDacl(descriptor.data(), &present, &list, &defaulted) || !present ||
        list == nullptr) {
        return 0;
    }
    ULONG count = 0;
    PEXPLICIT_ACCESS_W entries = nullptr;
    if (GetExplicitEntriesFromAclW(list, &count, &entries) != ERROR_SUCCESS) {
        return 0;
    }
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    ACCESS_MASK rights = 0;
    for (ULONG i = 0; i < count; ++i) {
        if (entries[i].grfAccessMode == GRANT_ACCESS && entries[i].Trustee.TrusteeForm == TRUSTEE_IS_SID &&
            EqualSid(reinterpret_cast<PSID>(entries[i].Trustee.ptstrName), everyone)) {
            rights |= entries[i].grfAccessPermissions;
        }
    }
    FreeSid(everyone);
    LocalFree(entries);
    return rights;
}

constexpr ACCESS_MASK kEveryRightOfAFile =
    FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;

TEST_F(InstallerThreadTest, ExistingDatabaseIsLeftAlone) {
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, databaseFolder.c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(writeBytes(databasePath(), "existing data"));
    useLocalPackage(L"package.7z", L"package");
    verifyOnly = true;
    runInstaller();
    EXPECT_EQ(log().rfind(linesUpToDatabase(false), 0), 0u) << log();
    EXPECT_EQ(readBytes(databasePath()), "existing data");
    EXPECT_NE(rightsOfEveryone(databasePath()) & kEveryRightOfAFile, kEveryRightOfAFile)
        << "the existing file keeps its own access list";
}

// Wine keeps a file's access list only as far as the Unix permission bits carry it: reading it back gives
// entries for SYSTEM, the owner and Everyone, synthesised from those bits. What survives of "every right
// for Everyone" is read, write, execute and delete for Everyone, where a new file's default list gives
// Everyone only read and execute.
TEST_F(InstallerThreadTest, NewDatabaseIsOpenToEveryone) {
    useLocalPackage(L"package.7z", L"package");
    verifyOnly = true;
    runInstaller();
    ASSERT_TRUE(pathExists(databasePath()));
    EXPECT_EQ(rightsOfEveryone(databasePath()) & kEveryRightOfAFile, kEveryRightOfAFile)
        << std::hex << rightsOfEveryone(databasePath());

    const std::wstring plain = databaseFolder + L"\\plain.db";
    ASSERT_TRUE(writeBytes(plain, ""));
    EXPECT_NE(rightsOfEveryone(plain) & kEveryRightOfAFile, kEveryRightOfAFile)
        << "a file with the default list must not pass for an open one";
}

// A run that fails once the code folder is in use, before the swap or part-way through it, leaves the
// installation exactly as it was, the application and the files beside it included, and keeps a local
// package for another try. A missing or foreign extractor (here a working one with bytes added) never
// runs; a signed package that is no archive is refused by the extractor, whose own lines come between
// the invoking line and its exit code; an application file that another program holds open (without
// delete sharing) cannot be moved aside, and what the swap had moved is put back.
TEST_F(InstallerDownloadTest, FailedRunLeavesTheInstallationAsItWas) {
    const std::string pinned = readBytes(extractor());
    const std::wstring invoking = L"extractUpdate: invoking 7za.exe -y -bd x archive.7z\n";
    const std::wstring failed = L"extractUpdateFromFileToCwd failed\nThe previous installation in " + codeFolder +
                                L" was kept\nCouldn't extract file\n";
    const std::wstring notAnArchive = L"extractUpdate: 7za.exe failed with exit code 2\n" + failed;
    struct Case {
        const char* name;
        const wchar_t* package;       // in packages\, with the signature of the same name
        bool download;                // from the store rather than as a local package
        std::string plantedExtractor; // in place of 7za.exe: "" to leave it, "-" for none
        bool holdApplication;
        std::wstring ending;          // of the log, after the python line
        std::wstring quoted;          // a line of 7za.exe's own between the invoking line and the ending
    };
    const Case cases[] = {
        {"missing extractor", L"package.7z", false, "-", false,
         invoking + L"extractUpdate: CreateProcess failed (2)\n" + failed, L""},
        {"planted extractor", L"package.7z", false, pinned + "planted", false,
         invoking + L"extractUpdate: " + extractor() + L" is not the 7za.exe this installer was built with\n" +
             failed,
         L""},
        {"local package that is no archive", L"random.bin", false, "", false, notAnArchive, L"Is not archive"},
        {"download that is no archive", L"random.bin", true, "", false, notAnArchive, L"Is not archive"},
        {"application held open", L"package.7z", false, "", true,
         invoking + L"Couldn't move " + codeFolder + L"\\welkara.exe to " + codeFolder +
             L"\\.installer\\previous\\welkara.exe (32)\nThe previous installation in " + codeFolder +
             L" was put back\nCouldn't remove existing files",
         L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        makeOldInstallation();
        const std::wstring name = c.package;
        const std::wstring signature = name.substr(0, name.find(L'.'));
        const std::wstring url = store.http + L"/files/" + name;
        if (c.download) {
            ASSERT_TRUE(store.putPackage(name, readBytes(package(name))));
            writeManifest(L"version=9\r\n");  // replaced by the options
            setOption(&urlOverride, url);
            setOption(&signatureOverride, packageSignature(signature));
        } else {
            useLocalPackage(name, signature);
        }
        if (!c.plantedExtractor.empty()) {
            ASSERT_TRUE(MoveFileW(extractor().c_str(), (extractor() + L".away").c_str()));
            if (c.plantedExtractor != "-") {
                ASSERT_TRUE(writeBytes(extractor(), c.plantedExtractor));
            }
        }
        HANDLE application = c.holdApplication
                                 ? CreateFileW((codeFolder + L"\\welkara.exe").c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)
                                 : INVALID_HANDLE_VALUE;
        ASSERT_EQ(application != INVALID_HANDLE_VALUE, c.holdApplication);
        runInstaller();
        if (application != INVALID_HANDLE_VALUE) {
            CloseHandle(application);
        }
        if (!c.plantedExtractor.empty()) {
            DeleteFileW(extractor().c_str());
            MoveFileW((extractor() + L".away").c_str(), extractor().c_str());
        }

        EXPECT_EQ(messages(), std::vector<UINT>{WM_INSTALLER_ERROR});
        const std::wstring text = log();
        const std::wstring start = linesUpToDatabase(true) +
                                   verifiedLines(c.download ? url : localPackage(), packageSignature(signature), 1) +
                                   L"Deleting existing Python installation at " + codeFolder + L"\\python\n";
        if (c.quoted.empty()) {
            EXPECT_EQ(text, start + c.ending);
        } else {
            // start, the invoking line, 7za.exe's own lines and the ending
            ASSERT_GE(text.size(), start.size() + invoking.size() + c.ending.size()) << text;
            EXPECT_EQ(text.substr(0, start.size() + invoking.size()), start + invoking);
            EXPECT_EQ(text.substr(text.size() - c.ending.size()), c.ending);
            EXPECT_NE(text.find(L"\nextractUpdate: 7za.exe: " + c.quoted + L"\n", start.size()), std::wstring::npos)
                << text;
        }
        expectOldInstallationUntouched();
        EXPECT_EQ(pathExists(localPackage()), !c.download);
    }
}

// The files are in place, so a launch that fails is reported and the run still counts as installed.
TEST_F(InstallerThreadTest, FailedLaunchIsReportedAndStillCountsAsInstalled) {
    useLocalPackage(L"noapp.7z", L"noapp");
    runInstaller();
    EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_INSTALLED, WM_INSTALLER_CLOSE}));
    const std::wstring application = codeFolder + L"\\welkara.exe";
    EXPECT_NE(log().find(L"Executing " + application + L"\nCreateProcess(" + application + L") failed (2)\n" +
                         L"Installer thread finished victorious and will exit shortly.\n"),
              std::wstring::npos)
        << log();
    EXPECT_FALSE(pathExists(localPackage()));
}

// Anyone may make folders under common application data before the installer runs. A link there
// would have the installer create a file open to Everyone wherever it points; Wine shows a Unix link
// to a folder as a reparse point, which stands here for a junction or a Windows link. (Wine shows a
// link to a file as a plain file, so a link in place of vorlinde.db cannot be told apart here.) A
// database that exists already is only looked at, so it is accepted wherever it is reached.
TEST_F(InstallerThreadTest, LinkOnTheWayToTheDatabaseIsRefusedUnlessTheDatabaseExists) {
    const std::wstring elsewhere = systemFolder(CSIDL_COMMON_APPDATA) + L"\\Elsewhere";
    const std::wstring orvanta = systemFolder(CSIDL_COMMON_APPDATA) + L"\\Orvanta";
    struct Case {
        const char* name;
        std::wstring link;  // made a link to `elsewhere`
        std::wstring existing;  // a database already there, or empty
        std::wstring lines;  // after the manifest line
        std::vector<UINT> messages;
    };
    const std::wstring refused = L": it is a link or junction\nCouldn't create empty database\n";
    const Case cases[] = {
        {"Orvanta is a link", orvanta, L"", L"Refusing the database folder " + orvanta + refused,
         {WM_INSTALLER_ERROR}},
        {"Welkara is a link", databaseFolder, L"", L"Refusing the database folder " + databaseFolder + refused,
         {WM_INSTALLER_ERROR}},
        {"an existing database through a link", databaseFolder, elsewhere + L"\\vorlinde.db",
         L"Database " + databasePath() + L" already exists (which is fine).\n",
         {WM_INSTALLER_VERIFIED, WM_INSTALLER_CLOSE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        removeTree(elsewhere);
        ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
        if (!c.existing.empty()) {
            ASSERT_TRUE(writeBytes(c.existing, "not the installer's"));
        }
        if (c.link == databaseFolder) {
            ASSERT_TRUE(CreateDirectoryW(orvanta.c_str(), nullptr));
        }
        ASSERT_TRUE(testsupport::makeUnixLink(elsewhere, c.link));
        useLocalPackage(L"package.7z", L"package");
        verifyOnly = true;
        runInstaller();
        testsupport::removeUnixLink(c.link);

        EXPECT_EQ(messages(), c.messages);
        const std::wstring text = log();
        EXPECT_EQ(text.substr(0, text.find(L"Will try")),
                  L"Installer thread started\nManifest loaded from " + manifest() + L".\n" + c.lines);
        EXPECT_FALSE(pathExists(elsewhere + L"\\Welkara"));
        EXPECT_EQ(pathExists(elsewhere + L"\\vorlinde.db"), !c.existing.empty());
        if (!c.existing.empty()) {
            EXPECT_EQ(readBytes(c.existing), "not the installer's");
        }
        removeTree(elsewhere);
    }
}

// The log lives where the user's own programs can change things. A link at either folder gets no log
// file where it points; the run goes on as a run without a log.
TEST_F(InstallerThreadTest, LogFolderThatIsALinkGetsNoLog) {
    const std::wstring elsewhere = systemFolder(CSIDL_LOCAL_APPDATA) + L"\\Elsewhere";
    const std::wstring orvanta = systemFolder(CSIDL_LOCAL_APPDATA) + L"\\Orvanta";
    for (const std::wstring& link : {orvanta, orvanta + L"\\Welkara"}) {
        SCOPED_TRACE(testsupport::utf16Bytes(link));
        SetUp();
        removeTree(orvanta);
        removeTree(elsewhere);
        ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((elsewhere + L"\\Welkara").c_str(), nullptr));
        if (link != orvanta) {
            ASSERT_TRUE(CreateDirectoryW(orvanta.c_str(), nullptr));
        }
        ASSERT_TRUE(testsupport::makeUnixLink(link == orvanta ? elsewhere : elsewhere + L"\\Welkara", link));
        useLocalPackage(L"package.7z", L"package");
        verifyOnly = true;
        runInstaller();
        testsupport::removeUnixLink(link);

        EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_VERIFIED, WM_INSTALLER_CLOSE}));
        EXPECT_FALSE(pathExists(elsewhere + L"\\Welkara\\instlog.txt"));
        removeTree(elsewhere);
        removeTree(orvanta);
    }
}

// The code folder cannot be made: a file stands where "Orvanta" should be. The run goes on silently
// past the folder steps and fails when it makes the folder current.
TEST_F(InstallerThreadTest, CodeFolderThatCannotBeCreatedFailsAtSetCurrentDirectory) {
    ASSERT_TRUE(writeBytes(systemFolder(CSIDL_PROGRAM_FILESX86) + L"\\Orvanta", "in the way"));
    useLocalPackage(L"package.7z", L"package");
    runInstaller();
    DeleteFileW((systemFolder(CSIDL_PROGRAM_FILESX86) + L"\\Orvanta").c_str());

    EXPECT_EQ(messages(), std::vector<UINT>{WM_INSTALLER_ERROR});
    EXPECT_EQ(log(), linesUpToDatabase(true) +
                         verifiedLines(localPackage(), packageSignature(L"package"), 1) +
                         L"No existing Python installation at " + codeFolder +
                         L"\\python.\n"
                         L"extractUpdate: Couldn't SetCurrentDirectory (3)\n"
                         L"Couldn't extract file\n");
    EXPECT_TRUE(pathExists(localPackage()));
}

TEST_F(InstallerThreadTest, FailedRemovalLineIsContinuedByTheNextRun) {
    makeOldInstallation();
    useLocalPackage(L"package.7z", L"package");
    // The runtime folder held open without delete sharing cannot be moved aside. (On Windows a file in
    // use inside it is enough to refuse a rename of the folder; Wine renames such a folder all the same,
    // so the folder itself is held here.)
    HANDLE held = CreateFileW((codeFolder + L"\\python").c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    runInstaller();
    CloseHandle(held);
    EXPECT_EQ(messages(), std::vector<UINT>{WM_INSTALLER_ERROR});
    const std::wstring first = log();
    const std::wstring ending =
        L"The previous installation in " + codeFolder + L" was put back\nCouldn't remove existing files";
    ASSERT_GE(first.size(), ending.size());
    EXPECT_EQ(first.substr(first.size() - ending.size()), ending);
    EXPECT_TRUE(pathExists(localPackage()));
    expectOldInstallationUntouched();

    runInstaller();
    EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_INSTALLED, WM_INSTALLER_CLOSE}));
    EXPECT_EQ(log().substr(0, first.size() + 25), first + L"Installer thread started\n");
}

// A run that was interrupted (the installer ended, the machine stopped) leaves its unpacked folder, the
// entries its swap had moved aside, and the record of the swap when it had got that far. The next run
// settles that first, before it changes anything else: a recorded swap is finished, an unrecorded one
// undone. Whether that run then fails (a signed package that is no archive) or succeeds, no whole
// installation is lost, and a success leaves the new installation and nothing else.
TEST_F(InstallerThreadTest, InterruptedRunIsSettledByTheNextRun) {
    const std::wstring own = codeFolder + L"\\.installer";
    const std::wstring src = package(L"src");
    const auto aside = [&](const wchar_t* name) {
        CreateDirectoryW(own.c_str(), nullptr);
        CreateDirectoryW((own + L"\\previous").c_str(), nullptr);
        return MoveFileW((codeFolder + L"\\" + name).c_str(), (own + L"\\previous\\" + name).c_str()) != FALSE;
    };
    const auto unpacked = [&](const wchar_t* name) {
        return SHCreateDirectoryExW(nullptr, (own + L"\\unpacked").c_str(), nullptr) != ERROR_BAD_PATHNAME &&
               testsupport::copyTree(src + L"\\" + name, own + L"\\unpacked\\" + name);
    };
    const auto moved = [&](const wchar_t* name) {
        return testsupport::copyTree(src + L"\\" + name, codeFolder + L"\\" + name);
    };
    const auto record = [&](const std::wstring& text) {
        CreateDirectoryW(own.c_str(), nullptr);
        return writeBytes(own + L"\\swap", utf16Bytes(text));
    };
    const std::wstring allEntries = L"+data\n+python\n+welkara.exe\n";
    struct Case {
        const char* name;
        bool recorded;  // the swap had got as far as its record: the next run finishes it
        std::function<bool()> interrupt;
    };
    const Case cases[] = {
        {"a partly unpacked package", false,
         [&] {
             return SHCreateDirectoryExW(nullptr, (own + L"\\unpacked\\python\\lib").c_str(), nullptr) ==
                        ERROR_SUCCESS &&
                    writeBytes(own + L"\\unpacked\\python\\lib\\runtime.txt", "new ru") &&
                    writeBytes(own + L"\\7za.exe", "a copy of the extractor") && writeBytes(own + L"\\swap.new", "+da");
         }},
        {"the runtime moved aside, unrecorded", false,
         [&] { return unpacked(L"python") && unpacked(L"data") && unpacked(L"welkara.exe") && aside(L"python"); }},
        {"recorded, nothing moved yet", true,
         [&] { return unpacked(L"python") && unpacked(L"data") && unpacked(L"welkara.exe") && record(allEntries); }},
        {"recorded, the application moved aside only", true,
         [&] {
             return unpacked(L"python") && unpacked(L"data") && unpacked(L"welkara.exe") && record(allEntries) &&
                    aside(L"welkara.exe");
         }},
        {"recorded, two of three entries swapped", true,
         [&] {
             return record(allEntries) && aside(L"python") && moved(L"python") && aside(L"data") && moved(L"data") &&
                    unpacked(L"welkara.exe");
         }},
        {"recorded, all swapped, the previous ones not yet removed", true,
         [&] {
             return record(allEntries) && aside(L"python") && moved(L"python") && aside(L"data") && moved(L"data") &&
                    aside(L"welkara.exe") && moved(L"welkara.exe") &&
                    CreateDirectoryW((own + L"\\unpacked").c_str(), nullptr);
         }},
    };
    for (const Case& c : cases) {
        for (bool succeeds : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (succeeds ? ", then a run that succeeds" : ", then one that fails"));
            SetUp();
            makeOldInstallation();
            ASSERT_TRUE(c.interrupt());
            useLocalPackage(succeeds ? L"package.7z" : L"random.bin", succeeds ? L"package" : L"random");
            runInstaller();

            EXPECT_EQ(messages(), succeeds ? (std::vector<UINT>{WM_INSTALLER_INSTALLED, WM_INSTALLER_CLOSE})
                                           : std::vector<UINT>{WM_INSTALLER_ERROR});
            if (succeeds) {
                // Settling is silent: the log is that of any successful run.
                EXPECT_EQ(log(), linesUpToDatabase(true) +
                                     verifiedLines(localPackage(), packageSignature(L"package"), 1) +
                                     installLines(true));
                EXPECT_TRUE(applicationStarted());
            }
            EXPECT_TRUE(sameTree(installed(), succeeds || c.recorded ? newInstallation() : previous));
        }
    }
}

// One run at a time in the code folder. A second run that finds another one at work there, or an
// extractor that a cancelled run left running (it runs on after the installer has ended), ends as an
// error before it changes anything; once the extractor has ended, the next run settles what it left.
// The run at work holds the log, so the second one's lines are seen only when the first has ended.
TEST_F(InstallerThreadTest, SecondRunAtTheSameTimeEndsAsAnErrorAndChangesNothing) {
    const std::wstring busy = L"Installer thread started\nManifest loaded from " + manifest() +
                              L".\nAnother installation is working in " + codeFolder +
                              L"\nCouldn't lock the code folder\n";
    for (bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "an extractor left by a cancelled run" : "a run at work");
        SetUp();
        makeOldInstallation();
        useLocalPackage(L"large.7z", L"large");
        PROCESS_INFORMATION first = startRunner(exeFolder());
        ASSERT_TRUE(logShows(cancelled ? L"extractUpdate: invoking" : L"Verifying with base64 signature"));
        if (cancelled) {
            // Once the large file appears, the extractor is writing it.
            const std::wstring large = codeFolder + L"\\.installer\\unpacked\\data\\large.bin";
            for (int i = 0; i < 30000 && !pathExists(large); ++i) {
                Sleep(1);
            }
            ASSERT_TRUE(pathExists(large));
            endRunner(&first, true);
        }
        const std::wstring before = log();
        runInstaller();
        EXPECT_EQ(messages(), std::vector<UINT>{WM_INSTALLER_ERROR});
        if (cancelled) {
            EXPECT_EQ(log().substr(before.size()), busy);
            // The cancelled run's extractor writes into the installer's own folder, nowhere else.
            Tree installation = installed();
            for (auto entry = installation.begin(); entry != installation.end();) {
                entry = entry->first.rfind(L".installer", 0) == 0 ? installation.erase(entry) : std::next(entry);
            }
            EXPECT_TRUE(sameTree(installation, previous));
            // Once the extractor has ended (its lock file goes with it), a run settles what it left.
            for (int i = 0; i < 600 && pathExists(codeFolder + L"\\.installer\\lock"); ++i) {
                Sleep(100);
            }
            useLocalPackage(L"package.7z", L"package");
            runInstaller();
            EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_INSTALLED, WM_INSTALLER_CLOSE}));
            expectNewInstallation();
        } else {
            endRunner(&first, false);
            EXPECT_NE(log().find(L"Installer thread finished victorious"), std::wstring::npos) << log();
            Tree expected = treeContents(package(L"src"));
            expected[L"notes.txt"] = previous.at(L"notes.txt");
            expected[L"data\\large.bin"] = std::string(128 << 20, '\0');
            EXPECT_TRUE(sameTree(installed(), expected));
        }
    }
}

// The installer is started through a folder link (a Downloads folder that is a junction), which its
// owner repoints at a folder holding another 7za.exe (the test application, which leaves a marker
// when it runs) once the run has checked the extractor. The other program never runs: the run
// installs the signed package with the extractor it checked, or fails with the installation whole.
TEST_F(InstallerThreadTest, ExtractorFolderRepointedAfterTheCheckIsNotWhatRuns) {
    makeOldInstallation();
    useLocalPackage(L"large.7z", L"large");
    // Beside this executable's folder, not in it: Wine does not follow a link that leads back up to a
    // folder above it.
    const std::wstring via = exeFolder() + L"-via";
    const std::wstring other = exeFolder() + L"\\other";
    removeTree(other);
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(package(L"src\\welkara.exe").c_str(), (other + L"\\7za.exe").c_str(), FALSE));
    testsupport::removeUnixLink(via);
    ASSERT_TRUE(testsupport::makeUnixLink(exeFolder(), via));

    PROCESS_INFORMATION runner = startRunner(via);
    const bool checked = logShows(L"Deleting existing Python installation at ");
    testsupport::removeUnixLink(via);
    ASSERT_TRUE(testsupport::makeUnixLink(other, via));
    endRunner(&runner, false);
    testsupport::removeUnixLink(via);
    ASSERT_TRUE(checked) << log();

    EXPECT_FALSE(pathExists(other + L"\\started.txt")) << "the other 7za.exe ran";
    const std::wstring text = log();
    if (text.find(L"Installer thread finished victorious") != std::wstring::npos) {
        EXPECT_EQ(treeContents(codeFolder).count(L"data\\large.bin"), 1u);
        EXPECT_EQ(readBytes(codeFolder + L"\\python\\lib\\runtime.txt"), "new runtime\n");
    } else {
        expectOldInstallationUntouched();
    }
    removeTree(other);
}

TEST_F(InstallerThreadTest, RunWhoseLogCannotBeOpenedBehavesTheSame) {
    makeOldInstallation();
    useLocalPackage(L"package.7z", L"package");
    ASSERT_EQ(
        SHCreateDirectoryExW(nullptr, (systemFolder(CSIDL_LOCAL_APPDATA) + L"\\Orvanta\\Welkara").c_str(),
                             nullptr) == ERROR_SUCCESS ||
            GetLastError() == ERROR_ALREADY_EXISTS,
        true);
    HANDLE holder = CreateFileW(logFilePath().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    runInstaller();
    CloseHandle(holder);

    EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_INSTALLED, WM_INSTALLER_CLOSE}));
    EXPECT_EQ(readBytes(logFilePath()), "");
    expectNewInstallation();
    EXPECT_FALSE(pathExists(localPackage()));
    EXPECT_TRUE(applicationStarted());
}

// The local package's name comes from a file that whoever can write the installer's folder can
// change. A name that leads out of that folder is refused before anything is read, and the file it
// names (a genuine signed package) is neither installed nor deleted.
TEST_F(InstallerThreadTest, LocalPackageNameThatLeavesTheFolderIsRefused) {
    const std::wstring parent = exeFolder().substr(0, exeFolder().rfind(L'\\'));
    const std::wstring sub = exeFolder() + L"\\sub";
    struct Case {
        std::wstring name;   // as the manifest gives it
        std::wstring file;   // where a signed package lies that it would reach, or empty
    };
    const Case cases[] = {
        {L"sub\\local.7z", sub + L"\\local.7z"},
        {L"sub/local.7z", sub + L"\\local.7z"},
        {L"..\\local.7z", parent + L"\\local.7z"},
        {sub + L"\\local.7z", sub + L"\\local.7z"},
        {L"\\\\127.0.0.1\\share\\local.7z", L""},
        {L"local.7z:stream", localPackage()},
        {L"..", L""},
    };
    CreateDirectoryW(sub.c_str(), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(testsupport::utf16Bytes(c.name));
        SetUp();
        if (!c.file.empty()) {
            ASSERT_TRUE(CopyFileW(package(L"package.7z").c_str(), c.file.c_str(), FALSE));
        }
        writeManifest(L"local_update_filename=" + c.name + L"\r\neddsa_signature=" + packageSignature(L"package") +
                      L"\r\n");
        runInstaller();

        EXPECT_EQ(messages(), std::vector<UINT>{WM_INSTALLER_ERROR});
        EXPECT_EQ(log(), linesUpToDatabase(true) + L"Refusing the local package name " + c.name +
                             L": only a file name in the installer's folder is taken\n"
                             L"Couldn't load local update\n");
        if (!c.file.empty()) {
            EXPECT_TRUE(pathExists(c.file)) << "the file it named was deleted";
            DeleteFileW(c.file.c_str());
        }
        EXPECT_FALSE(pathExists(codeFolder + L"\\welkara.exe"));
    }
    removeTree(sub);
}

TEST_F(InstallerThreadTest, LocalPackageThatCannotBeOpenedIsReported) {
    writeManifest(L"local_update_filename=missing.7z\r\n");
    runInstaller();
    EXPECT_EQ(messages(), std::vector<UINT>{WM_INSTALLER_ERROR});
    const std::wstring path = exeFolder() + L"\\missing.7z";
    EXPECT_EQ(log(), linesUpToDatabase(true) + L"Will try to install " + path + L"\nFailed to open file: " +
                         path + L"\nCouldn't load local update\n");
}

TEST_F(InstallerThreadTest, LocalPackageNameTooLongForAPathIsRefused) {
    writeManifest(L"local_update_filename=" + std::wstring(300, L'n') + L".7z\r\n");
    runInstaller();
    EXPECT_EQ(messages(), std::vector<UINT>{WM_INSTALLER_ERROR});
    EXPECT_EQ(log(), linesUpToDatabase(true) + L"Couldn't generate local update pathname\n");
}

// An empty /url: value is a URL like any other that cannot be fetched.
TEST_F(InstallerThreadTest, EmptyUrlOptionFailsAsAUrlThatCannotBeOpened) {
    writeManifest(L"version=9\r\n");
    ParseCommandLine(u"/url: /eddsa_signature:AA==");  // an empty value needs something after it
    runInstaller();
    EXPECT_EQ(messages(), std::vector<UINT>{WM_INSTALLER_ERROR});
    EXPECT_EQ(log(), linesUpToDatabase(true) +
                         L"Will try to install \nInternetOpenURL failed\nCouldn't download file\n");
}

// File names are compared as the file system compares them: a manifest or a local package whose name
// on disk differs in case from the one asked for is still the one found and checked.
TEST_F(InstallerThreadTest, NamesThatDifferInCaseAreStillFound) {
    struct Case {
        const wchar_t* manifestOnDisk;
        const wchar_t* packageOnDisk;  // the manifest names "local.7z"
    };
    for (const Case& c : {Case{L"MANIFEST", L"local.7z"}, Case{L"manifest", L"LOCAL.7Z"}}) {
        SCOPED_TRACE(utf16Bytes(std::wstring(c.manifestOnDisk) + L" " + c.packageOnDisk));
        SetUp();
        ASSERT_TRUE(CopyFileW(package(L"package.7z").c_str(), (exeFolder() + L"\\" + c.packageOnDisk).c_str(), FALSE));
        ASSERT_TRUE(writeBytes(exeFolder() + L"\\" + c.manifestOnDisk,
                               utf16Bytes(L"local_update_filename=local.7z\r\neddsa_signature=" +
                                          packageSignature(L"package") + L"\r\n")));
        verifyOnly = true;
        runInstaller();
        EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_VERIFIED, WM_INSTALLER_CLOSE}));
        EXPECT_EQ(log(), linesUpToDatabase(true) + verifiedLines(localPackage(), packageSignature(L"package"), 1) +
                             L"Exiting after successful verification as requested\n");
    }
}

// From its read to its deletion the local package is held without sharing: while a run works, nobody
// can write it, rename it or delete it, so the bytes that were checked are the bytes of the file the
// run deletes.
TEST_F(InstallerThreadTest, LocalPackageCannotBeChangedWhileARunHoldsIt) {
    useLocalPackage(L"large.7z", L"large");
    PROCESS_INFORMATION runner = startRunner(exeFolder());
    ASSERT_TRUE(logShows(L"Verifying with base64 signature"));
    const std::wstring path = localPackage(), moved = localPackage() + L".moved";
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD writeError = GetLastError();
    const bool renamed = MoveFileW(path.c_str(), moved.c_str());
    const DWORD renameError = GetLastError();
    const bool deleted = DeleteFileW(path.c_str());
    const DWORD deleteError = GetLastError();
    const bool stillWorking = log().find(L"Installer thread finished") == std::wstring::npos;
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
    }
    endRunner(&runner, false);
    DeleteFileW(moved.c_str());
    ASSERT_TRUE(stillWorking) << "the run ended before the tries: they show nothing";
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(renamed);
    EXPECT_EQ(renameError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(deleted);
    EXPECT_EQ(deleteError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_NE(log().find(L"Installer thread finished victorious"), std::wstring::npos) << log();
    EXPECT_FALSE(pathExists(path)) << "deleted after the installation";
}

#else  // WELKARA_TEST_REFUSE_DELETE_ACCESS

// This build's file system refuses the right to delete the local package, as a write-protected disc or
// stick or a read-only share does. The package is read all the same: installed (and then reported as
// not deleted) or verified, where the right to delete is never asked for.
TEST_F(InstallerThreadTest, LocalPackageThatCannotBeDeletedIsReadAllTheSame) {
    for (bool verify : {false, true}) {
        SCOPED_TRACE(verify ? "verify-only" : "install");
        SetUp();
        useLocalPackage(L"package.7z", L"package");
        verifyOnly = verify;
        runInstaller();

        const std::wstring verified =
            linesUpToDatabase(true) + verifiedLines(localPackage(), packageSignature(L"package"), 1);
        if (verify) {
            EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_VERIFIED, WM_INSTALLER_CLOSE}));
            EXPECT_EQ(log(), verified + L"Exiting after successful verification as requested\n");
        } else {
            EXPECT_EQ(messages(), (std::vector<UINT>{WM_INSTALLER_INSTALLED, WM_INSTALLER_CLOSE}));
            EXPECT_EQ(log(), verified +
                                 L"No existing Python installation at " + codeFolder + L"\\python.\n"
                                 L"extractUpdate: invoking 7za.exe -y -bd x archive.7z\n"
                                 L"Executing " + codeFolder + L"\\welkara.exe\n"
                                 L"Couldn't delete the local package " + localPackage() +
                                 L": it could be opened for reading only\n"
                                 L"Installer thread finished victorious and will exit shortly.\n");
            expectNewInstallation();
        }
        EXPECT_TRUE(pathExists(localPackage()));
    }
}

#endif

}  // namespace
