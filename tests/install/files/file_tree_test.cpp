// Whole trees under Wine: removeTreeAt deletes what it can, never through a link (a Unix link stands
// for a junction, which Wine cannot make), keeps what is held and what it may not unmark, and waits up
// to its patience for what is let go; TreePath builds the long form one name at a time.
#include "install/files/file_tree.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::pathExists;
using testsupport::readBytes;
using testsupport::removeTree;
using testsupport::writeBytes;

namespace {

class FileTreeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TearDown();
        for (const std::wstring& folder :
             {root(), at(L"tree"), at(L"tree\\a"), at(L"tree\\a\\b"), at(L"outside")}) {
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        }
        for (const wchar_t* file :
             {L"tree\\top.txt", L"tree\\a\\mid.txt", L"tree\\a\\b\\deep.txt", L"outside\\kept.txt"}) {
            ASSERT_TRUE(writeBytes(at(file), "bytes"));
        }
    }
    void TearDown() override {
        testsupport::removeUnixLink(at(L"tree\\link"));
        for (const wchar_t* file : {L"outside\\second.txt", L"tree\\a\\mid.txt"}) {
            SetFileAttributesW(at(file).c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        removeTree(root());
    }

  public:
    static std::wstring root() { return exeFolder() + L"\\file_tree"; }
    static std::wstring at(const std::wstring& relative) { return root() + L"\\" + relative; }
};

struct Removal {
    const char* name;
    void (*prepare)(OwnedHandle* held);  // what another program did or holds before the removal
    DWORD heldForMs;                     // when not 0, the held handle is let go after this long
    DWORD patienceMs;
    bool removed;            // what removeTreeAt answers, and whether "tree" is gone
    const wchar_t* left[3];  // what stays of "tree" otherwise (up to three paths)
};

void nothing(OwnedHandle*) {}
// A Unix link to a folder outside the tree: it goes, and what it leads to stays.
void linkOutside(OwnedHandle*) {
    ASSERT_TRUE(testsupport::makeUnixLink(FileTreeTest::at(L"outside"), FileTreeTest::at(L"tree\\link")));
}
// A read-only file: its mark is taken off, as it has no other name.
void readOnly(OwnedHandle*) {
    ASSERT_TRUE(SetFileAttributesW(FileTreeTest::at(L"tree\\a\\mid.txt").c_str(), FILE_ATTRIBUTE_READONLY));
}
// A read-only file with a second name outside: every name shares the mark, so it is not taken off.
void readOnlyWithSecondName(OwnedHandle*) {
    ASSERT_TRUE(CreateHardLinkW(FileTreeTest::at(L"outside\\second.txt").c_str(),
                                FileTreeTest::at(L"tree\\a\\mid.txt").c_str(), nullptr));
    readOnly(nullptr);
}
// A file held open without delete sharing.
void held(OwnedHandle* handle) {
    handle->reset(CreateFileW(FileTreeTest::at(L"tree\\a\\b\\deep.txt").c_str(), GENERIC_READ,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(handle->valid());
}

class RemoveTreeTest : public FileTreeTest, public ::testing::WithParamInterface<Removal> {};

TEST_P(RemoveTreeTest, DeletesWhatItCanAndNeverFollowsALink) {
    const Removal& c = GetParam();
    OwnedHandle handle;
    c.prepare(&handle);
    std::thread letGo;
    if (c.heldForMs != 0) {
        letGo = std::thread([&] {
            Sleep(c.heldForMs);
            handle.reset();
        });
    }
    const bool removed = removeTreeAt(at(L"tree").c_str(), c.patienceMs);
    if (letGo.joinable()) {
        letGo.join();
    }
    handle.reset();
    EXPECT_EQ(removed, c.removed);
    EXPECT_EQ(pathExists(at(L"tree")), !c.removed);
    std::set<std::wstring> expected;
    for (const wchar_t* path : c.left) {
        if (path != nullptr) {
            expected.insert(path);
        }
    }
    std::set<std::wstring> left;
    for (const auto& [path, bytes] : testsupport::treeContents(at(L"tree"))) {
        left.insert(path);
    }
    EXPECT_EQ(left, expected);
    EXPECT_EQ(readBytes(at(L"outside\\kept.txt")), "bytes") << "what a link leads to is gone";
}

INSTANTIATE_TEST_SUITE_P(
    Trees, RemoveTreeTest,
    ::testing::Values(
        Removal{"Plain", nothing, 0, 0, true, {}},
        // Wine cannot remove a Unix link with RemoveDirectoryW, so the link stays here; on
        // Windows the call removes a junction or folder link itself, "regardless of the
        // state of the target object" (learn.microsoft.com/en-us/windows/win32/api/
        // fileapi/nf-fileapi-removedirectoryw). Either way nothing it leads to goes.
        Removal{"WithALinkToAFolderOutside", linkOutside, 0, 0, false, {L"link", L"link\\kept.txt"}},
        Removal{"WithAReadOnlyFile", readOnly, 0, 0, true, {}},
        Removal{"WithAReadOnlyFileOfTwoNames", readOnlyWithSecondName, 0, 0, false, {L"a", L"a\\mid.txt"}},
        Removal{"WithAHeldFile", held, 0, 0, false, {L"a", L"a\\b", L"a\\b\\deep.txt"}},
        Removal{"WithAFileLetGoWithinItsPatience", held, 300, 3000, true, {}}),
    [](const ::testing::TestParamInfo<Removal>& info) { return std::string(info.param.name); });

TEST_F(FileTreeTest, MissingTreeIsRemovedAlready) {
    EXPECT_TRUE(removeTreeAt(at(L"none\\at\\all").c_str(), 0));
}

// The long form grows and shrinks by one name; it refuses a path without a drive, and a name that would
// pass 32,767 characters leaves the path as it was.
TEST(TreePathTest, GrowsAndShrinksByOneNameWithinTheLongFormsLimit) {
    TreePath path;
    SetLastError(0);
    EXPECT_FALSE(path.set(L"\\\\server\\share"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    ASSERT_TRUE(path.set(L"C:\\"));
    ASSERT_TRUE(path.push(L"a"));
    EXPECT_STREQ(path.get(), L"\\\\?\\C:\\a");
    EXPECT_STREQ(path.shown(), L"C:\\a");
    path.pop();
    EXPECT_STREQ(path.get(), L"\\\\?\\C:\\");
    ASSERT_TRUE(path.set(L"C:\\x\\"));
    EXPECT_STREQ(path.shown(), L"C:\\x");
    // "\\?\C:\x" is 8 characters: a name of 32,758 fills the 32,767 with its separator; one more does not.
    const std::wstring fits(32758, L'n');
    EXPECT_FALSE(path.push((fits + L"n").c_str()));
    EXPECT_STREQ(path.shown(), L"C:\\x");
    ASSERT_TRUE(path.push(fits.c_str()));
    EXPECT_EQ(std::wstring(path.get()).size(), 32767u);
    path.pop();
    EXPECT_STREQ(path.shown(), L"C:\\x");
}

}  // namespace
