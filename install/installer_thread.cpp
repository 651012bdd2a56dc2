// The installation sequence. Each step either goes on or ends the run with one final log line and
// WM_INSTALLER_ERROR; a successful run ends with WM_INSTALLER_INSTALLED (or WM_INSTALLER_VERIFIED in a
// verify-only run), a pause, and WM_INSTALLER_CLOSE. Everything the run obtained is released at its end,
// whichever way it ends.
//
// Folders, each a system folder with "Orvanta\Welkara" beneath it:
//   code folder      Program Files (x86): the installation ("python", "welkara.exe" and whatever else
//                    the package holds), replaced all or nothing by one run at a time (see CodeFolder)
//   database folder  common application data: "vorlinde.db", created empty and open to everyone
//   log folder       local application data: "instlog.txt" (see InstallLog)
// and the installer folder, where the running executable lies: "manifest", "7za.exe", a local package.
#include "install/installer_thread.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstdint>
#include <cwchar>

#include "app/installer_messages.h"
#include "app/main_window.h"
#include "app/options.h"
#include "install/code_folder.h"
#include "install/database.h"
#include "install/download.h"
#include "install/extract.h"
#include "install/install_log.h"
#include "install/local_package.h"
#include "install/safe_files.h"
#include "settings/manifest.h"
#include "signature/verify_eddsa.h"

namespace {

constexpr DWORD kPauseAfterInstall = 2500;  // milliseconds before WM_INSTALLER_CLOSE
constexpr DWORD kPauseAfterVerify = 1000;

const wchar_t* wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

void report(HWND window, UINT message) {
    PostMessageW(window, message, 0, 0);
}

// Finds the code folder and makes sure it exists; path holds MAX_PATH. Only the folder lookup and the
// path's length can fail: folders that exist already are fine, and a folder that cannot be created
// shows up later, when something inside it is used. Standard users cannot write beneath Program Files,
// so nothing here guards against links.
bool codeFolderPath(wchar_t* path) {
    if (SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, path) < 0 ||
        !PathAppendW(path, L"Orvanta")) {
        return false;
    }
    CreateDirectoryW(path, nullptr);  // lpSecurityAttributes: default security
    if (!PathAppendW(path, L"Welkara")) {
        return false;
    }
    CreateDirectoryW(path, nullptr);
    return true;
}

// `path` joined with `name` into `out` (MAX_PATH, or more where a caller needs room after the path);
// false when the result would not fit, in which case `out` must not be used.
bool joinPath(wchar_t* out, const wchar_t* path, const wchar_t* name) {
    lstrcpynW(out, path, MAX_PATH);
    return PathAppendW(out, name) != FALSE;
}

// Writes the package as "archive.7z" into the unpacked folder and unpacks it there, never into the
// live installation. The current directory is the unpacked folder while the extractor runs and is
// restored afterwards; the archive is deleted again on every path after it was created. On false the
// detail lines are written; the caller writes the final one.
bool extractUpdate(InstallLog& log, CodeFolder& code, PinnedExtractor& extractor, const std::uint8_t* bytes,
                   std::uint32_t length) {
    wchar_t savedDirectory[MAX_PATH];
    if (GetCurrentDirectoryW(MAX_PATH, savedDirectory) == 0) {
        log.write(L"extractUpdate: Couldn't GetCurrentDirectory (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    // A folder that cannot be made shows up as the failure to make it current.
    code.makeUnpackedFolder();
    if (!SetCurrentDirectoryW(code.unpackedFolder())) {
        log.write(L"extractUpdate: Couldn't SetCurrentDirectory (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }

    bool extracted = false;
    HANDLE archive = CreateFileW(L"archive.7z", GENERIC_WRITE, 0,
                                 nullptr,  // lpSecurityAttributes
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);  // hTemplateFile
    if (archive == INVALID_HANDLE_VALUE) {
        log.write(L"CreateFile(%ls) failed\n", L"archive.7z");
    } else {
        DWORD written = 0;
        if (!WriteFile(archive, bytes, length, &written, nullptr) || written != length) {
            log.write(L"extractUpdate: write failed\n");
            CloseHandle(archive);
        } else if (!FlushFileBuffers(archive)) {
            log.write(L"extractUpdate: FlushFileBuffers failed (%d)\n", static_cast<int>(GetLastError()));
            CloseHandle(archive);
        } else {
            CloseHandle(archive);
            extracted = extractUpdateFromFileToCwd(log, extractor, code.ownFolder(), code.lockHandle());
            if (!extracted) {
                log.write(L"extractUpdateFromFileToCwd failed\n");
            }
        }
    }
    DeleteFileW(L"archive.7z");
    SetCurrentDirectoryW(savedDirectory);
    return extracted;
}

// After a failure that left the installation as it was: one line saying so, when there is one.
void reportKept(InstallLog& log, const CodeFolder& code) {
    if (code.hasInstallation()) {
        log.write(L"The previous installation in %ls was kept\n", code.path());
    }
}

// Takes the code folder for this run and settles what an interrupted run left there. Returns the
// final line of a failure, or null. A code folder that does not exist holds nothing to settle; the
// run then fails where it first needs the folder.
const wchar_t* takeCodeFolder(InstallLog& log, CodeFolder& code) {
    switch (code.lock()) {
        case CodeFolder::Lock::held:
            return code.recover(log) ? nullptr : L"Couldn't recover the previous installation\n";
        case CodeFolder::Lock::noFolder:
            return nullptr;
        case CodeFolder::Lock::busy:
            log.write(L"Another installation is working in %ls\n", code.path());
            return L"Couldn't lock the code folder\n";
        case CodeFolder::Lock::failed:
            break;
    }
    log.write(L"Couldn't lock the code folder %ls (%d)\n", code.path(), static_cast<int>(GetLastError()));
    return L"Couldn't lock the code folder\n";
}

// Unpacks the package aside and swaps it in. Returns the final line of a failure, or null once the new
// installation is in place.
const wchar_t* replaceInstallation(InstallLog& log, CodeFolder& code, PinnedExtractor& extractor,
                                   const std::uint8_t* bytes, std::uint32_t length) {
    if (!extractUpdate(log, code, extractor, bytes, length)) {
        reportKept(log, code);
        return L"Couldn't extract file\n";
    }
    bool movingAside = false;
    switch (code.swap(log, &movingAside)) {
        case CodeFolder::Swap::done:
            return nullptr;
        case CodeFolder::Swap::kept:
            reportKept(log, code);
            return L"Couldn't extract file\n";
        case CodeFolder::Swap::putBack:
            log.write(L"The previous installation in %ls was put back\n", code.path());
            break;
        case CodeFolder::Swap::stuck:
            log.write(L"The installation in %ls is part-way through a swap; the next run finishes it\n",
                      code.path());
            break;
    }
    // No line feed: tools that read stored logs know this line by the text that follows it.
    return movingAside ? L"Couldn't remove existing files" : L"Couldn't extract file\n";
}

// Starts the installed application: that very file (never a program the registry associates with it,
// which in an elevated run may come from the user's own classes), with no arguments, in its own folder
// and the default show state, and does not wait for it. The files are in place, so the run still
// counts as an installation when the start fails; that is logged.
void launchApplication(InstallLog& log, const wchar_t* application, const wchar_t* codeFolder) {
    wchar_t commandLine[MAX_PATH + 2];
    _snwprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", application);
    commandLine[MAX_PATH + 1] = L'\0';
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(application, commandLine,
                        nullptr,     // lpProcessAttributes
                        nullptr,     // lpThreadAttributes
                        FALSE,       // bInheritHandles
                        0,           // dwCreationFlags
                        nullptr,     // lpEnvironment: the installer's own
                        codeFolder,  // lpCurrentDirectory: its own folder, never the installer's
                        &startup, &process)) {
        log.write(L"CreateProcess(%ls) failed (%d)\n", application, static_cast<int>(GetLastError()));
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// Everything a run holds; released by release() on every path.
struct Run {
    InstallLog log;
    Manifest* manifest = nullptr;
    wchar_t* localName = nullptr;  // copy of "local_update_filename"
    wchar_t* localPath = nullptr;  // MAX_PATH buffer, or null for a download
    LocalPackage localPackage;     // held open from its read to its deletion
    std::uint8_t* package = nullptr;
    std::uint32_t packageLength = 0;

    void release() {
        if (localName != nullptr) {
            LocalFree(localName);
        }
        if (package != nullptr) {
            LocalFree(package);
        }
        if (localPath != nullptr) {
            LocalFree(localPath);
        }
        releaseManifest(manifest);
        log.close();
    }
};

wchar_t* copyText(const wchar_t* text) {
    const SIZE_T bytes = (lstrlenW(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, bytes));
    if (copy != nullptr) {
        CopyMemory(copy, text, bytes);
    }
    return copy;
}

// The steps up to the report. Returns the final line of a failure, or null after a success (the
// reports of a success are posted here).
const wchar_t* install(Run& run, HWND window) {
    InstallLog& log = run.log;
    log.write(L"Installer thread started\n");
    run.manifest = loadManifest(log);
    const wchar_t* url = urlOverride != nullptr ? wide(urlOverride) : buildUpdateUrl(run.manifest);

    // Every path inside the code folder that is deleted, moved or run is built here, so that none is
    // ever used cut short.
    wchar_t codeFolder[MAX_PATH];
    wchar_t runtime[MAX_PATH];
    wchar_t application[MAX_PATH];
    CodeFolder code;
    if (!codeFolderPath(codeFolder) || !joinPath(runtime, codeFolder, L"python") ||
        !joinPath(application, codeFolder, L"welkara.exe") || !code.setPath(codeFolder)) {
        return L"Couldn't generate dest code path\n";
    }
    // Before anything else changes: a second run stops here, and what an interrupted one left is
    // settled. A verify-only run changes nothing in the code folder and needs neither.
    if (!verifyOnly) {
        if (const wchar_t* failure = takeCodeFolder(log, code)) {
            return failure;
        }
    }
    if (const wchar_t* failure = prepareDatabase(log)) {
        return failure;
    }

    run.localName = copyText(
        lookupManifest(run.manifest, wide(manifestKeyLocalUpdateFilename), wide(defaultLocalUpdateFilename)));
    if (run.localName == nullptr) {
        return L"Couldn't load local update\n";
    }
    if (run.localName[0] != L'\0') {
        // The name comes from a file that whoever can write the installer's folder can change: it may
        // name nothing outside that folder.
        if (!isBareFileName(run.localName)) {
            log.write(
                L"Refusing the local package name %ls: only a file name in the installer's folder is taken\n",
                run.localName);
            return L"Couldn't load local update\n";
        }
        wchar_t installerFolder[MAX_PATH];
        run.localPath = static_cast<wchar_t*>(LocalAlloc(LPTR, MAX_PATH * sizeof(wchar_t)));
        if (run.localPath == nullptr) {
            return L"Couldn't load local update\n";
        }
        const DWORD pathLength = GetModuleFileNameW(GetModuleHandleW(nullptr), installerFolder, MAX_PATH);
        // A name that does not fit beside the installer is refused rather than cut short, which could
        // name another file.
        if (pathLength == 0 || pathLength == MAX_PATH || !PathRemoveFileSpecW(installerFolder) ||
            !joinPath(run.localPath, installerFolder, run.localName)) {
            return L"Couldn't generate local update pathname\n";
        }
        log.write(L"Will try to install %ls\n", run.localPath);
        // A verify-only run never deletes it, so it does not ask for the right to.
        if (!run.localPackage.read(log, installerFolder, run.localName, run.localPath, !verifyOnly,
                                   &run.package, &run.packageLength)) {
            return L"Couldn't load local update\n";
        }
    } else {
        log.write(L"Will try to install %ls\n", url != nullptr ? url : L"");
        if (!downloadUpdate(log, url, &run.package, &run.packageLength)) {
            return L"Couldn't download file\n";
        }
    }

    const wchar_t* signature =
        signatureOverride != nullptr
            ? wide(signatureOverride)
            : lookupManifest(run.manifest, wide(manifestKeyEddsaSignature), wide(defaultEddsaSignature));
    if (!verify_eddsa(log, run.package, run.packageLength, signature)) {
        return L"Couldn't validate file\n";
    }

    if (verifyOnly) {
        log.write(L"Exiting after successful verification as requested\n");
        report(window, WM_INSTALLER_VERIFIED);
        Sleep(kPauseAfterVerify);
        report(window, WM_INSTALLER_CLOSE);
        return nullptr;
    }

    // Read and checked before anything is written: what happens to the file beside the installer from
    // here on changes nothing. A failure is logged where the extractor would start.
    PinnedExtractor extractor;
    extractor.load();
    if (PathFileExistsW(runtime)) {
        log.write(L"Deleting existing Python installation at %ls\n", runtime);
    } else {
        log.write(L"No existing Python installation at %ls.\n", runtime);
    }
    if (const wchar_t* failure = replaceInstallation(log, code, extractor, run.package, run.packageLength)) {
        return failure;
    }
    code.release();

    log.write(L"Executing %ls\n", application);
    launchApplication(log, application, codeFolder);
    report(window, WM_INSTALLER_INSTALLED);
    run.localPackage.remove(log);
    log.write(L"Installer thread finished victorious and will exit shortly.\n");
    Sleep(kPauseAfterInstall);
    report(window, WM_INSTALLER_CLOSE);
    return nullptr;
}

}  // namespace

void runInstallation(HWND window) {
    Run run;
    run.log.open();
    const wchar_t* failure = install(run, window);
    if (failure != nullptr) {
        run.log.write(L"%ls", failure);
        report(window, WM_INSTALLER_ERROR);
    }
    run.release();
}

DWORD WINAPI InstallerThreadProc(LPVOID mainWindow) {
    runInstallation(static_cast<MainWindow*>(mainWindow)->Window());
    return 0;
}
