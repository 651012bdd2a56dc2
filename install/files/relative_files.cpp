// Opens, renames, links and lists through folder handles, with the native calls that take a root
// directory: NtCreateFile for opening, NtSetInformationFile for renaming and linking (the Win32
// SetFileInformationByHandle would turn a relative name into a path of the current directory), and the
// handle's own directory listing.
#include "install/files/relative_files.h"

#include <winternl.h>

#include <cstddef>
#include <cwchar>

#include "install/files/safe_files.h"

namespace {

// The information classes of NtSetInformationFile that this file uses.
constexpr FILE_INFORMATION_CLASS kRename = static_cast<FILE_INFORMATION_CLASS>(10);  // FileRenameInformation
constexpr FILE_INFORMATION_CLASS kLink = static_cast<FILE_INFORMATION_CLASS>(11);    // FileLinkInformation

// FILE_RENAME_INFORMATION and FILE_LINK_INFORMATION have the same layout: whether to replace, the root
// directory, the name's length in bytes and the name, here with room for any bare name.
struct NameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG nameBytes;
    WCHAR name[MAX_PATH + 1];
};
static_assert(offsetof(NameInformation, name) == offsetof(FILE_LINK_INFORMATION, FileName),
              "the rename and link information share one layout");

bool setName(HANDLE entry, FILE_INFORMATION_CLASS which, HANDLE folder, const wchar_t* name, bool replace) {
    const size_t length = wcslen(name);
    if (!isBareFileName(name) || length > MAX_PATH) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    NameInformation information;
    information.replaceIfExists = replace ? TRUE : FALSE;
    information.rootDirectory = folder;
    information.nameBytes = static_cast<ULONG>(length * sizeof(wchar_t));
    wmemcpy(information.name, name, length);
    IO_STATUS_BLOCK status = {};
    const NTSTATUS result = NtSetInformationFile(
        entry, &status, &information,
        static_cast<ULONG>(offsetof(NameInformation, name) + information.nameBytes), which);
    if (result < 0) {
        SetLastError(RtlNtStatusToDosError(result));
        return false;
    }
    return true;
}

}  // namespace

bool openIn(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
            ULONG options, PSECURITY_DESCRIPTOR security, OwnedHandle* entry, bool* created) {
    entry->reset();
    if (created != nullptr) {
        *created = false;
    }
    const size_t length = wcslen(name);
    if (!isBareFileName(name) || length > MAX_PATH) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const USHORT bytes = static_cast<USHORT>(length * sizeof(wchar_t));
    // Length and MaximumLength in bytes, without a terminator; Buffer.
    UNICODE_STRING relativeName = {bytes, bytes, const_cast<wchar_t*>(name)};
    OBJECT_ATTRIBUTES attributes;
    // Case folded as Win32 names are; the name is looked up in `folder`, not from the root.
    InitializeObjectAttributes(&attributes, &relativeName, OBJ_CASE_INSENSITIVE, folder, security);
    IO_STATUS_BLOCK status = {};
    HANDLE handle = nullptr;
    const NTSTATUS result = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status,
                                         nullptr,  // AllocationSize
                                         FILE_ATTRIBUTE_NORMAL, share, disposition,
                                         options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                                         nullptr,  // EaBuffer
                                         0);       // EaLength
    if (result < 0) {
        // A folder where a file was asked for maps to "access denied" otherwise.
        constexpr NTSTATUS kFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);
        SetLastError(result == kFileIsADirectory ? ERROR_DIRECTORY : RtlNtStatusToDosError(result));
        return false;
    }
    entry->reset(handle);
    if (created != nullptr) {
        *created = status.Information == FILE_CREATED;
    }
    return true;
}

bool renameIn(HANDLE entry, HANDLE folder, const wchar_t* name, bool replace) {
    return setName(entry, kRename, folder, name, replace);
}

bool linkIn(HANDLE entry, HANDLE folder, const wchar_t* name) {
    return setName(entry, kLink, folder, name, false);
}

bool identityOf(HANDLE entry, EntryIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(entry, &information)) {
        return false;
    }
    identity->attributes = information.dwFileAttributes;
    identity->volume = information.dwVolumeSerialNumber;
    identity->index = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

bool listFolder(HANDLE folder, EntryVisitor visit, void* context) {
    // Many entries a call; a name is at most MAX_PATH units, so every entry fits.
    alignas(8) static thread_local BYTE buffer[64 * 1024];
    for (FILE_INFO_BY_HANDLE_CLASS which = FileFullDirectoryRestartInfo;; which = FileFullDirectoryInfo) {
        if (!GetFileInformationByHandleEx(folder, which, buffer, sizeof buffer)) {
            // The only way a listing ends whole.
            const bool whole = GetLastError() == ERROR_NO_MORE_FILES;
            if (whole) {
                SetLastError(ERROR_SUCCESS);
            }
            return whole;
        }
        for (size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + at);
            const size_t length = entry->FileNameLength / sizeof(wchar_t);
            const wchar_t* name = entry->FileName;
            const bool dots =
                (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
            if (!dots && !visit(context, name, length, entry->FileAttributes)) {
                return false;
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
}
