// Entries of a folder reached through the folder's own handle: opened, renamed, linked and listed
// relative to that handle, never by a path walked again, and never through a reparse point at the name
// (a link or junction there is opened, moved or listed as the entry it is). A folder renamed, replaced or
// turned into a junction after it was opened changes nothing about where these calls act.
#pragma once

#include <windows.h>

#include <cstddef>

#include "install/files/holders.h"

// NtCreateFile of `name`, a bare name (see isBareFileName) of at most MAX_PATH units, inside the folder
// open as `folder`, with `access` (SYNCHRONIZE is added; the handle is synchronous), `share`,
// `disposition` (FILE_OPEN, FILE_CREATE, FILE_OPEN_IF) and `options` (FILE_DIRECTORY_FILE,
// FILE_NON_DIRECTORY_FILE, FILE_DELETE_ON_CLOSE or none; FILE_OPEN_REPARSE_POINT is always added). A new
// entry gets `security` (null: the list the folder passes on). *created (may be null) tells whether
// this call made it. False, holding nothing, with GetLastError set: ERROR_INVALID_NAME for a bad name,
// ERROR_DIRECTORY for a folder where FILE_NON_DIRECTORY_FILE asked for anything else.
bool openIn(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
            ULONG options, PSECURITY_DESCRIPTOR security, OwnedHandle* entry, bool* created = nullptr);

// Gives the entry open as `entry` the bare name `name` inside the folder open as `folder`, on the same
// volume. renameIn moves it there (the handle needs DELETE), over an existing file there only when
// `replace` (never over a folder, nor over a file that anyone holds open); linkIn adds a second name to
// a file, never over anything. False with GetLastError set, nothing changed.
bool renameIn(HANDLE entry, HANDLE folder, const wchar_t* name, bool replace);
bool linkIn(HANDLE entry, HANDLE folder, const wchar_t* name);

// What an open entry is: its attributes and the identity of the file (volume and index). False with
// GetLastError set when the system does not say.
struct EntryIdentity {
    DWORD attributes;
    DWORD volume;
    ULONGLONG index;
    bool sameFileAs(const EntryIdentity& other) const {
        return volume == other.volume && index == other.index;
    }
};
bool identityOf(HANDLE entry, EntryIdentity* identity);

// Calls visit(context, name, length, attributes) for every entry of the folder open as `folder` (which
// needs FILE_LIST_DIRECTORY) but "." and "..", from the start of the folder; `name` is not terminated.
// True once the whole folder was listed; false as soon as a visit returns false, or when the listing
// fails or stops early (GetLastError tells): a listing that ended in an error is never taken as whole.
using EntryVisitor = bool (*)(void* context, const wchar_t* name, std::size_t length, DWORD attributes);
bool listFolder(HANDLE folder, EntryVisitor visit, void* context);
template <class Visit>
bool listFolder(HANDLE folder, Visit& visit) {
    return listFolder(
        folder,
        [](void* context, const wchar_t* name, std::size_t length, DWORD attributes) {
            return (*static_cast<Visit*>(context))(name, length, attributes);
        },
        &visit);
}
