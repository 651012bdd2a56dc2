// The private window messages by which the installer thread reports to the progress window. Each is
// posted with wParam 0 and lParam 0.
#pragma once

#include <windows.h>

constexpr UINT WM_INSTALLER_INSTALLED = WM_USER + 1;  // the installation finished
constexpr UINT WM_INSTALLER_VERIFIED = WM_USER + 2;   // verify-only run: the package is valid
constexpr UINT WM_INSTALLER_ERROR = WM_USER + 3;      // the installation failed
constexpr UINT WM_INSTALLER_CLOSE = WM_USER + 4;      // end the program
constexpr UINT WM_INSTALLER_REMOVED = WM_USER + 5;    // /uninstall: the installation is gone
