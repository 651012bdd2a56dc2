// The installation sequence. Each step either goes on or ends the run with one final log line and
// WM_INSTALLER_ERROR; a successful run ends with WM_INSTALLER_INSTALLED (or WM_INSTALLER_VERIFIED in a
// verify-only run), a pause, and WM_INSTALLER_CLOSE. Everything the run obtained is released at its end,
// whichever way it ends.
//
// Folders, each a system folder with "Orvanta\Welkara" beneath it:
//   code folder      Program Files (x86): "python" (removed), "archive.7z" (while unpacking), "welkara.exe"
//   database folder  common application data: "vorlinde.db", created empty and open to everyone
//   log folder       local application data: "instlog.txt" (see InstallLog)
// and the installer folder, where the running executable lies: "manifest", "7za.exe", a local package.
#include "install/installer_thread.h"

#include <aclapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdint>

#include "app/installer_messages.h"
#include "app/main_window.h"
#include "app/options.h"
#include "install/download.h"
#include "install/extract.h"
#include "install/install_log.h"
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

// Finds a system folder and makes sure "Orvanta\Welkara" exists beneath it; path holds MAX_PATH.
// Only the folder lookup can fail: folders that exist already are fine, and a folder that cannot be
// created shows up later, when something inside it is used.
bool applicationFolder(int csidl, wchar_t* path) {
    if (SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) < 0) {
        return false;
    }
    PathAppendW(path, L"Orvanta");
    CreateDirectoryW(path, nullptr);  // lpSecurityAttributes: default security
    PathAppendW(path, L"Welkara");
    CreateDirectoryW(path, nullptr);
    return true;
}

// Replaces the access list of `path` with one entry that grants every right to Everyone (S-1-1-0).
// Nothing here is reported: a file whose list could not be set keeps its default one.
void openToEveryone(const wchar_t* path) {
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);

    EXPLICIT_ACCESS_W entry = {};
    entry.grfAccessPermissions = 0xFFFFFFFF;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone);

    PACL list = nullptr;
    SetEntriesInAclW(1, &entry, nullptr, &list);

    PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (descriptor != nullptr) {
        InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(descriptor, TRUE, list, FALSE);
        SetFileSecurityW(path, DACL_SECURITY_INFORMATION, descriptor);
    }

    if (everyone != nullptr) {
        FreeSid(everyone);
    }
    if (list != nullptr) {
        LocalFree(list);
    }
    if (descriptor != nullptr) {
        LocalFree(descriptor);
    }
}

// Reads the whole local package with one ReadFile into a new LocalAlloc block. On false the detail
// line is written and nothing stays allocated or open.
bool readLocalPackage(InstallLog& log, const wchar_t* path, std::uint8_t** bytes, std::uint32_t* length) {
    HANDLE file = CreateFileW(path, GENERIC_READ, 0,
                              nullptr,  // lpSecurityAttributes
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);  // hTemplateFile
    if (file == INVALID_HANDLE_VALUE) {
        log.write(L"Failed to open file: %ls\n", path);
        return false;
    }
    const DWORD size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE) {
        log.write(L"Failed to get file size: %ls\n", path);
        CloseHandle(file);
        return false;
    }
    // A zero-byte package is a valid (if useless) input: one byte is asked for so that the block is real.
    std::uint8_t* buffer = static_cast<std::uint8_t*>(LocalAlloc(LMEM_FIXED, size == 0 ? 1 : size));
    DWORD bytesRead = 0;
    if (buffer == nullptr || !ReadFile(file, buffer, size, &bytesRead, nullptr) || bytesRead != size) {
        log.write(L"Failed to read file: %ls\n", path);
        if (buffer != nullptr) {
            LocalFree(buffer);
        }
        CloseHandle(file);
        return false;
    }
    CloseHandle(file);
    *bytes = buffer;
    *length = size;
    return true;
}

// Writes the package as "archive.7z" into the code folder and unpacks it there. The current directory
// is the code folder while the extractor runs and is restored afterwards; the archive is deleted again
// on every path after it was created. On false the detail lines are written; the caller writes the
// final one.
bool extractUpdate(InstallLog& log, const wchar_t* codeFolder, const std::uint8_t* bytes,
                   std::uint32_t length) {
    wchar_t savedDirectory[MAX_PATH];
    if (GetCurrentDirectoryW(MAX_PATH, savedDirectory) == 0) {
        log.write(L"extractUpdate: Couldn't GetCurrentDirectory (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    if (!SetCurrentDirectoryW(codeFolder)) {
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
            extracted = extractUpdateFromFileToCwd(log);
            if (!extracted) {
                log.write(L"extractUpdateFromFileToCwd failed\n");
            }
        }
    }
    DeleteFileW(L"archive.7z");
    SetCurrentDirectoryW(savedDirectory);
    return extracted;
}

// Everything a run holds; released by release() on every path.
struct Run {
    InstallLog log;
    Manifest* manifest = nullptr;
    wchar_t* localName = nullptr;  // copy of "local_update_filename"
    wchar_t* localPath = nullptr;  // MAX_PATH buffer, or null for a download
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

    wchar_t codeFolder[MAX_PATH];
    if (!applicationFolder(CSIDL_PROGRAM_FILESX86, codeFolder)) {
        return L"Couldn't generate dest code path\n";
    }
    wchar_t databasePath[MAX_PATH];
    if (!applicationFolder(CSIDL_COMMON_APPDATA, databasePath)) {
        return L"Couldn't generate dest database pathname\n";
    }
    PathAppendW(databasePath, L"vorlinde.db");

    if (PathFileExistsW(databasePath)) {
        log.write(L"Database %ls already exists (which is fine).\n", databasePath);
    } else {
        log.write(L"Creating %ls\n", databasePath);
        HANDLE database = CreateFileW(databasePath, GENERIC_WRITE, 0,
                                      nullptr,  // lpSecurityAttributes
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                      nullptr);  // hTemplateFile
        if (database == INVALID_HANDLE_VALUE) {
            log.write(L"CreateFile(%ls) failed\n", databasePath);
            return L"Couldn't create empty database\n";
        }
        CloseHandle(database);
        openToEveryone(databasePath);
    }

    run.localName = copyText(
        lookupManifest(run.manifest, wide(manifestKeyLocalUpdateFilename), wide(defaultLocalUpdateFilename)));
    if (run.localName == nullptr) {
        return L"Couldn't load local update\n";
    }
    if (run.localName[0] != L'\0') {
        run.localPath = static_cast<wchar_t*>(LocalAlloc(LPTR, MAX_PATH * sizeof(wchar_t)));
        if (run.localPath == nullptr) {
            return L"Couldn't load local update\n";
        }
        const DWORD pathLength = GetModuleFileNameW(GetModuleHandleW(nullptr), run.localPath, MAX_PATH);
        // A name that does not fit beside the installer is refused rather than cut short, which could
        // name another file.
        if (pathLength == 0 || pathLength == MAX_PATH) {
            return L"Couldn't generate local update pathname\n";
        }
        PathRemoveFileSpecW(run.localPath);
        if (!PathAppendW(run.localPath, run.localName)) {
            return L"Couldn't generate local update pathname\n";
        }
        log.write(L"Will try to install %ls\n", run.localPath);
        if (!readLocalPackage(log, run.localPath, &run.package, &run.packageLength)) {
            return L"Couldn't load local update\n";
        }
    } else {
        log.write(L"Will try to install %ls\n", url);
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

    // SHFileOperationW takes a list of paths ended by two nulls; the zeroed buffer has room for both.
    wchar_t runtimeFolder[MAX_PATH + 2] = {};
    lstrcpynW(runtimeFolder, codeFolder, MAX_PATH);
    PathAppendW(runtimeFolder, L"python");
    if (PathFileExistsW(runtimeFolder)) {
        log.write(L"Deleting existing Python installation at %ls\n", runtimeFolder);
        SHFILEOPSTRUCTW operation = {};
        operation.hwnd = nullptr;
        operation.wFunc = FO_DELETE;
        operation.pFrom = runtimeFolder;
        operation.pTo = nullptr;
        operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;  // 0x414: deleted outright
        operation.fAnyOperationsAborted = FALSE;
        operation.hNameMappings = nullptr;
        operation.lpszProgressTitle = L"";
        if (SHFileOperationW(&operation) != 0) {
            // No line feed: tools that read stored logs know this line by the text that follows it.
            return L"Couldn't remove existing files";
        }
    } else {
        log.write(L"No existing Python installation at %ls.\n", runtimeFolder);
    }

    if (!extractUpdate(log, codeFolder, run.package, run.packageLength)) {
        return L"Couldn't extract file\n";
    }

    wchar_t application[MAX_PATH];
    lstrcpynW(application, codeFolder, MAX_PATH);
    PathAppendW(application, L"welkara.exe");
    log.write(L"Executing %ls\n", application);
    ShellExecuteW(nullptr, L"open", application,
                  nullptr,  // lpParameters
                  nullptr,  // lpDirectory
                  SW_SHOWDEFAULT);
    report(window, WM_INSTALLER_INSTALLED);
    if (run.localPath != nullptr) {
        DeleteFileW(run.localPath);
    }
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
