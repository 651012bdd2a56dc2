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

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A folder walked: listed and passed through.
constexpr ACCESS_MASK kListAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
// A folder changed: also the rights that a rename into it opens it with. Held with full sharing, it
// cannot be opened afterwards by anyone who does not share it for writing.
constexpr ACCESS_MASK kChangeAccess = kListAccess | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
// The probe of an installed file before its second name: no sharing at all, and the right to write,
// which a running program's image refuses. Only a file that nobody holds open can be replaced in one
// rename, and only such a file may get a second name that would have to be removed again.
constexpr ACCESS_MASK kProbeAccess = DELETE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;

struct Listed {
    std::wstring name;
    DWORD attributes;
    bool matched;
};

// Names compared as the file system compares them.
bool lessName(const Listed& a, const Listed& b) {
    return CompareStringOrdinal(a.name.c_str(), static_cast<int>(a.name.size()), b.name.c_str(),
                                static_cast<int>(b.name.size()), TRUE) == CSTR_LESS_THAN;
}

bool listed(HANDLE folder, std::vector<Listed>* out) {
    auto visit = [&](const wchar_t* name, size_t length, DWORD attributes) {
        out->push_back({std::wstring(name, length), attributes, false});
        return true;
    };
    return folder != nullptr && listFolder(folder, visit);
}

// The entry of `sorted` with the name `name`, or null.
Listed* find(std::vector<Listed>& sorted, const std::wstring& name) {
    const Listed key = {name, 0, false};
    const auto found = std::lower_bound(sorted.begin(), sorted.end(), key, lessName);
    return found != sorted.end() && !lessName(key, *found) ? &*found : nullptr;
}

bool isPlainFile(DWORD attributes) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Flushes the file `name` in the folder open as `folder`. A read-only file refuses the right to write:
// its mark is taken off for the flush and put back afterwards. An entry that is a folder (a junction
// that the package holds) has no data to flush.
bool flushFileIn(HANDLE folder, const wchar_t* name) {
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

int UpdateSwap::addFolder(int parent, const std::wstring& name) {
    const Folder& above = folders_[parent];
    folders_.emplace_back();
    Folder& folder = folders_.back();
    folder.path = above.path.empty() ? name : above.path + L"\\" + name;
    folder.name = name;
    folder.parent = parent;
    folder.runtime = above.runtime || (parent == 0 && samePath(name.c_str(), L"python"));
    folder.changes = folder.aside = folder.changeRights = folder.made = folder.removed = false;
    const int index = static_cast<int>(folders_.size() - 1);
    index_[folder.path] = index;
    return index;
}

// The folder at `path` (relative, names joined by '\'), with every folder above it, added where missing.
int UpdateSwap::folderFor(const std::wstring& path) {
    const auto known = index_.find(path);
    if (known != index_.end()) {
        return known->second;
    }
    const size_t slash = path.rfind(L'\\');
    const int above = slash == std::wstring::npos ? 0 : folderFor(path.substr(0, slash));
    return addFolder(above, slash == std::wstring::npos ? path : path.substr(slash + 1));
}

void UpdateSwap::addStep(JournalStep kind, int folder, const std::wstring& name, int child, bool inTheWay) {
    // While planning, the folders made come first, each after what is in its way (and so does what is
    // in a file's way), then the files, then the folders that go: the first and last groups are taken
    // in their order, the files in any order.
    const int group = kind == JournalStep::makeFolder || inTheWay ? 0
                      : kind == JournalStep::removeFolder         ? 2
                                                                  : 1;
    (planning_ ? planned_[group] : steps_).push_back({kind, folder, name, child});
    folders_[folder].changes = true;
    if (kind == JournalStep::makeFolder) {
        folders_[child].made = true;
    }
    if (kind == JournalStep::removeFolder) {
        folders_[child].removed = true;
    }
    folders_[folder].aside =
        folders_[folder].aside || kind == JournalStep::replaceFile || kind == JournalStep::moveAside;
}

bool UpdateSwap::plan(InstallLog& log, const wchar_t* workFolder, std::u16string* journal, bool* refused) {
    *refused = false;
    planning_ = true;
    const bool walked = planFolder(log, 0, true, refused);
    planning_ = false;
    return walked && writePlan(log, workFolder, journal, refused);
}

bool UpdateSwap::planRemoval(InstallLog& log, const wchar_t* workFolder, std::u16string* journal) {
    std::vector<Listed> live;
    if (!listed(handleOf(Tree::live, 0), &live)) {
        note(log, false, L"Couldn't list %ls (%d)\n", roots_[0].c_str(), static_cast<int>(GetLastError()));
        return false;
    }
    planning_ = true;
    bool walked = true;
    for (const Listed& entry : live) {
        if (!samePath(entry.name.c_str(), L".installer")) {
            walked = walked && planLeftover(log, 0, entry.name, entry.attributes);
        }
    }
    planning_ = false;
    bool refused = false;
    return walked && writePlan(log, workFolder, journal, &refused);
}

// Puts the planned groups in their order and writes them as the journal's text.
bool UpdateSwap::writePlan(InstallLog& log, const wchar_t* workFolder, std::u16string* journal,
                           bool* refused) {
    for (std::vector<Step>& group : planned_) {
        steps_.insert(steps_.end(), group.begin(), group.end());
    }
    files_ = planned_[0].size();
    folderEnd_ = files_ + planned_[1].size();
    if (!beginJournal(journal, reinterpret_cast<const char16_t*>(workFolder), wcslen(workFolder))) {
        SetLastError(ERROR_INVALID_NAME);
        log.write(L"Couldn't name the work folder %ls in the journal (%d)\n", workFolder,
                  static_cast<int>(GetLastError()));
        return false;
    }
    for (const Step& step : steps_) {
        const std::wstring& above = folders_[step.folder].path;
        const std::wstring path = above.empty() ? step.name : above + L"\\" + step.name;
        if (!addJournalStep(journal, step.kind, reinterpret_cast<const char16_t*>(path.c_str()),
                            path.size())) {
            log.write(
                L"Refusing the package: it holds %ls, which cannot be installed beside the installer's "
                L"folder\n",
                path.c_str());
            *refused = true;
            return false;
        }
    }
    sealJournal(journal);
    return true;
}

// Plans the folder `folder` of the package; `installed` when the installation has it as a folder of its
// own (not a link), which is then held open for listing.
bool UpdateSwap::planFolder(InstallLog& log, int folder, bool installed, bool* refused) {
    std::vector<Listed> fresh;
    std::vector<Listed> live;
    if (!listed(handleOf(Tree::fresh, folder), &fresh)) {
        log.write(L"Couldn't list %ls (%d)\n", shown(Tree::fresh, folder, L"").c_str(),
                  static_cast<int>(GetLastError()));
        return false;
    }
    if (installed && !listed(handleOf(Tree::live, folder), &live)) {
        note(log, folders_[folder].runtime, L"Couldn't list %ls (%d)\n",
             shown(Tree::live, folder, L"").c_str(), static_cast<int>(GetLastError()));
        return false;
    }
    std::sort(live.begin(), live.end(), lessName);
    for (const Listed& entry : fresh) {
        const std::wstring& name = entry.name;
        if (folder == 0 && samePath(name.c_str(), L".installer")) {
            log.write(
                L"Refusing the package: it holds %ls, which cannot be installed beside the installer's "
                L"folder\n",
                name.c_str());
            *refused = true;
            return false;
        }
        if (folder == 0 && samePath(name.c_str(), L"archive.7z")) {
            continue;  // the archive itself, should its deletion have failed
        }
        Listed* there = find(live, name);
        if (there != nullptr) {
            there->matched = true;
        }
        if (isPlainFolder(entry.attributes)) {
            const bool kept = there != nullptr && isPlainFolder(there->attributes);
            const int child = addFolder(folder, name);
            if (!kept) {
                // What is in the folder's way goes first, then the folder is made.
                if (there != nullptr) {
                    addStep(JournalStep::moveAside, folder, name, -1, true);
                }
                addStep(JournalStep::makeFolder, folder, name, child);
            } else if (handleOf(Tree::live, child) == nullptr) {
                note(log, folders_[child].runtime,
                     L"Couldn't open the folder %ls to move files in or out (%d)\n",
                     shown(Tree::live, child, L"").c_str(), static_cast<int>(GetLastError()));
                return false;
            }
            if (!planFolder(log, child, kept, refused)) {
                return false;
            }
        } else if (there == nullptr) {
            addStep(JournalStep::addFile, folder, name);
        } else if (isPlainFile(there->attributes)) {
            addStep(JournalStep::replaceFile, folder, name);
        } else {
            // A folder or link in the file's way moves aside whole, before any file moves.
            addStep(JournalStep::moveAside, folder, name, -1, true);
            addStep(JournalStep::addFile, folder, name);
        }
    }
    // "python" is replaced whole: what the package lacks in it moves aside too, and so does a
    // "python" the package lacks altogether.
    for (const Listed& entry : live) {
        const bool leftover = !entry.matched && (folders_[folder].runtime ||
                                                 (folder == 0 && samePath(entry.name.c_str(), L"python")));
        if (leftover && !planLeftover(log, folder, entry.name, entry.attributes)) {
            return false;
        }
    }
    return true;
}

// Plans the removal of the installed entry `name` of `folder` under "python": a file or link moves aside;
// a folder of its own is emptied that way and removed once the update is done.
bool UpdateSwap::planLeftover(InstallLog& log, int folder, const std::wstring& name, DWORD attributes) {
    if (!isPlainFolder(attributes)) {
        addStep(JournalStep::moveAside, folder, name);
        return true;
    }
    const int child = addFolder(folder, name);
    std::vector<Listed> live;
    if (!listed(handleOf(Tree::live, child), &live)) {
        note(log, true, L"Couldn't list %ls (%d)\n", shown(Tree::live, child, L"").c_str(),
             static_cast<int>(GetLastError()));
        return false;
    }
    for (const Listed& entry : live) {
        if (!planLeftover(log, child, entry.name, entry.attributes)) {
            return false;
        }
    }
    addStep(JournalStep::removeFolder, folder, name, child);
    return true;
}

bool UpdateSwap::load(const JournalText& journal) {
    size_t cursor = journal.firstStep;
    JournalLine line;
    while (nextJournalStep(journal, &cursor, &line)) {
        const std::wstring path(reinterpret_cast<const wchar_t*>(line.path), line.length);
        const size_t slash = path.rfind(L'\\');
        const std::wstring above = slash == std::wstring::npos ? L"" : path.substr(0, slash);
        const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
        const size_t first = path.find(L'\\');
        if (samePath(path.substr(0, first).c_str(), L".installer")) {
            return false;
        }
        const int folder = folderFor(above);
        const bool ownsFolder =
            line.step == JournalStep::makeFolder || line.step == JournalStep::removeFolder;
        addStep(line.step, folder, name, ownsFolder ? folderFor(path) : -1);
    }
    reached_ = steps_.size();
    return true;
}

// The handle of `folder` in `tree`, opened on first use relative to the folder above it ("previous"
// made where missing), or null with GetLastError set. A folder of the installation that a step changes
// is opened with the rights to change it.
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
