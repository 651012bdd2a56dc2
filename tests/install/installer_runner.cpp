// Helper process for the installation tests: one whole installation (or, with /uninstall, one removal),
// as the installer thread runs it, reporting to no window, with the manifest, 7za.exe and local package
// found beside this executable (however it was reached: the tests start it through a folder link too).
// The tests act on it while it works, end it part-way as "Cancel" ends the installer, run a second one
// beside it, or start the uninstaller that an installation by it keeps (a copy of it). With
// /unattended it exits with the code an unattended Installer.exe would.
#include <windows.h>

#include <atomic>
#include <cwchar>

#include "install/installer_thread.h"
#include "install/run_facts.h"

int wmain(int argc, wchar_t** argv) {
    InstallRequest request;
    bool unattended = false;
    for (int i = 1; i < argc; ++i) {
        request.uninstall = request.uninstall || std::wcscmp(argv[i], L"/uninstall") == 0;
        unattended = unattended || std::wcscmp(argv[i], L"/unattended") == 0;
    }
    chooseFromFacts(gatherRunFacts(unattended), &request);
    std::atomic<Outcome> outcome{Outcome::none};
    runInstallation(nullptr, request, &outcome);
    return unattended ? unattendedExitCode(outcome.load(), false) : 0;
}
