// Helper process for extract_test: runs the extraction as the installer thread does, in the folder
// named by its one argument, with the 7za.exe beside it. The test ends this process while the
// extractor runs, as a "Cancel" ends the installer. Exit code 0 when the extraction succeeded, 1 when
// it failed, 2 for a bad argument.
#include <windows.h>

#include "install/extract.h"
#include "install/install_log.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 || !SetCurrentDirectoryW(argv[1])) {
        return 2;
    }
    InstallLog log;
    log.open();
    PinnedExtractor extractor;
    return extractor.open(log) && extractUpdateFromFileToCwd(log, extractor) ? 0 : 1;
}
