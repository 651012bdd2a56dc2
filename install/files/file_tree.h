// Whole trees of files and folders inside the code folder, which only administrators can write: walked
// by path in the long form ("\\?\C:\..."), so that no depth of the package is too deep, and never into
// a link or junction: a reparse point is handled as the entry it is, never followed.
#pragma once

#include <windows.h>

#include "install/files/safe_files.h"

// A path that grows and shrinks by one name at a time, in the long form, up to 32,767 characters.
class TreePath {
  public:
    // Starts at `path`, a full path with a drive ("C:\..."), without "." or ".." parts. False when it
    // has no drive (ERROR_BAD_PATHNAME) or no memory can be had.
    bool set(const wchar_t* path);
    // Appends "\name"; false, changing nothing, when the result would not fit.
    bool push(const wchar_t* name);
    // Takes the last name off again.
    void pop();
    // The path in the long form, for the file system.
    const wchar_t* get() const { return text_.get(); }
    // The path as the user knows it (without "\\?\"), for the log; empty before set().
    const wchar_t* shown() const;

  private:
    LocalMemory<wchar_t> text_;
    size_t length_ = 0;
};

// True when `attributes` (INVALID_FILE_ATTRIBUTES among them) are those of a folder that is no reparse
// point: one that the trees walk into.
bool isPlainFolder(DWORD attributes);

// Calls visit(name, attributes) for each entry of the folder `folder` (not "." and ".."), with
// `folder` unchanged meanwhile unless visit changes and restores it. Returns false at once when a
// visit does; also when the folder cannot be listed (GetLastError tells), except that a missing
// folder has no entries.
template <class Visit>
bool forEachEntry(TreePath& folder, Visit visit) {
    if (!folder.push(L"*")) {
        return false;
    }
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW(folder.get(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                           nullptr,  // lpSearchFilter
                                           0);       // dwAdditionalFlags
    folder.pop();
    if (search == INVALID_HANDLE_VALUE) {
        return isMissing(GetLastError());
    }
    bool going = true;
    do {
        const wchar_t* name = found.cFileName;
        if (lstrcmpW(name, L".") != 0 && lstrcmpW(name, L"..") != 0) {
            going = visit(name, found.dwFileAttributes);
        }
    } while (going && FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    SetLastError(error);
    return going;
}

// Deletes the file, link or folder at `path` (a full path with a drive) with everything in it (a link
// itself, never what it leads to), as far as it can: what cannot go now (a running program, a file held
// open) stays, and so do the folders above it. Tried again every 20 ms for up to `patienceMs` while
// anything is left: right after a program that used it has ended, the system may hold its image or its
// current directory for a moment longer. True when nothing is left; a missing `path` is fine.
bool removeTreeAt(const wchar_t* path, DWORD patienceMs);
