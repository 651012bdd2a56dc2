// Win32 side of the archive extraction: CreateProcessW of the extractor named by its full path, so
// that it is never looked up on the search path, with the bare name in its command line.
#include "install/extract.h"

#include <windows.h>
#include <shlwapi.h>

#include <cwchar>

#include "install/install_log.h"

namespace {
constexpr int kCommandLineCapacity = 2048;
}

bool extractUpdateFromFileToCwd(InstallLog& log) {
    wchar_t extractorPath[MAX_PATH];
    const DWORD pathLength = GetModuleFileNameW(GetModuleHandleW(nullptr), extractorPath, MAX_PATH);
    // A result of MAX_PATH means the path did not fit and was cut.
    if (pathLength == 0 || pathLength == MAX_PATH) {
        log.write(L"extractUpdate: GetModuleFileName failed (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    PathRemoveFileSpecW(extractorPath);
    PathAppendW(extractorPath, L"7za.exe");

    // CreateProcessW may write into the command line, so it lives in a buffer of our own. "%ls" means a
    // wide string in every printf flavour that mingw may pick.
    wchar_t commandLine[kCommandLineCapacity];
    _snwprintf(commandLine, kCommandLineCapacity, L"%ls -y -bd x %ls", L"7za.exe", L"archive.7z");
    commandLine[kCommandLineCapacity - 1] = L'\0';
    log.write(L"extractUpdate: invoking %s\n", commandLine);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(extractorPath, commandLine,
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
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}
