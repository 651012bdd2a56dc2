// The code folder's lock, its installer's folder and the run's work folder: the lock taken, what an
// interrupted run left settled, the package unpacked and moved into place (code_folder_swap.cpp), and
// what no run needs removed as far as it can be.
#include "install/code_folder/code_folder.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "install/code_folder/journal_file.h"
#include "install/extract.h"
#include "install/files/file_tree.h"
#include "install/install_log.h"

namespace {

// How long a folder that an extractor just worked in may stay held by the system after it has ended.
constexpr DWORD kPatienceMs = 2000;

// The SDDL text of the access list of the object open as `handle`, or false.
bool listText(HANDLE handle, LocalMemory<wchar_t>* text) {
    // The owner, group and list pointers are not asked for: they all lie within the descriptor.
    LocalMemory<void> descriptor;
    return GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                           nullptr, descriptor.receive()) == ERROR_SUCCESS &&
           ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1,
                                                                DACL_SECURITY_INFORMATION, text->receive(),
                                                                nullptr);  // StringSecurityDescriptorLen
}

}  // namespace

bool CodeFolder::setPath(const wchar_t* path) {
    lstrcpynW(code_, path, MAX_PATH);
    return joinPath(own_, code_, L".installer") && joinPath(lockFile_, own_, L"lock") &&
           joinPath(record_, own_, L"swap") && joinPath(recordDraft_, own_, L"swap.new") &&
           joinPath(legacyPrevious_, own_, L"previous") && joinPath(legacyDone_, own_, L"previous.done");
}

bool CodeFolder::heal(InstallLog& log) {
    const Lock locked = lock(log, true);
    release();
    return locked != Lock::unsettled;
}

CodeFolder::Lock CodeFolder::take(InstallLog& log) {
    return lock(log, false);
}

// Locks the folder and settles what is left in it. `quiet`: a folder that cannot be locked is no
// failure and writes nothing.
CodeFolder::Lock CodeFolder::lock(InstallLog& log, bool quiet) {
    const auto failed = [&]() {
        if (quiet) {
            return Lock::taken;
        }
        log.write(L"Couldn't lock the code folder %ls (%d)\n", code_, static_cast<int>(GetLastError()));
        return Lock::refused;
    };
    if (!makeDescriptor(kAdministratorsOnlyTree, &adminsOnly_)) {
        return failed();
    }
    madeAdminsOnly_.lpSecurityDescriptor = adminsOnly_.get();
    // A run that just ended may remove the installer's folder between its creation here and the
    // opening of the lock inside it: the folder is then made again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!CreateDirectoryW(own_, &madeAdminsOnly_)) {
            const DWORD error = GetLastError();
            if (error == ERROR_PATH_NOT_FOUND) {
                return Lock::taken;  // no code folder, nothing to settle
            }
            if (error != ERROR_ALREADY_EXISTS || !guardOwnFolder()) {
                return failed();
            }
        }
        // No sharing at all, so a second open fails for as long as this one is open. The file goes
        // with its handle.
        lock_.reset(CreateFileW(lockFile_, GENERIC_READ | GENERIC_WRITE | DELETE, 0, &madeAdminsOnly_,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
                                nullptr));  // hTemplateFile
        if (lock_.valid()) {
            return recover(log) ? Lock::taken : Lock::unsettled;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
            // Access is denied while the last holder's close is deleting the file: busy all the same.
            if (quiet) {
                return Lock::taken;
            }
            busy_ = true;
            log.write(L"Another installation is working in %ls\n", code_);
            return Lock::busy;
        }
        if (!isMissing(error)) {
            return failed();
        }
    }
    return failed();
}

CodeFolder::Replacement CodeFolder::replace(InstallLog& log, PinnedExtractor& extractor,
                                            const std::uint8_t* bytes, std::uint32_t length) {
    bool runtime = false;
    Swap swapped = Swap::kept;
    if (!makeWorkFolder()) {
        // The folder that the extractor would be made to work in cannot be had (the code folder itself
        // may be missing): the line of a failed change to it, as a run that cannot make it has always said.
        log.write(L"extractUpdate: Couldn't SetCurrentDirectory (%d)\n", static_cast<int>(GetLastError()));
    } else if (extractUpdate(log, swap_.unpacked, extractor, work_, bytes, length)) {
        swapped = swap(log, &runtime);
    }
    switch (swapped) {
        case Swap::done:
            // Once the update is on the disk and its journal gone: the extractor's folder (empty now)
            // may be held a moment longer; what the update moved aside goes as far as it can, and the
            // rest is left over for a later run.
            if (PathFileExistsW(record_)) {
                return Replacement::done;
            }
            removeTreeAt(swap_.unpacked, kPatienceMs);
            if (!removeTreeAt(work_, 0)) {
                log.write(L"Couldn't remove the previous installation from %ls; a later run removes it\n",
                          swap_.previous);
            }
            work_[0] = L'\0';
            return Replacement::done;
        case Swap::kept:
            if (hasInstallation()) {
                log.write(L"The previous installation in %ls was kept\n", code_);
            }
            break;
        case Swap::putBack:
            log.write(L"The previous installation in %ls was put back\n", code_);
            break;
        case Swap::stuck:
            log.write(L"The installation in %ls is part-way through a swap; the next run undoes it\n", code_);
            break;
    }
    return runtime ? Replacement::runtimeFailed : Replacement::failed;
}

// An installer's folder that exists already (an earlier version of the installer made it with the code
// folder's own list) is made what a new one is: no link, owned by the system (ownedByTheSystemOr; any
// other owner gives way to the administrators), and the administrators' protected list. False, with
// GetLastError set, when that cannot be done.
bool CodeFolder::guardOwnFolder() {
    const OwnedHandle folder(openShared(own_, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
    FILE_BASIC_INFO information;
    if (!folder.valid() ||
        !GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &information, sizeof information)) {
        return false;
    }
    if (!isPlainFolder(information.FileAttributes)) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    LocalMemory<wchar_t> owner;
    LocalMemory<wchar_t> list;
    const bool trusted = ownedByTheSystemOr(folder.get(), nullptr, &owner);
    if (owner.get() == nullptr || !listText(folder.get(), &list)) {
        return false;  // the owner or the list cannot be read
    }
    if (!trusted && !giveToAdministrators(folder.get())) {
        return false;
    }
    DWORD set = ERROR_SUCCESS;
    if (lstrcmpW(list.get(), kAdministratorsOnlyTree) != 0) {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL administratorsOnly = nullptr;
        GetSecurityDescriptorDacl(adminsOnly_.get(), &present, &administratorsOnly, &defaulted);
        set = SetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr,  // psidOwner: unchanged
                              nullptr,  // psidGroup: unchanged
                              administratorsOnly,
                              nullptr);  // pSacl
    }
    SetLastError(set);
    return set == ERROR_SUCCESS;
}

bool CodeFolder::recover(InstallLog& log) {
    LocalMemory<char16_t> text;
    JournalText journal;
    SwapFolders recorded;
    bool settled = false;
    switch (readJournalFile(record_, &text, &journal)) {
        case JournalRead::missing:
            settled = undoUnrecorded(log);
            break;
        case JournalRead::unreadable:
            log.write(L"Couldn't read the record of the swap %ls (%d)\n", record_,
                      static_cast<int>(GetLastError()));
            break;
        case JournalRead::damaged:
            log.write(L"The record of the swap %ls is damaged\n", record_);
            break;
        case JournalRead::ok: {
            wchar_t work[32] = {};
            const bool withWork = journal.format != JournalFormat::entriesWithoutWork;
            if (journal.workLength < 32) {
                wmemcpy(work, reinterpret_cast<const wchar_t*>(journal.text + journal.workOffset),
                        journal.workLength);
            }
            settled = journal.workLength < 32 && folders(withWork ? work : nullptr, &recorded) &&
                      (journal.format == JournalFormat::steps
                           ? recoverSteps(log, journal, recorded)
                           : rollForward(log, journal, recorded) && endSwap(log, recorded, !withWork));
            if (settled && journal.format != JournalFormat::steps) {
                log.write(L"Finished the update that an interrupted run left in %ls\n", code_);
            }
            break;
        }
    }
    if (!settled) {
        log.write(L"Couldn't settle what an interrupted installation left in %ls\n", own_);
        return false;
    }
    removeLeftovers(nullptr);
    return true;
}

// Makes this run's work folder under a name no earlier run used, with the administrators' list, and in
// it "unpacked" with the list that the code folder gives what is made in it: moved into place, the
// unpacked entries then have the rights that entries unpacked there would have.
bool CodeFolder::makeWorkFolder() {
    bool made = false;
    for (int attempt = 0; attempt < 16 && !made; ++attempt) {
        // "run-" and a stamp of the time, or of a later tick on each attempt after the first.
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const ULONGLONG stamp =
            ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) + attempt;
        wnsprintfW(workName_, 32, L"run-%08lx%08lx", static_cast<unsigned long>(stamp >> 32),
                   static_cast<unsigned long>(stamp));
        made = joinPath(work_, own_, workName_) && folders(workName_, &swap_) &&
               CreateDirectoryW(work_, &madeAdminsOnly_);
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
    const DWORD read =
        GetNamedSecurityInfoW(code_, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                              nullptr,  // the list only, within the descriptor
                              codeSecurity.receive());
    if (read != ERROR_SUCCESS || list == nullptr) {
        SetLastError(read != ERROR_SUCCESS ? read : ERROR_INVALID_ACL);
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

bool CodeFolder::hasInstallation() const {
    TreePath code;
    bool found = false;
    if (code.set(code_)) {
        forEachEntry(code, [&](const wchar_t* name, DWORD) {
            found = !samePath(name, L".installer");
            return !found;
        });
    }
    return found;
}

// Removes every entry of the installer's folder that no run needs, each as far as it can: all but the
// lock, the uninstaller, a record and the folders it names, and an earlier version's "previous" that
// undoUnrecorded() alone may take apart. A record that cannot be read keeps everything. The entry named
// `patientWith` (this run's work folder, which its extractor may have just left) is tried for a while.
void CodeFolder::removeLeftovers(const wchar_t* patientWith) {
    LocalMemory<char16_t> text;
    JournalText journal;
    const JournalRead read = readJournalFile(record_, &text, &journal);
    if (read == JournalRead::unreadable || read == JournalRead::damaged) {
        return;
    }
    const bool recorded = read == JournalRead::ok;
    const bool withWork = recorded && journal.format != JournalFormat::entriesWithoutWork;
    const std::wstring work =
        withWork ? std::wstring(reinterpret_cast<const wchar_t*>(journal.text + journal.workOffset),
                                journal.workLength)
                 : std::wstring();
    const bool previousIsLeftover = !recorded && PathFileExistsW(legacyDone_);
    const auto needed = [&](const wchar_t* name) {
        return samePath(name, L"lock") || samePath(name, L"Installer.exe") ||
               samePath(name, L"previous.done") || (samePath(name, L"previous") && !previousIsLeftover) ||
               (recorded && (samePath(name, L"swap") || (!withWork && samePath(name, L"unpacked")) ||
                             (withWork && samePath(name, work.c_str()))));
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
    if (!PathFileExistsW(legacyPrevious_)) {
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
