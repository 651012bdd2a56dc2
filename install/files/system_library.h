// Run-time loading of the system DLLs that are not KnownDLLs (d2d1, dwrite, wininet). Windows looks for
// such a DLL beside the program first, so none of them is bound at load time: each is loaded here from
// the System32 folder only, and a DLL of the same name lying beside Installer.exe never runs. A module
// loaded here stays loaded until the process ends. Header only: the window and the download share it.
#pragma once

#include <windows.h>

// Limits every later DLL load of the process, by this program or by a system DLL on its behalf, to the
// System32 folder: never the program's folder (a Downloads folder may hold anything) nor the current
// one. False when either call fails: the search order is then not known to be safe.
inline bool restrictDllSearchToSystem32() {
    return SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE && SetDllDirectoryW(L"") != FALSE;
}

// The module `name` (a bare file name such as L"d2d1.dll") loaded from the System32 folder, or null
// when it is not there or does not load; GetLastError then tells why.
inline HMODULE loadSystemLibrary(const wchar_t* name) {
    return LoadLibraryExW(name,
                          nullptr,  // hFile: reserved
                          LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Sets *function to the export of `module` called `name` (or the one with ordinal n, given as
// MAKEINTRESOURCEA(n)) and returns true. Returns false with *function null when `module` is null or has
// no such export. FunctionPointer is the export's function pointer type; nothing checks that it fits.
template <class FunctionPointer>
bool systemFunction(HMODULE module, const char* name, FunctionPointer* function) {
    const FARPROC address = module != nullptr ? GetProcAddress(module, name) : nullptr;
    // Through void (*)(), the one function type that GCC lets stand for any other without a warning.
    *function = reinterpret_cast<FunctionPointer>(reinterpret_cast<void (*)()>(address));
    return address != nullptr;
}
