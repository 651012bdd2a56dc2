// loadManifest against a real "manifest" file beside this test executable, with the exact log line of
// each outcome. The log is the real install log of the test run's Wine prefix.
#include "install/manifest.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "install/install_log.h"
#include "tests/support/wine_test_support.h"

using testsupport::utf16Bytes;
using testsupport::writeBytes;

namespace {

class LoadManifestTest : public ::testing::Test {
  protected:
    void SetUp() override { DeleteFileW(path().c_str()); }
    void TearDown() override { DeleteFileW(path().c_str()); }

    static std::wstring path() { return testsupport::exeFolder() + L"\\manifest"; }

    // Loads with a fresh log and returns what the load wrote to it.
    static std::wstring load(Manifest** manifest) {
        return testsupport::installLogOf([&](InstallLog& log) { *manifest = loadManifest(log); });
    }
};

TEST_F(LoadManifestTest, MissingFileLogsCouldNotOpenWithItsFullPath) {
    Manifest* manifest = nullptr;
    EXPECT_EQ(load(&manifest), L"Couldn't open " + path() + L"\n");
    EXPECT_EQ(manifest, nullptr);
    EXPECT_EQ(std::wstring(manifestPath), path());
}

TEST_F(LoadManifestTest, EmptyFileGivesAnEmptyManifest) {
    ASSERT_TRUE(writeBytes(path(), ""));
    Manifest* manifest = nullptr;
    EXPECT_EQ(load(&manifest), L"Manifest loaded from " + path() + L".\n");
    ASSERT_NE(manifest, nullptr);
    EXPECT_TRUE(manifest->entries.empty());
    releaseManifest(manifest);
}

TEST_F(LoadManifestTest, Utf16FileIsParsedAndLookedUp) {
    ASSERT_TRUE(
        writeBytes(path(), utf16Bytes(L"version = 1.4.2 \r\nmode:release\r\n"
                                      L"local_update_filename=pkg \u00e9.7z\r\neddsa_signature=AA==") +
                               "X"));  // an odd last byte is ignored
    Manifest* manifest = nullptr;
    EXPECT_EQ(load(&manifest), L"Manifest loaded from " + path() + L".\n");
    ASSERT_NE(manifest, nullptr);
    EXPECT_STREQ(lookupManifest(manifest, L"version", L"latest"), L"1.4.2");
    EXPECT_STREQ(lookupManifest(manifest, L"mode", L"devel"), L"release");
    EXPECT_STREQ(lookupManifest(manifest, L"local_update_filename", L""), L"pkg \u00e9.7z");
    EXPECT_STREQ(lookupManifest(manifest, L"eddsa_signature", L"x"), L"AA==");
    EXPECT_STREQ(lookupManifest(manifest, L"other", L"fallback"), L"fallback");
    releaseManifest(manifest);
}

TEST_F(LoadManifestTest, FileHeldWithoutSharingCannotBeOpened) {
    ASSERT_TRUE(writeBytes(path(), utf16Bytes(L"mode=release\r\n")));
    HANDLE exclusive =
        CreateFileW(path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    Manifest* manifest = nullptr;
    EXPECT_EQ(load(&manifest), L"Couldn't open " + path() + L"\n");
    EXPECT_EQ(manifest, nullptr);
    CloseHandle(exclusive);
}

// Only a regular file with one name is read, and none larger than a manifest can be (a mebibyte, read
// to its last byte): everything else counts as absent, with the line of a file that cannot be opened or
// read, and the run goes on with the defaults. (Wine shows a Unix link to a folder as a reparse point and
// a link to a file as the file, so only the first kind is tried here.)
TEST_F(LoadManifestTest, OnlyAPlainFileOfManifestSizeIsRead) {
    const std::wstring elsewhere = testsupport::exeFolder() + L"\\elsewhere";
    const auto sparse = [](LONGLONG bytes) {
        HANDLE file = CreateFileW(path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = bytes;
        const bool made = file != INVALID_HANDLE_VALUE && SetFilePointerEx(file, size, nullptr, FILE_BEGIN) &&
                          SetEndOfFile(file);
        CloseHandle(file);
        return made;
    };
    struct Case {
        const char* name;
        std::function<bool()> make;
        std::wstring line;  // the loaded line when the manifest is read
    };
    // A mebibyte of line feeds that ends in a setting.
    const std::wstring fullSize = std::wstring(512 * 1024 - 12, L'\n') + L"mode=release";
    const std::wstring loaded = L"Manifest loaded from " + path() + L".\n";
    const std::wstring cannotOpen = L"Couldn't open " + path() + L"\n";
    const std::wstring cannotRead = L"loadManifest: couldn't read file\n";
    const Case cases[] = {
        {"a folder", [] { return CreateDirectoryW(path().c_str(), nullptr) != FALSE; }, cannotOpen},
        {"a link to a folder",
         [&] {
             return CreateDirectoryW(elsewhere.c_str(), nullptr) &&
                    testsupport::makeUnixLink(elsewhere, path());
         },
         cannotOpen},
        {"a second name of another file",
         [&] {
             return writeBytes(elsewhere, utf16Bytes(L"mode=release\r\n")) &&
                    CreateHardLinkW(path().c_str(), elsewhere.c_str(), nullptr);
         },
         cannotOpen},
        {"a mebibyte", [&] { return writeBytes(path(), utf16Bytes(fullSize)); }, loaded},
        {"one byte larger than a mebibyte", [&] { return sparse(1024 * 1024 + 1); }, cannotRead},
        {"a size whose low 32 bits read as INVALID_FILE_SIZE", [&] { return sparse(0xFFFFFFFFll); },
         cannotRead},
        {"4 GiB and 16 bytes, whose low 32 bits are 16", [&] { return sparse(0x100000010ll); }, cannotRead},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.make());
        Manifest* manifest = nullptr;
        EXPECT_EQ(load(&manifest), c.line);
        if (c.line == loaded) {
            ASSERT_NE(manifest, nullptr);
            EXPECT_STREQ(lookupManifest(manifest, L"mode", L"devel"), L"release");
            releaseManifest(manifest);
        } else {
            EXPECT_EQ(manifest, nullptr);
        }
        testsupport::removeUnixLink(path());
        RemoveDirectoryW(path().c_str());
        DeleteFileW(path().c_str());
        testsupport::removeTree(elsewhere);
    }
}

}  // namespace
