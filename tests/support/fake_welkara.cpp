// A stand-in for the installed application, packed into the test packages: when started it writes
// "started.txt" beside itself, holding its own path, the current directory and its command line, one
// to a line, and exits. Started with the one argument "wait", it writes nothing and runs until the
// event "welkara-test-stop" is set (or a minute has passed), as an application kept open does.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"wait") {
        HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, L"welkara-test-stop");
        WaitForSingleObject(stop, 60000);
        return 0;
    }
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
