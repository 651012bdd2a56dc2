// Win32 side of the file trees. Every name is looked at through its directory listing, which reports
// a reparse point without following it; a listed folder is walked only when it is no reparse point.
#include "install/files/file_tree.h"

#include <winioctl.h>

namespace {

// The long form allows 32,767 characters and a terminator; its prefix "\\?\" is what shown() leaves out.
constexpr size_t kTreePathCapacity = 32768;
constexpr size_t kPrefix = 4;

// FlushFileBuffers needs a handle with the right to write, which a file marked read-only refuses: the
// mark is taken off for the flush and put back afterwards.
bool flushFile(const wchar_t* path, DWORD attributes) {
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return false;
    }
    const OwnedHandle file(openShared(path, GENERIC_WRITE, FILE_FLAG_OPEN_REPARSE_POINT));
    const bool flushed = file.valid() && FlushFileBuffers(file.get());
    const DWORD error = GetLastError();
    if (readOnly) {
        SetFileAttributesW(path, attributes);
    }
    SetLastError(error);
    return flushed;
}

// Makes `fresh` a link or junction with the same reparse data as `live`, which is one.
bool copyLink(const wchar_t* live, const wchar_t* fresh, bool folder) {
    static thread_local BYTE data[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    const OwnedHandle source(
        openShared(live, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
    DWORD size = 0;
    if (!source.valid() || !DeviceIoControl(source.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0,  // no input
                                            data, sizeof data, &size,
                                            nullptr)) {  // lpOverlapped
        return false;
    }
    if (folder && !CreateDirectoryW(fresh, nullptr)) {  // lpSecurityAttributes: inherited
        return false;
    }
    const OwnedHandle target(CreateFileW(fresh, GENERIC_WRITE, 0,
                                         nullptr,  // lpSecurityAttributes: inherited
                                         folder ? OPEN_EXISTING : CREATE_NEW,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));  // hTemplateFile
    DWORD returned = 0;
    return target.valid() &&
           DeviceIoControl(target.get(), FSCTL_SET_REPARSE_POINT, data, size, nullptr, 0,  // no output
                           &returned,
                           nullptr);  // lpOverlapped
}

// Makes `fresh`, which does not exist, hold what `live` (with `attributes`) is.
bool carry(TreePath& live, TreePath& fresh, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return copyLink(live.get(), fresh.get(), (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return CreateDirectoryExW(live.get(), fresh.get(),
                                  nullptr) &&  // lpSecurityAttributes: inherited
               carryMissing(live, fresh);
    }
    if (CreateHardLinkW(fresh.get(), live.get(), nullptr)) {  // lpSecurityAttributes: reserved
        return true;
    }
    // The attributes (a read-only mark among them) come along with the copy.
    return CopyFileExW(live.get(), fresh.get(),
                       nullptr,  // lpProgressRoutine
                       nullptr,  // lpData
                       nullptr,  // pbCancel
                       COPY_FILE_FAIL_IF_EXISTS) &&
           flushFile(fresh.get(), attributes);
}

// One attempt of removeTreeAt() at `path`.
bool removeTree(TreePath& path) {
    const DWORD attributes = GetFileAttributesW(path.get());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return isMissing(GetLastError());
    }
    // A read-only mark keeps a file (or a folder, for RemoveDirectoryW) from being deleted.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path.get(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return DeleteFileW(path.get()) != FALSE;  // a link to a file goes itself
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        bool all = true;
        forEachEntry(path, [&](const wchar_t* name, DWORD) {
            if (path.push(name)) {
                all = removeTree(path) && all;
                path.pop();
            } else {
                all = false;
            }
            return true;
        });
        if (!all) {
            return false;
        }
    }
    return RemoveDirectoryW(path.get()) != FALSE;  // a junction or a link to a folder goes itself
}

}  // namespace

bool isPlainFolder(DWORD attributes) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
           FILE_ATTRIBUTE_DIRECTORY;
}

bool TreePath::set(const wchar_t* path) {
    const bool drivePath = path[0] != L'\0' && path[1] == L':' && path[2] == L'\\';
    if (!drivePath) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    if (text_.get() == nullptr) {
        text_.reset(static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, kTreePathCapacity * sizeof(wchar_t))));
        if (text_.get() == nullptr) {
            return false;
        }
    }
    lstrcpynW(text_.get(), L"\\\\?\\", kTreePathCapacity);
    lstrcpynW(text_.get() + kPrefix, path, static_cast<int>(kTreePathCapacity - kPrefix));
    length_ = lstrlenW(text_.get());
    // A root keeps its backslash; any other folder has none at its end.
    if (length_ > kPrefix + 3 && text_.get()[length_ - 1] == L'\\') {
        text_.get()[--length_] = L'\0';
    }
    return true;
}

bool TreePath::push(const wchar_t* name) {
    const size_t nameLength = lstrlenW(name);
    const bool separator = text_.get()[length_ - 1] != L'\\';
    if (length_ + separator + nameLength >= kTreePathCapacity) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (separator) {
        text_.get()[length_++] = L'\\';
    }
    CopyMemory(text_.get() + length_, name, (nameLength + 1) * sizeof(wchar_t));
    length_ += nameLength;
    return true;
}

void TreePath::pop() {
    while (length_ > kPrefix + 3 && text_.get()[length_ - 1] != L'\\') {
        --length_;
    }
    if (length_ > kPrefix + 3) {
        --length_;  // the separator, except the root's own
    }
    text_.get()[length_] = L'\0';
}

const wchar_t* TreePath::shown() const {
    return text_.get() != nullptr ? text_.get() + kPrefix : L"";
}

bool removeTreeAt(const wchar_t* path, DWORD patienceMs) {
    TreePath tree;
    if (!tree.set(path)) {
        return false;
    }
    const ULONGLONG until = GetTickCount64() + patienceMs;
    while (!removeTree(tree)) {
        if (GetTickCount64() >= until) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

bool flushTree(TreePath& path) {
    return forEachEntry(path, [&](const wchar_t* name, DWORD attributes) {
        if (!path.push(name)) {
            return false;
        }
        // A link holds no data of its own to flush.
        const bool flushed = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? true
                             : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                                 ? flushTree(path)
                                 : flushFile(path.get(), attributes);
        if (flushed) {
            path.pop();
        }
        return flushed;
    });
}

bool carryMissing(TreePath& live, TreePath& fresh) {
    return forEachEntry(live, [&](const wchar_t* name, DWORD attributes) {
        if (!live.push(name) || !fresh.push(name)) {
            return false;
        }
        const DWORD there = GetFileAttributesW(fresh.get());
        bool carried = true;
        if (there == INVALID_FILE_ATTRIBUTES) {
            carried = isMissing(GetLastError()) && carry(live, fresh, attributes);
        } else if (isPlainFolder(attributes) && isPlainFolder(there)) {
            carried = carryMissing(live, fresh);
        }
        const DWORD error = GetLastError();
        fresh.pop();
        if (carried) {
            live.pop();
        }
        SetLastError(error);
        return carried;
    });
}
