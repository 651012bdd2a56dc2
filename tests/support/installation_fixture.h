// One installation fixture for the Wine tests that install, whether they run the installer thread in
// their own process or start Installer.exe: before each test the application's folders in the run's
// prefix, their Apps & features entry and the log are gone, and so are the manifest and local package
// beside the test executable (also after it, with the entry). The test executable's folder holds 7za.exe and packages\ (made by
// tests/support/make_installer_packages.sh, with src\ the tree that package.7z holds).
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "tests/support/package_store_access.h"
#include "tests/support/wine_test_support.h"

namespace testsupport {

class InstallationFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    static std::wstring manifest() { return exeFolder() + L"\\manifest"; }
    static std::wstring localPackage() { return exeFolder() + L"\\local.7z"; }
    static std::wstring extractor() { return exeFolder() + L"\\7za.exe"; }
    static std::wstring package(const std::wstring& name) { return exeFolder() + L"\\packages\\" + name; }
    std::wstring databasePath() const { return databaseFolder + L"\\vorlinde.db"; }

    static void writeManifest(const std::wstring& text);
    // A manifest naming local.7z, a copy of packages\NAME, with packages\SIGNATURE.sig's signature.
    static void useLocalPackage(const std::wstring& name, const std::wstring& signatureName);
    // The package store that this test's ctest fixture started, serving packages\NAME for each name.
    static PackageStore packageStore(std::initializer_list<const wchar_t*> names);
    // The Apps & features entry, in the registry view of a 32-bit program: a text value of it, "<none>"
    // when it has none (or there is no entry).
    static constexpr const wchar_t* kEntryKey =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta Welkara";
    static std::wstring entryValue(const wchar_t* name);
    static void removeEntry();
    // Waits up to 20 s for the marker that the test application leaves when it starts.
    bool applicationStarted() const;

    std::wstring codeFolder;      // C:\Program Files (x86)\Orvanta\Welkara
    std::wstring databaseFolder;  // C:\ProgramData\Orvanta\Welkara
};

}  // namespace testsupport
