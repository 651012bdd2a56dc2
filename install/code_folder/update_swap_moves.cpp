// The moves of one step of an update, forward and back: renames and second names through the handles of
// the folders on both sides, each failure written as one line (see update_swap.cpp for the states).
#include "install/code_folder/update_swap.h"

#include "install/code_folder/swap_hooks.h"
#include "install/files/file_tree.h"
#include "install/files/relative_files.h"
#include "install/files/safe_files.h"
#include "install/install_log.h"

namespace {

// The probe of an installed file before its second name: no sharing at all, and the right to write,
// which a running program's image refuses. Only a file that nobody holds open can be replaced in one
// rename, and only such a file may get a second name that would have to be removed again.
constexpr ACCESS_MASK kProbeAccess = DELETE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;

}  // namespace

// Flushes the file `name` in the folder open as `folder`. A read-only file refuses the right to write:
// its mark is taken off for the flush and put back afterwards. An entry that is a folder (a junction
// that the package holds) has no data to flush.
bool UpdateSwap::flushFileIn(HANDLE folder, const wchar_t* name) {
    OwnedHandle file;
    if (openIn(folder, name, FILE_WRITE_DATA, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr,
               &file)) {
        return FlushFileBuffers(file.get()) != FALSE;
    }
    if (GetLastError() == ERROR_DIRECTORY) {
        return true;
    }
    OwnedHandle marked;
    FILE_BASIC_INFO basic;
    if (GetLastError() != ERROR_ACCESS_DENIED ||
        !openIn(folder, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN,
                FILE_NON_DIRECTORY_FILE, nullptr, &marked) ||
        !GetFileInformationByHandleEx(marked.get(), FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    FILE_BASIC_INFO writable = {};  // times of 0 stay as they are
    writable.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (writable.FileAttributes == 0) {
        writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    FILE_BASIC_INFO again = {};
    again.FileAttributes = basic.FileAttributes;
    const bool flushed =
        SetFileInformationByHandle(marked.get(), FileBasicInfo, &writable, sizeof writable) &&
        openIn(folder, name, FILE_WRITE_DATA, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr,
               &file) &&
        FlushFileBuffers(file.get());
    const DWORD error = GetLastError();
    SetFileInformationByHandle(marked.get(), FileBasicInfo, &again, sizeof again);
    SetLastError(error);
    return flushed;
}

bool UpdateSwap::move(InstallLog& log, const Step& step, Tree from, Tree to, bool replace, bool quiet) {
    const HANDLE source = handleOf(from, step.folder);
    const HANDLE target = handleOf(to, step.folder);
    OwnedHandle entry;
    const bool moved = !changeRefusedByTest() && source != nullptr && target != nullptr &&
                       openIn(source, step.name.c_str(), DELETE, kShareAll, FILE_OPEN, 0, nullptr, &entry) &&
                       renameIn(entry.get(), target, step.name.c_str(), replace);
    if (!moved && !quiet) {
        const DWORD error = GetLastError();
        note(log, folders_[step.folder].runtime, L"Couldn't move %ls to %ls (%d)\n",
             shown(from, step.folder, step.name).c_str(), shown(to, step.folder, step.name).c_str(),
             static_cast<int>(error));
        SetLastError(error);
    }
    return moved;
}

// Renames the step's unpacked file into its place, over the installed one when `replace`. Where each
// file is flushed on its own, it is written through to the disk first, through the handle that renames
// it: a file that is in its place is on the disk. False after a line (unless `quiet`).
bool UpdateSwap::moveIn(InstallLog& log, const Step& step, bool replace, bool quiet) {
    if (!flushEach_) {
        return move(log, step, Tree::fresh, Tree::live, replace, quiet);
    }
    const HANDLE source = handleOf(Tree::fresh, step.folder);
    const HANDLE target = handleOf(Tree::live, step.folder);
    OwnedHandle entry;
    // A read-only file refuses the right to write: it is flushed by itself first (a folder that the
    // package holds as an entry, a junction, has nothing to flush).
    const bool writable = source != nullptr && openIn(source, step.name.c_str(), DELETE | FILE_WRITE_DATA,
                                                      kShareAll, FILE_OPEN, 0, nullptr, &entry);
    const bool flushed =
        writable ? FlushFileBuffers(entry.get()) != FALSE
                 : source != nullptr && flushFileIn(source, step.name.c_str()) &&
                       openIn(source, step.name.c_str(), DELETE, kShareAll, FILE_OPEN, 0, nullptr, &entry);
    if (!flushed) {
        const DWORD error = GetLastError();
        note(log, folders_[step.folder].runtime, L"Couldn't write %ls to the disk (%d)\n",
             shown(Tree::fresh, step.folder, step.name).c_str(), static_cast<int>(error));
        return false;
    }
    const bool moved = !changeRefusedByTest() && target != nullptr &&
                       renameIn(entry.get(), target, step.name.c_str(), replace);
    if (!moved && !quiet) {
        const DWORD error = GetLastError();
        note(log, folders_[step.folder].runtime, L"Couldn't move %ls to %ls (%d)\n",
             shown(Tree::fresh, step.folder, step.name).c_str(),
             shown(Tree::live, step.folder, step.name).c_str(), static_cast<int>(error));
        SetLastError(error);
    }
    return moved;
}

// Gives the step's entry in `from` a second name at its place in `to`, through a handle that nobody
// else shares: false, changing nothing, when anyone holds the file (or it is read-only or in use).
bool UpdateSwap::link(const Step& step, Tree from, Tree to) {
    const HANDLE source = handleOf(from, step.folder);
    const HANDLE target = handleOf(to, step.folder);
    OwnedHandle probe;
    return source != nullptr && target != nullptr &&
           openIn(source, step.name.c_str(), kProbeAccess, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr,
                  &probe) &&
           !changeRefusedByTest() && linkIn(probe.get(), target, step.name.c_str());
}

// Removes the step's name in `tree`, which is a second name of a file whose other name stays.
bool UpdateSwap::removeName(const Step& step, Tree tree) {
    const HANDLE folder = handleOf(tree, step.folder);
    OwnedHandle entry;
    return !changeRefusedByTest() && folder != nullptr &&
           openIn(folder, step.name.c_str(), DELETE, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr,
                  &entry) &&
           deleteByHandle(entry.get());
}

bool UpdateSwap::makeFolder(InstallLog& log, const Step& step) {
    Folder& made = folders_[step.child];
    const HANDLE above = handleOf(Tree::live, step.folder);
    // lpSecurityAttributes: none, so that it gets what its folder passes on, as unpacking there would.
    if (changeRefusedByTest() || above == nullptr ||
        !openIn(above, step.name.c_str(), kChangeAccess, kShareAll, FILE_CREATE, FILE_DIRECTORY_FILE, nullptr,
                &made.live)) {
        const DWORD error = GetLastError();
        note(log, made.runtime, L"Couldn't make the folder %ls (%d)\n",
             shown(Tree::live, step.folder, step.name).c_str(), static_cast<int>(error));
        return false;
    }
    made.changeRights = true;
    return true;
}

// The installed file gets its second name in "previous", then the unpacked one takes its place in one
// rename; where the second name cannot be had, the two renames.
bool UpdateSwap::replace(InstallLog& log, const Step& step) {
    if (link(step, Tree::live, Tree::previous)) {
        return replaceLinked(log, step);
    }
    return move(log, step, Tree::live, Tree::previous, false) &&
           move(log, step, Tree::fresh, Tree::live, false);
}

// The installed file has its second name in "previous": the unpacked one replaces it. Where the system
// refuses (someone opened the file since), the second name goes again and the two renames are tried.
bool UpdateSwap::replaceLinked(InstallLog& log, const Step& step) {
    if (move(log, step, Tree::fresh, Tree::live, true, true)) {
        return true;
    }
    if (!removeName(step, Tree::previous)) {
        return failed(log, step);
    }
    return move(log, step, Tree::live, Tree::previous, false) &&
           move(log, step, Tree::fresh, Tree::live, false);
}

// The undo of a replaced file: the new one keeps a name in the unpacked tree (`freshLinked` when it has
// it already) and the previous one comes back over it in one rename, or else by two renames. Where the
// previous one cannot come back, the new one is in place again.
bool UpdateSwap::restore(InstallLog& log, const Step& step, bool freshLinked) {
    if (freshLinked || link(step, Tree::live, Tree::fresh)) {
        if (move(log, step, Tree::previous, Tree::live, true, true)) {
            return true;
        }
        if (!removeName(step, Tree::fresh)) {
            return failed(log, step);
        }
    }
    if (!move(log, step, Tree::live, Tree::fresh, false)) {
        return false;
    }
    if (move(log, step, Tree::previous, Tree::live, false)) {
        return true;
    }
    move(log, step, Tree::fresh, Tree::live, false);
    return false;
}

// Writes the line of a replaced file whose move could not be made, with the error the system gave.
bool UpdateSwap::failed(InstallLog& log, const Step& step) {
    const DWORD error = GetLastError();
    note(log, folders_[step.folder].runtime, L"Couldn't move %ls to %ls (%d)\n",
         shown(Tree::live, step.folder, step.name).c_str(),
         shown(Tree::previous, step.folder, step.name).c_str(), static_cast<int>(error));
    return false;
}

// A step from the state that plan() leaves: nothing of it taken.

bool UpdateSwap::back(InstallLog& log, const Step& step) {
    Seen live;
    Seen fresh;
    Seen previous;
    if (!looked(log, step, Tree::live, &live) || !looked(log, step, Tree::fresh, &fresh) ||
        !looked(log, step, Tree::previous, &previous)) {
        return false;
    }
    switch (step.kind) {
        case JournalStep::removeFolder:
            // Removed at the end of an update that was interrupted before its journal went: made again,
            // so that what was moved out of it can come back.
            return live.exists || makeFolder(log, step);
        case JournalStep::makeFolder:
            if (live.exists && isPlainFolder(live.attributes)) {
                // Goes only when empty: what another program put in it meanwhile stays, and so does it.
                folders_[step.child].live.reset();
                Folder& made = folders_[step.child];
                made.changeRights = false;
                OwnedHandle folder;
                const HANDLE above = handleOf(Tree::live, step.folder);
                if (!changeRefusedByTest() && above != nullptr &&
                    openIn(above, step.name.c_str(), DELETE, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE,
                           nullptr, &folder)) {
                    deleteByHandle(folder.get());
                }
            }
            return true;
        case JournalStep::addFile:
            return !live.exists || fresh.exists || move(log, step, Tree::live, Tree::fresh, false);
        case JournalStep::moveAside:
            if (!previous.exists) {
                return true;
            }
            if (live.exists) {
                log.write(L"%ls and %ls both exist\n", shown(Tree::live, step.folder, step.name).c_str(),
                          shown(Tree::previous, step.folder, step.name).c_str());
                return false;
            }
            return move(log, step, Tree::previous, Tree::live, false);
        case JournalStep::replaceFile:
            if (!previous.exists && live.exists) {
                return true;
            }
            if (live.sameFileAs(previous)) {
                removeName(step, Tree::previous);  // a second name, left for a later run if it stays
                return true;
            }
            if (!live.exists && previous.exists) {
                if (move(log, step, Tree::previous, Tree::live, false)) {
                    return true;
                }
                if (fresh.exists) {
                    move(log, step, Tree::fresh, Tree::live, false);
                }
                return false;
            }
            if (live.exists && previous.exists && (!fresh.exists || live.sameFileAs(fresh))) {
                return restore(log, step, fresh.exists);
            }
            break;
        default:
            return true;
    }
    note(log, folders_[step.folder].runtime, L"%ls is neither where the update left it nor where it began\n",
         shown(Tree::live, step.folder, step.name).c_str());
    return false;
}
