// The code folder's update under its journal: the package's files moved into place (update_swap.h) and
// a journal left by an interrupted run finished or undone. A record of the release before this one,
// which swapped whole top-level entries by renaming each within the code folder's volume (MoveFileExW
// without MOVEFILE_COPY_ALLOWED, so that each happens whole or not at all), is still finished here:
// an entry is never in two places where that sequence does not put it.
#include "install/code_folder/code_folder.h"

#include <shlwapi.h>

#include <string>

#include "install/code_folder/journal_file.h"
#include "install/code_folder/swap_hooks.h"
#include "install/code_folder/update_swap.h"
#include "install/files/file_tree.h"
#include "install/install_log.h"

namespace {

// Renames `from` to `to`, which must not exist; false after a line naming both.
bool moveEntry(InstallLog& log, const wchar_t* from, const wchar_t* to) {
    // dwFlags 0: a rename, never a copy, never over an existing entry.
    if (!changeRefusedByTest() && MoveFileExW(from, to, 0)) {
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

CodeFolder::Swap CodeFolder::swap(InstallLog& log, bool* runtime) {
    UpdateSwap update;
    std::u16string journal;
    bool refused = false;
    if (!update.open(log, code_, swap_.unpacked, swap_.previous)) {
        return Swap::kept;
    }
    if (!update.plan(log, workName_, &journal, &refused) || !update.hold(log)) {
        *runtime = update.failedInRuntime();
        return Swap::kept;
    }
    const Swap swapped = underJournal(log, update, journal);
    *runtime = swapped != Swap::done && update.failedInRuntime();
    return swapped;
}

CodeFolder::Swap CodeFolder::underJournal(InstallLog& log, UpdateSwap& change,
                                          const std::u16string& journal) {
    // Read back before anything moves: what a later run would find is known to be whole and checked.
    LocalMemory<char16_t> written;
    JournalText check;
    if (!writeJournalFile(recordDraft_, record_, &madeAdminsOnly_, journal)) {
        log.write(L"Couldn't write the record of the swap %ls (%d)\n", record_,
                  static_cast<int>(GetLastError()));
        DeleteFileW(recordDraft_);
        return Swap::kept;
    }
    if (readJournalFile(record_, &written, &check) != JournalRead::ok) {
        log.write(L"Couldn't read the record of the swap %ls (%d)\n", record_,
                  static_cast<int>(GetLastError()));
        return DeleteFileW(record_) ? Swap::kept : Swap::stuck;
    }
    if (change.forward(log)) {
        // Done: the installation is the new one. Should the journal stay (its flush failed), the next run
        // finds every step taken and ends the change then.
        if (change.end(log) && DeleteFileW(record_)) {
            change.removeMoved();
        }
        return Swap::done;
    }
    return change.undo(log) && DeleteFileW(record_) ? Swap::putBack : Swap::stuck;
}

// Undoes the update that `journal` names, from wherever an interrupted run left it: the files it had
// not moved in yet may not have reached the disk, while everything it moved out of the installation
// did. A line says so; false when it could not be undone whole (the journal then stays).
bool CodeFolder::recoverSteps(InstallLog& log, const JournalText& journal, const SwapFolders& swap) {
    UpdateSwap update;
    if (!update.open(log, code_, swap.unpacked, swap.previous)) {
        return false;
    }
    if (!update.load(journal)) {
        log.write(L"The record of the swap %ls is damaged\n", record_);
        return false;
    }
    if (!update.hold(log) || !update.undo(log) || !DeleteFileW(record_)) {
        return false;
    }
    log.write(L"Undid the update that an interrupted run left in %ls\n", code_);
    return true;
}

// Brings every entry of an earlier release's record to its final state, from wherever an earlier
// attempt left it: the entry in place moves aside (unless it is already there), then the unpacked one
// moves in. An entry found in
// two places where the sequence never leaves it stops everything.
bool CodeFolder::rollForward(InstallLog& log, const JournalText& record, const SwapFolders& swap) {
    size_t cursor = record.firstStep;
    JournalLine line;
    while (nextJournalStep(record, &cursor, &line)) {
        const std::wstring entry(reinterpret_cast<const wchar_t*>(line.path), line.length);
        const wchar_t* name = entry.c_str();
        const bool fromPackage = line.step == JournalStep::swapEntry;
        EntryPaths paths;
        if (samePath(name, L".installer") || !paths.build(code_, swap.previous, swap.unpacked, name)) {
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
            if (!moveEntry(log, paths.live, paths.aside)) {
                return false;
            }
        }
        if (fromPackage && !moveEntry(log, paths.fresh, paths.live)) {
            return false;
        }
    }
    return true;
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
    if (!clear || !RemoveDirectoryW(legacyPrevious_)) {
        return false;
    }
    log.write(L"Undid the update that an interrupted run left in %ls\n", code_);
    return true;
}
