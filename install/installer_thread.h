// The installer thread: the whole installation, from opening the install log to starting the
// installed application, one blocking step after another, with no retries. The installation in the
// code folder changes all or nothing: a failed run leaves the previous one as it was. It reports
// only by posting the four private messages of app/installer_messages.h to a window.
#pragma once

#include <windows.h>

// Thread entry, started once by the progress window with the address of its MainWindow; of that object
// only the window handle is read. Returns 0.
DWORD WINAPI InstallerThreadProc(LPVOID mainWindow);

// The installation itself, reporting to `window` (any window, for instance a test's receiver).
// Runs on the calling thread and returns when the run has ended.
void runInstallation(HWND window);
