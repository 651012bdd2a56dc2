// Win32 side of the code folder's swap: what the extractor unpacked is written through to the disk and
// given what the installation holds and the package lacks, then swapped in under a record, and a
// recorded swap is finished or undone. Every move is a rename within the code folder's volume
// (MoveFileExW without MOVEFILE_COPY_ALLOWED), so it either happens whole or not at all, and each is
// taken only once the state before it is known: an entry is never in two places where the sequence
// does not put it, and no name of the installation is ever left empty by an undo.
#include "install/code_folder/code_folder.h"

#include <shlwapi.h>

#include "install/files/file_tree.h"
#include "install/install_log.h"
#include "install/code_folder/swap_record.h"

namespace {

#if defined(WELKARA_TEST_MOVE_HOOKS)
// A test build numbers the moves of a process from 0. Before the move that the environment variable
// WELKARA_TEST_STOP_AFTER_MOVES names it ends the process on the spot, as a power cut or a kill would;
// a move that WELKARA_TEST_FAIL_MOVES lists (",2,4,") fails as the move of a file held open does.
bool failedByTest() {
    static int moves = 0;
    const int move = moves++;
    wchar_t value[64] = {};
    if (GetEnvironmentVariableW(L"WELKARA_TEST_STOP_AFTER_MOVES", value, 64) != 0 && _wtoi(value) == move) {
        TerminateProcess(GetCurrentProcess(), 3);
    }
    wchar_t number[16];
    wnsprintfW(number, 16, L",%d,", move);
    if (GetEnvironmentVariableW(L"WELKARA_TEST_FAIL_MOVES", value, 64) != 0 &&
        wcsstr(value, number) != nullptr) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return true;
    }
    return false;
}
#endif

// Renames `from` to `to`, which must not exist; false after a line naming both.
bool moveEntry(InstallLog& log, const wchar_t* from, const wchar_t* to) {
#if defined(WELKARA_TEST_MOVE_HOOKS)
    if (!failedByTest() && MoveFileExW(from, to, 0)) {
#else
    if (MoveFileExW(from, to, 0)) {  // dwFlags 0: a rename, never a copy, never over an existing entry
#endif
        return true;
    }
    log.write(L"Couldn't move %ls to %ls (%d)\n", from, to, static_cast<int>(GetLastError()));
    return false;
}

// Writes the folder's own entries (names made, renamed and removed in it) through to the disk.
bool flushFolder(const wchar_t* path) {
    const OwnedHandle folder(
        openShared(path, GENERIC_WRITE, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
    return folder.valid() && FlushFileBuffers(folder.get());
}

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

bool CodeFolder::folders(const wchar_t* workFolder, SwapFolders* out) const {
    wchar_t work[MAX_PATH];
    const wchar_t* folder = workFolder == nullptr ? own_ : work;
    return (workFolder == nullptr || joinPath(work, own_, workFolder)) &&
           joinPath(out->unpacked, folder, L"unpacked") && joinPath(out->previous, folder, L"previous");
}

// Writes what the extractor unpacked through to the disk, then carries into every unpacked folder
// (but "python", which is replaced whole) what the installed one holds and the package lacks.
bool CodeFolder::prepareSwap(InstallLog& log) {
    TreePath fresh;
    if (!fresh.set(swap_.unpacked) || !flushTree(fresh)) {
        log.write(L"Couldn't write %ls to the disk (%d)\n",
                  fresh.get() != nullptr ? fresh.shown() : swap_.unpacked, static_cast<int>(GetLastError()));
        return false;
    }
    TreePath live;
    return forEachEntry(fresh, [&](const wchar_t* name, DWORD attributes) {
        wchar_t installed[MAX_PATH];
        if (!isPlainFolder(attributes) || samePath(name, L"python") || !joinPath(installed, code_, name) ||
            !isPlainFolder(GetFileAttributesW(installed))) {
            return true;  // also when nothing is installed there (the attributes are all ones then)
        }
        const bool pushed = live.set(installed) && fresh.push(name);
        const bool carried = pushed && carryMissing(live, fresh);
        if (!carried) {
            log.write(L"Couldn't carry %ls into the new installation (%d)\n",
                      pushed ? live.shown() : installed, static_cast<int>(GetLastError()));
        }
        if (pushed) {
            fresh.pop();
        }
        return carried;
    });
}

CodeFolder::Swap CodeFolder::swap(InstallLog& log, bool* movingAside) {
    *movingAside = false;
    if (!writeRecord(log)) {
        DeleteFileW(recordDraft_);
        return Swap::kept;
    }
    SwapRecord record;
    if (record.read(record_) != SwapRecord::Read::ok) {
        log.write(L"Couldn't read the record of the swap %ls (%d)\n", record_,
                  static_cast<int>(GetLastError()));
        return DeleteFileW(record_) ? Swap::kept : Swap::stuck;
    }
    if (!rollForward(log, record, swap_, movingAside)) {
        record.rewind();
        return undo(log, record, swap_) ? Swap::putBack : Swap::stuck;
    }
    // Done: the installation is the new one. Should the record stay, the next run finds nothing left
    // to move and ends the swap then.
    endSwap(log, swap_, false);
    return Swap::done;
}

bool CodeFolder::writeRecord(InstallLog& log) {
    SwapRecord record;
    TreePath unpacked;
    bool written = record.begin(recordDraft_, &madeAdminsOnly_, workName_) && unpacked.set(swap_.unpacked);
    bool refused = false;
    bool holdsPython = false;
    written =
        written && forEachEntry(unpacked, [&](const wchar_t* name, DWORD) {
            EntryPaths paths;
            if (samePath(name, SwapRecord::kOwnFolderName) ||
                !paths.build(code_, swap_.previous, swap_.unpacked, name)) {
                log.write(
                    L"Refusing the package: it holds %ls, which cannot be installed beside the installer's "
                    L"folder\n",
                    name);
                refused = true;
                return false;
            }
            if (samePath(name, L"archive.7z")) {
                return true;  // the archive itself, should its deletion have failed
            }
            holdsPython = holdsPython || samePath(name, L"python");
            return record.add(true, name);
        });
    written = written && (holdsPython || record.add(false, L"python")) && record.commit(record_);
    if (!written && !refused) {
        log.write(L"Couldn't write the record of the swap %ls (%d)\n", record_,
                  static_cast<int>(GetLastError()));
    }
    return written;
}

// Brings every recorded entry to its final state, from wherever an earlier attempt left it: the entry
// in place moves aside (unless it is already there), then the unpacked one moves in. An entry found in
// two places where the sequence never leaves it stops everything.
bool CodeFolder::rollForward(InstallLog& log, SwapRecord& record, const SwapFolders& swap,
                             bool* movingAside) {
    const wchar_t* name = nullptr;
    bool fromPackage = false;
    while (record.next(&name, &fromPackage)) {
        EntryPaths paths;
        if (!paths.build(code_, swap.previous, swap.unpacked, name)) {
            log.write(L"The record of the swap %ls is damaged\n", record_);
            return false;
        }
        const bool inPlace = PathFileExistsW(paths.live);
        if (fromPackage && !PathFileExistsW(paths.fresh)) {
            if (!inPlace) {
                log.write(L"%ls is neither unpacked nor installed\n", paths.live);
                return false;
            }
            continue;  // moved in already
        }
        if (inPlace) {
            if (PathFileExistsW(paths.aside)) {
                log.write(L"%ls and %ls both exist\n", paths.live, paths.aside);
                return false;
            }
            CreateDirectoryW(swap.previous,
                             nullptr);  // inherited from the work folder; an existing one is fine
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
    return true;
}

// Takes back every move of a swap that stopped part-way: a new entry in place goes back to the unpacked
// folder and the previous one comes back. Where the previous one cannot come back, the new one is put
// in place again, so that no name stays empty; the record then stays, and the next run finishes the
// swap. True when everything is back and the record is gone.
bool CodeFolder::undo(InstallLog& log, SwapRecord& record, const SwapFolders& swap) {
    const wchar_t* name = nullptr;
    bool fromPackage = false;
    bool undone = true;
    while (record.next(&name, &fromPackage)) {
        EntryPaths paths;
        if (!paths.build(code_, swap.previous, swap.unpacked, name)) {
            return false;
        }
        if (fromPackage && !PathFileExistsW(paths.fresh) && PathFileExistsW(paths.live) &&
            !moveEntry(log, paths.live, paths.fresh)) {
            undone = false;
            continue;
        }
        if (PathFileExistsW(paths.aside) && !PathFileExistsW(paths.live) &&
            !moveEntry(log, paths.aside, paths.live)) {
            undone = false;
            if (fromPackage) {
                moveEntry(log, paths.fresh, paths.live);
            }
        }
    }
    return undone && DeleteFileW(record_);
}

// Ends a swap that is done: its moves are written through to the disk, then the record goes. What was
// moved aside is left over from then on. A record made before work folders existed kept its entries in
// "previous" in the installer's folder, the name that an unrecorded swap of that time used: a mark
// beside it, "previous.done", says first that nothing there is to come back.
bool CodeFolder::endSwap(InstallLog& log, const SwapFolders& swap, bool legacy) {
    if (!flushFolder(code_) || (PathFileExistsW(swap.previous) && !flushFolder(swap.previous))) {
        log.write(L"Couldn't write the swap in %ls to the disk (%d)\n", code_,
                  static_cast<int>(GetLastError()));
        return false;
    }
    if (legacy && PathFileExistsW(swap.previous)) {
        const OwnedHandle mark(CreateFileW(legacyDone_, GENERIC_WRITE, 0, &madeAdminsOnly_, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL,
                                           nullptr));  // hTemplateFile
        if (!mark.valid() || !FlushFileBuffers(mark.get())) {
            log.write(L"Couldn't write %ls (%d)\n", legacyDone_, static_cast<int>(GetLastError()));
            return false;
        }
    }
    return DeleteFileW(record_) != FALSE;
}

// Without a record (and without the mark of a finished swap), "previous" in the installer's folder is
// what a swap of an earlier version moved aside before it recorded anything: it all comes back. When anything
// took the place of an entry that was moved aside, nothing is moved and both stay where they are.
bool CodeFolder::undoUnrecorded(InstallLog& log) {
    if (!PathFileExistsW(legacyPrevious_) || PathFileExistsW(legacyDone_)) {
        return true;
    }
    TreePath previous;
    if (!previous.set(legacyPrevious_)) {
        return false;
    }
    bool clear = forEachEntry(previous, [&](const wchar_t* name, DWORD) {
        EntryPaths paths;
        if (!paths.build(code_, legacyPrevious_, legacyPrevious_, name)) {
            return false;
        }
        if (PathFileExistsW(paths.live)) {
            log.write(L"%ls and %ls both exist\n", paths.live, paths.aside);
            return false;
        }
        return true;
    });
    // One entry at a time, each from a new listing: a listing is not read on past a rename out of it.
    while (clear) {
        wchar_t name[MAX_PATH] = {};
        forEachEntry(previous, [&](const wchar_t* first, DWORD) {
            lstrcpynW(name, first, MAX_PATH);
            return false;
        });
        EntryPaths paths;
        if (name[0] == L'\0') {
            break;
        }
        clear = paths.build(code_, legacyPrevious_, legacyPrevious_, name) &&
                moveEntry(log, paths.aside, paths.live);
    }
    return clear && RemoveDirectoryW(legacyPrevious_);
}
