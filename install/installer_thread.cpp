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

#include <aclapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdint>

#include "app/installer_messages.h"
#include "app/main_window.h"
#include "app/options.h"
#include "install/code_folder.h"
#include "install/download.h"
#include "install/extract.h"
#include "install/install_log.h"
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

// A security descriptor whose access list has one entry: every right (0xFFFFFFFF) for Everyone
// (S-1-1-0). The database is shared by every user of the machine by design. When any part of it cannot
// be made the file gets the default list instead: descriptor() is then null.
class EveryoneDescriptor {
  public:
    EveryoneDescriptor() {
        SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
        AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone_);

        EXPLICIT_ACCESS_W entry = {};
        entry.grfAccessPermissions = 0xFFFFFFFF;
        entry.grfAccessMode = GRANT_ACCESS;
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.pMultipleTrustee = nullptr;
        entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone_);
        if (everyone_ != nullptr && SetEntriesInAclW(1, &entry, nullptr, &list_) == ERROR_SUCCESS) {
            descriptor_ = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
        }
        if (descriptor_ != nullptr &&
            (!InitializeSecurityDescriptor(descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
             !SetSecurityDescriptorDacl(descriptor_, TRUE, list_, FALSE))) {
            LocalFree(descriptor_);
            descriptor_ = nullptr;
        }
    }
    EveryoneDescriptor(const EveryoneDescriptor&) = delete;
    EveryoneDescriptor& operator=(const EveryoneDescriptor&) = delete;
    ~EveryoneDescriptor() {
        if (everyone_ != nullptr) {
            FreeSid(everyone_);
        }
        if (list_ != nullptr) {
            LocalFree(list_);
        }
        if (descriptor_ != nullptr) {
            LocalFree(descriptor_);
        }
    }
    PSECURITY_DESCRIPTOR descriptor() const { return descriptor_; }

  private:
    PSID everyone_ = nullptr;
    PACL list_ = nullptr;
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// The database folder and file. The folders beneath common application data may have been made by
// any user before the installer ran, so when the file has to be made none of them may be a link or
// junction: the installer would otherwise create a file open to Everyone wherever the link points.
// Each folder is made and held (so it cannot be renamed or replaced) before anything is made inside
// it, the file is made with its final access list in the same call, and its final path is checked
// before it is kept. An existing file is left as it is, wherever it is reached: nothing is made or
// changed then. Returns the final line of a failure, or null when the file exists afterwards.
const wchar_t* prepareDatabase(InstallLog& log) {
    wchar_t programData[MAX_PATH];
    wchar_t orvanta[MAX_PATH];
    wchar_t welkara[MAX_PATH];
    wchar_t databasePath[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, programData) < 0 ||
        !joinPath(orvanta, programData, L"Orvanta") || !joinPath(welkara, orvanta, L"Welkara") ||
        !joinPath(databasePath, welkara, L"vorlinde.db")) {
        return L"Couldn't generate dest database pathname\n";
    }
    if (PathFileExistsW(databasePath)) {
        log.write(L"Database %ls already exists (which is fine).\n", databasePath);
        return nullptr;
    }

    // A folder that cannot be made or opened shows up as a failure to create the file in it.
    OwnedHandle folders[2];
    const wchar_t* const paths[2] = {orvanta, welkara};
    bool usable = true;
    for (int i = 0; i < 2 && usable; ++i) {
        const Opened held = makeAndHoldFolder(paths[i], &folders[i]);
        if (held == Opened::link) {
            log.write(L"Refusing the database folder %ls: it is a link or junction\n", paths[i]);
            return L"Couldn't create empty database\n";
        }
        usable = held == Opened::ok;
    }

    log.write(L"Creating %ls\n", databasePath);
    const EveryoneDescriptor everyone;
    SECURITY_ATTRIBUTES security = {};
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = everyone.descriptor();
    security.bInheritHandle = FALSE;
    // CREATE_NEW never opens through a link: one that appeared at the name since the check is an
    // existing file here.
    OwnedHandle database;
    const Opened created =
        usable ? openFileNoFollow(databasePath, GENERIC_WRITE | DELETE | WRITE_DAC, 0, CREATE_NEW,
                                  everyone.descriptor() != nullptr ? &security : nullptr, &database)
               : Opened::missing;
    if (created != Opened::ok) {
        log.write(L"CreateFile(%ls) failed\n", databasePath);
        return L"Couldn't create empty database\n";
    }
    // The folders are held, so this holds unless a folder was replaced before it was held; it is
    // checked against the whole expected path, from common application data's own final path on.
    if (!isAtPath(database.get(), programData, L"Orvanta\\Welkara\\vorlinde.db")) {
        if (!deleteByHandle(database.get())) {
            log.write(L"Couldn't delete the misplaced database (%d)\n", static_cast<int>(GetLastError()));
        }
        log.write(L"Refusing the database %ls: it was not created in the database folder\n", databasePath);
        return L"Couldn't create empty database\n";
    }
    // The list was given at creation. Some file systems keep only part of it (Wine's Unix mode bits,
    // cut by the umask); setting it again through the handle, never by name, leaves it exact.
    if (everyone.descriptor() != nullptr) {
        SetKernelObjectSecurity(database.get(), DACL_SECURITY_INFORMATION, everyone.descriptor());
    }
    return nullptr;
}

// Opens the local package `name` beside the installer (installerFolder) and reads it whole with one
// ReadFile into a new LocalAlloc block. Only a bare file name is taken, the file is opened once without
// sharing and never through a link, and it must be found in the installer's folder itself; `file`
// keeps it open (with the right to delete it) for the rest of the run. On false the detail line is
// written, nothing stays allocated and nothing was read.
bool readLocalPackage(InstallLog& log, const wchar_t* installerFolder, const wchar_t* name,
                      const wchar_t* path, OwnedHandle* file, std::uint8_t** bytes, std::uint32_t* length) {
    const Opened opened = openFileNoFollow(path, GENERIC_READ | DELETE, 0, OPEN_EXISTING,
                                           nullptr,  // lpSecurityAttributes
                                           file);
    if (opened == Opened::missing) {
        log.write(L"Failed to open file: %ls\n", path);
        return false;
    }
    if (opened != Opened::ok || !isAtPath(file->get(), installerFolder, name)) {
        file->reset();
        log.write(L"Refusing the local package %ls: it is not a file in the installer's folder\n", path);
        return false;
    }
    const DWORD size = GetFileSize(file->get(), nullptr);
    if (size == INVALID_FILE_SIZE) {
        log.write(L"Failed to get file size: %ls\n", path);
        return false;
    }
    // A zero-byte package is a valid (if useless) input: one byte is asked for so that the block is real.
    std::uint8_t* buffer = static_cast<std::uint8_t*>(LocalAlloc(LMEM_FIXED, size == 0 ? 1 : size));
    DWORD bytesRead = 0;
    if (buffer == nullptr || !ReadFile(file->get(), buffer, size, &bytesRead, nullptr) || bytesRead != size) {
        log.write(L"Failed to read file: %ls\n", path);
        if (buffer != nullptr) {
            LocalFree(buffer);
        }
        return false;
    }
    *bytes = buffer;
    *length = size;
    return true;
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

// Everything a run holds; released by release() on every path.
struct Run {
    InstallLog log;
    Manifest* manifest = nullptr;
    wchar_t* localName = nullptr;  // copy of "local_update_filename"
    wchar_t* localPath = nullptr;  // MAX_PATH buffer, or null for a download
    OwnedHandle localPackage;      // the local package, held open from its read to its deletion
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
        localPackage.reset();
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
        if (!readLocalPackage(log, installerFolder, run.localName, run.localPath, &run.localPackage,
                              &run.package, &run.packageLength)) {
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
    const HINSTANCE launched = ShellExecuteW(nullptr, L"open", application,
                                             nullptr,     // lpParameters
                                             codeFolder,  // lpDirectory: its own folder, never ours
                                             SW_SHOWDEFAULT);
    // The files are in place, so the run still counts as an installation when the launch fails.
    const INT_PTR launchResult = reinterpret_cast<INT_PTR>(launched);
    if (launchResult <= 32) {
        log.write(L"ShellExecute(%ls) failed (%d)\n", application, static_cast<int>(launchResult));
    }
    report(window, WM_INSTALLER_INSTALLED);
    // Through the handle that was read: the name may lead elsewhere by now.
    if (run.localPackage.valid()) {
        if (!deleteByHandle(run.localPackage.get())) {
            log.write(L"Couldn't delete the local package %ls (%d)\n", run.localPath,
                      static_cast<int>(GetLastError()));
        }
        run.localPackage.reset();
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
