// The database step under Wine, in whole runs (verify-only, so that nothing else is installed) and, for a
// list that cannot be set, called on its own. A new database and an existing one are reached only
// through folders that are no links and belong to the system or to the owner of common application data
// (under Wine the user who runs it, who owns every file Wine makes), and kept only as a file with one
// name at its expected place. Wine shows a Unix link to a folder as a reparse point: it stands here for
// a junction or a Windows link. "Another account" is a Unix chown to another uid, whose files Wine
// reports as owned by Anonymous Logon (S-1-5-7).
#include "install/database.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/installer_harness.h"
#include "tests/support/wine_test_support.h"

using testsupport::kError;
using testsupport::kVerified;
using testsupport::pathExists;
using testsupport::readBytes;
using testsupport::removeTree;
using testsupport::runAndWait;
using testsupport::systemFolder;
using testsupport::unixPath;
using testsupport::waitFor;
using testsupport::writeBytes;

namespace {

// The rights that the access list of `descriptor` grants to Everyone (S-1-1-0), read with
// GetExplicitEntriesFromAclW; 0 when it grants none.
ACCESS_MASK rightsOfEveryone(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) || !present || list == nullptr) {
        return 0;
    }
    ULONG count = 0;
    PEXPLICIT_ACCESS_W entries = nullptr;
    if (GetExplicitEntriesFromAclW(list, &count, &entries) != ERROR_SUCCESS) {
        return 0;
    }
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size);
    ACCESS_MASK rights = 0;
    for (ULONG i = 0; i < count; ++i) {
        if (entries[i].grfAccessMode == GRANT_ACCESS && entries[i].Trustee.TrusteeForm == TRUSTEE_IS_SID &&
            EqualSid(reinterpret_cast<PSID>(entries[i].Trustee.ptstrName), everyone)) {
            rights |= entries[i].grfAccessPermissions;
        }
    }
    LocalFree(entries);
    return rights;
}

// The same for the file at `path`, its list read back with GetFileSecurityW.
ACCESS_MASK rightsOfEveryone(const std::wstring& path) {
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed);
    return needed != 0 && GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                                           &needed)
               ? rightsOfEveryone(descriptor.data())
               : 0;
}

constexpr ACCESS_MASK kEveryRightOfAFile =
    FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;

// The owner of the file or folder at `path` as a SID string, or "" when it cannot be read.
std::wstring ownerOf(const std::wstring& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    LPWSTR text = nullptr;
    std::wstring result;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                              nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        ConvertSidToStringSidW(owner, &text)) {
        result = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return result;
}

constexpr wchar_t kAnotherAccount[] = L"S-1-5-7";  // how Wine names the owner of another uid's files

class DatabaseTest : public testsupport::InstallerHarness {
  protected:
    void SetUp() override {
        InstallerHarness::SetUp();
        removeTree(elsewhere());
    }
    void TearDown() override {
        for (const std::wstring& path : given_) {
            giveBack(path);
        }
        removeTree(elsewhere());
        InstallerHarness::TearDown();
    }

    static std::wstring programData() { return systemFolder(CSIDL_COMMON_APPDATA); }
    static std::wstring orvanta() { return programData() + L"\\Orvanta"; }
    static std::wstring elsewhere() { return programData() + L"\\Elsewhere"; }

    // Gives `path` to another account (the Unix user 4321) until the test ends; true once Wine says so.
    bool giveToAnotherAccount(const std::wstring& path) {
        given_.push_back(path);
        runAndWait(L"Z:\\bin\\chown 4321 " + unixPath(path));
        return waitFor(100, 20, [&] { return ownerOf(path) == kAnotherAccount; });
    }
    // Gives it back to the owner of common application data.
    static void giveBack(const std::wstring& path) {
        if (pathExists(path)) {
            runAndWait(L"Z:\\bin\\chown --reference=" + unixPath(programData()) + L" " + unixPath(path));
            waitFor(100, 20, [&] { return ownerOf(path) == ownerOf(programData()); });
        }
    }

  private:
    std::vector<std::wstring> given_;
};

// What stands where the run looks for its folders and its database, and the lines the step writes.
enum class Link { none, orvanta, welkara };  // a link to Elsewhere in place of that folder
enum class Found { nothing, file, secondName, folder, linkToAFile };
enum class Foreign { none, orvanta, welkara, database };  // given to another account

struct DatabaseCase {
    const char* name;
    Link link;
    Found found;  // at the name the run reaches, through the link if there is one
    Foreign foreign;
    bool accepted;
    const wchar_t* lines;  // of the step, with {db}, {orvanta} and {welkara} for those paths
};

constexpr wchar_t kNotItsOwnFile[] =
    L"Refusing the database {db}: it is not a file of its own in the database folder\n"
    L"Couldn't create empty database\n";

const std::string kContents = "the application's data";

using DatabaseTable = testing::WithParamInterface<DatabaseCase>;
class DatabasePlaceTest : public DatabaseTest, public DatabaseTable {};

// A new database and an existing one alike: a link at either folder, a folder there already that
// another account owns, or anything at the name but a file of its own at the expected place is refused
// before anything is made or changed; an existing database in trusted folders is accepted with its
// contents, and with its list unless that list lets another account take control of it.
TEST_P(DatabasePlaceTest, IsReachedOnlyThroughTrustedFolders) {
    const DatabaseCase& c = GetParam();
    const std::wstring linkPath = c.link == Link::orvanta ? orvanta() : databaseFolder;
    const std::wstring folder = c.link == Link::orvanta   ? elsewhere() + L"\\Welkara"
                                : c.link == Link::welkara ? elsewhere()
                                                          : databaseFolder;
    const std::wstring reached = folder + L"\\vorlinde.db";
    const std::wstring other = elsewhere() + L"\\other.db";
    ASSERT_TRUE(CreateDirectoryW(elsewhere().c_str(), nullptr));
    if (c.link != Link::orvanta) {
        ASSERT_TRUE(CreateDirectoryW(orvanta().c_str(), nullptr));
    }
    if (c.link != Link::welkara && (c.link == Link::none || c.found != Found::nothing)) {
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    }
    if (c.found == Found::file) {
        ASSERT_TRUE(writeBytes(reached, kContents));
    } else if (c.found == Found::secondName || c.found == Found::linkToAFile) {
        ASSERT_TRUE(writeBytes(other, kContents));
        ASSERT_TRUE(c.found == Found::secondName
                        ? CreateHardLinkW(reached.c_str(), other.c_str(), nullptr) != FALSE
                        : testsupport::makeUnixLink(other, reached));
    } else if (c.found == Found::folder) {
        ASSERT_TRUE(CreateDirectoryW(reached.c_str(), nullptr));
    }
    if (c.link != Link::none) {
        ASSERT_TRUE(testsupport::makeUnixLink(elsewhere(), linkPath));
    }
    if (c.foreign != Foreign::none) {
        ASSERT_TRUE(giveToAnotherAccount(c.foreign == Foreign::orvanta   ? orvanta()
                                         : c.foreign == Foreign::welkara ? databaseFolder
                                                                         : reached));
    }
    const ACCESS_MASK rightsBefore = rightsOfEveryone(reached);

    verifyLocalPackage();
    if (c.link != Link::none) {
        testsupport::removeUnixLink(linkPath);
    }
    const std::string left = readBytes(c.found == Found::file ? reached : other);
    if (c.found == Found::linkToAFile) {
        testsupport::removeUnixLink(reached);  // a dangling one would stay when its folders are removed
    }

    EXPECT_EQ(messages(), c.accepted ? kVerified : kError);
    std::wstring lines = c.lines;
    for (const auto& [name, path] : {std::pair<std::wstring, std::wstring>{L"{db}", databasePath()},
                                     {L"{orvanta}", orvanta()},
                                     {L"{welkara}", databaseFolder}}) {
        for (size_t at = lines.find(name); at != std::wstring::npos; at = lines.find(name, at)) {
            lines.replace(at, name.size(), path);
        }
    }
    const std::wstring text = log();
    EXPECT_EQ(text.substr(0, text.find(L"Will try")),
              L"Installer thread started\nManifest loaded from " + manifest() + L".\n" + lines);
    if (c.found == Found::nothing) {
        EXPECT_FALSE(pathExists(elsewhere() + L"\\Welkara")) << "nothing is made where a link leads";
        EXPECT_FALSE(pathExists(elsewhere() + L"\\vorlinde.db"));
    } else if (c.found == Found::folder) {
        EXPECT_NE(GetFileAttributesW(reached.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    } else {
        EXPECT_EQ(left, kContents);
    }
    if (c.accepted && c.found == Found::file && c.foreign == Foreign::none) {
        EXPECT_EQ(rightsOfEveryone(reached), rightsBefore) << "an existing database keeps its own list";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Places, DatabasePlaceTest,
    testing::Values(
        DatabaseCase{"NewThroughAnOrvantaLink", Link::orvanta, Found::nothing, Foreign::none, false,
                     L"Refusing the database folder {orvanta}: it is a link or junction\n"
                     L"Couldn't create empty database\n"},
        DatabaseCase{"NewThroughAWelkaraLink", Link::welkara, Found::nothing, Foreign::none, false,
                     L"Refusing the database folder {welkara}: it is a link or junction\n"
                     L"Couldn't create empty database\n"},
        DatabaseCase{"NewInAnOrvantaOfAnotherAccount", Link::none, Found::nothing, Foreign::orvanta, false,
                     L"Refusing the database folder {orvanta}: it is owned by S-1-5-7\n"
                     L"Couldn't create empty database\n"},
        DatabaseCase{"NewInFoldersThereAlready", Link::none, Found::nothing, Foreign::none, true,
                     L"Creating {db}\n"},
        DatabaseCase{"ExistingThroughAnOrvantaLink", Link::orvanta, Found::file, Foreign::none, false,
                     L"Refusing the database folder {orvanta}: it is a link or junction\n"
                     L"Couldn't create empty database\n"},
        DatabaseCase{"ExistingThroughAWelkaraLink", Link::welkara, Found::file, Foreign::none, false,
                     L"Refusing the database folder {welkara}: it is a link or junction\n"
                     L"Couldn't create empty database\n"},
        DatabaseCase{"ExistingInAWelkaraOfAnotherAccount", Link::none, Found::file, Foreign::welkara, false,
                     L"Refusing the database folder {welkara}: it is owned by S-1-5-7\n"
                     L"Couldn't create empty database\n"},
        DatabaseCase{"ExistingWithASecondName", Link::none, Found::secondName, Foreign::none, false,
                     kNotItsOwnFile},
        DatabaseCase{"ExistingLinkToAFileElsewhere", Link::none, Found::linkToAFile, Foreign::none, false,
                     kNotItsOwnFile},
        DatabaseCase{"FolderWhereTheDatabaseShouldBe", Link::none, Found::folder, Foreign::none, false,
                     kNotItsOwnFile},
        DatabaseCase{"ExistingAccepted", Link::none, Found::file, Foreign::none, true,
                     L"Database {db} already exists (which is fine).\n"},
        // Wine lists a file's owner with every right, so another account's database lets that account
        // change its list: the one case in which a run under Wine narrows a list.
        DatabaseCase{"ExistingThatAnotherAccountControls", Link::none, Found::file, Foreign::database, true,
                     L"Database {db} already exists (which is fine).\n"
                     L"Narrowed the access list of {db} to the one a new database gets\n"}),
    [](const testing::TestParamInfo<DatabaseCase>& info) { return std::string(info.param.name); });

// Wine keeps a file's access list only as far as the Unix permission bits carry it: reading it back gives
// entries for SYSTEM, the owner and Everyone, synthesised from those bits. What survives of the list a
// new database gets is read, write, execute and delete for Everyone, where a new file's default list
// gives Everyone only read and execute.
TEST_F(DatabaseTest, NewDatabaseIsOpenToEveryone) {
    verifyLocalPackage();
    ASSERT_TRUE(pathExists(databasePath()));
    EXPECT_EQ(rightsOfEveryone(databasePath()) & kEveryRightOfAFile, kEveryRightOfAFile)
        << std::hex << rightsOfEveryone(databasePath());

    const std::wstring plain = databaseFolder + L"\\plain.db";
    ASSERT_TRUE(writeBytes(plain, ""));
    EXPECT_NE(rightsOfEveryone(plain) & kEveryRightOfAFile, kEveryRightOfAFile)
        << "a file with the default list must not pass for an open one";

    // The list itself, as the run hands it to the system (Wine keeps no more of it than the bits above):
    // Everyone may use the file but not delete it, change its list or take it over.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kDatabaseAccess, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    const ACCESS_MASK everyone = rightsOfEveryone(descriptor);
    LocalFree(descriptor);
    EXPECT_EQ(everyone & (FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE),
              static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE))
        << std::hex << everyone;
    EXPECT_EQ(everyone & (DELETE | WRITE_DAC | WRITE_OWNER), 0u) << std::hex << everyone;
}

// A list that cannot be set is reported, never passed over: a new database is deleted again, so that
// the next run makes it afresh; an existing one keeps its contents. (The list given here cannot even be
// made; a run always gives the database's own.)
TEST_F(DatabaseTest, ListThatCannotBeSetFailsTheStep) {
    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "existing" : "new");
        removeTree(orvanta());
        if (existing) {
            ASSERT_EQ(SHCreateDirectoryExW(nullptr, databaseFolder.c_str(), nullptr), ERROR_SUCCESS);
            ASSERT_TRUE(writeBytes(databasePath(), kContents));
            ASSERT_TRUE(giveToAnotherAccount(databasePath()));  // its owner may change its list
        }
        DatabaseState state = DatabaseState::ready;
        const std::wstring text = testsupport::installLogOf(
            [&](InstallLog& log) { state = prepareDatabase(log, L"D:(nonsense"); });
        EXPECT_EQ(state, DatabaseState::failed);
        const std::wstring first = existing
                                       ? L"Database " + databasePath() + L" already exists (which is fine).\n"
                                       : L"Creating " + databasePath() + L"\n";
        const std::wstring detail = L"Couldn't give " + databasePath() + L" its access list (";
        EXPECT_EQ(text.substr(0, first.size() + detail.size()), first + detail) << text;
        EXPECT_TRUE(testsupport::endsWith(text, L")\n")) << text;
        bool exists = false;
        EXPECT_EQ(readBytes(databasePath(), &exists), existing ? kContents : "");
        EXPECT_EQ(exists, existing);
        if (!existing) {
            EXPECT_EQ(
                testsupport::installLogOf(
                    [](InstallLog& log) { EXPECT_EQ(prepareDatabase(log), DatabaseState::ready); }),
                L"Creating " + databasePath() + L"\n");
        }
    }
}

}  // namespace
