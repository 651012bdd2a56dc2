// Registers the installation as a program without a version resource of its own would:
// entry_runner CODE_FOLDER UNINSTALLER calls registerInstallation with the install log and exits with 0
// when it answered true, 1 when false, 2 on a wrong command line. The entry test also uses it as a
// welkara.exe that has no version.
#include <windows.h>

#include "install/install_log.h"
#include "install/uninstall_entry.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    InstallLog log;
    log.open(LogFolder::profileList);
    const bool registered = registerInstallation(log, argv[1], argv[2]);
    log.close();
    return registered ? 0 : 1;
}
