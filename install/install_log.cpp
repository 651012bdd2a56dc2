// Win32 side of the install log. Lines are formatted by the system C runtime's _vsnwprintf, in which
// "%s" takes a wide string as "%ls" does. mingw's own C99 printf (turned on by libstdc++ for C++) would
// read "%s" as a narrow string; it replaces vsnwprintf and swprintf but never _vsnwprintf.
#include "install/install_log.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstdarg>
#include <cwchar>

namespace {
constexpr int kLineCapacity = 1024;  // 1023 characters and the terminator
}

void InstallLog::open() {
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) {
        return;
    }
    PathAppendW(path, L"Orvanta");
    CreateDirectoryW(path, nullptr);  // an existing folder is fine
    PathAppendW(path, L"Welkara");
    CreateDirectoryW(path, nullptr);
    PathAppendW(path, L"instlog.txt");
    file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ,
                       nullptr,  // lpSecurityAttributes
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);  // hTemplateFile
    opened = file != INVALID_HANDLE_VALUE;
}

bool InstallLog::write(const wchar_t* format, ...) {
    wchar_t line[kLineCapacity];
    va_list arguments;
    va_start(arguments, format);
    // Truncating mode: at most 1023 characters; the terminator is set here because the CRT leaves it
    // out when the text fills the count exactly.
    _vsnwprintf(line, kLineCapacity - 1, format, arguments);
    va_end(arguments);
    line[kLineCapacity - 1] = L'\0';

    const DWORD byteCount = static_cast<DWORD>(wcslen(line) * sizeof(wchar_t));
    if (!opened) {
        return byteCount == 0;
    }
    const DWORD end = SetFilePointer(file, 0, nullptr, FILE_END);
    LockFile(file, end, 0, byteCount, 0);
    DWORD written = 0;
    WriteFile(file, line, byteCount, &written, nullptr);
    UnlockFile(file, end, 0, byteCount, 0);
    return written == byteCount;
}

void InstallLog::close() {
    if (opened) {
        CloseHandle(file);
        opened = false;
        file = nullptr;
    }
}
