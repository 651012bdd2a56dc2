// The harness of the Wine tests that run whole installations, over the installation fixture: the
// installer thread run in this process with its reports recorded, installer_runner.exe (or a build of
// it with test hooks) started beside the test, an older installation to update and the tree that
// installing a package over it must leave, the log's lines as a run writes them, and the identity of
// files and folders, with holders that keep them open as other programs do. The installer thread's
// entry is not built in: a test executable links the installation it runs (welkara_installation or
// one built with test hooks) after this library.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "install/files/holders.h"
#include "install/installer_messages.h"
#include "install/installer_thread.h"
#include "tests/support/installation_fixture.h"

namespace testsupport {

// A folder's tree by relative path (as treeContents gives it) and the messages a run reported.
using Tree = std::map<std::wstring, std::string>;
using Reports = std::vector<UINT>;
inline const Reports kInstalled = {WM_INSTALLER_INSTALLED, WM_INSTALLER_CLOSE};
inline const Reports kVerified = {WM_INSTALLER_VERIFIED, WM_INSTALLER_CLOSE};
inline const Reports kError = {WM_INSTALLER_ERROR};
inline const Reports kRemoved = {WM_INSTALLER_REMOVED, WM_INSTALLER_CLOSE};

// `text` with the stamp of every run's work folder ("run-" and 16 hexadecimal digits) written "{stamp}".
std::wstring unstamped(std::wstring text);
// The code folder's tree without the installer's own folder.
Tree withoutOwnFolder(Tree tree);
// Equal trees, or the paths in which they differ (the bytes themselves are too many to print).
::testing::AssertionResult sameTree(const Tree& actual, const Tree& expected);

// What tells one file or folder from another: its volume and its index there (under Wine its Unix
// inode), with the number of names it has. `found` is false when it could not be opened.
struct FileIdentity {
    bool found = false;
    DWORD volume = 0;
    ULONGLONG index = 0;
    DWORD links = 0;
};
// Read through a handle that asks for no rights at all, so that no holder's share mode refuses it.
FileIdentity fileIdentity(const std::wstring& path);
FileIdentity fileIdentity(HANDLE handle);
// Success when both were found and are one file; else which one was missing, or both identities.
::testing::AssertionResult sameFile(const FileIdentity& actual, const FileIdentity& expected);
// The file or folder at `path` opened with `access` and `share` (a folder with backup semantics), as
// another program holds it while a run works; invalid when it could not be opened.
OwnedHandle hold(const std::wstring& path, DWORD access, DWORD share);

class InstallerHarness : public InstallationFixture {
  public:
    struct Report {
        UINT message;
        ULONGLONG at;  // GetTickCount64 when it arrived
    };

  protected:
    void SetUp() override;
    void TearDown() override;

    // What the command line would ask: the strings stay here while the run uses them.
    void askFor(const std::wstring& url, const std::wstring& signature);
    // `text` with {code}, {extractor}, {local} and {exe} replaced by those paths.
    std::wstring expand(std::wstring text) const;

    // An existing installation: a runtime, data and the application, and files that the application
    // wrote and no package holds: beside them, in the data folder and in a folder of its own there. Its
    // tree is kept in `previous`.
    void makeOldInstallation();

    // Runs the installer thread (its real entry, with the request) to its end, pumping the receiver's
    // messages meanwhile.
    void runInstaller();
    // A run with packages\NAME as the local package and packages\SIGNATURE.sig's signature.
    void runLocalPackage(const std::wstring& name, const std::wstring& signature, bool verifyOnly = false);
    void verifyLocalPackage() { runLocalPackage(L"package.7z", L"package", true); }

    // The messages of the last run, and the time between its last two.
    Reports messages() const;
    ULONGLONG gapBeforeClose() const;

    // The log's lines: the whole log, its start up to the database line, the check of a package, a
    // checked local package and the lines of an installation from the runtime's line on.
    static std::wstring log() { return installLog(); }
    std::wstring linesUpToDatabase(bool created) const;
    std::wstring verifiedLines(const std::wstring& source, const std::wstring& signature, int result) const;
    std::wstring localVerified(const std::wstring& signatureName = L"package") const;
    std::wstring installLines(bool oldRuntime, const std::wstring& afterLaunch = L"") const;

    // The code folder as it is, without the marker that the test application leaves when it starts
    // and without the uninstaller (nor the installer's folder when it holds nothing else).
    Tree installed() const;
    // What installing the package whose tree is packages\SOURCE leaves: that tree unpacked over the
    // previous installation once its runtime is gone. The package's files replace those of the same
    // path, and everything else stays, at any depth, unless the package has a file where it lies.
    Tree newInstallation(const std::wstring& source = L"src") const;
    void expectNewInstallation() const { EXPECT_TRUE(sameTree(installed(), newInstallation())); }
    void expectOldInstallationUntouched() const { EXPECT_TRUE(sameTree(installed(), previous)); }

    // Starts installer_runner.exe (or `program`), reached through `folder` (this executable's folder
    // or a link to it), with `arguments` (" /uninstall", " /unattended") after its name.
    static PROCESS_INFORMATION startRunner(const std::wstring& folder,
                                           const std::wstring& program = L"installer_runner.exe",
                                           const std::wstring& arguments = L"");
    // Waits up to two minutes for it to end, ending it first when `terminate` says so.
    static void endRunner(PROCESS_INFORMATION* runner, bool terminate);
    // Waits up to a minute for `text` in the log.
    static bool logShows(const std::wstring& text);

    InstallRequest request;
    Tree previous;  // the code folder as makeOldInstallation left it
    std::vector<Report> reports;

  private:
    std::wstring url_, signature_;
};

}  // namespace testsupport
