// Helper process for extract_test: runs the extraction as the installer thread does, in the folder
// named by its one argument, with the 7za.exe beside it. The test ends this process while the
// extractor runs, as a "Cancel" ends the installer. While it extracts it holds "held-by-runner.txt"
// beside itself open without sharing through an inheritable handle, which the extractor must not
// inherit. Exit code 0 when the extraction succeeded, 1 when it failed, 2 for a bad argument.
#include <windows.h>

#include <string>

#include "install/extract.h"
#include "install/install_log.h"
#include "tests/support/wine_test_support.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 || !SetCurrentDirectoryW(argv[1])) {
        return 2;
    }
    InstallLog log;
    log.open(LogFolder::profileList);
    PinnedExtractor extractor;
    extractor.load();
    const std::wstring folder = testsupport::exeFolder();
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE heldFile = CreateFileW((folder + L"\\held-by-runner.txt").c_str(), GENERIC_WRITE, 0, &inheritable,
                                  CREATE_ALWAYS, 0, nullptr);
    if (heldFile == INVALID_HANDLE_VALUE) {
        return 2;
    }
    // The copy of the extractor goes into a folder beside this program.
    const std::wstring copies = folder + L"\\runner-copy";
    CreateDirectoryW(copies.c_str(), nullptr);
    return extractUpdateFromFileToCwd(log, extractor, copies.c_str()) ? 0 : 1;
}
