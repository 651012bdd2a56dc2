// The plan of an update or a removal: the unpacked tree walked beside the installation through their
// folders' handles, and the steps that it takes listed in their order, or read back from a journal.
#include "install/code_folder/update_swap.h"

#include <algorithm>

#include "install/files/file_tree.h"
#include "install/files/relative_files.h"
#include "install/files/safe_files.h"
#include "install/install_log.h"

namespace {

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

}  // namespace

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
