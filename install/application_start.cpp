// Starting the installed application, never with the installer's administrator rights. As the shell's user,
// the program is started with a primary copy of the shell process's token (CreateProcessWithTokenW, which an
// administrator may use) and the environment that the system makes for that user (CreateEnvironmentBlock,
// from userenv.dll, which is loaded from System32 only). With the restricted token it is started by
// CreateProcessAsUserW, which takes a restricted version of the caller's own primary token without
// SE_ASSIGNPRIMARYTOKEN_NAME, and gets the installer's environment: the same user's.
#include "install/application_start.h"

#include <windows.h>
#include <userenv.h>

#include <cwchar>

#include "install/files/holders.h"
#include "install/install_log.h"
#include "install/run_facts.h"
#include "install/test_hooks.h"
#include "install/files/system_library.h"

namespace {

// The environment that the system makes for a token's user, destroyed on every way out.
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
    // Makes it for `token`'s user alone; false when userenv.dll or the block cannot be had.
    bool make(HANDLE token) {
        const HMODULE userenv = loadSystemLibrary(L"userenv.dll");
        decltype(&CreateEnvironmentBlock) create = nullptr;
        return systemFunction(userenv, "CreateEnvironmentBlock", &create) &&
               systemFunction(userenv, "DestroyEnvironmentBlock", &destroy_) &&
               create(&block_, token, FALSE);  // bInherit: nothing of this process's
    }
    void* get() const { return block_; }

  private:
    void* block_ = nullptr;
    decltype(&DestroyEnvironmentBlock) destroy_ = nullptr;
};

// A primary copy of the shell's token into *primary and its user's environment; false when either
// cannot be had.
bool shellUserStart(HANDLE shell, OwnedHandle* primary, UserEnvironment* environment) {
    HANDLE duplicate = nullptr;
    if (!DuplicateTokenEx(shell,
                          TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT |
                              TOKEN_ADJUST_SESSIONID,
                          nullptr,  // lpTokenAttributes
                          SecurityImpersonation, TokenPrimary, &duplicate)) {
        return false;
    }
    primary->reset(duplicate);
    return environment->make(primary->get());
}

// CreateRestrictedToken with `administrators` for denying access only and every privilege but
// SeChangeNotifyPrivilege dropped. A test build has the system refuse it.
bool restrictToken(HANDLE own, PSID administrators, HANDLE* restricted) {
    if (restrictedTokenRefusedByTest()) {
        return false;
    }
    SID_AND_ATTRIBUTES denyOnly = {administrators, 0};
    return CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, 1, &denyOnly,  // SidsToDisable
                                 0, nullptr,  // PrivilegesToDelete: all of them, by the flag
                                 0, nullptr,  // SidsToRestrict: none, the user's own access stays
                                 restricted) != FALSE;
}

// The token the application gets when no shell's token will do, made from the installer's own: the
// Administrators group for denying access only, no privilege but SeChangeNotifyPrivilege, medium
// integrity, and a default access list (the one its process and what it makes get) of its user and
// the system, where an elevated token's names the Administrators group. Into *token; false, with
// GetLastError telling why, when any step fails (closing a handle leaves that value alone).
bool restrictedToken(OwnedHandle* token) {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(),
                          TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT,
                          &own)) {
        return false;
    }
    const OwnedHandle ownToken(own);
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BYTE medium[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD sizes[] = {sizeof administrators, sizeof medium, sizeof system};
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD userSize = 0;
    HANDLE restricted = nullptr;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sizes[0]) ||
        !CreateWellKnownSid(WinMediumLabelSid, nullptr, medium, &sizes[1]) ||
        !CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &sizes[2]) ||
        !GetTokenInformation(ownToken.get(), TokenUser, user, sizeof user, &userSize) ||
        !restrictToken(ownToken.get(), administrators, &restricted)) {
        return false;
    }
    OwnedHandle made(restricted);
    TOKEN_MANDATORY_LABEL label = {};
    label.Label.Sid = medium;
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    // Two entries: the list's header, and for each an entry's header and a SID.
    BYTE list[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
    ACL* defaultList = reinterpret_cast<ACL*>(list);
    TOKEN_DEFAULT_DACL defaultDacl = {defaultList};
    if (!SetTokenInformation(made.get(), TokenIntegrityLevel, &label, sizeof label + GetLengthSid(medium)) ||
        !InitializeAcl(defaultList, sizeof list, ACL_REVISION) ||
        !AddAccessAllowedAce(defaultList, ACL_REVISION, GENERIC_ALL,
                             reinterpret_cast<TOKEN_USER*>(user)->User.Sid) ||
        !AddAccessAllowedAce(defaultList, ACL_REVISION, GENERIC_ALL, system) ||
        !SetTokenInformation(made.get(), TokenDefaultDacl, &defaultDacl, sizeof defaultDacl)) {
        return false;
    }
    token->reset(made.release());
    return true;
}

}  // namespace

void startApplication(InstallLog& log, const wchar_t* application, const wchar_t* codeFolder,
                      ApplicationStart how) {
    if (how == ApplicationStart::none) {
        log.write(L"Not starting %ls: the run is unattended\n", application);
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
        log.write(L"Executing %ls\n", application);
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
    // Elevated: the shell's token when that very token passes every check, else the restricted one.
    OwnedHandle shell;
    OwnedHandle primary;
    UserEnvironment environment;
    if (shellTokenUsable(openShellToken(&shell)) && shellUserStart(shell.get(), &primary, &environment)) {
        log.write(L"Executing %ls\n", application);
        if (!CreateProcessWithTokenW(primary.get(),
                                     0,  // dwLogonFlags: the user's profile is loaded already
                                     application, commandLine, CREATE_UNICODE_ENVIRONMENT, environment.get(),
                                     codeFolder, &startup, &process.information)) {
            log.write(L"Couldn't start %ls as the signed-in user (%d)\n", application,
                      static_cast<int>(GetLastError()));
        }
        return;
    }
    if (!restrictedToken(&primary)) {
        log.write(L"Not starting %ls: a token without administrator rights could not be made (%d)\n",
                  application, static_cast<int>(GetLastError()));
        return;
    }
    log.write(L"Executing %ls\n", application);
    if (!CreateProcessAsUserW(primary.get(), application, commandLine,
                              nullptr,     // lpProcessAttributes: from the token's default list
                              nullptr,     // lpThreadAttributes
                              FALSE,       // bInheritHandles
                              0,           // dwCreationFlags
                              nullptr,     // lpEnvironment: the installer's own, its user's
                              codeFolder,  // lpCurrentDirectory
                              &startup, &process.information)) {
        log.write(L"CreateProcess(%ls) failed (%d)\n", application, static_cast<int>(GetLastError()));
    }
}
