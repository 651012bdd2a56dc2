// Win32 side of the application's start. As the shell's user, the program is started with a primary
// copy of the shell process's token (CreateProcessWithTokenW, which an administrator may use) and the
// environment that the system makes for that user (CreateEnvironmentBlock, from userenv.dll, which is
// loaded from System32 only).
#include "install/application_start.h"

#include <windows.h>
#include <userenv.h>

#include <cwchar>

#include "install/install_log.h"
#include "install/run_facts.h"
#include "install/safe_files.h"
#include "install/system_library.h"

namespace {

// The environment block of a user, freed with DestroyEnvironmentBlock on every way out.
class UserEnvironment {
  public:
    UserEnvironment() = default;
    UserEnvironment(const UserEnvironment&) = delete;
    UserEnvironment& operator=(const UserEnvironment&) = delete;
    ~UserEnvironment() {
        if (block_ != nullptr) {
            destroy_(block_);
        }
    }
    // The system's environment for the user of `token`, without this process's; false when userenv.dll
    // or the block cannot be had.
    bool make(HANDLE token) {
        const HMODULE userenv = loadSystemLibrary(L"userenv.dll");
        BOOL(WINAPI * create)(void**, HANDLE, BOOL) = nullptr;
        return systemFunction(userenv, "CreateEnvironmentBlock", &create) &&
               systemFunction(userenv, "DestroyEnvironmentBlock", &destroy_) &&
               create(&block_, token, FALSE);  // bInherit: nothing of this process's environment
    }
    void* get() const { return block_; }

  private:
    void* block_ = nullptr;
    BOOL(WINAPI* destroy_)(void*) = nullptr;
};

}  // namespace

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
    UserEnvironment environment;
    const bool started =
        duplicated && environment.make(primary.get()) &&
        CreateProcessWithTokenW(primary.get(),
                                0,  // dwLogonFlags: the user's profile is loaded already
                                application, commandLine, CREATE_UNICODE_ENVIRONMENT, environment.get(),
                                codeFolder, &startup, &process.information);
    if (!started) {
        log.write(L"Couldn't start %ls as the signed-in user (%d)\n", application,
                  static_cast<int>(GetLastError()));
    }
}
