// The shared database file, made empty and open to every user. The folders beneath common application data
// may have been made by any user before the installer ran, and whoever may write one may turn it into a
// junction at any time: so the file, new or found, is reached only through held folders ("Welkara" through
// the held "Orvanta"), neither a link nor, when found there, owned by anyone but the system; it is opened
// inside the held "Welkara" and kept only as a file with one name at its expected final path. A new file
// starts with a list for the administrators and the system only, and everyone gets its rights, through the
// handle, only once it is known to be the database.
#include "install/database.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include "install/install_log.h"
#include "install/files/safe_files.h"

namespace {

constexpr const wchar_t* kName = L"vorlinde.db";
constexpr const wchar_t* kBelowProgramData = L"Orvanta\\Welkara\\vorlinde.db";

// The database's paths and its two folders, held from their checks to the end of the step.
struct DatabasePlace {
    wchar_t programData[MAX_PATH];
    wchar_t orvanta[MAX_PATH];
    wchar_t welkara[MAX_PATH];
    wchar_t path[MAX_PATH];
    // The owner of common application data, trusted beside the system (see holdFolders).
    LocalMemory<void> ownerDescriptor;
    PSID programDataOwner = nullptr;
    OwnedHandle folders[2];  // "Orvanta", "Welkara"

    const wchar_t* folderPath(int i) const { return i == 0 ? orvanta : welkara; }
    HANDLE welkaraFolder() const { return folders[1].get(); }
};

bool findPaths(DatabasePlace* place) {
    return SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, place->programData) >=
               0 &&
           joinPath(place->orvanta, place->programData, L"Orvanta") &&
           joinPath(place->welkara, place->orvanta, L"Welkara") &&
           joinPath(place->path, place->welkara, kName);
}

// Writes why the database folder `folder` is refused: a link, or `owner` (null for a link). False.
bool refuseFolder(InstallLog& log, const wchar_t* folder, const wchar_t* owner) {
    if (owner == nullptr) {
        log.write(L"Refusing the database folder %ls: it is a link or junction\n", folder);
    } else {
        log.write(L"Refusing the database folder %ls: it is owned by %ls\n", folder, owner);
    }
    return false;
}

// Makes (when missing) and holds both folders, "Welkara" through the held "Orvanta". A folder that was
// there already must belong to the system or to whoever owns common application data: that owner can
// replace everything beneath it anyway, so trusting it adds nobody (on Windows it is SYSTEM). Any other
// owner (any user may make these folders first) could take the database away from the application. A
// folder this run makes is given to the administrators where the system allows it; otherwise it stays
// its maker's, and a later run of another account refuses it. False after a line when they cannot be
// held or are refused.
bool holdFolders(InstallLog& log, DatabasePlace& place) {
    folderOwner(place.programData, &place.ownerDescriptor, &place.programDataOwner);
    bool made[2] = {false, false};
    Opened held = makeAndHoldFolder(place.orvanta, &place.folders[0], &made[0]);
    int at = 0;  // the folder that `held` tells about
    if (held == Opened::ok) {
        at = 1;
        held = makeAndHoldFolderIn(place.folders[0].get(), L"Welkara", place.welkara, &place.folders[1],
                                   &made[1]);
    }
    if (held == Opened::link) {
        return refuseFolder(log, place.folderPath(at), nullptr);
    }
    // A folder that cannot be made or opened is a file that cannot be created in it.
    if (held != Opened::ok) {
        log.write(L"CreateFile(%ls) failed\n", place.path);
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        LocalMemory<wchar_t> owner;
        if (made[i]) {
            giveToAdministrators(place.folders[i].get());  // a standard user's folder stays theirs
        } else if (!ownedByTheSystemOr(place.folders[i].get(), place.programDataOwner, &owner)) {
            return refuseFolder(log, place.folderPath(i),
                                owner.get() != nullptr ? owner.get() : L"an owner that cannot be read");
        }
    }
    return true;
}

// Gives the file open as `file` (with WRITE_DAC) the list `access`. False with GetLastError set.
bool setList(HANDLE file, const wchar_t* access) {
    LocalMemory<void> list;
    return makeDescriptor(access, &list) &&
           SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, list.get());
}

// What was found at the database's name inside the held "Welkara" (`found`: a file open as `database`
// with READ_CONTROL, a link or a folder): kept only as a file with one name at its expected final path,
// and its contents left alone. A list that lets anyone but the trusted owners change it or the owner
// (earlier versions gave Everyone every right) is replaced with `access` through another handle; any
// other list, an administrator's own tightening included, stays. False after a line when it is refused
// or its list cannot be narrowed.
bool keepExisting(InstallLog& log, DatabasePlace& place, Opened found, OwnedHandle* database,
                  const wchar_t* access) {
    if (found != Opened::ok ||
        !keepIfInPlace(place.welkaraFolder(), kName, database, false, place.programData, kBelowProgramData)) {
        log.write(L"Refusing the database %ls: it is not a file of its own in the database folder\n",
                  place.path);
        return false;
    }
    log.write(L"Database %ls already exists (which is fine).\n", place.path);
    LocalMemory<void> list;
    if (GetSecurityInfo(database->get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                        nullptr,  // owner, group, list and system list: only the descriptor
                        list.receive()) == ERROR_SUCCESS &&
        !othersCanTakeControl(list.get(), place.programDataOwner)) {
        return true;
    }
    OwnedHandle writable;
    if (!reopen(database->get(), WRITE_DAC, &writable) || !setList(writable.get(), access)) {
        log.write(L"Couldn't give %ls its access list (%d)\n", place.path, static_cast<int>(GetLastError()));
        return false;
    }
    log.write(L"Narrowed the access list of %ls to the one a new database gets\n", place.path);
    return true;
}

// Creates the database inside the held "Welkara", never through a link at its name. A file that ends
// up anywhere but at its expected final path, in a folder that has become a link, or without its list
// is deleted again through its handle, so that the next run makes it afresh. False after a line when
// the database is not there afterwards.
bool createNew(InstallLog& log, DatabasePlace& place, const wchar_t* access) {
    log.write(L"Creating %ls\n", place.path);
    // The administrators' list until the file is known to be the database.
    LocalMemory<void> administratorsOnly;
    OwnedHandle database;
    if (!makeDescriptor(kAdministratorsOnlyFile, &administratorsOnly) ||
        openInFolder(place.welkaraFolder(), kName, GENERIC_WRITE | WRITE_DAC | DELETE, 0, FILE_CREATE,
                     administratorsOnly.get(), &database, nullptr) != Opened::ok) {
        log.write(L"CreateFile(%ls) failed\n", place.path);
        return false;
    }
    // Against the whole expected path, from common application data's own final path on.
    if (!keepIfInPlace(place.welkaraFolder(), kName, &database, true, place.programData, kBelowProgramData)) {
        log.write(L"Refusing the database %ls: it was not created in the database folder\n", place.path);
        return false;
    }
    // A held folder cannot be renamed or removed, but whoever may write it can still make it a mount
    // point in place, and the file would then be reached through it.
    for (int i = 0; i < 2; ++i) {
        if (isReparsePoint(place.folders[i].get())) {
            deleteByHandle(database.get());
            return refuseFolder(log, place.folderPath(i), nullptr);
        }
    }
    if (!setList(database.get(), access)) {
        const DWORD error = GetLastError();
        deleteByHandle(database.get());
        log.write(L"Couldn't give %ls its access list (%d)\n", place.path, static_cast<int>(error));
        return false;
    }
    return true;
}

}  // namespace

DatabaseState prepareDatabase(InstallLog& log, const wchar_t* access) {
    DatabasePlace place;
    if (!findPaths(&place)) {
        return DatabaseState::noPath;
    }
    if (!holdFolders(log, place)) {
        return DatabaseState::failed;
    }
    // Only a look, so that a database in use by the application (opened with any sharing) is found too.
    OwnedHandle database;
    const Opened found = openInFolder(place.welkaraFolder(), kName, READ_CONTROL,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                      nullptr,  // security: only for a new file
                                      &database, nullptr);
    bool kept = false;
    if (found == Opened::missing && isMissing(GetLastError())) {
        kept = createNew(log, place, access);
    } else if (found == Opened::missing) {
        log.write(L"CreateFile(%ls) failed\n", place.path);
    } else {
        kept = keepExisting(log, place, found, &database, access);
    }
    return kept ? DatabaseState::ready : DatabaseState::failed;
}
