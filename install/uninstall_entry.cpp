// The Apps & features entry: the key in the 32-bit registry view, its values written one
// after another until the first that fails, the version texts read from the version resources through
// install/version_resource.h, and the size of the code folder from a walk of its listings.
#include "install/uninstall_entry.h"

#include <windows.h>

#include <cwchar>

#include "install/files/file_tree.h"
#include "install/files/holders.h"
#include "install/files/safe_files.h"
#include "install/install_log.h"
#include "install/version_resource.h"

namespace {

constexpr wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta Welkara";
constexpr wchar_t kShownKey[] =
    L"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta Welkara";
// The values are written and their absence is checked; nothing is read as configuration.
constexpr REGSAM kKeyAccess = KEY_SET_VALUE | KEY_QUERY_VALUE | KEY_WOW64_32KEY;
// A product version "65535.65535.65535.65535" and its terminator.
constexpr size_t kVersionCapacity = 24;
constexpr size_t kPublisherCapacity = 256;
// Each level of a walk adds at least two characters ("\x") to a path of at most 32,767.
constexpr size_t kDeepestFolder = 16384;

struct RegistryKey {
    static HKEY none() { return nullptr; }
    static void free(HKEY key) { RegCloseKey(key); }
};
using OwnedKey = Held<HKEY, RegistryKey>;

struct LoadedModule {
    static HMODULE none() { return nullptr; }
    static void free(HMODULE module) { FreeLibrary(module); }
};
using OwnedModule = Held<HMODULE, LoadedModule>;

// Sets values of one key in order; after the first that fails, the rest are left alone and `status`
// keeps its error.
struct ValueWriter {
    HKEY key;
    LSTATUS status = ERROR_SUCCESS;

    void text(const wchar_t* name, const wchar_t* value) {
        const DWORD bytes = static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t));
        set(name, REG_SZ, value, bytes);
    }
    void number(const wchar_t* name, DWORD value) { set(name, REG_DWORD, &value, sizeof value); }
    // The text when there is one, else no value at all (a missing value is fine).
    void textOrNone(const wchar_t* name, const wchar_t* value) {
        if (value != nullptr) {
            text(name, value);
        } else if (status == ERROR_SUCCESS) {
            status = RegDeleteValueW(key, name);
            status = status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
        }
    }
    void set(const wchar_t* name, DWORD type, const void* value, DWORD bytes) {
        if (status == ERROR_SUCCESS) {
            status = RegSetValueExW(key, name,
                                    0,  // Reserved
                                    type, static_cast<const BYTE*>(value), bytes);
        }
    }
};

// The RT_VERSION resource of `module` (null: the running program) and its size; null when it has none.
const std::uint8_t* versionBlock(HMODULE module, size_t* size) {
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    const HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    *size = loaded != nullptr ? SizeofResource(module, found) : 0;
    return loaded != nullptr ? static_cast<const std::uint8_t*>(LockResource(loaded)) : nullptr;
}

// The product version of the program at `path`, read as data (never run), into `version`; false when it
// cannot be loaded or has no version resource that reads.
bool productVersionOf(const wchar_t* path, wchar_t (&version)[kVersionCapacity]) {
    const OwnedModule module(
        LoadLibraryExW(path,
                       nullptr,  // hFile
                       LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    size_t size = 0;
    const std::uint8_t* block = module.valid() ? versionBlock(module.get(), &size) : nullptr;
    return block != nullptr &&
           productVersionText(block, size, reinterpret_cast<char16_t*>(version), kVersionCapacity);
}

// "CompanyName" of the running program's version resource into `publisher`; false when there is none.
bool ownPublisher(wchar_t (&publisher)[kPublisherCapacity]) {
    size_t size = 0;
    const std::uint8_t* block = versionBlock(nullptr, &size);
    return block != nullptr && versionString(block, size, u"CompanyName",
                                             reinterpret_cast<char16_t*>(publisher), kPublisherCapacity);
}

// `total` + `more`, or the largest count when that would not fit.
ULONGLONG saturatedSum(ULONGLONG total, ULONGLONG more) {
    return more > ~0ULL - total ? ~0ULL : total + more;
}

// FindFirstFileExW of `folder`\*, restoring `folder`; false when it cannot be listed.
bool openListing(TreePath& folder, HANDLE* search, WIN32_FIND_DATAW* found) {
    if (!folder.push(L"*")) {
        return false;
    }
    *search = FindFirstFileExW(folder.get(), FindExInfoBasic, found, FindExSearchNameMatch,
                               nullptr,  // lpSearchFilter
                               0);       // dwAdditionalFlags
    folder.pop();
    return *search != INVALID_HANDLE_VALUE;
}

// Bytes of every file below `folder` at any depth but its top entry ".installer", walked without
// recursion: one open listing per level, kept in a block from the heap. An entry that is a reparse point
// counts as nothing and is not entered; a folder that cannot be listed counts as empty.
ULONGLONG treeBytes(TreePath& folder) {
    LocalMemory<HANDLE> searches(
        static_cast<HANDLE*>(LocalAlloc(LMEM_FIXED, kDeepestFolder * sizeof(HANDLE))));
    WIN32_FIND_DATAW found;
    if (!searches.valid() || !openListing(folder, &searches.get()[0], &found)) {
        return 0;
    }
    ULONGLONG total = 0;
    size_t depth = 1;  // open listings; the deepest is searches[depth - 1], of `folder`'s path
    while (depth != 0) {
        const wchar_t* name = found.cFileName;
        const DWORD attributes = found.dwFileAttributes;
        const bool skipped = lstrcmpW(name, L".") == 0 || lstrcmpW(name, L"..") == 0 ||
                             (depth == 1 && samePath(name, L".installer")) ||
                             (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (!skipped && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (depth < kDeepestFolder && folder.push(name)) {
                if (openListing(folder, &searches.get()[depth], &found)) {
                    ++depth;
                    continue;  // `found` holds the folder's first entry
                }
                folder.pop();
            }
        } else if (!skipped) {
            total = saturatedSum(total, ULONGLONG{found.nFileSizeHigh} << 32 | found.nFileSizeLow);
        }
        while (depth != 0 && !FindNextFileW(searches.get()[depth - 1], &found)) {
            FindClose(searches.get()[depth - 1]);
            if (--depth != 0) {
                folder.pop();
            }
        }
    }
    return total;
}

// The code folder's size in KiB, rounded up, at most 0xFFFFFFFF.
DWORD estimatedKiB(const wchar_t* codeFolder) {
    TreePath folder;
    const ULONGLONG bytes = folder.set(codeFolder) ? treeBytes(folder) : 0;
    const ULONGLONG kib = bytes / 1024 + (bytes % 1024 != 0);
    return kib > 0xFFFFFFFFULL ? 0xFFFFFFFF : static_cast<DWORD>(kib);
}

// `"<program>" <arguments>` into `out`; false when it does not fit.
template <size_t N>
bool commandLine(wchar_t (&out)[N], const wchar_t* program, const wchar_t* arguments) {
    const int count = _snwprintf(out, N, L"\"%ls\" %ls", program, arguments);
    return count >= 0 && static_cast<size_t>(count) < N;
}

LSTATUS writeValues(HKEY key, const wchar_t* codeFolder, const wchar_t* uninstaller) {
    wchar_t application[MAX_PATH];
    wchar_t uninstall[MAX_PATH + 16];
    wchar_t quietUninstall[MAX_PATH + 32];
    if (!joinPath(application, codeFolder, L"welkara.exe") ||
        !commandLine(uninstall, uninstaller, L"/uninstall") ||
        !commandLine(quietUninstall, uninstaller, L"/uninstall /unattended")) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    wchar_t version[kVersionCapacity];
    wchar_t publisher[kPublisherCapacity];
    ValueWriter values{key};
    values.text(L"DisplayName", L"Orvanta Welkara");
    values.textOrNone(L"DisplayVersion", productVersionOf(application, version) ? version : nullptr);
    values.textOrNone(L"Publisher", ownPublisher(publisher) ? publisher : nullptr);
    values.text(L"InstallLocation", codeFolder);
    values.text(L"DisplayIcon", application);
    values.number(L"EstimatedSize", estimatedKiB(codeFolder));
    values.number(L"NoModify", 1);
    values.number(L"NoRepair", 1);
    values.text(L"UninstallString", uninstall);
    values.text(L"QuietUninstallString", quietUninstall);
    return values.status;
}

}  // namespace

bool registerInstallation(InstallLog& log, const wchar_t* codeFolder, const wchar_t* uninstaller) {
    OwnedKey key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey,
                                     0,        // Reserved
                                     nullptr,  // lpClass
                                     REG_OPTION_NON_VOLATILE, kKeyAccess,
                                     nullptr,  // lpSecurityAttributes
                                     key.receive(),
                                     nullptr);  // lpdwDisposition
    if (status == ERROR_SUCCESS) {
        status = writeValues(key.get(), codeFolder, uninstaller);
    }
    if (status != ERROR_SUCCESS) {
        log.write(L"Couldn't write the Apps & features entry %ls (%d)\n", kShownKey,
                  static_cast<int>(status));
        return false;
    }
    return true;
}

bool unregisterInstallation(InstallLog& log) {
    const LSTATUS status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_32KEY,
                                           0);  // Reserved
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        log.write(L"Couldn't remove the Apps & features entry %ls (%d)\n", kShownKey,
                  static_cast<int>(status));
        return false;
    }
    return true;
}
