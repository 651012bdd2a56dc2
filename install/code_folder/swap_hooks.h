// The test hook of every change that a swap makes to the file system (a rename, a second name, a folder
// made or removed). The product build answers false and costs nothing. A test build (with
// WELKARA_TEST_MOVE_HOOKS) numbers the changes of a process from 0: before the change that the
// environment variable WELKARA_TEST_STOP_AFTER_MOVES names it ends the process on the spot, as a power
// cut or a kill would, and a change that WELKARA_TEST_FAIL_MOVES lists (",2,4,", or "3-" for every
// change from number 3 on) fails as a move of a held file does, with ERROR_SHARING_VIOLATION. Header
// only.
#pragma once

#include <windows.h>

#if defined(WELKARA_TEST_MOVE_HOOKS)
#include <shlwapi.h>

#include <cwchar>
#endif

// True when the next change is to fail (GetLastError is then set as for a held file).
inline bool changeRefusedByTest() {
#if defined(WELKARA_TEST_MOVE_HOOKS)
    static LONG changes = 0;  // the changes are taken by several threads at once
    const int change = InterlockedIncrement(&changes) - 1;
    wchar_t value[64] = {};
    if (GetEnvironmentVariableW(L"WELKARA_TEST_STOP_AFTER_MOVES", value, 64) != 0 && _wtoi(value) == change) {
        TerminateProcess(GetCurrentProcess(), 3);
    }
    wchar_t number[16];
    wnsprintfW(number, 16, L",%d,", change);
    const DWORD length = GetEnvironmentVariableW(L"WELKARA_TEST_FAIL_MOVES", value, 64);
    const bool onward = length > 1 && length < 64 && value[length - 1] == L'-' && change >= _wtoi(value);
    if (length != 0 && (onward || wcsstr(value, number) != nullptr)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return true;
    }
#endif
    return false;
}
