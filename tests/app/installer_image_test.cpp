// Installer.exe as the loader sees it, before any of its code runs: its application manifest (resource
// 1, which the loader applies by itself) asks for no side-by-side assembly, so that the loader looks
// for nothing beside the program, and comctl32.dll is none of its imports. The common controls are
// asked for by the manifest that the window applies itself (resource 201).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/support/wine_test_support.h"

namespace {

std::wstring installer() { return testsupport::exeFolder() + L"\\Installer.exe"; }

// The RT_MANIFEST resource `id` of Installer.exe as text, or "" when it has none.
std::string manifest(int id) {
    HMODULE image = LoadLibraryExW(installer().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) {
        return "";
    }
    std::string text;
    if (HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(id), RT_MANIFEST)) {
        const void* bytes = LockResource(LoadResource(image, found));
        text.assign(static_cast<const char*>(bytes), SizeofResource(image, found));
    }
    FreeLibrary(image);
    return text;
}

// The names of the DLLs that the image imports at load time, from its import directory.
std::vector<std::string> imports(const std::string& file) {
    std::vector<std::string> names;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(file.data());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(file.data() + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    const auto offset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + sections[i].SizeOfRawData) {
                return rva - sections[i].VirtualAddress + sections[i].PointerToRawData;
            }
        }
        return 0;
    };
    const DWORD directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(file.data() + offset(directory));
         directory != 0 && entry->Name != 0; ++entry) {
        names.emplace_back(file.data() + offset(entry->Name));
    }
    return names;
}

TEST(InstallerImageTest, ManifestAsksForNoAssemblyAndNoImportIsOfTheCommonControls) {
    const std::string application = manifest(1);
    ASSERT_NE(application.find("<assembly"), std::string::npos) << "no application manifest";
    EXPECT_NE(application.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos) << application;
    EXPECT_EQ(application.find("<dependency"), std::string::npos) << application;
    EXPECT_NE(manifest(WELKARA_COMMON_CONTROLS_MANIFEST).find("name=\"Microsoft.Windows.Common-Controls\""),
              std::string::npos);

    const std::vector<std::string> names = imports(testsupport::readBytes(installer()));
    ASSERT_FALSE(names.empty()) << "no import directory read";
    for (const std::string& name : names) {
        EXPECT_NE(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str(), -1, "comctl32.dll", -1),
                  CSTR_EQUAL)
            << name;
    }
}

}  // namespace
