// verify_trust FILE: checks FILE's Authenticode signature as Windows does before it runs a download
// (WinVerifyTrust, WINTRUST_ACTION_GENERIC_VERIFY_V2, no user interface, no revocation check) and
// prints the result as 0x%08lX: 0 for a trusted signature, TRUST_E_NOSIGNATURE (0x800B0100) for none,
// TRUST_E_BAD_DIGEST (0x80096010) when the file's bytes no longer match their signature.
// Exit code 0 when trusted, 1 when not, 2 for a wrong command line.
#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: verify_trust FILE\n", stderr);
        return 2;
    }
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = argv[1];

    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    // The verification's state is kept until closed.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

    std::printf("0x%08lX\n", static_cast<unsigned long>(result));
    return result == 0 ? 0 : 1;
}
