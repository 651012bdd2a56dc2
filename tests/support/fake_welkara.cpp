// A stand-in for the installed application, packed into the test packages: when started it writes
// "started.txt" beside itself, holding its own path, the current directory and its command line, one
// to a line, and exits.
#include <windows.h>

#include <string>

int wmain() {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring marker(self, length);
    marker = marker.substr(0, marker.find_last_of(L'\\')) + L"\\started.txt";
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    const std::wstring text = std::wstring(self, length) + L"\n" + current + L"\n" + GetCommandLineW() + L"\n";
    HANDLE file =
        CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return 0;
}
