// The file-system guards under Wine: what a held folder withstands, and how a name is classified
// before anything is done through it. Wine shows a Unix link to a folder as a reparse point; it stands
// here for a junction or a Windows link, which Wine cannot make.
#include "install/safe_files.h"

#include <gtest/gtest.h>

#include <string>

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

TEST_F(SafeFilesTest, NamesAreOpenedOnlyAsWhatTheyAre) {
    struct Case {
        std::wstring name;
        Opened asFile;
        Opened asFolder;
    };
    const Case cases[] = {
        {L"file", Opened::ok, Opened::wrongKind},     {L"folder", Opened::missing, Opened::ok},
        {L"link", Opened::link, Opened::link},        {L"missing", Opened::missing, Opened::missing},
        {L"NUL", Opened::wrongKind, Opened::missing},  // the device, wherever the folder is
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testsupport::utf16Bytes(c.name));
        OwnedHandle handle;
        EXPECT_EQ(openFileNoFollow(path(c.name).c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                   nullptr, &handle),
                  c.asFile);
        EXPECT_EQ(handle.valid(), c.asFile == Opened::ok);
        EXPECT_EQ(holdFolder(path(c.name).c_str(), &handle), c.asFolder);
        EXPECT_EQ(handle.valid(), c.asFolder == Opened::ok);
    }
}

TEST_F(SafeFilesTest, OnlyBareFileNamesAreTaken) {
    for (const wchar_t* name : {L"local.7z", L"a b.7z", L".hidden"}) {
        EXPECT_TRUE(isBareFileName(name)) << testsupport::utf16Bytes(name);
    }
    for (const wchar_t* name : {L"", L".", L"..", L"a\\b", L"a/b", L"C:x", L"x:stream", L"\\\\host\\share"}) {
        EXPECT_FALSE(isBareFileName(name)) << testsupport::utf16Bytes(name);
    }
}

}  // namespace
