#include "tests/support/installation_fixture.h"

#include <windows.h>
#include <shlobj.h>

namespace testsupport {

void InstallationFixture::SetUp() {
    codeFolder = systemFolder(CSIDL_PROGRAM_FILESX86) + L"\\Orvanta\\Welkara";
    databaseFolder = systemFolder(CSIDL_COMMON_APPDATA) + L"\\Orvanta\\Welkara";
    removeTree(systemFolder(CSIDL_PROGRAM_FILESX86) + L"\\Orvanta");
    removeTree(systemFolder(CSIDL_COMMON_APPDATA) + L"\\Orvanta");
    removeEntry();
    DeleteFileW(logFilePath().c_str());
    DeleteFileW(manifest().c_str());
    DeleteFileW(localPackage().c_str());
}

void InstallationFixture::TearDown() {
    removeEntry();
    DeleteFileW(manifest().c_str());
    DeleteFileW(localPackage().c_str());
}

void InstallationFixture::writeManifest(const std::wstring& text) {
    ASSERT_TRUE(writeBytes(manifest(), utf16Bytes(text)));
}

void InstallationFixture::useLocalPackage(const std::wstring& name, const std::wstring& signatureName) {
    ASSERT_TRUE(CopyFileW(package(name).c_str(), localPackage().c_str(), FALSE));
    writeManifest(L"local_update_filename = local.7z\r\neddsa_signature=" + packageSignature(signatureName) +
                  L"\r\n");
}

PackageStore InstallationFixture::packageStore(std::initializer_list<const wchar_t*> names) {
    PackageStore store;
    EXPECT_TRUE(store.load(exeFolder() + L"\\store")) << "the package store fixture is not running";
    for (const wchar_t* name : names) {
        EXPECT_TRUE(store.putPackage(name, readBytes(package(name))));
    }
    return store;
}

void InstallationFixture::removeEntry() {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kEntryKey, KEY_WOW64_32KEY, 0);  // Reserved
}

std::wstring InstallationFixture::entryValue(const wchar_t* name) {
    HKEY key = nullptr;
    wchar_t text[1024] = {};
    DWORD size = sizeof text;
    const bool found = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEntryKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                                     &key) == ERROR_SUCCESS &&
                       RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, text, &size) == ERROR_SUCCESS;
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return found ? text : L"<none>";
}

bool InstallationFixture::applicationStarted() const {
    return waitFor(200, 100, [&] { return pathExists(codeFolder + L"\\started.txt"); });
}

}  // namespace testsupport
