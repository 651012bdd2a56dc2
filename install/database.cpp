// Win32 side of the database step. The folders beneath common application data may have been made by
// any user before the installer ran, and whoever may write one may turn it into a junction at any time:
// so the file is made through held folders ("Welkara" through the held "Orvanta"), neither a link nor,
// when found there, anyone's but the system's, with a list for the administrators and the system only;
// everyone gets its rights, through the handle, only once its final path is known to be the database's.
#include "install/database.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "install/final_lines.h"
#include "install/install_log.h"
#include "install/files/safe_files.h"

// Full control for the system and the administrators, nothing for anyone else, and nothing inherited
// from the folder: the file's list until it is known to be the database.
constexpr const wchar_t* kAdministratorsOnly = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

const wchar_t* prepareDatabase(InstallLog& log) {
    wchar_t programData[MAX_PATH];
    wchar_t orvanta[MAX_PATH];
    wchar_t welkara[MAX_PATH];
    wchar_t databasePath[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, programData) < 0 ||
        !joinPath(orvanta, programData, L"Orvanta") || !joinPath(welkara, orvanta, L"Welkara") ||
        !joinPath(databasePath, welkara, L"vorlinde.db")) {
        return finalLine::kNoDatabasePath;
    }
    if (PathFileExistsW(databasePath)) {
        log.write(L"Database %ls already exists (which is fine).\n", databasePath);
        return nullptr;
    }

    // A folder that cannot be made or opened shows up as a failure to create the file in it.
    OwnedHandle folders[2];
    bool made[2] = {false, false};
    const wchar_t* const paths[2] = {orvanta, welkara};
    Opened held = makeAndHoldFolder(orvanta, &folders[0], &made[0]);
    const wchar_t* link = held == Opened::link ? orvanta : nullptr;
    if (held == Opened::ok) {
        held = makeAndHoldFolderIn(folders[0].get(), L"Welkara", welkara, &folders[1], &made[1]);
        link = held == Opened::link ? welkara : nullptr;
    }
    if (link != nullptr) {
        log.write(L"Refusing the database folder %ls: it is a link or junction\n", link);
        return finalLine::kNoDatabase;
    }
    // A folder that was there already, and so not made by this run, may only be the system's: another
    // owner (any user may make these folders first) could take the file away from the application.
    for (int i = 0; i < 2 && held == Opened::ok; ++i) {
        LocalMemory<wchar_t> owner;
        if (!made[i] && !ownedByTheSystemOr(folders[i].get(), nullptr, &owner)) {
            log.write(L"Refusing the database folder %ls: it is owned by %ls\n", paths[i],
                      owner.get() != nullptr ? owner.get() : L"an owner that cannot be read");
            return finalLine::kNoDatabase;
        }
    }

    log.write(L"Creating %ls\n", databasePath);
    LocalMemory<void> administratorsOnly;
    LocalMemory<void> shared;
    OwnedHandle database;
    // FILE_CREATE never opens what is there already, a link included.
    const bool created =
        held == Opened::ok &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdministratorsOnly, SDDL_REVISION_1,
                                                             administratorsOnly.receive(),
                                                             nullptr) &&  // SecurityDescriptorSize
        openInFolder(folders[1].get(), L"vorlinde.db", GENERIC_WRITE | WRITE_DAC, 0, FILE_CREATE,
                     administratorsOnly.get(), &database, nullptr) == Opened::ok;
    if (!created) {
        log.write(L"CreateFile(%ls) failed\n", databasePath);
        return finalLine::kNoDatabase;
    }
    // Against the whole expected path, from common application data's own final path on; a file that
    // is elsewhere is deleted again.
    if (!keepIfInPlace(folders[1].get(), L"vorlinde.db", &database, true, programData,
                       L"Orvanta\\Welkara\\vorlinde.db")) {
        log.write(L"Refusing the database %ls: it was not created in the database folder\n", databasePath);
        return finalLine::kNoDatabase;
    }
    // When the shared list cannot be made, the file keeps the one it was made with.
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kDatabaseAccess, SDDL_REVISION_1,
                                                             shared.receive(),
                                                             nullptr)) {  // SecurityDescriptorSize
        SetKernelObjectSecurity(database.get(), DACL_SECURITY_INFORMATION, shared.get());
    }
    return nullptr;
}
