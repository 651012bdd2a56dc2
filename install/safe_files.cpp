// Win32 side of the file-system guards. Links are looked for twice: by name (GetFileAttributesW does
// not follow a link at the name) and by handle, since each of the two sees cases the other may miss on
// some file systems; opening always asks for the reparse point itself, never its target.
#include "install/safe_files.h"

#include <shlwapi.h>
#include <winternl.h>

#include <cwchar>

namespace {

constexpr DWORD kFinalPathCapacity = 2 * MAX_PATH;  // room for the "\\?\" prefix and a MAX_PATH path

bool isLinkByName(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The attributes of the open `handle`, or INVALID_FILE_ATTRIBUTES. Only the basic information is asked
// for: it needs no name, which the system may not know for a handle opened inside a moved folder.
DWORD attributesOf(HANDLE handle) {
    FILE_BASIC_INFO information;
    return GetFileInformationByHandleEx(handle, FileBasicInfo, &information, sizeof information)
               ? information.FileAttributes
               : INVALID_FILE_ATTRIBUTES;
}

// The final path of `handle` into `out` (kFinalPathCapacity); false when it cannot be had or is cut.
bool finalPath(HANDLE handle, wchar_t* out) {
    const DWORD length = GetFinalPathNameByHandleW(handle, out, kFinalPathCapacity, FILE_NAME_NORMALIZED);
    return length != 0 && length < kFinalPathCapacity;
}

}  // namespace

void OwnedHandle::reset(HANDLE handle) {
    if (valid()) {
        CloseHandle(handle_);
    }
    handle_ = handle == nullptr ? INVALID_HANDLE_VALUE : handle;
}

bool samePath(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool isBareFileName(const wchar_t* name) {
    if (name[0] == L'\0' || lstrcmpW(name, L".") == 0 || lstrcmpW(name, L"..") == 0) {
        return false;
    }
    return wcspbrk(name, L"\\/:") == nullptr;
}

bool joinPath(wchar_t* out, const wchar_t* folder, const wchar_t* name) {
    lstrcpynW(out, folder, MAX_PATH);
    return PathAppendW(out, name) != FALSE;
}

Opened holdFolder(const wchar_t* path, OwnedHandle* folder) {
    folder->reset();
    if (isLinkByName(path)) {
        return Opened::link;
    }
    // Listing is a real access to the folder's contents, so the share mode counts: without
    // FILE_SHARE_DELETE nobody can open the folder to rename or delete it while this handle is open.
    // A handle with attribute rights alone would not hold it.
    folder->reset(CreateFileW(path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr,  // lpSecurityAttributes
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr));  // hTemplateFile
    if (!folder->valid()) {
        return Opened::missing;
    }
    const DWORD attributes = attributesOf(folder->get());
    const Opened result = attributes == INVALID_FILE_ATTRIBUTES              ? Opened::missing
                          : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? Opened::link
                          : (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0     ? Opened::wrongKind
                                                                             : Opened::ok;
    if (result != Opened::ok) {
        folder->reset();
    }
    return result;
}

Opened makeAndHoldFolder(const wchar_t* path, OwnedHandle* folder) {
    CreateDirectoryW(path, nullptr);  // lpSecurityAttributes: default security; an existing one is fine
    return holdFolder(path, folder);
}

Opened openFileNoFollow(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                        SECURITY_ATTRIBUTES* security, OwnedHandle* file) {
    file->reset();
    if (isLinkByName(path)) {
        return Opened::link;
    }
    file->reset(CreateFileW(path, access | FILE_READ_ATTRIBUTES, share, security, disposition,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr));  // hTemplateFile
    if (!file->valid()) {
        return Opened::missing;
    }
    // A device name (NUL, COM1, ...) opens the device wherever the folder is: not a file on disk.
    const DWORD attributes =
        GetFileType(file->get()) == FILE_TYPE_DISK ? attributesOf(file->get()) : FILE_ATTRIBUTE_DIRECTORY;
    const Opened result = attributes == INVALID_FILE_ATTRIBUTES              ? Opened::missing
                          : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? Opened::link
                          : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0     ? Opened::wrongKind
                                                                             : Opened::ok;
    if (result != Opened::ok) {
        file->reset();
    }
    return result;
}

Opened openInFolder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    PSECURITY_DESCRIPTOR security, OwnedHandle* file, bool* created) {
    file->reset();
    if (created != nullptr) {
        *created = false;
    }
    const size_t length = wcslen(name);
    if (!isBareFileName(name) || length > MAX_PATH) {
        SetLastError(ERROR_INVALID_NAME);
        return Opened::missing;
    }
    UNICODE_STRING relativeName;
    relativeName.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    relativeName.MaximumLength = relativeName.Length;
    relativeName.Buffer = const_cast<wchar_t*>(name);
    OBJECT_ATTRIBUTES attributes;
    // Case folded as Win32 names are; the name is looked up in `folder`, not from the root.
    InitializeObjectAttributes(&attributes, &relativeName, OBJ_CASE_INSENSITIVE, folder, security);
    IO_STATUS_BLOCK status = {};
    HANDLE handle = nullptr;
    const NTSTATUS result =
        NtCreateFile(&handle, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &status,
                     nullptr,  // AllocationSize
                     FILE_ATTRIBUTE_NORMAL, share, disposition,
                     FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                     nullptr,  // EaBuffer
                     0);       // EaLength
    if (result < 0) {
        const ULONG error = RtlNtStatusToDosError(result);
        SetLastError(error);
        // A folder at the name cannot be opened as a file.
        return error == ERROR_DIRECTORY ||
                       result == static_cast<NTSTATUS>(0xC00000BAL)  // STATUS_FILE_IS_A_DIRECTORY
                   ? Opened::wrongKind
                   : Opened::missing;
    }
    file->reset(handle);
    const DWORD kind =
        GetFileType(handle) == FILE_TYPE_DISK ? attributesOf(handle) : FILE_ATTRIBUTE_DIRECTORY;
    const Opened opened = kind == INVALID_FILE_ATTRIBUTES              ? Opened::missing
                          : (kind & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? Opened::link
                          : (kind & FILE_ATTRIBUTE_DIRECTORY) != 0     ? Opened::wrongKind
                                                                       : Opened::ok;
    if (opened != Opened::ok) {
        file->reset();
        SetLastError(ERROR_INVALID_NAME);
        return opened;
    }
    if (created != nullptr) {
        *created = status.Information == FILE_CREATED;
    }
    return Opened::ok;
}

DWORD linkCount(HANDLE file) {
    FILE_STANDARD_INFO information;
    return GetFileInformationByHandleEx(file, FileStandardInfo, &information, sizeof information)
               ? information.NumberOfLinks
               : 0;
}

bool isAtPath(HANDLE handle, const wchar_t* base, const wchar_t* rest) {
    const OwnedHandle baseFolder(CreateFileW(base, FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr,  // lpSecurityAttributes
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                             nullptr));  // hTemplateFile
    wchar_t expected[kFinalPathCapacity];
    wchar_t actual[kFinalPathCapacity];
    if (!baseFolder.valid() || !finalPath(baseFolder.get(), expected) || !finalPath(handle, actual)) {
        return false;
    }
    // The root of a drive ("\\?\E:\") ends in a separator already; no other folder does.
    size_t baseLength = wcslen(expected);
    const size_t restLength = wcslen(rest);
    const bool separator = baseLength == 0 || expected[baseLength - 1] != L'\\';
    if (baseLength + separator + restLength >= kFinalPathCapacity) {
        return false;
    }
    if (separator) {
        expected[baseLength++] = L'\\';
    }
    wmemcpy(expected + baseLength, rest, restLength + 1);
    return samePath(actual, expected);
}

bool keepIfInPlace(HANDLE folder, const wchar_t* name, OwnedHandle* file, bool created, const wchar_t* base,
                   const wchar_t* rest) {
    if (linkCount(file->get()) == 1 && isAtPath(file->get(), base, rest)) {
        return true;
    }
    BY_HANDLE_FILE_INFORMATION made;
    const bool known = created && GetFileInformationByHandle(file->get(), &made);
    file->reset();
    OwnedHandle deleter;
    BY_HANDLE_FILE_INFORMATION found;
    if (known &&
        openInFolder(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                     nullptr, &deleter, nullptr) == Opened::ok &&
        GetFileInformationByHandle(deleter.get(), &found) &&
        found.dwVolumeSerialNumber == made.dwVolumeSerialNumber &&
        found.nFileIndexHigh == made.nFileIndexHigh && found.nFileIndexLow == made.nFileIndexLow) {
        deleteByHandle(deleter.get());
    }
    return false;
}

bool deleteByHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}
