// loadManifest against a real "manifest" file beside this test executable, with the exact log line of
// each outcome. The log is the real install log of the test run's Wine prefix.
#include "settings/manifest.h"

#include <gtest/gtest.h>

#include <string>

#include "install/install_log.h"
#include "tests/support/wine_test_support.h"

using testsupport::fromUtf16Bytes;
using testsupport::logFilePath;
using testsupport::readBytes;
using testsupport::utf16Bytes;
using testsupport::writeBytes;

namespace {

class LoadManifestTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteFileW(logFilePath().c_str());
        DeleteFileW(path().c_str());
    }
    void TearDown() override { DeleteFileW(path().c_str()); }

    static std::wstring path() { return testsupport::exeFolder() + L"\\manifest"; }

    // Loads with a fresh log and returns what the load wrote to it.
    static std::wstring load(Manifest** manifest) {
        DeleteFileW(logFilePath().c_str());
        InstallLog log;
        log.open();
        *manifest = loadManifest(log);
        log.close();
        return fromUtf16Bytes(readBytes(logFilePath()));
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
    ASSERT_TRUE(writeBytes(path(), utf16Bytes(L"version = 1.4.2 \r\nmode:release\r\n"
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
    HANDLE exclusive = CreateFileW(path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                   nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    Manifest* manifest = nullptr;
    EXPECT_EQ(load(&manifest), L"Couldn't open " + path() + L"\n");
    EXPECT_EQ(manifest, nullptr);
    CloseHandle(exclusive);
}

TEST_F(LoadManifestTest, SizeThatReadsAsInvalidFileSizeIsReported) {
    // A sparse file of 0xFFFFFFFF bytes: the low 32 bits of its size are INVALID_FILE_SIZE.
    HANDLE file = CreateFileW(path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 0xFFFFFFFFll;
    ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    CloseHandle(file);
    Manifest* manifest = nullptr;
    EXPECT_EQ(load(&manifest), L"loadManifest: GetFileSizeEx fail\n");
    EXPECT_EQ(manifest, nullptr);
}

TEST_F(LoadManifestTest, FolderNamedManifestCannotBeOpened) {
    ASSERT_TRUE(CreateDirectoryW(path().c_str(), nullptr));
    Manifest* manifest = nullptr;
    EXPECT_EQ(load(&manifest), L"Couldn't open " + path() + L"\n");
    EXPECT_EQ(manifest, nullptr);
    RemoveDirectoryW(path().c_str());
}

}  // namespace
