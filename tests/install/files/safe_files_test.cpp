// The file-system guards under Wine: what a held folder withstands, and how a name is classified
// before anything is done through it. Wine shows a Unix link to a folder as a reparse point; it stands
// here for a junction or a Windows link, which Wine cannot make.
#include "install/files/safe_files.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "install/database.h"
#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::removeTree;

namespace {

class SafeFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        removeTree(root());
        ASSERT_TRUE(CreateDirectoryW(root().c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(path(L"folder").c_str(), nullptr));
        ASSERT_TRUE(testsupport::writeBytes(path(L"file"), "x"));
        ASSERT_TRUE(testsupport::makeUnixLink(path(L"folder"), path(L"link")));
    }
    void TearDown() override {
        testsupport::removeUnixLink(path(L"link"));
        removeTree(root());
    }
    static std::wstring root() { return exeFolder() + L"\\guarded"; }
    static std::wstring path(const std::wstring& name) { return root() + L"\\" + name; }
};

// Listing rights make the share mode count: without delete sharing the folder can be neither renamed
// (replaced by a link between two checks) nor removed until the handle is closed.
TEST_F(SafeFilesTest, HeldFolderCannotBeRenamedOrRemoved) {
    OwnedHandle held;
    ASSERT_EQ(holdFolder(path(L"folder").c_str(), &held), Opened::ok);
    EXPECT_FALSE(MoveFileW(path(L"folder").c_str(), path(L"moved").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(RemoveDirectoryW(path(L"folder").c_str()));
    held.reset();
    EXPECT_TRUE(MoveFileW(path(L"folder").c_str(), path(L"moved").c_str()));
}

// By name, as a folder, and inside the held folder through its handle. (Opened in a held folder, a Unix
// link to a folder shows as the folder it leads to, so it is refused as one.)
TEST_F(SafeFilesTest, NamesAreOpenedOnlyAsWhatTheyAre) {
    struct Case {
        std::wstring name;
        Opened asFile;
        Opened asFolder;
        Opened inFolder;
    };
    const Case cases[] = {
        {L"file", Opened::ok, Opened::wrongKind, Opened::ok},
        {L"folder", Opened::missing, Opened::ok, Opened::wrongKind},
        {L"link", Opened::link, Opened::link, Opened::wrongKind},
        {L"missing", Opened::missing, Opened::missing, Opened::missing},
        {L"NUL", Opened::wrongKind, Opened::missing, Opened::missing},  // the device, wherever the folder is
    };
    OwnedHandle root;
    ASSERT_EQ(holdFolder(SafeFilesTest::root().c_str(), &root), Opened::ok);
    for (const Case& c : cases) {
        SCOPED_TRACE(testsupport::utf16Bytes(c.name));
        OwnedHandle handle;
        EXPECT_EQ(openInFolder(root.get(), c.name.c_str(), GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, nullptr,
                               &handle, nullptr),
                  c.inFolder);
        EXPECT_EQ(handle.valid(), c.inFolder == Opened::ok);
        EXPECT_EQ(openFileNoFollow(path(c.name).c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                   nullptr, &handle),
                  c.asFile);
        EXPECT_EQ(handle.valid(), c.asFile == Opened::ok);
        EXPECT_EQ(holdFolder(path(c.name).c_str(), &handle), c.asFolder);
        EXPECT_EQ(handle.valid(), c.asFolder == Opened::ok);
    }
}

// A file or a folder made through a folder's handle lands in that folder wherever it has gone since,
// never at the path it was opened by. (The real holds refuse delete sharing, so their folders cannot
// be moved at all; this one allows it, so that the move can be made.)
TEST_F(SafeFilesTest, CreationFollowsTheHandleNotThePath) {
    OwnedHandle folder(CreateFileW(path(L"folder").c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(folder.valid());
    ASSERT_TRUE(MoveFileW(path(L"folder").c_str(), path(L"moved").c_str()));
    ASSERT_TRUE(CreateDirectoryW(path(L"folder").c_str(), nullptr));
    OwnedHandle made;
    bool created = false;
    ASSERT_EQ(openInFolder(folder.get(), L"made", GENERIC_WRITE, 0, FILE_CREATE, nullptr, &made, &created),
              Opened::ok);
    EXPECT_TRUE(created);
    OwnedHandle inner;
    ASSERT_EQ(makeAndHoldFolderIn(folder.get(), L"inner", path(L"moved\\inner").c_str(), &inner, &created),
              Opened::ok);
    EXPECT_TRUE(created);
    for (const wchar_t* name : {L"made", L"inner"}) {
        EXPECT_TRUE(testsupport::pathExists(path(L"moved\\") + name));
        EXPECT_FALSE(testsupport::pathExists(path(L"folder\\") + name));
    }
}

// A file is kept only where it was meant to be and under one name; one that the caller made and
// cannot keep is deleted again, and one that was there already never is.
TEST_F(SafeFilesTest, FileIsKeptOnlyInPlaceAndOneThatWasMadeIsDeletedOtherwise) {
    ASSERT_TRUE(CreateHardLinkW(path(L"second").c_str(), path(L"file").c_str(), nullptr));
    struct Case {
        const wchar_t* name;
        std::wstring base;  // where it is meant to be, as base and name
        bool kept;
        bool leftThere;
    };
    const Case cases[] = {
        {L"new", root(), true, true},
        {L"new", exeFolder(), false, false},  // made, but not where it was meant to be: deleted
        {L"file", exeFolder(), false, true},   // there already: never deleted
        {L"second", root(), false, true},      // a second name of another file
    };
    OwnedHandle folder;
    ASSERT_EQ(holdFolder(root().c_str(), &folder), Opened::ok);
    for (const Case& c : cases) {
        SCOPED_TRACE(testsupport::utf16Bytes(c.name + (L" in " + c.base)));
        DeleteFileW(path(L"new").c_str());
        OwnedHandle file;
        bool created = false;
        ASSERT_EQ(openInFolder(folder.get(), c.name, GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN_IF, nullptr, &file,
                               &created),
                  Opened::ok);
        EXPECT_EQ(keepIfInPlace(folder.get(), c.name, &file, created, c.base.c_str(), c.name), c.kept);
        EXPECT_EQ(file.valid(), c.kept);
        file.reset();
        EXPECT_EQ(testsupport::pathExists(path(c.name)), c.leftThere);
    }
    EXPECT_EQ(testsupport::readBytes(path(L"file")), "x");
}

TEST_F(SafeFilesTest, OnlyBareFileNamesAreTaken) {
    for (const wchar_t* name : {L"local.7z", L"a b.7z", L".hidden"}) {
        EXPECT_TRUE(isBareFileName(name)) << testsupport::utf16Bytes(name);
    }
    for (const wchar_t* name : {L"", L".", L"..", L"a\\b", L"a/b", L"C:x", L"x:stream", L"\\\\host\\share"}) {
        EXPECT_FALSE(isBareFileName(name)) << testsupport::utf16Bytes(name);
    }
}

// Which access lists let someone other than the system, or the owner trusted beside it, change the
// list or the owner, read from SDDL. Under Wine a file's list is read back from its mode bits: the last
// rows are what Wine gives for an open file of the user who runs it and for another account's file.
TEST(AccessListTest, OnlyListsThatHandOutControlLetOthersTakeIt) {
    struct Case {
        const char* name;
        const wchar_t* sddl;  // null: a null list (Wine makes an empty one of "D:NO_ACCESS_CONTROL")
        bool ownerTrusted;  // S-1-5-21-0-0-0-1000 trusted beside the system
        bool open;
    };
    const Case cases[] = {
        {"EveryBitForEveryone", L"D:(A;;0xffffffff;;;WD)", true, true},
        {"NewDatabasesList", kDatabaseAccess, false, false},
        {"AdministratorsOnlyFile", kAdministratorsOnlyFile, false, false},
        {"AdministratorsOnlyTree", kAdministratorsOnlyTree, false, false},
        {"NullList", nullptr, false, true},
        {"EmptyList", L"D:", false, false},
        {"NoListAtAll", L"O:BA", false, true},
        {"GenericAllForUsers", L"D:(A;;GA;;;BU)", false, true},
        {"ChangeListForAuthenticatedUsers", L"D:P(A;;FA;;;SY)(A;;WD;;;AU)", false, true},
        {"TakeOwnershipForAUser", L"D:(A;;WO;;;S-1-5-21-1-2-3-1001)", false, true},
        {"AdministratorsOwnTightening", L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)", false, false},
        {"FullControlForTrustedInstaller",
         L"D:(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)", false, false},
        {"FullControlForTheTrustedOwner", L"D:(A;;FA;;;S-1-5-21-0-0-0-1000)", true, false},
        {"FullControlForAnOwnerNotTrusted", L"D:(A;;FA;;;S-1-5-21-0-0-0-1000)", false, true},
        {"FullControlForChildrenOnly", L"D:(A;OICIIO;FA;;;BU)(A;;FA;;;SY)", false, false},
        {"ChangeListDenied", L"D:(D;;WDWO;;;WD)(A;;FA;;;SY)", false, false},
        {"WineOpenFileOfTheUser", L"D:(A;;FA;;;SY)(A;;FA;;;S-1-5-21-0-0-0-1000)(A;;0x1301ff;;;WD)", true, false},
        {"WineFileOfAnotherAccount", L"D:(A;;FA;;;SY)(A;;FA;;;AN)(A;;0x1301ff;;;WD)", true, true},
    };
    PSID owner = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-0-0-0-1000", &owner));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LocalMemory<void> descriptor;
        if (c.sddl == nullptr) {
            descriptor.reset(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
            ASSERT_TRUE(InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION));
            ASSERT_TRUE(SetSecurityDescriptorDacl(descriptor.get(), TRUE, nullptr, FALSE));
        } else {
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1,
                                                                             descriptor.receive(), nullptr));
        }
        EXPECT_EQ(othersCanTakeControl(descriptor.get(), c.ownerTrusted ? owner : nullptr), c.open);
    }
    LocalFree(owner);
}

// The installation's own two lists: protected, full control for SYSTEM and Administrators alone, and
// passed on to what is made inside exactly when the name says so (the extractor's copy and everything
// else made in the installer's folder without a list of its own takes the tree's).
TEST(AccessListTest, AdministratorsOnlyListsPassOnWhatTheirNamesSay) {
    const struct {
        const char* name;
        const wchar_t* sddl;
        BYTE inheritance;
    } cases[] = {
        {"File", kAdministratorsOnlyFile, 0},
        {"Tree", kAdministratorsOnlyTree, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LocalMemory<void> descriptor;
        ASSERT_TRUE(makeDescriptor(c.sddl, &descriptor));
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
        EXPECT_NE(control & SE_DACL_PROTECTED, 0);
        BOOL present = FALSE, defaulted = FALSE;
        PACL list = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &list, &defaulted));
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->AceCount, 2);
        const WELL_KNOWN_SID_TYPE holders[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
        for (DWORD i = 0; i < list->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* entry = nullptr;
            ASSERT_TRUE(GetAce(list, i, reinterpret_cast<void**>(&entry)));
            EXPECT_EQ(entry->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
            EXPECT_EQ(entry->Header.AceFlags, c.inheritance);
            EXPECT_EQ(entry->Mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
            EXPECT_TRUE(IsWellKnownSid(&entry->SidStart, holders[i]));
        }
    }
    LocalMemory<void> none;
    EXPECT_FALSE(makeDescriptor(L"D:(nonsense", &none));
    EXPECT_EQ(none.get(), nullptr);
}

}  // namespace
