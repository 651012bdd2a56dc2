// A DLL planted beside Installer.exe in place of a system DLL. Whoever loads it makes its DllMain leave
// a marker file beside it: its own path with ".loaded" appended. tests/app/window.cmake builds this
// source once per system DLL it stands for, with that DLL's name and, through a .def file, the exports
// the real one is asked for, each an alias of one of the two functions below, which fail.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        static const wchar_t suffix[] = L".loaded";
        wchar_t path[MAX_PATH + sizeof suffix / sizeof suffix[0]];
        const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            lstrcpyW(path + length, suffix);
            HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0,
                                        NULL,  // lpSecurityAttributes
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                        NULL);  // hTemplateFile
            if (marker != INVALID_HANDLE_VALUE) {
                CloseHandle(marker);
            }
        }
    }
    return TRUE;
}

// Stands for a factory function (D2D1CreateFactory, DWriteCreateFactory, DllGetClassObject): no factory. The arguments are
// not read, and on x64 the caller removes them, whatever their number.
HRESULT WINAPI plantedFactory(void) {
    return E_FAIL;
}

// Stands for a function that returns a handle or a BOOL (InternetOpenW, InternetReadFile, ...): failure.
INT_PTR WINAPI plantedCall(void) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}
