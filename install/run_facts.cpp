// Win32 side of the run's facts.
#include "install/run_facts.h"

#include <sddl.h>
#include <shlwapi.h>

#include <cwchar>

#include "install/files/holders.h"

namespace {

// Whether the token is elevated; false when that cannot be read.
bool isElevated(HANDLE token) {
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
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
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) {
        const OwnedHandle token(own);
        LocalMemory<wchar_t> user;
        facts.elevated = isElevated(token.get());
        tokenUser(token.get(), &user, &facts.localSystem);
    }
    OwnedHandle shell;
    facts.shellFound = openShellToken(&shell);
    facts.shellElevated = facts.shellFound && isElevated(shell.get());
    return facts;
}

bool openShellToken(OwnedHandle* token) {
    token->reset();
    DWORD processId = 0;
    const HWND shell = GetShellWindow();
    if (shell == nullptr || GetWindowThreadProcessId(shell, &processId) == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return false;
    }
    const OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    HANDLE opened = nullptr;
    if (!process.valid() ||
        !OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &opened)) {
        return false;
    }
    token->reset(opened);
    return true;
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
