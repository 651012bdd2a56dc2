// Whole trees walked and removed by path in the long form. Every name is looked at through its directory
// listing, which reports a reparse point without following it; a listed folder is walked only when it is no
// reparse point.
#include "install/files/file_tree.h"

namespace {

// The long form allows 32,767 characters and a terminator; its prefix "\\?\" is what shown() leaves out.
constexpr size_t kTreePathCapacity = 32768;
constexpr size_t kPrefix = 4;

// One attempt of removeTreeAt() at `path`.
bool removeTree(TreePath& path) {
    const DWORD attributes = GetFileAttributesW(path.get());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return isMissing(GetLastError());
    }
    // A read-only mark keeps a file (or a folder, for RemoveDirectoryW) from being deleted. It is
    // taken off only a file that has no other name: every name of a file shares its attributes, and
    // one that stays elsewhere keeps its mark (such a file stays here until a later try).
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const OwnedHandle file(
            folder ? INVALID_HANDLE_VALUE
                   : openShared(path.get(), FILE_READ_ATTRIBUTES, FILE_FLAG_OPEN_REPARSE_POINT));
        if (!folder && linkCount(file.get()) != 1) {
            return false;
        }
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
