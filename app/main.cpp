// Entry point: restricts DLL loading to System32, reads the options, learns whether anybody can answer
// the window, creates the progress window (which starts the installer thread) and runs the message
// loop. The exit code is 0 in every case, also after a failed installation, unless /unattended asks for
// one that tells how the run ended; and 0 when the restriction cannot be made: then the program ends at
// once, silently, before it creates anything.
#include <windows.h>

#include <new>

#include "app/main_window.h"
#include "app/options.h"
#include "install/run_facts.h"
#include "install/files/system_library.h"

namespace {

// Code runs before wWinMain too: the constructors, the stack protector's among them, which seeds its
// guard through the cryptographic API and so may load DLLs. Priority 101 runs this one before all
// others. When the restriction fails here, the process ends on the spot with exit code 0: remembering
// the failure for wWinMain would still let the later constructors load DLLs by the unsafe order.
__attribute__((constructor(101))) void restrictDllSearchBeforeConstructors() {
    if (!restrictDllSearchToSystem32()) {
        ExitProcess(0);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int showCommand) {
    if (!restrictDllSearchToSystem32()) {
        return 0;
    }
    // The window object (which holds the installer thread's argument) and the option strings are never
    // freed: when the loop ends the installer thread may still be running (after "Cancel") and reading
    // them. The window's close sequence has given up what it holds by then.
    ParseCommandLine(reinterpret_cast<const char16_t*>(commandLine));
    InstallRequest request;
    request.urlOverride = reinterpret_cast<const wchar_t*>(urlOverride);
    request.signatureOverride = reinterpret_cast<const wchar_t*>(signatureOverride);
    request.verifyOnly = verifyOnly;
    request.uninstall = uninstall;
    // The facts of the run, gathered here alone: whether anyone can answer the window (nobody for a
    // deployment tool's run as LocalSystem, in a window station nobody sees, or one that asked with
    // /unattended), how the application is started and where the log goes all follow from them.
    chooseFromFacts(gatherRunFacts(unattended), &request);
    MainWindow* const mainWindow = new (std::nothrow) MainWindow(request);
    if (mainWindow == nullptr || !mainWindow->Create()) {
        return unattended ? unattendedExitCode(Outcome::none, false) : 0;
    }
    ShowWindow(mainWindow->Window(), showCommand);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) != 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return unattended ? mainWindow->UnattendedExitCode() : 0;
}
