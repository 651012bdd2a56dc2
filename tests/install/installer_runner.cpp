// Helper process for installer_thread_test: one whole installation, as the installer thread runs it,
// reporting to no window, with the manifest, 7za.exe and local package found beside this executable
// (however it was reached: the tests start it through a folder link too). The tests act on it while
// it works, end it part-way as "Cancel" ends the installer, or run a second installation beside it.
#include <windows.h>

#include "install/installer_thread.h"

int wmain() {
    runInstallation(nullptr, InstallRequest{});
    return 0;
}
