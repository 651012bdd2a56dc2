// Version 6 of the common controls (the marquee progress bar, the themed button) without any tie to
// them that the loader acts on: a manifest depending on the Common-Controls assembly has the loader look
// for a private copy of it in "<program>.local" beside the program before a line of the program runs,
// and Installer.exe often lies in a folder that others can write. So its manifest asks for nothing and
// comctl32.dll is no import of it: the assembly is asked for here, at run time, through an activation
// context made from a second manifest resource whose probing bases are the System32 folder, and the
// comctl32.dll that comes of it must lie under the Windows folder.
#pragma once

#include <windows.h>

class CommonControlsScope {
  public:
    CommonControlsScope() = default;
    CommonControlsScope(const CommonControlsScope&) = delete;
    CommonControlsScope& operator=(const CommonControlsScope&) = delete;
    // Deactivates the activation context if enter() activated it and releases it if enter() made it,
    // whether enter() succeeded or not; the controls made meanwhile stay version 6.
    ~CommonControlsScope();

    // Makes the activation context from the RT_MANIFEST resource `manifestId` of `module` and activates it
    // on this thread, loads comctl32.dll through it, checks that the module lies under the Windows folder
    // and registers the progress bar's class: controls created while the scope lasts are version 6. False
    // when any step fails; a failure after the activation leaves the context active on this thread until
    // the destructor runs, and comctl32.dll loaded if it loaded. Call it once per scope.
    bool enter(HMODULE module, int manifestId);

  private:
    HANDLE context_ = INVALID_HANDLE_VALUE;
    ULONG_PTR cookie_ = 0;
    bool active_ = false;
};
