// Win32 side of the file-system guards. Links are looked for twice: by name (GetFileAttributesW does
// not follow a link at the name) and by handle, since each of the two sees cases the other may miss on
// some file systems; opening always asks for the reparse point itself, never its target.
#include "install/safe_files.h"

#include <cwchar>

namespace {

constexpr DWORD kFinalPathCapacity = 2 * MAX_PATH;  // room for the "\\?\" prefix and a MAX_PATH path

bool isLinkByName(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The attributes of the open `handle`, or INVALID_FILE_ATTRIBUTES.
DWORD attributesOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(handle, &information) ? information.dwFileAttributes
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
    const size_t baseLength = wcslen(expected);
    const size_t restLength = wcslen(rest);
    if (baseLength + 1 + restLength >= kFinalPathCapacity) {
        return false;
    }
    expected[baseLength] = L'\\';
    wmemcpy(expected + baseLength + 1, rest, restLength + 1);
    return samePath(actual, expected);
}

bool deleteByHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}
