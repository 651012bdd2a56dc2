// Starting the installed application once it is in place: that very file (never a program that the
// registry associates with it), with no arguments, in its own folder and the default show state, and
// without waiting for it. An elevated run hands on none of its rights: the signed-in user's desktop
// shell, running unelevated in the same session, is whose rights and environment the application gets.
#pragma once

#include "install/run_choices.h"

class InstallLog;

// Starts `application` (a full path) in `codeFolder` the way `how` says; none starts nothing. A start
// that fails is logged in one line: "CreateProcess(%ls) failed (%d)" for a direct start, "Couldn't
// start %ls as the signed-in user (%d)" for one through the shell's user. The files are in place, so
// either way the run still counts as an installation.
void startApplication(InstallLog& log, const wchar_t* application, const wchar_t* codeFolder,
                      ApplicationStart how);
