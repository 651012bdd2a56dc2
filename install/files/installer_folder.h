// The installer folder: where the running executable lies, and with it the manifest, 7za.exe and a
// local package. Header only.
#pragma once

#include <windows.h>
#include <shlwapi.h>

// Writes the installer folder into `folder` (MAX_PATH). False when the executable's own path is not
// available or did not fit (GetLastError tells), and `folder` must not be used then.
inline bool installerFolder(wchar_t* folder) {
    const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), folder, MAX_PATH);
    // A result of MAX_PATH means the path did not fit and was cut.
    if (length == 0 || length == MAX_PATH) {
        return false;
    }
    return PathRemoveFileSpecW(folder) != FALSE;
}

// `name` beside the installer, into `path` (MAX_PATH): false when the folder is not available or the
// result would not fit, which is never cut short (it could name another file). *folderKnown (may be
// null) tells which of the two it was.
inline bool besideInstaller(const wchar_t* name, wchar_t* path, bool* folderKnown = nullptr) {
    const bool known = installerFolder(path);
    if (folderKnown != nullptr) {
        *folderKnown = known;
    }
    return known && PathAppendW(path, name) != FALSE;
}
