// The installation sequence. Each step answers a result of its own, and the sequence alone turns a
// failure into the run's one final log line (install/final_lines.h) and WM_INSTALLER_ERROR; a successful
// run ends with WM_INSTALLER_INSTALLED (or WM_INSTALLER_VERIFIED in a verify-only run), a pause, and
// WM_INSTALLER_CLOSE. Everything the run obtained is released at its end, whichever way it ends.
//
// Folders, each a system folder with "Orvanta\Welkara" beneath it:
//   code folder      Program Files (x86): the installation ("python", "welkara.exe" and whatever else
//                    the package holds), updated all or nothing by one run at a time (see CodeFolder)
//   database folder  common application data: "vorlinde.db", created empty and open to everyone
//   log folder       local application data: "instlog.txt" (see InstallLog)
// and the installer folder, where the running executable lies: "manifest", "7za.exe", a local package.
#include "install/installer_thread.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <memory>

#include "install/application_start.h"
#include "install/code_folder/code_folder.h"
#include "install/database.h"
#include "install/download.h"
#include "install/extract.h"
#include "install/final_lines.h"
#include "install/install_log.h"
#include "install/files/installer_folder.h"
#include "install/installer_messages.h"
#include "install/local_package.h"
#include "install/package_bytes.h"
#include "install/manifest.h"
#include "install/files/safe_files.h"
#include "install/own_image.h"
#include "install/uninstall_entry.h"
#include "install/verify_eddsa.h"

namespace {

constexpr DWORD kPauseAfterInstall = 2500;  // milliseconds before WM_INSTALLER_CLOSE
constexpr DWORD kPauseAfterVerify = 1000;

// Finds the code folder and, when `make`, makes sure it exists; path holds MAX_PATH. Only the folder
// lookup and the path's length can fail: folders that exist already are fine, and a folder that cannot
// be created shows up later, when something inside it is used. Standard users cannot write beneath
// Program Files, so nothing here guards against links.
bool codeFolderPath(wchar_t* path, bool make) {
    if (SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, path) < 0) {
        return false;
    }
    for (const wchar_t* name : {L"Orvanta", L"Welkara"}) {
        if (!PathAppendW(path, name)) {
            return false;
        }
        if (make) {
            CreateDirectoryW(path, nullptr);  // lpSecurityAttributes: default security
        }
    }
    return true;
}

// Everything a run holds, released on every way out: after the final line has been written and
// reported, so that a failure is known at once, however long cleaning up takes.
struct Run {
    Run(HWND reportTo, const InstallRequest& asked, std::atomic<Outcome>* ended)
        : request(asked), window(reportTo), outcome(ended) {}
    const InstallRequest& request;
    InstallLog log;
    std::unique_ptr<Manifest, decltype(&releaseManifest)> manifest{nullptr, releaseManifest};
    wchar_t localPath[MAX_PATH] = {};  // empty for a download
    LocalPackage localPackage;         // held open from its read to its deletion
    PackageBytes package;
    PinnedExtractor extractor;
    OwnImage image;   // the uninstaller kept in the code folder
    CodeFolder code;  // locked from the first change to the code folder to the end of the swap
    HWND window;
    std::atomic<Outcome>* outcome;

    // Posts `message` to the window, once `ended` is where the window's owner will look for it.
    void report(UINT message, Outcome ended) const {
        if (outcome != nullptr) {
            outcome->store(ended);
        }
        PostMessageW(window, message, 0, 0);
    }
};

// The run's first line, and why nobody waits for it when that is so.
void writeFirstLines(Run& run, const wchar_t* first) {
    run.log.write(L"%ls", first);
    if (run.request.unattendedReason != nullptr) {
        run.log.write(
            L"Running unattended (%ls): nothing waits for a person and the application is not started\n",
            run.request.unattendedReason);
    }
}

// How obtaining the package went: it is held; the download failed; the local package's path could not
// be built; or the local package was refused or could not be read.
enum class Obtained { held, notDownloaded, noLocalPath, notLoaded };

// The package bytes: the local package that the manifest names (a bare file name beside the
// installer), or else the download of `url`.
Obtained obtainPackage(Run& run, const wchar_t* url) {
    InstallLog& log = run.log;
    const wchar_t* name = lookupManifest(run.manifest.get(), wide(manifestKeyLocalUpdateFilename),
                                         wide(defaultLocalUpdateFilename));
    if (name[0] == L'\0') {
        log.write(L"Will try to install %ls\n", url != nullptr ? url : L"");
        return downloadUpdate(log, url, &run.package) ? Obtained::held : Obtained::notDownloaded;
    }
    // The name comes from a file that whoever can write the installer's folder can change: it may name
    // nothing outside that folder.
    if (!isBareFileName(name)) {
        log.write(
            L"Refusing the local package name %ls: only a file name in the installer's folder is taken\n",
            name);
        return Obtained::notLoaded;
    }
    wchar_t folder[MAX_PATH];
    if (!installerFolder(folder) || !joinPath(run.localPath, folder, name)) {
        return Obtained::noLocalPath;
    }
    log.write(L"Will try to install %ls\n", run.localPath);
    // A verify-only run never deletes it, so it does not ask for the right to.
    return run.localPackage.read(log, folder, name, run.localPath, !run.request.verifyOnly, &run.package)
               ? Obtained::held
               : Obtained::notLoaded;
}

// The final lines of the steps that answer their own results; null when the run goes on.
const wchar_t* failureOf(DatabaseState state) {
    switch (state) {
        case DatabaseState::ready:
            return nullptr;
        case DatabaseState::noPath:
            return finalLine::kNoDatabasePath;
        case DatabaseState::failed:
            break;
    }
    return finalLine::kNoDatabase;
}

const wchar_t* failureOf(Obtained obtained) {
    switch (obtained) {
        case Obtained::held:
            return nullptr;
        case Obtained::notDownloaded:
            return finalLine::kNoDownload;
        case Obtained::noLocalPath:
            return finalLine::kNoLocalUpdatePath;
        case Obtained::notLoaded:
            break;
    }
    return finalLine::kNoLocalUpdate;
}

// A failure at the runtime ends where a run that could not remove it always has.
const wchar_t* failureOf(CodeFolder::Replacement replaced) {
    switch (replaced) {
        case CodeFolder::Replacement::done:
            return nullptr;
        case CodeFolder::Replacement::runtimeFailed:
            return finalLine::kNotRemoved;
        case CodeFolder::Replacement::failed:
            break;
    }
    return finalLine::kNotExtracted;
}

// The steps up to the report. Returns the final line of a failure, or null after a success (the
// reports of a success are posted here).
const wchar_t* install(Run& run) {
    InstallLog& log = run.log;
    const InstallRequest& request = run.request;
    writeFirstLines(run, L"Installer thread started\n");
    // Every path inside the code folder that is used is built here, so that none is ever used cut short.
    wchar_t codeFolder[MAX_PATH];
    wchar_t runtime[MAX_PATH];
    wchar_t application[MAX_PATH];
    const bool codePaths = codeFolderPath(codeFolder, true) && joinPath(runtime, codeFolder, L"python") &&
                           joinPath(application, codeFolder, L"welkara.exe") && run.code.setPath(codeFolder);
    // An update that an interrupted run left part-way is finished or undone before any step that can
    // fail, so that nobody starts a half-updated application whatever this run does next.
    if (codePaths && !request.verifyOnly && !run.code.heal(log)) {
        return finalLine::kNotRecovered;
    }
    run.manifest.reset(loadManifest(log));
    const wchar_t* url =
        request.urlOverride != nullptr ? request.urlOverride : buildUpdateUrl(run.manifest.get());
    if (!codePaths) {
        return finalLine::kNoCodePath;
    }
    const wchar_t* failure = failureOf(prepareDatabase(log));
    failure = failure != nullptr ? failure : failureOf(obtainPackage(run, url));
    if (failure != nullptr) {
        return failure;
    }
    const wchar_t* signature = request.signatureOverride != nullptr
                                   ? request.signatureOverride
                                   : lookupManifest(run.manifest.get(), wide(manifestKeyEddsaSignature),
                                                    wide(defaultEddsaSignature));
    const bool valid = verify_eddsa(log, run.package.data(), run.package.size(), signature);
    // A mapped local package whose disk failed while it was checked was checked as zeros.
    if (!run.localPackage.stillWhole(log, run.package)) {
        return finalLine::kNoLocalUpdate;
    }
    if (!valid) {
        return finalLine::kNotValid;
    }
    if (request.verifyOnly) {
        log.write(L"%ls", finalLine::kVerified);
        run.report(WM_INSTALLER_VERIFIED, Outcome::verified);
        Sleep(kPauseAfterVerify);
        run.report(WM_INSTALLER_CLOSE, Outcome::verified);
        return nullptr;
    }

    // Read and checked before anything is written: what happens to the file beside the installer from
    // here on changes nothing. A failure is logged where the extractor would start, or where the
    // uninstaller would be kept.
    run.extractor.load();
    run.image.load();
    // The code folder first changes here: a second run stops, and what an interrupted one left is settled.
    const CodeFolder::Lock taken = run.code.take(log);
    if (taken == CodeFolder::Lock::busy) {
        return finalLine::kBusy;
    }
    if (taken == CodeFolder::Lock::unsettled) {
        return finalLine::kNotRecovered;
    }
    const bool hasRuntime = PathFileExistsW(runtime);
    if (hasRuntime) {
        log.write(L"Deleting existing Python installation at %ls\n", runtime);
    } else {
        log.write(L"No existing Python installation at %ls.\n", runtime);
    }
    // Someone who may not write the code folder (a standard user) ends where such a run always has:
    // at the removal of the runtime, else at the archive that could not be made in the folder.
    if (taken == CodeFolder::Lock::refused) {
        if (hasRuntime) {
            return finalLine::kNotRemoved;
        }
        log.write(L"CreateFile(%ls) failed\n", L"archive.7z");
        return finalLine::kNotExtracted;
    }
    if (const wchar_t* replaced =
            failureOf(run.code.replace(log, run.extractor, run.package.data(), run.package.size()))) {
        return replaced;
    }
    // Apps & features names the installation and its uninstaller. Without them the application is
    // installed all the same; the line says what is missing.
    wchar_t uninstaller[MAX_PATH];
    if (run.image.writeCopy(log, run.code.ownFolder(), L"Installer.exe", uninstaller)) {
        registerInstallation(log, codeFolder, uninstaller);
    }
    run.code.release();

    // "Executing" (or why the application is not started) comes from the start itself.
    startApplication(log, application, codeFolder, request.start);
    run.report(WM_INSTALLER_INSTALLED, Outcome::installed);
    run.package.reset();
    run.localPackage.remove(log);
    log.write(L"%ls", finalLine::kInstalled);
    Sleep(kPauseAfterInstall);
    run.report(WM_INSTALLER_CLOSE, Outcome::installed);
    return nullptr;
}

// The removal of the installation, with the lock and the healing of an installation; nothing is
// downloaded, checked or started. The shared database and the log stay: they belong to the machine's
// users. Returns the final line of a failure, or null after a success (whose reports are posted here).
const wchar_t* uninstall(Run& run) {
    InstallLog& log = run.log;
    writeFirstLines(run, L"Uninstaller thread started\n");
    wchar_t codeFolder[MAX_PATH];
    if (!codeFolderPath(codeFolder, false) || !run.code.setPath(codeFolder)) {
        return finalLine::kNoCodePath;
    }
    switch (run.code.take(log)) {
        case CodeFolder::Lock::busy:
            return finalLine::kBusy;
        case CodeFolder::Lock::unsettled:
            return finalLine::kNotRecovered;
        case CodeFolder::Lock::refused:
            return finalLine::kNotUninstalled;
        case CodeFolder::Lock::taken:
            break;
    }
    switch (run.code.removeInstallation(log)) {
        case CodeFolder::Removal::nothing:
            log.write(L"Nothing is installed in %ls\n", codeFolder);
            break;
        case CodeFolder::Removal::removed:
            log.write(L"Removed the installation from %ls\n", codeFolder);
            break;
        case CodeFolder::Removal::kept:
            log.write(L"The installation in %ls was kept\n", codeFolder);
            return finalLine::kNotUninstalled;
        case CodeFolder::Removal::stuck:
            log.write(L"The installation in %ls is part-way through a swap; the next run undoes it\n",
                      codeFolder);
            return finalLine::kNotUninstalled;
    }
    // The entry goes once the installation has: should this run end before, the entry still names
    // an uninstaller that finishes the work.
    if (!unregisterInstallation(log) || !run.code.clearAway(log)) {
        return finalLine::kNotUninstalled;
    }
    log.write(L"%ls", finalLine::kUninstalled);
    run.report(WM_INSTALLER_REMOVED, Outcome::removed);
    Sleep(kPauseAfterInstall);
    run.report(WM_INSTALLER_CLOSE, Outcome::removed);
    return nullptr;
}

}  // namespace

void chooseFromFacts(const RunFacts& facts, InstallRequest* request) {
    request->unattendedReason = reinterpret_cast<const wchar_t*>(unattendedReason(facts));
    request->start = applicationStart(facts);
    request->logFolder = logFolderFromProfile(facts) ? LogFolder::profileList : LogFolder::shellFolders;
}

void runInstallation(HWND window, const InstallRequest& request, std::atomic<Outcome>* outcome) {
    Run run(window, request, outcome);
    run.log.open(request.logFolder);
    if (const wchar_t* failure = request.uninstall ? uninstall(run) : install(run)) {
        run.log.write(L"%ls", failure);
        run.report(WM_INSTALLER_ERROR, run.code.busy() ? Outcome::busy : Outcome::failed);
    }
}

DWORD WINAPI InstallerThreadProc(LPVOID start) {
    InstallerThreadStart* thread = static_cast<InstallerThreadStart*>(start);
    runInstallation(thread->window, thread->request, &thread->outcome);
    return 0;
}
