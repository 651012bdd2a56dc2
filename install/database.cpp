// Win32 side of the database step. The folders beneath common application data may have been made by
// any user before the installer ran, and whoever may write one may turn it into a junction at any time,
// so when the file has to be made: each folder is made and held (it cannot be renamed or replaced
// then) and must not be a link, the file is created inside the held "Welkara" folder through its
// handle, with an access list for administrators and the system only, and only once its final path is
// known to be the database's is everyone given every right to it, through the handle.
#include "install/database.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "install/final_lines.h"
#include "install/install_log.h"
#include "install/local_memory.h"
#include "install/safe_files.h"

namespace {

// A security descriptor whose access list has one entry: every right (0xFFFFFFFF) for Everyone
// (S-1-1-0). When any part of it cannot be made, descriptor() is null and the file keeps the list it
// was made with.
class EveryoneDescriptor {
  public:
    EveryoneDescriptor() {
        SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
        if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                      &everyone_)) {
            everyone_ = nullptr;
            return;
        }
        EXPLICIT_ACCESS_W entry = {};
        entry.grfAccessPermissions = 0xFFFFFFFF;
        entry.grfAccessMode = GRANT_ACCESS;
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.pMultipleTrustee = nullptr;
        entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone_);
        if (SetEntriesInAclW(1, &entry, nullptr, list_.receive()) != ERROR_SUCCESS) {
            list_.reset();
            return;
        }
        descriptor_.reset(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
        if (descriptor_.get() != nullptr &&
            (!InitializeSecurityDescriptor(descriptor_.get(), SECURITY_DESCRIPTOR_REVISION) ||
             !SetSecurityDescriptorDacl(descriptor_.get(), TRUE, list_.get(), FALSE))) {
            descriptor_.reset();
        }
    }
    EveryoneDescriptor(const EveryoneDescriptor&) = delete;
    EveryoneDescriptor& operator=(const EveryoneDescriptor&) = delete;
    ~EveryoneDescriptor() {
        if (everyone_ != nullptr) {
            FreeSid(everyone_);
        }
    }
    PSECURITY_DESCRIPTOR descriptor() const { return descriptor_.get(); }

  private:
    PSID everyone_ = nullptr;  // freed with FreeSid, not LocalFree
    LocalMemory<ACL> list_;
    LocalMemory<void> descriptor_;
};

// Full control for the system and the administrators, nothing for anyone else, and nothing inherited
// from the folder: the file's list until it is known to be the database.
constexpr const wchar_t* kAdministratorsOnly = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

}  // namespace

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
    const wchar_t* const paths[2] = {orvanta, welkara};
    bool usable = true;
    for (int i = 0; i < 2 && usable; ++i) {
        const Opened held = makeAndHoldFolder(paths[i], &folders[i]);
        if (held == Opened::link) {
            log.write(L"Refusing the database folder %ls: it is a link or junction\n", paths[i]);
            return finalLine::kNoDatabase;
        }
        usable = held == Opened::ok;
    }

    log.write(L"Creating %ls\n", databasePath);
    LocalMemory<void> administratorsOnly;
    OwnedHandle database;
    // FILE_CREATE never opens what is there already, a link included.
    const bool created =
        usable &&
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
    const EveryoneDescriptor everyone;
    if (everyone.descriptor() != nullptr) {
        SetKernelObjectSecurity(database.get(), DACL_SECURITY_INFORMATION, everyone.descriptor());
    }
    return nullptr;
}
