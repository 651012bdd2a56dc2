// Helper process for extract_test: runs the extraction as the installer thread does, in the folder
// named by its one argument, with the 7za.exe beside it. The test ends this process while the
// extractor runs, as a "Cancel" ends the installer. While it extracts it holds "held-by-runner.txt"
// beside itself open without sharing through an inheritable handle, which the extractor must not
// inherit. Exit code 0 when the extraction succeeded, 1 when it failed, 2 for a bad argument.
#include <windows.h>

#include <cwchar>

#include "install/extract.h"
#include "install/install_log.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 || !SetCurrentDirectoryW(argv[1])) {
        return 2;
    }
    InstallLog log;
    log.open();
    PinnedExtractor extractor;
    extractor.load();
    // The copy of the extractor goes into a folder beside this program.
    wchar_t folder[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, folder, MAX_PATH - 16);
    if (length == 0 || length == MAX_PATH - 16) {
        return 2;
    }
    wchar_t held[MAX_PATH];
    lstrcpyW(held, folder);
    lstrcpyW(wcsrchr(held, L'\\'), L"\\held-by-runner.txt");
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE heldFile = CreateFileW(held, GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS, 0, nullptr);
    if (heldFile == INVALID_HANDLE_VALUE) {
        return 2;
    }
    lstrcpyW(wcsrchr(folder, L'\\'), L"\\runner-copy");
    CreateDirectoryW(folder, nullptr);
    return extractUpdateFromFileToCwd(log, extractor, folder, INVALID_HANDLE_VALUE) ? 0 : 1;
}
