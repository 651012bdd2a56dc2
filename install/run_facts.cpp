// The facts a run is decided from, read from the process, its token, its window station and the
// desktop shell's token.
#include "install/run_facts.h"

#include <sddl.h>
#include <shlwapi.h>

#include <cwchar>

#include "install/files/holders.h"

namespace {

// Whether the token is elevated; true also when that cannot be read, the safe answer for both uses:
// an elevated run neither follows the user's shell folders nor hands on its own token.
bool isElevated(HANDLE token) {
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return !GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) ||
           elevation.TokenIsElevated != 0;
}

// The RID of the token's integrity label, or kUnknownIntegrity when it cannot be read.
uint32_t integrityLevel(HANDLE token) {
    BYTE buffer[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &size)) {
        return kUnknownIntegrity;
    }
    const PSID label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
    const UCHAR count = *GetSidSubAuthorityCount(label);
    return count == 0 ? kUnknownIntegrity : *GetSidSubAuthority(label, count - 1);
}

// The session of the token into *session; false when it cannot be read.
bool tokenSession(HANDLE token, DWORD* session) {
    DWORD size = 0;
    return GetTokenInformation(token, TokenSessionId, session, sizeof *session, &size) != FALSE;
}

// The user of `token` as a SID string into *text.
bool tokenUser(HANDLE token, LocalMemory<wchar_t>* text, bool* localSystem) {
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
        return false;
    }
    const PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    *localSystem = IsWellKnownSid(user, WinLocalSystemSid) != FALSE;
    return ConvertSidToStringSidW(user, text->receive()) != FALSE;
}

// Replaces a leading "%SystemRoot%" or "%SystemDrive%" of `path` (MAX_PATH) by the system's own; false
// for any other variable, which is not expanded, and when the result does not fit.
bool expandSystemFolder(wchar_t* path) {
    wchar_t windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || length < 2) {
        return false;
    }
    const struct {
        const wchar_t* name;
        size_t valueLength;
    } variables[] = {{L"%SystemRoot%", length}, {L"%SystemDrive%", 2}};
    for (const auto& variable : variables) {
        const size_t nameLength = wcslen(variable.name);
        if (_wcsnicmp(path, variable.name, nameLength) == 0) {
            const size_t restLength = wcslen(path + nameLength);
            if (variable.valueLength + restLength >= MAX_PATH) {
                return false;
            }
            wmemmove(path + variable.valueLength, path + nameLength, restLength + 1);
            wmemcpy(path, windows, variable.valueLength);
            break;
        }
    }
    return wcschr(path, L'%') == nullptr;
}

}  // namespace

RunFacts gatherRunFacts(bool unattendedOption) {
    RunFacts facts;
    facts.unattendedOption = unattendedOption;
    USEROBJECTFLAGS station = {};
    DWORD size = 0;
    // A station whose flags cannot be read counts as visible: the run then behaves as described.
    if (GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &station, sizeof station, &size)) {
        facts.stationVisible = (station.dwFlags & WSF_VISIBLE) != 0;
    }
    HANDLE own = nullptr;
    // A token that cannot be read counts as elevated, as in isElevated.
    facts.elevated = true;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) {
        const OwnedHandle token(own);
        LocalMemory<wchar_t> user;
        facts.elevated = isElevated(token.get());
        tokenUser(token.get(), &user, &facts.localSystem);
    }
    return facts;
}

ShellToken openShellToken(OwnedHandle* token) {
    ShellToken shell;
    token->reset();
    DWORD processId = 0;
    const HWND window = GetShellWindow();
    if (window == nullptr || GetWindowThreadProcessId(window, &processId) == 0) {
        return shell;
    }
    const OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION,
                                          FALSE,  // bInheritHandle
                                          processId));
    HANDLE opened = nullptr;
    if (!process.valid() ||
        !OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &opened)) {
        return shell;
    }
    token->reset(opened);
    shell.opened = true;
    // The id was read before the open: had the shell ended in between, the id may name another
    // process by now. The handle held keeps its process's id from being given out again, so a window
    // that is still the shell's and still belongs to that id belongs to the process opened.
    DWORD owner = 0;
    shell.sameWindow = GetShellWindow() == window && GetWindowThreadProcessId(window, &owner) != 0 &&
                       owner == processId && GetProcessId(process.get()) == processId;
    shell.elevated = isElevated(token->get());
    shell.integrity = integrityLevel(token->get());
    HANDLE own = nullptr;
    DWORD ownSession = 0;
    DWORD shellSession = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) {
        const OwnedHandle ownToken(own);
        shell.sameSession = tokenSession(ownToken.get(), &ownSession) &&
                            tokenSession(token->get(), &shellSession) && ownSession == shellSession;
    }
    return shell;
}

bool profileLocalAppData(wchar_t* folder) {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) {
        return false;
    }
    const OwnedHandle token(own);
    LocalMemory<wchar_t> user;
    bool localSystem = false;
    wchar_t key[MAX_PATH];
    if (!tokenUser(token.get(), &user, &localSystem) ||
        wnsprintfW(key, MAX_PATH, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\%ls",
                   user.get()) <= 0) {
        return false;
    }
    DWORD size = MAX_PATH * sizeof(wchar_t);
    // RRF_NOEXPAND: the variables are the process's environment, which the user's registry feeds.
    return RegGetValueW(HKEY_LOCAL_MACHINE, key, L"ProfileImagePath",
                        RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                        nullptr,  // pdwType
                        folder, &size) == ERROR_SUCCESS &&
           expandSystemFolder(folder) && PathAppendW(folder, L"AppData\\Local");
}
