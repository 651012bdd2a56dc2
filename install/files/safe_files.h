// File-system guards for a run that has rights other users lack, among folders and files that others
// may have prepared or may change while it runs. Nothing here follows a link or junction where it
// opens, creates or deletes; a name is opened once and used only through its handle afterwards; and a
// file is trusted to be where it was meant to be only when its final path (every link resolved, as
// the system reports it for the open handle) says so.
#pragma once

#include <windows.h>

#include "install/files/holders.h"

// Whole files, each through a handle opened already. fileSize() gives the size of the file open as
// `file` when it is at most `limit` bytes; false otherwise (GetLastError ERROR_FILE_TOO_LARGE) or when
// it cannot be had. readWhole() reads `size` bytes from the file's current position with one ReadFile
// into a new LocalAlloc block of `size` + `spare` bytes, the spare ones zeroed (room for a terminator,
// or a real block for an empty file); false, holding nothing, unless every byte came. writeWhole()
// writes `count` bytes with one WriteFile; false unless every one was written.
bool fileSize(HANDLE file, DWORD limit, DWORD* size);
void* readWholeBlock(HANDLE file, DWORD size, DWORD spare);
template <class T>
bool readWhole(HANDLE file, DWORD size, DWORD spare, LocalMemory<T>* block) {
    block->reset(static_cast<T*>(readWholeBlock(file, size, spare)));
    return block->get() != nullptr;
}
bool writeWhole(HANDLE file, const void* bytes, DWORD count);

// True when `error` says a name is missing, as opposed to one that cannot be looked at.
bool isMissing(DWORD error);

// True when the two paths are the same text, compared code unit by code unit with case folded as the
// file system folds it (never by the user's language).
bool samePath(const wchar_t* a, const wchar_t* b);

// True when `name` is a bare file name: not empty, not "." or "..", and without '\', '/' or ':', so it
// cannot name a file in another folder, on another drive or host, or another stream of a file.
bool isBareFileName(const wchar_t* name);

// `folder` joined with `name` into `out` (MAX_PATH). False when the result would not fit, and `out`
// must not be used then: a path cut short could name another file.
bool joinPath(wchar_t* out, const wchar_t* folder, const wchar_t* name);

// CreateFileW of the existing `path` with `access`, sharing everything, for a short look or a flush:
// `flags` FILE_FLAG_BACKUP_SEMANTICS opens a folder, FILE_FLAG_OPEN_REPARSE_POINT a link itself.
HANDLE openShared(const wchar_t* path, DWORD access, DWORD flags);

enum class Opened {
    ok,         // the handle is open on the thing itself
    missing,    // it does not exist or cannot be opened; GetLastError tells why
    link,       // it is a reparse point (link, junction, mount point): never opened through
    wrongKind,  // a folder where a file was wanted, a file or device where a folder was wanted
};

// Opens the existing folder `path` itself, never what a link or junction there points to, and holds
// it: the access includes listing, so the share mode (read and write, no delete) is enforced and while
// `folder` is open nobody can rename, delete or replace the folder. Asks both the name (which sees a
// link without following it) and the handle whether it is a reparse point.
Opened holdFolder(const wchar_t* path, OwnedHandle* folder);

// CreateDirectoryW(path) without security attributes (an existing folder is fine), then holdFolder.
// *created (may be null) tells whether this call made the folder.
Opened makeAndHoldFolder(const wchar_t* path, OwnedHandle* folder, bool* created = nullptr);

// Makes (when missing) and holds the folder `name`, a bare file name, inside the folder held as
// `parent`, relative to that handle: no path to it is walked, so a parent renamed, replaced or turned
// into a junction since it was held changes nothing. Held as holdFolder holds, never a reparse point
// (asked by handle, and by name at `path`, the path that `name` has in `parent`). *created tells
// whether this call made it. On anything but `ok` nothing stays open and GetLastError tells why.
Opened makeAndHoldFolderIn(HANDLE parent, const wchar_t* name, const wchar_t* path, OwnedHandle* folder,
                           bool* created);

// Two access lists (SDDL) that give the system and the administrators full control and nobody else
// anything, and take nothing from the folder above (protected). kAdministratorsOnlyFile holds for the
// object alone and passes nothing on: a file's list until it is known to be what it should be.
// kAdministratorsOnlyTree is passed on to everything made inside the folder that has it, at any depth.
constexpr const wchar_t* kAdministratorsOnlyFile = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr const wchar_t* kAdministratorsOnlyTree = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The security descriptor that the SDDL text `sddl` describes, into *descriptor. False, holding
// nothing, with GetLastError set, when the text does not describe one.
bool makeDescriptor(const wchar_t* sddl, LocalMemory<void>* descriptor);

// The owners trusted with what the installation keeps: the system itself (LocalSystem, the
// Administrators group or TrustedInstaller, the owners that nobody but an administrator can give) and
// `alsoTrusted` (may be null), an owner that the caller trusts as much, such as the owner of the folder
// that everything concerned lies in.
//
// ownedByTheSystemOr() is true when the file or folder open as `object` (with READ_CONTROL) has one of
// them as its owner. *owner gets the owner's SID as text; false also when it cannot be read, and
// *owner is then empty.
bool ownedByTheSystemOr(HANDLE object, PSID alsoTrusted, LocalMemory<wchar_t>* owner);

// True when the access list of `descriptor` lets anyone but those owners change the list or the owner:
// no list at all (which grants everyone everything), or an entry allowing someone else WRITE_DAC,
// WRITE_OWNER or GENERIC_ALL. Entries that only pass on to children (inherit-only) and entries that
// deny do not count. True also when the list cannot be read.
bool othersCanTakeControl(PSECURITY_DESCRIPTOR descriptor, PSID alsoTrusted);

// The owner of the folder `path` itself, never of what a link there leads to, read through a handle:
// *owner points into *descriptor. False, with no owner, when it is a link, junction or no folder, or
// when its owner cannot be read.
bool folderOwner(const wchar_t* path, LocalMemory<void>* descriptor, PSID* owner);

// Another handle to the file or folder open as `object`, with `access` and sharing everything, opened
// through the handle (ReOpenFile), never by a name. False, holding nothing, with GetLastError set.
bool reopen(HANDLE object, DWORD access, OwnedHandle* again);

// Gives the file or folder open as `object` the Administrators group as its owner, through another
// handle with WRITE_OWNER. False, with GetLastError set, when the system refuses: only an
// administrator (or the system) may name the group as an owner.
bool giveToAdministrators(HANDLE object);

// True when the file or folder open as `object` is a reparse point now (a held folder that whoever may
// write it has turned into a mount point in place), or when its attributes cannot be read.
bool isReparsePoint(HANDLE object);

// Opens `path` as a regular file on disk with `access`, `share` and `disposition` (OPEN_EXISTING,
// OPEN_ALWAYS, CREATE_NEW), never through a reparse point at the name: a link there is `link`, a
// device is `wrongKind`, and a folder is `missing` (it cannot be opened as a file). `security` may be null.
// On anything but `ok` nothing stays open.
Opened openFileNoFollow(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                        SECURITY_ATTRIBUTES* security, OwnedHandle* file);

// Opens or creates `name`, a bare file name, inside the folder held as `folder`, relative to that
// handle: no path to it is walked again, so a folder renamed, replaced or turned into a junction since
// it was held changes nothing. Never through a reparse point at the name, and only a regular file on
// disk (a folder at the name is `wrongKind`, a link `link`). `disposition` is FILE_OPEN, FILE_CREATE or
// FILE_OPEN_IF; *created (may be null) tells whether this call made the file. `security` gives a new
// file its access list; null takes the folder's inherited one. The handle is synchronous, as
// CreateFileW's are. On anything but `ok` nothing stays open and GetLastError tells why.
Opened openInFolder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    PSECURITY_DESCRIPTOR security, OwnedHandle* file, bool* created);

// The number of names (hard links) the file open as `file` has, or 0 when it cannot be had.
DWORD linkCount(HANDLE file);

// True when the file or folder open as `handle` is `rest` (for example L"Orvanta\\Welkara\\x.db")
// inside the folder `base`: the final path of the handle equals the final path of `base`, a
// backslash and `rest`. `base` is opened (following links: it is a system folder or the installer's
// own) only to learn its final path. False when any path cannot be had or does not fit MAX_PATH.
bool isAtPath(HANDLE handle, const wchar_t* base, const wchar_t* rest);

// Keeps the file open as `file`, which was opened as `name` inside the folder held as `folder`, only
// when it has no other name (hard link) and isAtPath(file, base, rest). Otherwise closes it, and when
// `created` (this run made it) deletes it first: through a handle of its own with delete access, opened
// inside `folder` and used only when it is the very same file. True when kept.
bool keepIfInPlace(HANDLE folder, const wchar_t* name, OwnedHandle* file, bool created, const wchar_t* base,
                   const wchar_t* rest);

// Deletes the file open as `file` (which must have been opened with DELETE access): it goes when its
// last handle is closed. False, with GetLastError set, when the system refuses.
bool deleteByHandle(HANDLE file);
