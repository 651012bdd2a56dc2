// The removal of the installation: every entry moved into a work folder under a journal, as an update
// moves what it replaces, so that an interrupted removal is undone as an interrupted update is; then
// everything of the installer's own in the code folder deleted, and what a running program still holds
// marked to go at the next restart.
#include "install/code_folder/code_folder.h"

#include <shlwapi.h>

#include <cwchar>

#include "install/code_folder/update_swap.h"
#include "install/files/file_tree.h"
#include "install/install_log.h"

namespace {

// How long the uninstaller's work folder may stay held by the system after its files were let go.
constexpr DWORD kPatienceMs = 2000;

// Marks what is left at `path` (a full path in the long form) to be deleted at the next restart: the
// files first, then each folder once what is in it has gone. A line for each file; false when a mark
// cannot be made.
bool leaveForRestart(InstallLog& log, TreePath& path, DWORD attributes) {
    bool marked = true;
    if (isPlainFolder(attributes)) {
        marked = forEachEntry(path,
                              [&](const wchar_t* name, DWORD inner) {
                                  const bool pushed = path.push(name);
                                  marked = pushed && leaveForRestart(log, path, inner) && marked;
                                  if (pushed) {
                                      path.pop();
                                  }
                                  return true;
                              }) &&
                 marked;
    } else {
        log.write(L"Couldn't delete %ls now; it goes at the next restart\n", path.shown());
    }
    // lpNewFileName null: deleted, by the system, before anything else runs.
    if (!MoveFileExW(path.get(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        log.write(L"Couldn't mark %ls to go at the next restart (%d)\n", path.shown(),
                  static_cast<int>(GetLastError()));
        return false;
    }
    return marked;
}

}  // namespace

CodeFolder::Removal CodeFolder::removeInstallation(InstallLog& log) {
    if (!hasInstallation()) {
        return Removal::nothing;
    }
    if (!makeWorkFolder()) {
        log.write(L"Couldn't make a work folder in %ls (%d)\n", own_, static_cast<int>(GetLastError()));
        return Removal::kept;
    }
    UpdateSwap removal;
    std::u16string journal;
    if (!removal.open(log, code_, swap_.unpacked, swap_.previous) ||
        !removal.planRemoval(log, workName_, &journal) || !removal.hold(log)) {
        return Removal::kept;
    }
    switch (underJournal(log, removal, journal)) {
        case Swap::done:
            // A journal that could not be ended leaves the removal for the next run to undo.
            return PathFileExistsW(record_) ? Removal::stuck : Removal::removed;
        case Swap::stuck:
            return Removal::stuck;
        default:
            return Removal::kept;
    }
}

bool CodeFolder::clearAway(InstallLog& log) {
    // Only while the lock is held: a run that starts meanwhile waits, and nothing of its own is deleted.
    bool cleared = true;
    bool pending = false;
    // The uninstaller may be the program that runs, whose file goes only at the next restart: it moves
    // into this run's work folder first, under a name that no later run uses, so that what is marked
    // to go then never names a file that a later installation makes.
    wchar_t uninstaller[MAX_PATH];
    wchar_t aside[MAX_PATH];
    if (lock_.valid() && joinPath(uninstaller, own_, L"Installer.exe") && PathFileExistsW(uninstaller) &&
        (work_[0] != L'\0' || makeWorkFolder()) && joinPath(aside, work_, L"Installer.exe")) {
        MoveFileExW(uninstaller, aside, 0);  // a rename; where it fails, the file is handled where it is
    }
    TreePath own;
    if (lock_.valid() && own.set(own_)) {
        forEachEntry(own, [&](const wchar_t* name, DWORD attributes) {
            if (samePath(name, L"lock") || !own.push(name)) {
                return true;
            }
            // A folder may be held a moment longer by the system after a program in it has ended.
            // Only a work folder, whose name no other run takes, is left for the restart.
            const bool removed = removeTreeAt(own.shown(), isPlainFolder(attributes) ? kPatienceMs : 0);
            if (!removed && _wcsnicmp(name, L"run-", 4) == 0) {
                pending = true;
                cleared = leaveForRestart(log, own, attributes) && cleared;
            } else if (!removed) {
                log.write(L"Couldn't delete %ls (%d)\n", own.shown(), static_cast<int>(GetLastError()));
                cleared = false;
            }
            own.pop();
            return true;
        });
    }
    work_[0] = L'\0';
    lock_.reset();
    // Each folder goes when it is empty: at once, or after what is left in it at the next restart.
    wchar_t above[MAX_PATH];
    lstrcpynW(above, code_, MAX_PATH);
    PathRemoveFileSpecW(above);
    for (const wchar_t* folder : {static_cast<const wchar_t*>(own_), static_cast<const wchar_t*>(code_),
                                  static_cast<const wchar_t*>(above)}) {
        if (!RemoveDirectoryW(folder) && pending && PathFileExistsW(folder)) {
            MoveFileExW(folder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);  // lpNewFileName: deleted
        }
    }
    return cleared;
}
