// The steps of an update and their states. An installed file that the package replaces is given a
// second name in "previous" first and then replaced by the unpacked one in one rename, so that its name
// is never empty; where the system refuses that (a file in use, a read-only one, a file system without
// second names), it is renamed aside and the unpacked one renamed in. Looking at a step's three places
// (installed, unpacked, previous) and which of them are one file tells how far it got:
//   installed  unpacked  previous
//   old        new       -          not begun
//   old        new       old        its second name made
//   -          new       old        between its two renames
//   new        -         old        done
//   new        new       old        an undo's second name for the new one made
#include "install/code_folder/update_swap.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cwchar>

#include "install/code_folder/swap_hooks.h"
#include "install/files/file_tree.h"
#include "install/files/relative_files.h"
#include "install/files/safe_files.h"
#include "install/install_log.h"

namespace {

// Flushes the whole volume that holds `path`, which writes every file's cached data and the file
// system's own to the disk in one call; only an administrator may, and only a volume with a drive
// letter is tried. False when it cannot be done: the caller then flushes what it needs one by one.
bool flushVolumeOf(const wchar_t* path) {
    wchar_t root[MAX_PATH];
    if (!GetVolumePathNameW(path, root, MAX_PATH) || root[0] == L'\0' || root[1] != L':' ||
        root[2] != L'\\' || root[3] != L'\0') {
        return false;
    }
    const wchar_t volume[] = {L'\\', L'\\', L'.', L'\\', root[0], L':', L'\0'};
    const OwnedHandle handle(CreateFileW(volume, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr,  // lpSecurityAttributes
                                         OPEN_EXISTING, 0,
                                         nullptr));  // hTemplateFile
    return handle.valid() && FlushFileBuffers(handle.get());
}

// Threads that take the files' steps of an update at once: each step is a rename or two of its own,
// and most of a rename's time is spent waiting for the system, so that several make progress together.
constexpr int kMovers = 4;

// The steps [begin, end) shared among the movers: each takes the next one not taken until one fails.
template <class Work>
struct Movers {
    Work* work;
    std::atomic<size_t> next;
    std::atomic<bool> failed;
    size_t end;
};

template <class Work>
DWORD WINAPI moverThread(void* shared) {
    Movers<Work>& movers = *static_cast<Movers<Work>*>(shared);
    for (;;) {
        const size_t step = movers.next.fetch_add(1);
        if (step >= movers.end || movers.failed.load()) {
            return 0;
        }
        if (!(*movers.work)(step)) {
            movers.failed.store(true);
        }
    }
}

// Runs work(i) for every i of [begin, end) on kMovers threads (this one among them), until one returns
// false. *begun gets the end of the steps that any thread began. True when every one returned true.
template <class Work>
bool inParallel(size_t begin, size_t end, Work work, size_t* begun) {
    Movers<Work> movers = {&work, {begin}, {false}, end};
    HANDLE threads[kMovers - 1];
    DWORD started = 0;
    for (int i = 0; i < kMovers - 1 && end - begin > 1; ++i) {
        // lpThreadAttributes, dwStackSize: the defaults; dwCreationFlags 0; lpThreadId: not wanted.
        threads[started] = CreateThread(nullptr, 0, moverThread<Work>, &movers, 0, nullptr);
        started += threads[started] != nullptr;
    }
    moverThread<Work>(&movers);
    if (started > 0) {
        WaitForMultipleObjects(started, threads, TRUE, INFINITE);
    }
    for (DWORD i = 0; i < started; ++i) {
        CloseHandle(threads[i]);
    }
    *begun = std::min(movers.next.load(), end);
    return !movers.failed.load();
}

}  // namespace

bool UpdateSwap::open(InstallLog& log, const wchar_t* code, const wchar_t* unpacked,
                      const wchar_t* previous) {
    roots_[static_cast<int>(Tree::live)] = code;
    roots_[static_cast<int>(Tree::fresh)] = unpacked;
    roots_[static_cast<int>(Tree::previous)] = previous;
    folders_.clear();
    index_.clear();
    steps_.clear();
    folders_.emplace_back();
    Folder& root = folders_.back();
    root.parent = -1;
    root.runtime = root.made = root.removed = false;
    root.changes = root.aside = root.changeRights = true;
    index_[L""] = 0;
    CreateDirectoryW(previous, nullptr);  // lpSecurityAttributes: the work folder's; an existing one is fine
    root.live.reset(openShared(code, kChangeAccess | SYNCHRONIZE, FILE_FLAG_BACKUP_SEMANTICS));
    if (!root.live.valid()) {
        log.write(L"Couldn't open the folder %ls to move files in or out (%d)\n", code,
                  static_cast<int>(GetLastError()));
        return false;
    }
    root.fresh.reset(openShared(unpacked, kListAccess | SYNCHRONIZE, FILE_FLAG_BACKUP_SEMANTICS));
    root.previous.reset(openShared(previous, kChangeAccess | SYNCHRONIZE, FILE_FLAG_BACKUP_SEMANTICS));
    if (!root.fresh.valid() || !root.previous.valid()) {
        log.write(L"Couldn't open %ls (%d)\n", root.fresh.valid() ? previous : unpacked,
                  static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

HANDLE UpdateSwap::handleOf(Tree tree, int folder) {
    Folder& at = folders_[folder];
    OwnedHandle& handle = tree == Tree::live ? at.live : tree == Tree::fresh ? at.fresh : at.previous;
    if (handle.valid()) {
        return handle.get();
    }
    if (at.parent < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const HANDLE above = handleOf(tree, at.parent);
    if (above == nullptr) {
        return nullptr;
    }
    const bool change = tree == Tree::previous || (tree == Tree::live && at.changes);
    OwnedHandle opened;
    EntryIdentity identity;
    if (!openIn(above, at.name.c_str(), change ? kChangeAccess : kListAccess, kShareAll,
                tree == Tree::previous ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, &opened) ||
        !identityOf(opened.get(), &identity)) {
        return nullptr;
    }
    if ((identity.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        SetLastError(ERROR_CANT_ACCESS_FILE);  // a link or junction is never passed through
        return nullptr;
    }
    if (tree == Tree::live) {
        at.changeRights = change;
    }
    handle.reset(opened.release());
    return handle.get();
}

std::wstring UpdateSwap::shown(Tree tree, int folder, const std::wstring& name) const {
    std::wstring path = roots_[static_cast<int>(tree)];
    const std::wstring& relative = folders_[folder].path;
    if (!relative.empty()) {
        path += L"\\" + relative;
    }
    return name.empty() ? path : path + L"\\" + name;
}

void UpdateSwap::note(InstallLog& log, bool runtime, const wchar_t* format, ...) {
    wchar_t line[1024];
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(line, 1024, format, arguments);
    va_end(arguments);
    line[1023] = L'\0';
    AcquireSRWLockExclusive(&noteLock_);
    if (!failureNoted_) {
        failureNoted_ = true;
        runtimeFailure_ = runtime;
    }
    log.write(L"%ls", line);
    ReleaseSRWLockExclusive(&noteLock_);
}

UpdateSwap::Seen UpdateSwap::see(Tree tree, int folder, const std::wstring& name) {
    Seen seen = {};
    const HANDLE in = handleOf(tree, folder);
    OwnedHandle entry;
    EntryIdentity identity;
    if (in == nullptr ||
        !openIn(in, name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, nullptr, &entry)) {
        // A folder that does not exist holds nothing.
        seen.known = isMissing(GetLastError());
        return seen;
    }
    seen.known = identityOf(entry.get(), &identity);
    seen.exists = true;
    seen.attributes = identity.attributes;
    seen.volume = identity.volume;
    seen.index = identity.index;
    return seen;
}

bool UpdateSwap::looked(InstallLog& log, const Step& step, Tree tree, Seen* seen) {
    *seen = see(tree, step.folder, step.name);
    if (!seen->known) {
        note(log, folders_[step.folder].runtime, L"Couldn't look at %ls (%d)\n",
             shown(tree, step.folder, step.name).c_str(), static_cast<int>(GetLastError()));
    }
    return seen->known;
}

bool UpdateSwap::hold(InstallLog& log) {
    flushEach_ = !flushVolumeOf(roots_[static_cast<int>(Tree::live)].c_str());
    for (size_t i = 1; i < folders_.size(); ++i) {
        Folder& folder = folders_[i];
        // A folder walked for listing is opened again, with the rights to change it.
        if (folder.changes && !folder.changeRights) {
            folder.live.reset();
        }
        // A folder that a step makes is missing until then, and one that a step removes may be missing
        // already (an undo makes it again); any other that cannot be opened stops here.
        if (folder.changes && handleOf(Tree::live, static_cast<int>(i)) == nullptr &&
            !((folder.made || folder.removed) && isMissing(GetLastError()))) {
            note(log, folder.runtime, L"Couldn't open the folder %ls to move files in or out (%d)\n",
                 shown(Tree::live, static_cast<int>(i), L"").c_str(), static_cast<int>(GetLastError()));
            return false;
        }
        if (folder.aside && handleOf(Tree::previous, static_cast<int>(i)) == nullptr) {
            log.write(L"Couldn't make %ls (%d)\n", shown(Tree::previous, static_cast<int>(i), L"").c_str(),
                      static_cast<int>(GetLastError()));
            return false;
        }
    }
    return true;
}

// Renames the step's entry from its place in `from` to its place in `to`. False, after the line that
// names both (unless `quiet`), when it cannot be done.

bool UpdateSwap::take(InstallLog& log, const Step& step) {
    switch (step.kind) {
        case JournalStep::makeFolder:
            return makeFolder(log, step);
        case JournalStep::addFile:
            return moveIn(log, step, false);
        case JournalStep::replaceFile:
            return replace(log, step);
        case JournalStep::moveAside:
            return move(log, step, Tree::live, Tree::previous, false);
        default:
            return true;  // a folder is removed at the end
    }
}

bool UpdateSwap::forward(InstallLog& log) {
    for (reached_ = 0; reached_ < files_; ++reached_) {
        if (!take(log, steps_[reached_])) {
            ++reached_;
            return false;
        }
    }
    // The folders are in place: the files go in any order.
    return inParallel(
        files_, folderEnd_, [&](size_t step) { return take(log, steps_[step]); }, &reached_);
}

void UpdateSwap::removeMoved() {
    size_t begun = 0;
    inParallel(
        0, steps_.size(),
        [&](size_t index) {
            const Step& step = steps_[index];
            const HANDLE folder = folders_[step.folder].previous.get();
            OwnedHandle moved;
            if ((step.kind == JournalStep::replaceFile || step.kind == JournalStep::moveAside) &&
                folder != nullptr) {
                // The file goes when this handle closes; one in use, read-only or a folder stays for now.
                openIn(folder, step.name.c_str(), DELETE, kShareAll, FILE_OPEN,
                       FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, nullptr, &moved);
            }
            return true;
        },
        &begun);
}

// A step back to where it began, from whatever state it is in.

bool UpdateSwap::undo(InstallLog& log) {
    bool all = true;
    for (size_t i = reached_; i-- > 0;) {
        all = back(log, steps_[i]) && all;
    }
    return all;
}

bool UpdateSwap::end(InstallLog& log) {
    for (const Step& step : steps_) {
        if (step.kind != JournalStep::removeFolder) {
            continue;
        }
        // The folder's own handles go first: it is removed once nothing holds it. One that is not
        // empty (another program wrote into it meanwhile) stays.
        Folder& leftover = folders_[step.child];
        leftover.live.reset();
        leftover.changeRights = false;
        const HANDLE above = handleOf(Tree::live, step.folder);
        OwnedHandle folder;
        if (!changeRefusedByTest() && above != nullptr &&
            openIn(above, step.name.c_str(), DELETE, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, nullptr,
                   &folder)) {
            deleteByHandle(folder.get());
        }
    }
    // The files moved in were each written through before their move, or else the whole volume is.
    if (!flushEach_) {
        if (flushVolumeOf(roots_[static_cast<int>(Tree::live)].c_str())) {
            return true;
        }
        log.write(L"Couldn't write the swap in %ls to the disk (%d)\n", roots_[0].c_str(),
                  static_cast<int>(GetLastError()));
        return false;
    }
    for (Folder& folder : folders_) {
        const bool flushed =
            (!folder.changes || !folder.live.valid() || FlushFileBuffers(folder.live.get())) &&
            (!folder.previous.valid() || FlushFileBuffers(folder.previous.get()));
        if (!flushed) {
            log.write(L"Couldn't write the swap in %ls to the disk (%d)\n", roots_[0].c_str(),
                      static_cast<int>(GetLastError()));
            return false;
        }
    }
    return true;
}
