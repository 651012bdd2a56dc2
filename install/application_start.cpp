// Win32 side of the application's start. As the shell's user, the program is started with a primary
// copy of the shell process's token (CreateProcessWithTokenW, which an administrator may use) and the
// environment that the system makes for that user (CreateEnvironmentBlock, from userenv.dll, which is
// loaded from System32 only).
#include "install/application_start.h"

#include <windows.h>
#include <userenv.h>

#include <cwchar>
#include <memory>

#include "install/files/holders.h"
#include "install/install_log.h"
#include "install/run_facts.h"
#include "install/files/system_library.h"

void startApplication(InstallLog& log, const wchar_t* application, const wchar_t* codeFolder,
                      ApplicationStart how) {
    if (how == ApplicationStart::none) {
        return;
    }
    // CreateProcess may write into the command line: a buffer of its own, the quoted path alone.
    wchar_t commandLine[MAX_PATH + 2];
    _snwprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", application);
    commandLine[MAX_PATH + 1] = L'\0';
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    ProcessHandles process;
    if (how == ApplicationStart::direct) {
        if (!CreateProcessW(application, commandLine,
                            nullptr,     // lpProcessAttributes
                            nullptr,     // lpThreadAttributes
                            FALSE,       // bInheritHandles
                            0,           // dwCreationFlags
                            nullptr,     // lpEnvironment: the installer's own
                            codeFolder,  // lpCurrentDirectory: its own folder, never the installer's
                            &startup, &process.information)) {
            log.write(L"CreateProcess(%ls) failed (%d)\n", application, static_cast<int>(GetLastError()));
        }
        return;
    }
    OwnedHandle shell;
    HANDLE duplicate = nullptr;
    const bool duplicated =
        openShellToken(&shell) && DuplicateTokenEx(shell.get(),
                                                   TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                                                       TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                                                   nullptr,  // lpTokenAttributes
                                                   SecurityImpersonation, TokenPrimary, &duplicate);
    const OwnedHandle primary(duplicated ? duplicate : INVALID_HANDLE_VALUE);
    // The system's environment for the user, freed on every way out.
    const HMODULE userenv = duplicated ? loadSystemLibrary(L"userenv.dll") : nullptr;
    decltype(&CreateEnvironmentBlock) create = nullptr;
    decltype(&DestroyEnvironmentBlock) destroy = nullptr;
    void* block = nullptr;
    const bool made = systemFunction(userenv, "CreateEnvironmentBlock", &create) &&
                      systemFunction(userenv, "DestroyEnvironmentBlock", &destroy) &&
                      create(&block, primary.get(), FALSE);  // bInherit: nothing of this process's
    const std::unique_ptr<void, decltype(&DestroyEnvironmentBlock)> environment(block, destroy);
    const bool started =
        made && CreateProcessWithTokenW(primary.get(),
                                        0,  // dwLogonFlags: the user's profile is loaded already
                                        application, commandLine, CREATE_UNICODE_ENVIRONMENT,
                                        environment.get(), codeFolder, &startup, &process.information);
    if (!started) {
        log.write(L"Couldn't start %ls as the signed-in user (%d)\n", application,
                  static_cast<int>(GetLastError()));
    }
}
