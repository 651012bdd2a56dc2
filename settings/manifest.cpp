// Win32 side of the manifest: finds "manifest" beside the executable and reads it whole with one
// ReadFile. A file of n bytes is the text of its first n/2 UTF-16LE code units; an odd last byte is
// ignored and no byte-order mark is recognised.
#include "settings/manifest.h"

#include <shlwapi.h>

#include "install/install_log.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16 code units");

wchar_t manifestPath[MAX_PATH] = {};

Manifest* loadManifest(InstallLog& log) {
    const DWORD pathLength = GetModuleFileNameW(GetModuleHandleW(nullptr), manifestPath, MAX_PATH);
    if (pathLength == 0 || pathLength == MAX_PATH) {
        return nullptr;
    }
    // A path that cannot be built is never used cut short: the manifest is then one that cannot be
    // opened, named by its bare name.
    if (!PathRemoveFileSpecW(manifestPath) || !PathAppendW(manifestPath, L"manifest")) {
        lstrcpynW(manifestPath, L"manifest", MAX_PATH);
        log.write(L"Couldn't open %s\n", manifestPath);
        return nullptr;
    }

    HANDLE file = CreateFileW(manifestPath, GENERIC_READ, FILE_SHARE_READ,
                              nullptr,  // lpSecurityAttributes
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);  // hTemplateFile
    if (file == INVALID_HANDLE_VALUE) {
        log.write(L"Couldn't open %s\n", manifestPath);
        return nullptr;
    }
    const DWORD byteCount = GetFileSize(file, nullptr);
    if (byteCount == INVALID_FILE_SIZE) {
        log.write(L"loadManifest: GetFileSizeEx fail\n");
        CloseHandle(file);
        return nullptr;
    }
    // n/2 + 1 code units hold all n bytes, whether n is even or odd. A buffer that cannot be had is
    // reported like a failed read.
    const SIZE_T unitCount = byteCount / 2 + 1;
    wchar_t* text = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, unitCount * sizeof(wchar_t)));
    DWORD bytesRead = 0;
    if (text == nullptr || !ReadFile(file, text, byteCount, &bytesRead, nullptr) || bytesRead != byteCount) {
        log.write(L"loadManifest: couldn't read file\n");
        CloseHandle(file);
        if (text != nullptr) {
            LocalFree(text);
        }
        return nullptr;
    }
    CloseHandle(file);
    Manifest* manifest = parseManifest(reinterpret_cast<const char16_t*>(text), byteCount / 2);
    LocalFree(text);
    log.write(L"Manifest loaded from %ls.\n", manifestPath);
    return manifest;
}
