// Win32 side of the code folder's lock, recovery and swap. Every move is a rename within the code
// folder's volume (MoveFileExW without MOVEFILE_COPY_ALLOWED), so it either happens whole or not at
// all, and each move of a swap is taken only once the state before it is known: an entry is never in
// two places where the sequence does not put it, and no name of the installation is ever left empty by
// an undo.
#include "install/code_folder.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlwapi.h>

#include "install/extract.h"
#include "install/file_tree.h"
#include "install/final_lines.h"
#include "install/install_log.h"
#include "install/swap_record.h"

namespace {

// Full control for the system and the administrators, nothing for anyone else, passed on to everything
// made inside, and nothing taken from the folder above.
constexpr const wchar_t* kAdministratorsOnly = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// How long a folder that an extractor just worked in may stay held by the system after it has ended.
constexpr DWORD kPatienceMs = 2000;

bool exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// "run-" and a stamp of the time (or the next one, with `tries` > 0): a name for a folder of one run.
void runFolderName(wchar_t* name, int capacity, int tries) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG stamp = ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) + tries;
    wnsprintfW(name, capacity, L"run-%08lx%08lx", static_cast<unsigned long>(stamp >> 32),
               static_cast<unsigned long>(stamp));
}

#if defined(WELKARA_TEST_STOP_AFTER_MOVES)
// A test build ends the process on the spot before the move numbered by the environment variable
// WELKARA_TEST_STOP_AFTER_MOVES (counting from 0), as a power cut or a kill would.
void stopWhenCounted() {
    static int moves = 0;
    wchar_t limit[16] = {};
    if (GetEnvironmentVariableW(L"WELKARA_TEST_STOP_AFTER_MOVES", limit, 16) != 0 &&
        _wtoi(limit) == moves++) {
        TerminateProcess(GetCurrentProcess(), 3);
    }
}
#endif

// Renames `from` to `to`, which must not exist; false after a line naming both.
bool moveEntry(InstallLog& log, const wchar_t* from, const wchar_t* to) {
#if defined(WELKARA_TEST_STOP_AFTER_MOVES)
    stopWhenCounted();
#endif
    if (MoveFileExW(from, to, 0)) {  // dwFlags 0: a rename, never a copy, never over an existing entry
        return true;
    }
    log.write(L"Couldn't move %ls to %ls (%d)\n", from, to, static_cast<int>(GetLastError()));
    return false;
}

// Writes the folder's own entries (names made, renamed and removed in it) through to the disk.
bool flushFolder(const wchar_t* path) {
    const OwnedHandle folder(
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr,  // lpSecurityAttributes
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                    nullptr));  // hTemplateFile
    return folder.valid() && FlushFileBuffers(folder.get());
}

// Removes the tree at `path`, trying again for up to `patienceMs` while anything is left.
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

// The SDDL text of one part (`which`) of the security of the object open as `handle`, or false.
bool securityText(HANDLE handle, SECURITY_INFORMATION which, LocalMemory<wchar_t>* text) {
    // The owner, group and list pointers are not asked for: they all lie within the descriptor.
    LocalMemory<void> descriptor;
    return GetSecurityInfo(handle, SE_FILE_OBJECT, which, nullptr, nullptr, nullptr, nullptr,
                           descriptor.receive()) == ERROR_SUCCESS &&
           ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1, which,
                                                                text->receive(),
                                                                nullptr);  // StringSecurityDescriptorLen
}

}  // namespace

bool CodeFolder::setPath(const wchar_t* path) {
    lstrcpynW(code_, path, MAX_PATH);
    return joinPath(own_, code_, SwapRecord::kOwnFolderName) && joinPath(lockFile_, own_, L"lock") &&
           joinPath(record_, own_, L"swap") && joinPath(recordDraft_, own_, L"swap.new") &&
           joinPath(legacyPrevious_, own_, L"previous") && joinPath(legacyDone_, own_, L"previous.done");
}

const wchar_t* CodeFolder::take(InstallLog& log) {
    switch (lock()) {
        case Lock::held:
            return recover(log) ? nullptr : finalLine::kNotRecovered;
        case Lock::noFolder:
            return nullptr;
        case Lock::busy:
            busy_ = true;
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
    // A work folder that cannot be made shows up as the failure to make its "unpacked" current.
    makeWorkFolder();
    const bool kept =
        !extractUpdate(log, swap_.unpacked, extractor, work_, bytes, length) || !prepareSwap(log);
    bool movingAside = false;
    const Swap swapped = kept ? Swap::kept : swap(log, &movingAside);
    switch (swapped) {
        case Swap::done:
            // Once the swap is on the disk and its record gone: the extractor's folder (empty now) may be
            // held a moment longer; what the swap moved aside goes as far as it can, and the rest is left
            // over for a later run.
            if (exists(record_)) {
                return nullptr;
            }
            removeTreeAt(swap_.unpacked, kPatienceMs);
            if (!removeTreeAt(work_, 0)) {
                log.write(L"Couldn't remove the previous installation from %ls; a later run removes it\n",
                          swap_.previous);
            }
            work_[0] = L'\0';
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
    SECURITY_ATTRIBUTES adminsOnly = {sizeof adminsOnly, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdministratorsOnly, SDDL_REVISION_1,
                                                              adminsOnly_.receive(),
                                                              nullptr)) {  // SecurityDescriptorSize
        return Lock::failed;
    }
    adminsOnly.lpSecurityDescriptor = adminsOnly_.get();
    // A run that just ended may remove the installer's folder between its creation here and the
    // opening of the lock inside it: the folder is then made again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!CreateDirectoryW(own_, &adminsOnly)) {
            const DWORD error = GetLastError();
            if (error == ERROR_PATH_NOT_FOUND) {
                return Lock::noFolder;
            }
            if (error != ERROR_ALREADY_EXISTS || !guardOwnFolder()) {
                return Lock::failed;
            }
        }
        // No sharing at all, so a second open fails for as long as this one is open. The file goes
        // with its handle.
        lock_.reset(CreateFileW(lockFile_, GENERIC_READ | GENERIC_WRITE | DELETE, 0, &adminsOnly, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
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

// An installer's folder that exists already (an earlier version of the installer made it with the code
// folder's own list) is made what a new one is: no link, owned by the administrators or the system,
// and the administrators' protected list. False, with GetLastError set, when that cannot be done.
bool CodeFolder::guardOwnFolder() {
    const OwnedHandle folder(CreateFileW(own_, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr,  // lpSecurityAttributes
                                         OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));  // hTemplateFile
    FILE_BASIC_INFO information;
    if (!folder.valid() ||
        !GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &information, sizeof information)) {
        return false;
    }
    if ((information.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
        FILE_ATTRIBUTE_DIRECTORY) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    LocalMemory<wchar_t> owner;
    LocalMemory<wchar_t> list;
    if (!securityText(folder.get(), OWNER_SECURITY_INFORMATION, &owner) ||
        !securityText(folder.get(), DACL_SECURITY_INFORMATION, &list)) {
        return false;
    }
    if (lstrcmpW(owner.get(), L"O:SY") != 0 && lstrcmpW(owner.get(), L"O:BA") != 0) {
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof administrators;
        const DWORD set = CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)
                              ? SetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                                static_cast<PSID>(administrators), nullptr, nullptr,
                                                nullptr)  // group, lists: unchanged
                              : GetLastError();
        if (set != ERROR_SUCCESS) {
            SetLastError(set);
            return false;
        }
    }
    if (lstrcmpW(list.get(), kAdministratorsOnly) != 0) {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL administratorsOnly = nullptr;
        GetSecurityDescriptorDacl(adminsOnly_.get(), &present, &administratorsOnly, &defaulted);
        const DWORD set = SetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr,  // owner, group: unchanged
                                          administratorsOnly,
                                          nullptr);  // pSacl
        if (set != ERROR_SUCCESS) {
            SetLastError(set);
            return false;
        }
    }
    return true;
}

bool CodeFolder::recover(InstallLog& log) {
    SwapRecord record;
    SwapFolders recorded;
    bool movingAside = false;
    bool settled = false;
    switch (record.read(record_)) {
        case SwapRecord::Read::missing:
            settled = undoUnrecorded(log);
            break;
        case SwapRecord::Read::unreadable:
            log.write(L"Couldn't read the record of the swap %ls (%d)\n", record_,
                      static_cast<int>(GetLastError()));
            break;
        case SwapRecord::Read::damaged:
            log.write(L"The record of the swap %ls is damaged\n", record_);
            break;
        case SwapRecord::Read::ok:
            settled = folders(record.workFolder(), &recorded) &&
                      rollForward(log, record, recorded, &movingAside) &&
                      endSwap(log, recorded, record.workFolder() == nullptr);
            break;
    }
    if (!settled) {
        log.write(L"Couldn't settle what an interrupted installation left in %ls\n", own_);
        return false;
    }
    removeLeftovers(nullptr);
    return true;
}

bool CodeFolder::folders(const wchar_t* workFolder, SwapFolders* out) const {
    if (workFolder == nullptr) {
        return joinPath(out->unpacked, own_, L"unpacked") && joinPath(out->previous, own_, L"previous");
    }
    wchar_t work[MAX_PATH];
    return joinPath(work, own_, workFolder) && joinPath(out->unpacked, work, L"unpacked") &&
           joinPath(out->previous, work, L"previous");
}

// Makes this run's work folder under a name no earlier run used, with the administrators' list, and in
// it "unpacked" with the list that the code folder gives what is made in it: moved into place, the
// unpacked entries then have the rights that entries unpacked there would have.
bool CodeFolder::makeWorkFolder() {
    SECURITY_ATTRIBUTES adminsOnly = {sizeof adminsOnly, adminsOnly_.get(), FALSE};
    bool made = false;
    for (int attempt = 0; attempt < 16 && !made; ++attempt) {
        runFolderName(workName_, 32, attempt);
        made = joinPath(work_, own_, workName_) && folders(workName_, &swap_) &&
               CreateDirectoryW(work_, &adminsOnly);
        if (!made && GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    if (!made) {
        return false;
    }
    // The code folder's list, each entry made the folder's own rather than inherited, and protected
    // from the installer's folder above it.
    LocalMemory<void> codeSecurity;
    PACL list = nullptr;
    if (GetNamedSecurityInfoW(code_, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                              nullptr,  // the list only, within the descriptor
                              codeSecurity.receive()) != ERROR_SUCCESS ||
        list == nullptr) {
        return false;
    }
    for (DWORD i = 0; i < list->AceCount; ++i) {
        ACE_HEADER* entry = nullptr;
        if (GetAce(list, i, reinterpret_cast<void**>(&entry))) {
            entry->AceFlags &= ~INHERITED_ACE;
        }
    }
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, &descriptor, FALSE};
    return InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) &&
           SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) &&
           CreateDirectoryW(swap_.unpacked, &inherited);
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
        const DWORD plainFolder = FILE_ATTRIBUTE_DIRECTORY;
        wchar_t installed[MAX_PATH];
        if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != plainFolder ||
            samePath(name, L"python") || !joinPath(installed, code_, name) ||
            (GetFileAttributesW(installed) & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
                plainFolder) {
            return true;  // also when nothing is installed there (the attributes are all ones then)
        }
        if (!live.set(installed) || !fresh.push(name)) {
            log.write(L"Couldn't carry %ls into the new installation (%d)\n", installed,
                      static_cast<int>(GetLastError()));
            return false;
        }
        const bool carried = carryMissing(live, fresh);
        if (!carried) {
            log.write(L"Couldn't carry %ls into the new installation (%d)\n", live.shown(),
                      static_cast<int>(GetLastError()));
        }
        fresh.pop();
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
    SECURITY_ATTRIBUTES adminsOnly = {sizeof adminsOnly, adminsOnly_.get(), FALSE};
    SwapRecord record;
    TreePath unpacked;
    bool written = record.begin(recordDraft_, &adminsOnly, workName_) && unpacked.set(swap_.unpacked);
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
// in place moves aside (unless it is already there), then the unpacked one moves in. Each step is
// taken only when the one before it is known to be done, and an entry found in two places where the
// sequence never leaves it stops everything.
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
        if (fromPackage && !exists(paths.fresh) && exists(paths.live) &&
            !moveEntry(log, paths.live, paths.fresh)) {
            undone = false;
            continue;
        }
        if (exists(paths.aside) && !exists(paths.live) && !moveEntry(log, paths.aside, paths.live)) {
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
    if (!flushFolder(code_) || (exists(swap.previous) && !flushFolder(swap.previous))) {
        log.write(L"Couldn't write the swap in %ls to the disk (%d)\n", code_,
                  static_cast<int>(GetLastError()));
        return false;
    }
    if (legacy && exists(swap.previous)) {
        SECURITY_ATTRIBUTES adminsOnly = {sizeof adminsOnly, adminsOnly_.get(), FALSE};
        const OwnedHandle mark(CreateFileW(legacyDone_, GENERIC_WRITE, 0, &adminsOnly, CREATE_ALWAYS,
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
    if (!exists(legacyPrevious_) || exists(legacyDone_)) {
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
        if (exists(paths.live)) {
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

bool CodeFolder::hasInstallation() const {
    TreePath code;
    bool found = false;
    if (code.set(code_)) {
        forEachEntry(code, [&](const wchar_t* name, DWORD) {
            found = !samePath(name, SwapRecord::kOwnFolderName);
            return !found;
        });
    }
    return found;
}

// Removes every entry of the installer's folder that no run needs, each as far as it can: all but the
// lock, a record and the folders it names, and an earlier version's "previous" that undoUnrecorded()
// alone may take apart. A record that cannot be read keeps everything. The entry named `patientWith`
// (this run's work folder, which its extractor may have just left) is tried for a while.
void CodeFolder::removeLeftovers(const wchar_t* patientWith) {
    SwapRecord record;
    const SwapRecord::Read read = record.read(record_);
    if (read == SwapRecord::Read::unreadable || read == SwapRecord::Read::damaged) {
        return;
    }
    const bool recorded = read == SwapRecord::Read::ok;
    const wchar_t* work = recorded ? record.workFolder() : nullptr;
    const bool previousIsLeftover = !recorded && exists(legacyDone_);
    const auto needed = [&](const wchar_t* name) {
        return samePath(name, L"lock") || samePath(name, L"previous.done") ||
               (samePath(name, L"previous") && !previousIsLeftover) ||
               (recorded && (samePath(name, L"swap") || (work == nullptr && samePath(name, L"unpacked")) ||
                             (work != nullptr && samePath(name, work))));
    };
    TreePath own;
    if (!own.set(own_)) {
        return;
    }
    // Removing entries while the folder is listed is fine; each is looked at once.
    forEachEntry(own, [&](const wchar_t* name, DWORD) {
        wchar_t path[MAX_PATH];
        if (!needed(name) && joinPath(path, own_, name)) {
            removeTreeAt(path, patientWith != nullptr && samePath(name, patientWith) ? kPatienceMs : 0);
        }
        return true;
    });
    if (!exists(legacyPrevious_)) {
        DeleteFileW(legacyDone_);
    }
}

void CodeFolder::release() {
    if (!lock_.valid()) {
        return;
    }
    removeLeftovers(work_[0] != L'\0' ? workName_ : nullptr);
    work_[0] = L'\0';
    lock_.reset();
    RemoveDirectoryW(own_);  // only when nothing else is left in it
}
