// A stand-in for the installed application, packed into the test packages: when started it writes
// "started.txt" beside itself, holding its own path, the current directory and its command line, one
// to a line, and exits. When its environment names a file in WELKARA_TEST_TOKEN_REPORT, it first writes
// there what its own token says of the Administrators group. Started with the one argument "wait", it
// writes nothing and runs until the event "welkara-test-stop" is set (or a minute has passed), as an
// application kept open does.
#include <windows.h>

#include <string>

#include "tests/support/wine_test_support.h"

namespace {

// "Administrators: enabled\n" when CheckTokenMembership finds the group enabled in this process's
// token, "Administrators: not enabled\n" when it does not (deny-only or absent), or a line that says
// the check failed.
std::wstring administratorsLine() {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
        !CheckTokenMembership(nullptr, administrators, &member)) {
        return L"Administrators: unknown (" + std::to_wstring(GetLastError()) + L")\n";
    }
    return member ? L"Administrators: enabled\n" : L"Administrators: not enabled\n";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"wait") {
        HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, L"welkara-test-stop");
        WaitForSingleObject(stop, 60000);
        return 0;
    }
    wchar_t report[MAX_PATH];
    const DWORD reportLength = GetEnvironmentVariableW(L"WELKARA_TEST_TOKEN_REPORT", report, MAX_PATH);
    if (reportLength != 0 && reportLength < MAX_PATH &&
        !testsupport::writeBytes(report, testsupport::utf16Bytes(administratorsLine()))) {
        return 1;
    }
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring text = std::wstring(self, length) + L"\n" + testsupport::currentDirectory() + L"\n" +
                              GetCommandLineW() + L"\n";
    const std::wstring marker = testsupport::exeFolder() + L"\\started.txt";
    return testsupport::writeBytes(marker, testsupport::utf16Bytes(text)) ? 0 : 1;
}
