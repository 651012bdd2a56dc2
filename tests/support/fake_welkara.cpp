// A stand-in for the installed application, packed into the test packages: when started it writes
// "started.txt" beside itself, holding its own path, the current directory and its command line, one
// to a line, and exits. Started with the one argument "wait", it writes nothing and runs until the
// event "welkara-test-stop" is set (or a minute has passed), as an application kept open does.
#include <windows.h>

#include <string>

#include "tests/support/wine_test_support.h"

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"wait") {
        HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, L"welkara-test-stop");
        WaitForSingleObject(stop, 60000);
        return 0;
    }
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring text = std::wstring(self, length) + L"\n" + testsupport::currentDirectory() + L"\n" +
                              GetCommandLineW() + L"\n";
    const std::wstring marker = testsupport::exeFolder() + L"\\started.txt";
    return testsupport::writeBytes(marker, testsupport::utf16Bytes(text)) ? 0 : 1;
}
