// The Apps & features entry under Wine, in the run's throwaway prefix: every value read back from the
// 32-bit registry view (and from Wow6432Node in the 64-bit view, with nothing at the 64-bit view's own
// path), for code folders that differ in their welkara.exe, their files and the registration before.
// This program carries a version resource of its own (test_version.rc) for the publisher; entry_runner,
// which has none, registers for the rows without one and is also the welkara.exe without a version.
#include "install/uninstall_entry.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/installation_fixture.h"
#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::installLog;
using testsupport::installLogOf;
using testsupport::logFilePath;
using testsupport::removeTree;
using testsupport::runAndWait;
using testsupport::unixPath;
using testsupport::waitFor;
using testsupport::writeBytes;

namespace {

constexpr wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta Welkara";
constexpr wchar_t kRedirectedKey[] =
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta Welkara";
constexpr wchar_t kShownKey[] =
    L"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta Welkara";

// Every value of a key, as "text" for REG_SZ and "#n" for REG_DWORD (other types as "?type").
using Values = std::map<std::wstring, std::wstring>;

// The values of HKLM\`path` in the view `view`; *exists false when the key cannot be opened.
Values valuesOf(const wchar_t* path, REGSAM view, bool* exists) {
    Values values;
    HKEY key = nullptr;
    *exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | view, &key) == ERROR_SUCCESS;
    for (DWORD i = 0; *exists; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0;
        BYTE data[2048] = {};
        DWORD size = sizeof data - 2;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            break;
        }
        values[name] = type == REG_SZ      ? std::wstring(reinterpret_cast<const wchar_t*>(data))
                       : type == REG_DWORD ? L"#" + std::to_wstring(*reinterpret_cast<const DWORD*>(data))
                                           : L"?" + std::to_wstring(type);
    }
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return values;
}

void deleteEntry() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS) {
        RegDeleteTreeW(key, nullptr);
        RegCloseKey(key);
    }
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_32KEY, 0);
}

std::string bytesOfSize(DWORD size) {
    return std::string(size, 'w');
}

enum class Application { none, versioned, plain };  // welkara.exe: absent, test application, entry_runner
enum class Registrar { thisProgram, runner };       // with a version resource, without one

struct Contents {
    Application application;
    std::vector<std::pair<const wchar_t*, DWORD>> files;  // relative path, size
    bool linkToBigFolder;                                 // "linked", a Unix link to a 1 MiB file's folder
};

struct EntryCase {
    const char* what;
    const Contents* earlier;  // registered first, when not null
    Contents now;
    Registrar registrar;
    DWORD countedBytes;  // of now.files (welkara.exe added by the test)
    const wchar_t* version;
    const wchar_t* publisher;
};

class UninstallEntryTest : public testsupport::InstallationFixture {
  protected:
    void SetUp() override {
        InstallationFixture::SetUp();
        deleteEntry();
        removeTree(bigFolder());
    }
    void TearDown() override {
        unlink(codeFolder + L"\\linked");
        removeTree(bigFolder());
        deleteEntry();
        InstallationFixture::TearDown();
    }

    // The code folder's path holds blanks, which the harness's link helpers do not quote: the host's ln
    // and rm get each path in quotes here. True when `link` then shows as a reparse point.
    static bool linkTo(const std::wstring& target, const std::wstring& link) {
        runAndWait(L"Z:\\bin\\ln -s \"" + unixPath(target) + L"\" \"" + unixPath(link) + L"\"");
        return waitFor(100, 20, [&] {
            const DWORD attributes = GetFileAttributesW(link.c_str());
            return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        });
    }
    static void unlink(const std::wstring& link) {
        runAndWait(L"Z:\\bin\\rm -f \"" + unixPath(link) + L"\"");
        waitFor(100, 20, [&] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
    }

    static std::wstring bigFolder() { return exeFolder() + L"\\big"; }
    std::wstring uninstaller() const { return codeFolder + L"\\.installer\\Installer.exe"; }

    // Makes the code folder hold `contents` (and nothing else); returns welkara.exe's size.
    DWORD lay(const Contents& contents) {
        unlink(codeFolder + L"\\linked");
        removeTree(codeFolder);
        EXPECT_EQ(SHCreateDirectoryExW(nullptr, codeFolder.c_str(), nullptr), ERROR_SUCCESS);
        for (const auto& file : contents.files) {
            const std::wstring path = codeFolder + L"\\" + file.first;
            SHCreateDirectoryExW(nullptr, path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
            EXPECT_TRUE(writeBytes(path, bytesOfSize(file.second)));
        }
        if (contents.linkToBigFolder) {
            SHCreateDirectoryExW(nullptr, bigFolder().c_str(), nullptr);
            EXPECT_TRUE(writeBytes(bigFolder() + L"\\big.bin", bytesOfSize(1 << 20)));
            EXPECT_TRUE(linkTo(bigFolder(), codeFolder + L"\\linked"));
        }
        const wchar_t* from = contents.application == Application::versioned ? L"\\versioned_welkara.exe"
                              : contents.application == Application::plain   ? L"\\entry_runner.exe"
                                                                             : nullptr;
        if (from == nullptr) {
            return 0;
        }
        const std::wstring application = codeFolder + L"\\welkara.exe";
        EXPECT_TRUE(CopyFileW((exeFolder() + from).c_str(), application.c_str(), FALSE));
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        GetFileAttributesExW(application.c_str(), GetFileExInfoStandard, &data);
        return data.nFileSizeLow;
    }

    // Registers the code folder in this process or through entry_runner; true when it says it did.
    bool registerWith(Registrar registrar) {
        if (registrar == Registrar::runner) {
            return runAndWait(L"\"" + exeFolder() + L"\\entry_runner.exe\" \"" + codeFolder + L"\" \"" +
                              uninstaller() + L"\"") == 0;
        }
        bool registered = false;
        installLogOf([&](InstallLog& log) {
            registered = registerInstallation(log, codeFolder.c_str(), uninstaller().c_str());
        });
        return registered;
    }
};

const Contents kEarlier = {Application::versioned, {{L"python\\old.bin", 5000}}, false};

TEST_F(UninstallEntryTest, RegistrationWritesEveryValueInThe32BitView) {
    const EntryCase cases[] = {
        {"welkara.exe with a version",
         nullptr,
         {Application::versioned, {}, false},
         Registrar::thisProgram,
         0,
         L"4.3.2.1",
         L"Orvanta Test Publisher"},
        {"welkara.exe without a version",
         nullptr,
         {Application::plain, {}, false},
         Registrar::thisProgram,
         0,
         nullptr,
         L"Orvanta Test Publisher"},
        {"no welkara.exe",
         nullptr,
         {Application::none, {}, false},
         Registrar::thisProgram,
         0,
         nullptr,
         L"Orvanta Test Publisher"},
        {"registered by a program without a version",
         nullptr,
         {Application::versioned, {}, false},
         Registrar::runner,
         0,
         L"4.3.2.1",
         nullptr},
        {"nested files counted, the top .installer not",
         nullptr,
         {Application::none,
          {{L"python\\lib\\a.bin", 1000},
           {L"python\\b.bin", 3000},
           {L".installer\\Installer.exe", 70000},
           {L".installer\\deeper\\x.bin", 9000},
           {L"data\\.installer", 100}},
          false},
         Registrar::thisProgram,
         4100,
         nullptr,
         L"Orvanta Test Publisher"},
        {"a link is not entered",
         nullptr,
         {Application::none, {{L"a.bin", 1024}}, true},
         Registrar::thisProgram,
         1024,
         nullptr,
         L"Orvanta Test Publisher"},
        {"exactly 1 KiB",
         nullptr,
         {Application::none, {{L"a.bin", 1024}}, false},
         Registrar::thisProgram,
         1024,
         nullptr,
         L"Orvanta Test Publisher"},
        {"a byte past 1 KiB",
         nullptr,
         {Application::none, {{L"a.bin", 1024}, {L"b.bin", 1}}, false},
         Registrar::thisProgram,
         1025,
         nullptr,
         L"Orvanta Test Publisher"},
        {"over an earlier one, now without a version",
         &kEarlier,
         {Application::plain, {}, false},
         Registrar::thisProgram,
         0,
         nullptr,
         L"Orvanta Test Publisher"},
        {"over an earlier one, now by a program without a version",
         &kEarlier,
         {Application::versioned, {{L"a.bin", 1}}, false},
         Registrar::runner,
         1,
         L"4.3.2.1",
         nullptr},
    };
    for (const EntryCase& c : cases) {
        SCOPED_TRACE(c.what);
        deleteEntry();
        if (c.earlier != nullptr) {
            lay(*c.earlier);
            ASSERT_TRUE(registerWith(Registrar::thisProgram));
        }
        const DWORD bytes = lay(c.now) + c.countedBytes;
        std::wstring lines;
        if (c.registrar == Registrar::thisProgram) {
            lines = installLogOf([&](InstallLog& log) {
                EXPECT_TRUE(registerInstallation(log, codeFolder.c_str(), uninstaller().c_str()));
            });
        } else {
            DeleteFileW(logFilePath().c_str());
            EXPECT_TRUE(registerWith(Registrar::runner));
            lines = installLog();
        }
        EXPECT_EQ(lines, L"") << "a registration that works writes nothing";

        Values expected = {
            {L"DisplayName", L"Orvanta Welkara"},
            {L"InstallLocation", codeFolder},
            {L"DisplayIcon", codeFolder + L"\\welkara.exe"},
            {L"EstimatedSize", L"#" + std::to_wstring((bytes + 1023) / 1024)},
            {L"NoModify", L"#1"},
            {L"NoRepair", L"#1"},
            {L"UninstallString", L"\"" + uninstaller() + L"\" /uninstall"},
            {L"QuietUninstallString", L"\"" + uninstaller() + L"\" /uninstall /unattended"},
        };
        if (c.version != nullptr) {
            expected[L"DisplayVersion"] = c.version;
        }
        if (c.publisher != nullptr) {
            expected[L"Publisher"] = c.publisher;
        }
        bool exists = false;
        EXPECT_EQ(valuesOf(kKey, KEY_WOW64_32KEY, &exists), expected);
        EXPECT_TRUE(exists);
        EXPECT_EQ(valuesOf(kRedirectedKey, KEY_WOW64_64KEY, &exists), expected)
            << "seen from the 64-bit view";
        valuesOf(kKey, KEY_WOW64_64KEY, &exists);
        EXPECT_FALSE(exists) << "nothing at the 64-bit view's own path";
    }
}

TEST_F(UninstallEntryTest, RegistrationThatCannotBeWrittenSaysWhy) {
    const std::wstring tooLong = codeFolder + L"\\" + std::wstring(250, L'x');
    EXPECT_EQ(installLogOf([&](InstallLog& log) {
                  EXPECT_FALSE(registerInstallation(log, tooLong.c_str(), uninstaller().c_str()));
              }),
              std::wstring(L"Couldn't write the Apps & features entry ") + kShownKey + L" (206)\n");
}

enum class Before { nothing, registered, registeredWithSubkey };

struct RemovalCase {
    const char* what;
    Before before;
    bool removed;
    const wchar_t* lines;  // {key} for the key as shown
};

TEST_F(UninstallEntryTest, UnregisteringRemovesTheKey) {
    const RemovalCase cases[] = {
        {"registered", Before::registered, true, L""},
        {"never registered", Before::nothing, true, L""},
        {"a key below it", Before::registeredWithSubkey, false,
         L"Couldn't remove the Apps & features entry {key} (5)\n"},
    };
    for (const RemovalCase& c : cases) {
        SCOPED_TRACE(c.what);
        deleteEntry();
        lay({Application::versioned, {}, false});
        if (c.before != Before::nothing) {
            ASSERT_TRUE(registerWith(Registrar::thisProgram));
        }
        if (c.before == Before::registeredWithSubkey) {
            HKEY below = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kKey) + L"\\below").c_str(), 0,
                                      nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &below, nullptr),
                      ERROR_SUCCESS);
            RegCloseKey(below);
        }
        bool removed = false;
        std::wstring lines = c.lines;
        const size_t at = lines.find(L"{key}");
        if (at != std::wstring::npos) {
            lines.replace(at, 5, kShownKey);
        }
        EXPECT_EQ(installLogOf([&](InstallLog& log) { removed = unregisterInstallation(log); }), lines);
        EXPECT_EQ(removed, c.removed);
        bool exists = true;
        valuesOf(kKey, KEY_WOW64_32KEY, &exists);
        EXPECT_EQ(exists, !c.removed);
    }
}

}  // namespace
