// Win32 side of the code folder's lock, recovery and swap. Every move is a rename within the code
// folder's volume (MoveFileExW without MOVEFILE_COPY_ALLOWED), so it either happens whole or not at
// all. The record is a UTF-16 text, one entry per line: "+name" for a top-level entry of the package,
// "-name" for an entry that goes without a replacement ("python" when the package holds none).
#include "install/code_folder.h"

#include <shellapi.h>
#include <shlwapi.h>

#include "install/extract.h"
#include "install/final_lines.h"
#include "install/install_log.h"
#include "install/local_memory.h"

namespace {

// A record larger than this was not written by a swap: no package has that many top-level entries.
constexpr DWORD kRecordLimit = 4 * 1024 * 1024;

bool exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool sameName(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// Deletes the folder or file `path` with everything in it, outright (not to the Recycle Bin) and without
// any dialog. A missing one is fine. Right after a program that worked in the folder has ended, the
// system may hold the folder for a moment longer, so a refusal is tried again for up to two seconds.
bool removeTree(const wchar_t* path) {
    wchar_t list[MAX_PATH + 1] = {};  // the path followed by two nulls, as SHFileOperationW takes it
    lstrcpynW(list, path, MAX_PATH);
    for (int attempt = 0; exists(path); ++attempt) {
        if (attempt == 100) {
            return false;
        }
        if (attempt > 0) {
            Sleep(20);
        }
        SHFILEOPSTRUCTW operation = {};
        operation.hwnd = nullptr;
        operation.wFunc = FO_DELETE;
        operation.pFrom = list;
        operation.pTo = nullptr;
        operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;  // 0x414
        operation.fAnyOperationsAborted = FALSE;
        operation.hNameMappings = nullptr;
        operation.lpszProgressTitle = L"";
        SHFileOperationW(&operation);
    }
    return true;
}

// Renames `from` to `to`, which must not exist; false after a line naming both.
bool moveEntry(InstallLog& log, const wchar_t* from, const wchar_t* to) {
    if (MoveFileExW(from, to, 0)) {  // dwFlags 0: a rename, never a copy, never over an existing entry
        return true;
    }
    log.write(L"Couldn't move %ls to %ls (%d)\n", from, to, static_cast<int>(GetLastError()));
    return false;
}

// The names in a folder, one at a time, without "." and "..".
class FolderEntries {
  public:
    explicit FolderEntries(const wchar_t* folder) {
        wchar_t pattern[MAX_PATH];
        if (joinPath(pattern, folder, L"*")) {
            search_ = FindFirstFileExW(pattern, FindExInfoBasic, &found_, FindExSearchNameMatch,
                                       nullptr,  // lpSearchFilter
                                       0);       // dwAdditionalFlags
            pending_ = search_ != INVALID_HANDLE_VALUE;
        }
    }
    FolderEntries(const FolderEntries&) = delete;
    FolderEntries& operator=(const FolderEntries&) = delete;
    ~FolderEntries() {
        if (search_ != INVALID_HANDLE_VALUE) {
            FindClose(search_);
        }
    }
    // The next name, or null at the end.
    const wchar_t* next() {
        while (pending_) {
            lstrcpynW(name_, found_.cFileName, MAX_PATH);
            pending_ = FindNextFileW(search_, &found_) != FALSE;
            if (lstrcmpW(name_, L".") != 0 && lstrcmpW(name_, L"..") != 0) {
                return name_;
            }
        }
        return nullptr;
    }

  private:
    HANDLE search_ = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW found_ = {};
    bool pending_ = false;
    wchar_t name_[MAX_PATH] = {};
};

// A swap record read whole into memory; its entries are handed out one by one.
class Record {
  public:
    // False when the file cannot be read whole or is larger than any record.
    bool read(const wchar_t* path) {
        const OwnedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ,
                                           nullptr,  // lpSecurityAttributes
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                           nullptr));  // hTemplateFile
        LARGE_INTEGER size;
        if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kRecordLimit ||
            size.QuadPart % sizeof(wchar_t) != 0) {
            return false;
        }
        const DWORD bytes = static_cast<DWORD>(size.QuadPart);
        text_.reset(static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, bytes + sizeof(wchar_t))));
        DWORD got = 0;
        if (text_.get() == nullptr || !ReadFile(file.get(), text_.get(), bytes, &got, nullptr) ||
            got != bytes) {
            return false;
        }
        end_ = text_.get() + bytes / sizeof(wchar_t);
        *end_ = L'\0';
        cursor_ = text_.get();
        return true;
    }

    // The next entry: true with its name and whether it comes from the package; false at the end or
    // at a line that no swap writes (*damaged is set then).
    bool next(const wchar_t** name, bool* fromPackage, bool* damaged) {
        *damaged = false;
        if (cursor_ == end_) {
            return false;
        }
        wchar_t* lineEnd = cursor_;
        while (lineEnd != end_ && *lineEnd != L'\n') {
            ++lineEnd;
        }
        if (lineEnd == end_) {
            *damaged = true;  // every line of a record ends in a line feed
            return false;
        }
        *lineEnd = L'\0';
        const wchar_t kind = cursor_[0];
        *name = cursor_ + 1;
        cursor_ = lineEnd + 1;
        *fromPackage = kind == L'+';
        *damaged = (kind != L'+' && kind != L'-') || !isBareFileName(*name) ||
                   sameName(*name, CodeFolder::kOwnFolderName);
        return !*damaged;
    }

  private:
    LocalMemory<wchar_t> text_;
    wchar_t* end_ = nullptr;
    wchar_t* cursor_ = nullptr;
};

// The three places of one entry: in the installation, moved aside, and unpacked.
struct EntryPaths {
    wchar_t live[MAX_PATH];
    wchar_t aside[MAX_PATH];
    wchar_t fresh[MAX_PATH];
    bool build(const wchar_t* code, const wchar_t* previous, const wchar_t* unpacked, const wchar_t* name) {
        return joinPath(live, code, name) && joinPath(aside, previous, name) &&
               joinPath(fresh, unpacked, name);
    }
};

}  // namespace

bool CodeFolder::setPath(const wchar_t* path) {
    lstrcpynW(code_, path, MAX_PATH);
    return joinPath(own_, code_, kOwnFolderName) && joinPath(lockFile_, own_, L"lock") &&
           joinPath(unpacked_, own_, L"unpacked") && joinPath(previous_, own_, L"previous") &&
           joinPath(record_, own_, L"swap") && joinPath(recordDraft_, own_, L"swap.new") &&
           joinPath(extractorCopy_, own_, L"7za.exe");
}

const wchar_t* CodeFolder::take(InstallLog& log) {
    switch (lock()) {
        case Lock::held:
            return recover(log) ? nullptr : finalLine::kNotRecovered;
        case Lock::noFolder:
            return nullptr;
        case Lock::busy:
            log.write(L"Another installation is working in %ls\n", code_);
            return finalLine::kNotLocked;
        case Lock::failed:
            break;
    }
    log.write(L"Couldn't lock the code folder %ls (%d)\n", code_, static_cast<int>(GetLastError()));
    return finalLine::kNotLocked;
}

const wchar_t* CodeFolder::replace(InstallLog& log, PinnedExtractor& extractor, const std::uint8_t* bytes,
                                   std::uint32_t length) {
    // A folder that cannot be made shows up as the failure to make it current.
    makeUnpackedFolder();
    const bool kept = !extractUpdate(log, unpacked_, extractor, own_, lockHandle(), bytes, length);
    bool movingAside = false;
    const Swap swapped = kept ? Swap::kept : swap(log, &movingAside);
    switch (swapped) {
        case Swap::done:
            return nullptr;
        case Swap::kept:
            if (hasInstallation()) {
                log.write(L"The previous installation in %ls was kept\n", code_);
            }
            return finalLine::kNotExtracted;
        case Swap::putBack:
            log.write(L"The previous installation in %ls was put back\n", code_);
            break;
        case Swap::stuck:
            log.write(L"The installation in %ls is part-way through a swap; the next run finishes it\n",
                      code_);
            break;
    }
    return movingAside ? finalLine::kNotRemoved : finalLine::kNotExtracted;
}

CodeFolder::Lock CodeFolder::lock() {
    // A run that just ended may remove the installer's folder between its creation here and the
    // opening of the lock inside it: the folder is then made again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!CreateDirectoryW(own_, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return GetLastError() == ERROR_PATH_NOT_FOUND ? Lock::noFolder : Lock::failed;
        }
        // No sharing at all, so a second open fails for as long as any handle on this one is open: the
        // run's own and the copy that its extractor inherits. The file goes with its last handle.
        lock_.reset(CreateFileW(lockFile_, GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                nullptr,  // lpSecurityAttributes
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
                                nullptr));  // hTemplateFile
        if (lock_.valid()) {
            return Lock::held;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
            // Access is denied while the last holder's close is deleting the file: busy all the same.
            return Lock::busy;
        }
        if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) {
            return Lock::failed;
        }
    }
    return Lock::failed;
}

bool CodeFolder::recover(InstallLog& log) {
    bool settled = false;
    if (exists(record_)) {
        bool movingAside = false;
        settled = finishRecorded(log, &movingAside) && removeTree(previous_) && DeleteFileW(record_);
    } else {
        settled = undoUnrecorded(log);
    }
    settled = settled && removeScratch();
    if (!settled) {
        log.write(L"Couldn't settle what an interrupted installation left in %ls\n", own_);
    }
    return settled;
}

bool CodeFolder::hasInstallation() const {
    FolderEntries entries(code_);
    for (const wchar_t* name = entries.next(); name != nullptr; name = entries.next()) {
        if (!sameName(name, kOwnFolderName)) {
            return true;
        }
    }
    return false;
}

bool CodeFolder::makeUnpackedFolder() {
    return CreateDirectoryW(unpacked_, nullptr) != FALSE;  // lpSecurityAttributes: the code folder's own
}

CodeFolder::Swap CodeFolder::swap(InstallLog& log, bool* movingAside) {
    *movingAside = false;
    bool refused = false;
    if (!writeRecord(log, &refused)) {
        DeleteFileW(recordDraft_);
        return Swap::kept;
    }
    if (!finishRecorded(log, movingAside)) {
        return undoRecorded(log) ? Swap::putBack : Swap::stuck;
    }
    // Done: the installation is the new one. What was moved aside goes; should that fail, the record
    // stays, and the next run finds nothing left to move and removes it then.
    if (!removeTree(previous_)) {
        log.write(L"Couldn't remove the previous installation from %ls; the next run removes it\n",
                  previous_);
        return Swap::done;
    }
    DeleteFileW(record_);
    return Swap::done;
}

void CodeFolder::release() {
    if (!lock_.valid()) {
        return;
    }
    removeScratch();
    lock_.reset();
    RemoveDirectoryW(own_);  // only when nothing else is left in it
}

// The record is written whole under another name, flushed and then renamed into place, so that it
// exists either whole or not at all.
bool CodeFolder::writeRecord(InstallLog& log, bool* refused) {
    *refused = false;
    OwnedHandle draft(CreateFileW(recordDraft_, GENERIC_WRITE, 0,
                                  nullptr,  // lpSecurityAttributes
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));  // hTemplateFile
    bool written = draft.valid();
    bool holdsPython = false;
    FolderEntries entries(unpacked_);
    for (const wchar_t* name = entries.next(); written && name != nullptr; name = entries.next()) {
        EntryPaths paths;
        if (sameName(name, kOwnFolderName) || !paths.build(code_, previous_, unpacked_, name)) {
            log.write(
                L"Refusing the package: it holds %ls, which cannot be installed beside the installer's "
                L"folder\n",
                name);
            *refused = true;
            return false;
        }
        if (sameName(name, L"archive.7z")) {
            continue;  // the archive itself, should its deletion have failed
        }
        holdsPython = holdsPython || sameName(name, L"python");
        wchar_t line[MAX_PATH + 2];
        const int length = wnsprintfW(line, MAX_PATH + 2, L"+%ls\n", name);
        DWORD done = 0;
        written = WriteFile(draft.get(), line, length * sizeof(wchar_t), &done, nullptr) &&
                  done == length * sizeof(wchar_t);
    }
    if (written && !holdsPython) {
        const wchar_t line[] = L"-python\n";
        DWORD done = 0;
        written = WriteFile(draft.get(), line, sizeof line - sizeof(wchar_t), &done, nullptr) &&
                  done == sizeof line - sizeof(wchar_t);
    }
    written = written && FlushFileBuffers(draft.get());
    draft.reset();
    if (!written || !MoveFileExW(recordDraft_, record_, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        log.write(L"Couldn't write the record of the swap %ls (%d)\n", record_,
                  static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

// Brings every recorded entry to its final state, from wherever an earlier attempt left it: the entry
// in place moves aside (unless it is already there), then the unpacked one moves in. Each step is
// taken only when the one before it is known to be done, and an entry found in two places where the
// sequence never leaves it stops everything.
bool CodeFolder::finishRecorded(InstallLog& log, bool* movingAside) {
    Record record;
    if (!record.read(record_)) {
        log.write(L"Couldn't read the record of the swap %ls (%d)\n", record_,
                  static_cast<int>(GetLastError()));
        return false;
    }
    const wchar_t* name = nullptr;
    bool fromPackage = false;
    bool damaged = false;
    while (record.next(&name, &fromPackage, &damaged)) {
        EntryPaths paths;
        if (!paths.build(code_, previous_, unpacked_, name)) {
            damaged = true;
            break;
        }
        const bool inPlace = exists(paths.live);
        if (fromPackage && !exists(paths.fresh)) {
            if (!inPlace) {
                log.write(L"%ls is neither unpacked nor installed\n", paths.live);
                return false;
            }
            continue;  // moved in already
        }
        if (inPlace) {
            if (exists(paths.aside)) {
                log.write(L"%ls and %ls both exist\n", paths.live, paths.aside);
                return false;
            }
            CreateDirectoryW(previous_, nullptr);  // an existing one is fine
            *movingAside = true;
            if (!moveEntry(log, paths.live, paths.aside)) {
                return false;
            }
        }
        *movingAside = false;
        if (fromPackage && !moveEntry(log, paths.fresh, paths.live)) {
            return false;
        }
    }
    if (damaged) {
        log.write(L"The record of the swap %ls is damaged\n", record_);
        return false;
    }
    return true;
}

// Takes back every move of a swap that stopped part-way: a new entry that is in place goes back to the
// unpacked folder, then the previous one comes back. The record goes only once all is back.
bool CodeFolder::undoRecorded(InstallLog& log) {
    Record record;
    if (!record.read(record_)) {
        return false;
    }
    const wchar_t* name = nullptr;
    bool fromPackage = false;
    bool damaged = false;
    bool undone = true;
    while (record.next(&name, &fromPackage, &damaged)) {
        EntryPaths paths;
        if (!paths.build(code_, previous_, unpacked_, name)) {
            return false;
        }
        if (fromPackage && !exists(paths.fresh) && exists(paths.live) &&
            !moveEntry(log, paths.live, paths.fresh)) {
            undone = false;
            continue;
        }
        if (exists(paths.aside) && (exists(paths.live) || !moveEntry(log, paths.aside, paths.live))) {
            undone = false;
        }
    }
    if (!undone || damaged) {
        return false;
    }
    RemoveDirectoryW(previous_);
    return DeleteFileW(record_) != FALSE;
}

// Without a record no swap was under way: whatever was moved aside comes back. When anything took the
// place of an entry that was moved aside, nothing is moved and both stay where they are.
bool CodeFolder::undoUnrecorded(InstallLog& log) {
    if (!exists(previous_)) {
        return true;
    }
    bool clear = true;
    {
        FolderEntries entries(previous_);
        for (const wchar_t* name = entries.next(); name != nullptr; name = entries.next()) {
            EntryPaths paths;
            if (!paths.build(code_, previous_, unpacked_, name)) {
                clear = false;
            } else if (exists(paths.live)) {
                log.write(L"%ls and %ls both exist\n", paths.live, paths.aside);
                clear = false;
            }
        }
    }
    // One entry at a time, each from a new listing: a listing is not read on past a rename out of it.
    while (clear) {
        FolderEntries entries(previous_);
        const wchar_t* name = entries.next();
        if (name == nullptr) {
            break;
        }
        EntryPaths paths;
        clear = paths.build(code_, previous_, unpacked_, name) && moveEntry(log, paths.aside, paths.live);
    }
    return clear && RemoveDirectoryW(previous_);
}

// Removes what a run leaves in the installer's folder besides the lock: the copy of the extractor, a
// record never renamed into place and, unless a record still needs it, the unpacked folder.
bool CodeFolder::removeScratch() {
    DeleteFileW(extractorCopy_);
    DeleteFileW(recordDraft_);
    return (exists(record_) || removeTree(unpacked_)) && !exists(extractorCopy_) && !exists(recordDraft_);
}
