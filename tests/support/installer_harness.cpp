// The installer harness: the report receiver that the installer thread posts to, the runs, the log's
// expected lines, the trees and the identities of files (see installer_harness.h).
#include "tests/support/installer_harness.h"

#include <shlobj.h>

#include <cwchar>
#include <utility>

#include "install/run_facts.h"

namespace testsupport {

namespace {

// The reports of the running test, where the receiver's window procedure puts them.
std::vector<InstallerHarness::Report>* receivedReports = nullptr;

LRESULT CALLBACK receiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_INSTALLER_INSTALLED && message <= WM_INSTALLER_REMOVED) {
        receivedReports->push_back({message, GetTickCount64()});
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

Tree withoutOwnFolder(Tree tree) {
    for (auto entry = tree.begin(); entry != tree.end();) {
        entry = entry->first.rfind(L".installer", 0) == 0 ? tree.erase(entry) : std::next(entry);
    }
    return tree;
}

std::wstring unstamped(std::wstring text) {
    for (size_t at = text.find(L"\\run-"); at != std::wstring::npos; at = text.find(L"\\run-", at + 1)) {
        if (text.size() - at >= 21 && text.find_first_not_of(L"0123456789abcdef", at + 5) >= at + 21) {
            text.replace(at + 5, 16, L"{stamp}");
        }
    }
    return text;
}

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

FileIdentity fileIdentity(HANDLE handle) {
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION information;
    if (handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &information)) {
        identity.found = true;
        identity.volume = information.dwVolumeSerialNumber;
        identity.index =
            (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
        identity.links = information.nNumberOfLinks;
    }
    return identity;
}

FileIdentity fileIdentity(const std::wstring& path) {
    const OwnedHandle opened(CreateFileW(path.c_str(), 0,  // dwDesiredAccess: none, only what identifies it
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));  // hTemplateFile
    return fileIdentity(opened.get());
}

::testing::AssertionResult sameFile(const FileIdentity& actual, const FileIdentity& expected) {
    if (!actual.found || !expected.found) {
        return ::testing::AssertionFailure() << (actual.found ? "the earlier one" : "it") << " was not found";
    }
    if (actual.volume != expected.volume || actual.index != expected.index) {
        return ::testing::AssertionFailure()
               << "another file: index " << actual.index << " on " << actual.volume << ", was "
               << expected.index << " on " << expected.volume;
    }
    return ::testing::AssertionSuccess();
}

OwnedHandle hold(const std::wstring& path, DWORD access, DWORD share) {
    return OwnedHandle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS,  // a folder too
                                   nullptr));                   // hTemplateFile
}

void InstallerHarness::SetUp() {
    InstallationFixture::SetUp();
    receivedReports = &reports;
    request = InstallRequest{};
    chooseFromFacts(gatherRunFacts(false), &request);
}

void InstallerHarness::TearDown() {
    InstallationFixture::TearDown();
    // A test that took the extractor away, or put another in its place, has the real one back.
    if (pathExists(extractor() + L".away")) {
        DeleteFileW(extractor().c_str());
        MoveFileW((extractor() + L".away").c_str(), extractor().c_str());
    }
}

void InstallerHarness::askFor(const std::wstring& url, const std::wstring& signature) {
    url_ = url;
    signature_ = signature;
    request.urlOverride = url_.c_str();
    request.signatureOverride = signature_.c_str();
}

std::wstring InstallerHarness::expand(std::wstring text) const {
    const std::pair<const wchar_t*, std::wstring> places[] = {{L"{code}", codeFolder},
                                                              {L"{extractor}", extractor()},
                                                              {L"{local}", localPackage()},
                                                              {L"{exe}", exeFolder()}};
    for (const auto& [name, value] : places) {
        for (size_t at = text.find(name); at != std::wstring::npos; at = text.find(name, at + value.size())) {
            text.replace(at, wcslen(name), value);
        }
    }
    return text;
}

void InstallerHarness::makeOldInstallation() {
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, (codeFolder + L"\\python\\lib").c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, (codeFolder + L"\\data\\cache\\nested").c_str(), nullptr),
              ERROR_SUCCESS);
    for (const auto& [name, text] : {std::pair{L"python\\lib\\old.txt", "old runtime\n"},
                                     {L"data\\readme.txt", "old readme\n"},
                                     {L"data\\user.cfg", "the user's settings\n"},
                                     {L"data\\cache\\nested\\deep.bin", "kept deep down\n"},
                                     {L"welkara.exe", "old application\n"},
                                     {L"notes.txt", "not the package's\n"}}) {
        ASSERT_TRUE(writeBytes(codeFolder + L"\\" + name, text));
    }
    previous = treeContents(codeFolder);
}

void InstallerHarness::runInstaller() {
    reports.clear();
    WNDCLASSW receiverClass = {};
    receiverClass.lpfnWndProc = receiverProc;
    receiverClass.hInstance = GetModuleHandleW(nullptr);
    receiverClass.lpszClassName = L"WelkaraTestReceiver";
    RegisterClassW(&receiverClass);
    InstallerThreadStart start;
    start.window = CreateWindowExW(0, L"WelkaraTestReceiver", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
    start.request = request;
    ASSERT_NE(start.window, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, InstallerThreadProc, &start, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    DWORD woke = WAIT_TIMEOUT;
    do {
        woke = MsgWaitForMultipleObjects(1, &thread, FALSE, 120000, QS_ALLINPUT);
        ASSERT_NE(woke, static_cast<DWORD>(WAIT_TIMEOUT))
            << "the installer thread did not end within two minutes";
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    } while (woke != WAIT_OBJECT_0);
    CloseHandle(thread);
    DestroyWindow(start.window);
}

void InstallerHarness::runLocalPackage(const std::wstring& name, const std::wstring& signature,
                                       bool verifyOnly) {
    useLocalPackage(name, signature);
    request.verifyOnly = verifyOnly;
    runInstaller();
}

Reports InstallerHarness::messages() const {
    Reports out;
    for (const Report& report : reports) {
        out.push_back(report.message);
    }
    return out;
}

ULONGLONG InstallerHarness::gapBeforeClose() const {
    return reports.size() >= 2 ? reports.back().at - reports[reports.size() - 2].at : 0;
}

std::wstring InstallerHarness::linesUpToDatabase(bool created) const {
    return L"Installer thread started\nManifest loaded from " + manifest() + L".\n" +
           (created ? L"Creating " + databasePath() + L"\n"
                    : L"Database " + databasePath() + L" already exists (which is fine).\n");
}

std::wstring InstallerHarness::verifiedLines(const std::wstring& source, const std::wstring& signature,
                                             int result) const {
    return L"Will try to install " + source + L"\nVerifying with base64 signature " + signature +
           L"\nverify_eddsa: verify result: " + std::to_wstring(result) + L"\n";
}

std::wstring InstallerHarness::localVerified(const std::wstring& signatureName) const {
    return linesUpToDatabase(true) + verifiedLines(localPackage(), packageSignature(signatureName), 1);
}

std::wstring InstallerHarness::installLines(bool oldRuntime, const std::wstring& afterLaunch) const {
    return (oldRuntime ? L"Deleting existing Python installation at " + codeFolder + L"\\python\n"
                       : L"No existing Python installation at " + codeFolder + L"\\python.\n") +
           L"extractUpdate: invoking 7za.exe -y -bd x archive.7z\nExecuting " + codeFolder +
           L"\\welkara.exe\n" + afterLaunch +
           L"Installer thread finished victorious and will exit shortly.\n";
}

Tree InstallerHarness::installed() const {
    Tree tree = treeContents(codeFolder);
    tree.erase(L"started.txt");
    // The uninstaller that every installation keeps; anything else in the installer's folder stays.
    tree.erase(L".installer\\Installer.exe");
    const auto own = tree.find(L".installer");
    if (own != tree.end() &&
        (std::next(own) == tree.end() || std::next(own)->first.rfind(L".installer\\", 0) != 0)) {
        tree.erase(own);
    }
    return tree;
}

Tree InstallerHarness::newInstallation(const std::wstring& source) const {
    Tree tree = treeContents(package(source));
    for (const auto& [path, bytes] : previous) {
        bool shadowed = path == L"python" || path.rfind(L"python\\", 0) == 0 || tree.count(path) != 0;
        for (size_t at = path.find(L'\\'); at != std::wstring::npos && !shadowed;
             at = path.find(L'\\', at + 1)) {
            const auto above = tree.find(path.substr(0, at));
            shadowed = above != tree.end() && above->second != "<folder>";
        }
        if (!shadowed) {
            tree[path] = bytes;
        }
    }
    return tree;
}

PROCESS_INFORMATION InstallerHarness::startRunner(const std::wstring& folder, const std::wstring& program,
                                                  const std::wstring& arguments) {
    PROCESS_INFORMATION runner = {};
    EXPECT_TRUE(startProcess(L"\"" + folder + L"\\" + program + L"\"" + arguments, &runner))
        << "error " << GetLastError();
    return runner;
}

void InstallerHarness::endRunner(PROCESS_INFORMATION* runner, bool terminate) {
    if (terminate) {
        TerminateProcess(runner->hProcess, 99);
    }
    EXPECT_EQ(closeProcess(runner, 120000), WAIT_OBJECT_0);
}

bool InstallerHarness::logShows(const std::wstring& text) {
    return waitFor(60000, 1, [&] { return log().find(text) != std::wstring::npos; });
}

}  // namespace testsupport
