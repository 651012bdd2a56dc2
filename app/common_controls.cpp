// The activation context that makes the window's controls those of the common controls 6.0. Of ACTCTXW,
// lpAssemblyDirectory is the base folder of private assembly probing for assemblies missing from the
// system-wide store, and lpApplicationName (null: the process's executable) the name after which the ".local"
// folder is named. Both are set to the System32 folder, which only administrators can write; the
// Common-Controls assembly itself comes from the system-wide store.
#include "app/common_controls.h"

#include <commctrl.h>
#include <shlwapi.h>

#include "install/files/system_library.h"

namespace {

// True when the file of `module` lies beneath the Windows folder (the side-by-side store, or System32
// where the system keeps the DLL itself), by its module path.
bool liesUnderWindowsFolder(HMODULE module) {
    wchar_t windows[MAX_PATH];
    wchar_t path[MAX_PATH];
    // The system's own Windows folder: GetWindowsDirectoryW may give a user's private one.
    const UINT windowsLength = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const DWORD pathLength = GetModuleFileNameW(module, path, MAX_PATH);
    if (windowsLength == 0 || windowsLength >= MAX_PATH - 1 || pathLength == 0 || pathLength == MAX_PATH) {
        return false;
    }
    if (windows[windowsLength - 1] != L'\\') {
        lstrcatW(windows, L"\\");
    }
    const int prefix = lstrlenW(windows);
    return pathLength > static_cast<DWORD>(prefix) &&
           CompareStringOrdinal(path, prefix, windows, prefix, TRUE) == CSTR_EQUAL &&
           wcsstr(path + prefix, L"..") == nullptr;
}

}  // namespace

CommonControlsScope::~CommonControlsScope() {
    if (active_) {
        DeactivateActCtx(0, cookie_);
    }
    if (context_ != INVALID_HANDLE_VALUE) {
        ReleaseActCtx(context_);
    }
}

bool CommonControlsScope::enter(HMODULE module, int manifestId) {
    wchar_t system[MAX_PATH];
    wchar_t application[MAX_PATH];
    const UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH) {
        return false;
    }
    lstrcpynW(application, system, MAX_PATH);
    if (!PathAppendW(application, L"Installer.exe")) {
        return false;
    }
    ACTCTXW description = {};
    description.cbSize = sizeof description;
    description.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID |
                          ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID | ACTCTX_FLAG_APPLICATION_NAME_VALID;
    description.lpAssemblyDirectory = system;
    description.lpResourceName = MAKEINTRESOURCEW(manifestId);
    description.lpApplicationName = application;
    description.hModule = module;
    context_ = CreateActCtxW(&description);
    if (context_ == INVALID_HANDLE_VALUE || !ActivateActCtx(context_, &cookie_)) {
        return false;
    }
    active_ = true;
    // By name, so that the activation context redirects it to the assembly; the process's DLL search
    // is limited to System32 otherwise.
    const HMODULE controls = LoadLibraryW(L"comctl32.dll");
    BOOL(WINAPI * initialize)(const INITCOMMONCONTROLSEX*) = nullptr;
    if (controls == nullptr || !liesUnderWindowsFolder(controls) ||
        !systemFunction(controls, "InitCommonControlsEx", &initialize)) {
        return false;
    }
    const INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
    return initialize(&classes) != FALSE;
}
