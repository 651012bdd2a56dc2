// Win32 side of the archive extraction. The extractor is named by its full path, so that it is never
// looked up on the search path, and is held open while it runs: read sharing only, so nobody can write,
// rename or delete it between the hash check and the end of the process.
#include "install/extract.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

#include "install/extractor_config.h"
#include "install/install_log.h"
#include "install/safe_files.h"
#include "signature/sha512.h"

namespace {

constexpr int kCommandLineCapacity = 2048;

// SHA-512 of everything `file` holds from its current position on, into digest64. False when a read
// fails.
bool hashFile(HANDLE file, std::uint8_t* digest64) {
    Sha512State state;
    sha512_init(&state);
    static thread_local std::uint8_t chunk[64 * 1024];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            return false;
        }
        if (got == 0) {
            break;
        }
        sha512_update(&state, chunk, got);
    }
    sha512_final(&state, digest64);
    return true;
}

}  // namespace

PinnedExtractor::~PinnedExtractor() {
    if (isOpen()) {
        CloseHandle(file_);
    }
}

bool PinnedExtractor::open(InstallLog& log) {
    const DWORD pathLength = GetModuleFileNameW(GetModuleHandleW(nullptr), path_, MAX_PATH);
    // A result of MAX_PATH means the path did not fit and was cut.
    if (pathLength == 0 || pathLength == MAX_PATH) {
        log.write(L"extractUpdate: GetModuleFileName failed (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    // Neither can fail for a full module path that fitted, but a path they could not build would name
    // another program.
    if (!PathRemoveFileSpecW(path_) || !PathAppendW(path_, L"7za.exe")) {
        log.write(L"extractUpdate: Couldn't build the path of 7za.exe from %ls\n", path_);
        return false;
    }
    OwnedHandle file(CreateFileW(path_, GENERIC_READ, FILE_SHARE_READ,
                                      nullptr,  // lpSecurityAttributes
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));  // hTemplateFile
    if (!file.valid()) {
        // The extractor cannot be started; the error is the one starting it would give (2 when it is
        // missing), so the line is the one a failed start writes.
        log.write(L"extractUpdate: CreateProcess failed (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    std::uint8_t digest[64];
    if (!hashFile(file.get(), digest)) {
        log.write(L"extractUpdate: Couldn't read %ls (%d)\n", path_, static_cast<int>(GetLastError()));
        return false;
    }
    // Not secret: the comparison may stop at the first difference.
    if (std::memcmp(digest, kExtractorSha512, sizeof digest) != 0) {
        log.write(L"extractUpdate: %ls is not the 7za.exe this installer was built with\n", path_);
        return false;
    }
    file_ = file.release();
    return true;
}

bool extractUpdateFromFileToCwd(InstallLog& log, const PinnedExtractor& extractor) {
    if (!extractor.isOpen()) {
        log.write(L"extractUpdate: the extractor was not checked\n");
        return false;
    }
    // CreateProcessW may write into the command line, so it lives in a buffer of our own. "%ls" means a
    // wide string in every printf flavour that mingw may pick.
    wchar_t commandLine[kCommandLineCapacity];
    _snwprintf(commandLine, kCommandLineCapacity, L"%ls -y -bd x %ls", L"7za.exe", L"archive.7z");
    commandLine[kCommandLineCapacity - 1] = L'\0';
    log.write(L"extractUpdate: invoking %s\n", commandLine);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(extractor.path(), commandLine,
                        nullptr,  // lpProcessAttributes
                        nullptr,  // lpThreadAttributes
                        FALSE,    // bInheritHandles
                        CREATE_NO_WINDOW,
                        nullptr,  // lpEnvironment: the installer's own
                        nullptr,  // lpCurrentDirectory: the installer's current directory
                        &startup, &process)) {
        log.write(L"extractUpdate: CreateProcess failed (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    const bool ended = GetExitCodeProcess(process.hProcess, &exitCode) != 0;
    const DWORD error = GetLastError();
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (!ended) {
        log.write(L"extractUpdate: GetExitCodeProcess failed (%d)\n", static_cast<int>(error));
        return false;
    }
    // 7za.exe ends with 0 only when everything was unpacked; 1 (warning) already means files were
    // skipped, 2 a fatal error, 7 a bad command line, 8 too little memory.
    if (exitCode != 0) {
        log.write(L"extractUpdate: 7za.exe failed with exit code %d\n", static_cast<int>(exitCode));
        return false;
    }
    return true;
}
