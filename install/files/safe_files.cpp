// The file-system guards: links, owners, access lists and files reached through held folders. Links are
// looked for twice: by name (GetFileAttributesW does not follow a link at the name) and by handle, since each
// of the two sees cases the other may miss on some file systems; opening always asks for the reparse point
// itself, never its target.
#include "install/files/safe_files.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlwapi.h>
#include <winternl.h>

#include <cwchar>

#include "install/files/relative_files.h"

namespace {

constexpr DWORD kFinalPathCapacity = 2 * MAX_PATH;  // room for the "\\?\" prefix and a MAX_PATH path
// What a held folder's handle may do: list (a real access to its contents, without which its share mode
// would not count), pass through, and read its attributes and its security.
constexpr ACCESS_MASK kHoldAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

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

// What the object open as `handle` is, against what was wanted (a folder, or a regular file on disk); on
// anything but `ok` the handle is closed. A device (NUL, COM1, ...) opens the device wherever the
// folder is: it is no file on disk, and as a folder it is missing.
Opened classify(OwnedHandle* opened, bool folderWanted) {
    const DWORD attributes = GetFileType(opened->get()) == FILE_TYPE_DISK ? attributesOf(opened->get())
                             : folderWanted                               ? INVALID_FILE_ATTRIBUTES
                                                                          : FILE_ATTRIBUTE_DIRECTORY;
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const Opened result = attributes == INVALID_FILE_ATTRIBUTES              ? Opened::missing
                          : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? Opened::link
                          : folder != folderWanted                           ? Opened::wrongKind
                                                                             : Opened::ok;
    if (result != Opened::ok) {
        opened->reset();
    }
    return result;
}

// openIn() of `name` relative to the folder open as `folder`, then classify() with a folder wanted when
// `options` say FILE_DIRECTORY_FILE. On anything but `ok` nothing stays open and GetLastError tells why.
Opened openRelative(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options, PSECURITY_DESCRIPTOR security, OwnedHandle* opened, bool* created) {
    const bool folderWanted = (options & FILE_DIRECTORY_FILE) != 0;
    if (!openIn(folder, name, access | FILE_READ_ATTRIBUTES, share, disposition, options, security, opened,
                created)) {
        // A folder at the name cannot be opened as a file.
        const DWORD error = GetLastError();
        return !folderWanted && error == ERROR_DIRECTORY ? Opened::wrongKind : Opened::missing;
    }
    const Opened kind = classify(opened, folderWanted);
    if (kind != Opened::ok) {
        SetLastError(ERROR_INVALID_NAME);
        if (created != nullptr) {
            *created = false;
        }
    }
    return kind;
}

// One of the owners trusted with what the installation keeps (see ownedByTheSystemOr).
bool isTrusted(PSID sid, PSID alsoTrusted) {
    // NT SERVICE\TrustedInstaller, the service that owns the system's own files:
    // S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
    static const DWORD kTrustedInstaller[] = {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464};
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    BYTE trustedInstaller[SECURITY_MAX_SID_SIZE];
    InitializeSid(trustedInstaller, &nt, 6);
    for (BYTE i = 0; i < 6; ++i) {
        *GetSidSubAuthority(trustedInstaller, i) = kTrustedInstaller[i];
    }
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           EqualSid(sid, trustedInstaller) || (alsoTrusted != nullptr && EqualSid(sid, alsoTrusted));
}

// The final path of `handle` into `out` (kFinalPathCapacity); false when it cannot be had or is cut.
bool finalPath(HANDLE handle, wchar_t* out) {
    const DWORD length = GetFinalPathNameByHandleW(handle, out, kFinalPathCapacity, FILE_NAME_NORMALIZED);
    return length != 0 && length < kFinalPathCapacity;
}

}  // namespace

bool fileSize(HANDLE file, DWORD limit, DWORD* size) {
    LARGE_INTEGER whole;
    if (!GetFileSizeEx(file, &whole)) {
        return false;
    }
    if (whole.QuadPart > limit) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    *size = static_cast<DWORD>(whole.QuadPart);
    return true;
}

void* readWholeBlock(HANDLE file, DWORD size, DWORD spare) {
    if (size > MAXDWORD - spare) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    LocalMemory<BYTE> block(static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, size + spare)));
    DWORD got = 0;
    if (block.get() == nullptr || !ReadFile(file, block.get(), size, &got, nullptr) || got != size) {
        return nullptr;
    }
    ZeroMemory(block.get() + size, spare);
    return block.release();
}

bool writeWhole(HANDLE file, const void* bytes, DWORD count) {
    DWORD written = 0;
    return WriteFile(file, bytes, count, &written, nullptr) && written == count;
}

bool isMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool samePath(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool isBareFileName(const wchar_t* name) {
    return name[0] != L'\0' && lstrcmpW(name, L".") != 0 && lstrcmpW(name, L"..") != 0 &&
           wcspbrk(name, L"\\/:") == nullptr;
}

bool joinPath(wchar_t* out, const wchar_t* folder, const wchar_t* name) {
    lstrcpynW(out, folder, MAX_PATH);
    return PathAppendW(out, name) != FALSE;
}

HANDLE openShared(const wchar_t* path, DWORD access, DWORD flags) {
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr,  // lpSecurityAttributes
                       OPEN_EXISTING, flags,
                       nullptr);  // hTemplateFile
}

Opened holdFolder(const wchar_t* path, OwnedHandle* folder) {
    folder->reset();
    if (isLinkByName(path)) {
        return Opened::link;
    }
    folder->reset(CreateFileW(path, kHoldAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr,  // lpSecurityAttributes
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr));  // hTemplateFile
    return folder->valid() ? classify(folder, true) : Opened::missing;
}

Opened makeAndHoldFolder(const wchar_t* path, OwnedHandle* folder, bool* created) {
    // lpSecurityAttributes: default security. An existing folder is fine.
    const bool made = CreateDirectoryW(path, nullptr) != FALSE;
    if (created != nullptr) {
        *created = made;
    }
    return holdFolder(path, folder);
}

Opened makeAndHoldFolderIn(HANDLE parent, const wchar_t* name, const wchar_t* path, OwnedHandle* folder,
                           bool* created) {
    if (isLinkByName(path)) {
        folder->reset();
        *created = false;
        return Opened::link;
    }
    return openRelative(parent, name, kHoldAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                        FILE_DIRECTORY_FILE, nullptr, folder, created);
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
    return file->valid() ? classify(file, false) : Opened::missing;
}

Opened openInFolder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    PSECURITY_DESCRIPTOR security, OwnedHandle* file, bool* created) {
    return openRelative(folder, name, access, share, disposition, FILE_NON_DIRECTORY_FILE, security, file,
                        created);
}

bool makeDescriptor(const wchar_t* sddl, LocalMemory<void>* descriptor) {
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor->receive(),
                                                                nullptr) != FALSE;  // SecurityDescriptorSize
}

bool ownedByTheSystemOr(HANDLE object, PSID alsoTrusted, LocalMemory<wchar_t>* owner) {
    LocalMemory<void> descriptor;
    PSID sid = nullptr;
    return GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr, nullptr,
                           nullptr,  // group and lists: not asked for
                           descriptor.receive()) == ERROR_SUCCESS &&
           ConvertSidToStringSidW(sid, owner->receive()) && isTrusted(sid, alsoTrusted);
}

bool othersCanTakeControl(PSECURITY_DESCRIPTOR descriptor, PSID alsoTrusted) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) || !present || list == nullptr) {
        return true;
    }
    for (DWORD i = 0; i < list->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(list, i, &entry)) {
            return true;
        }
        // An allowed entry, with or without a condition, is a header, a mask and the SID.
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 ||
            (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
             header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)) {
            continue;
        }
        ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & (WRITE_DAC | WRITE_OWNER | GENERIC_ALL)) != 0 &&
            !isTrusted(&allowed->SidStart, alsoTrusted)) {
            return true;
        }
    }
    return false;
}

bool folderOwner(const wchar_t* path, LocalMemory<void>* descriptor, PSID* owner) {
    *owner = nullptr;
    descriptor->reset();
    OwnedHandle folder;
    return holdFolder(path, &folder) == Opened::ok &&
           GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr, nullptr,
                           nullptr,  // group and lists: not asked for
                           descriptor->receive()) == ERROR_SUCCESS;
}

bool reopen(HANDLE object, DWORD access, OwnedHandle* again) {
    again->reset(ReOpenFile(object, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
    return again->valid();
}

bool giveToAdministrators(HANDLE object) {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    OwnedHandle owning;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
        !reopen(object, WRITE_OWNER, &owning)) {
        return false;
    }
    const DWORD set = SetSecurityInfo(owning.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                      static_cast<PSID>(administrators), nullptr, nullptr,
                                      nullptr);  // group and lists: unchanged
    SetLastError(set);
    return set == ERROR_SUCCESS;
}

bool isReparsePoint(HANDLE object) {
    const DWORD attributes = attributesOf(object);
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

DWORD linkCount(HANDLE file) {
    FILE_STANDARD_INFO information;
    return GetFileInformationByHandleEx(file, FileStandardInfo, &information, sizeof information)
               ? information.NumberOfLinks
               : 0;
}

bool isAtPath(HANDLE handle, const wchar_t* base, const wchar_t* rest) {
    const OwnedHandle baseFolder(openShared(base, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS));
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
