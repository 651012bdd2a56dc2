// Starting the installed application once it is in place: that very file (never a program that the
// registry associates with it), with no arguments, in its own folder and the default show state, and
// without waiting for it. An elevated run never hands on its rights: the application gets the
// signed-in user's unelevated token from the desktop shell, or a restricted copy of the installer's
// own token without the Administrators group, privileges or high integrity, or it is not started.
#pragma once

#include "install/run_choices.h"

class InstallLog;

// Starts `application` (a full path) in `codeFolder` the way `how` says and logs it, in the line of the
// run's steps: "Not starting %ls: the run is unattended" for none, otherwise "Executing %ls" right
// before the start. In an elevated run that can make no token without administrator rights, "Not
// starting %ls: a token without administrator rights could not be made (%d)" stands in its place and
// nothing starts. A start that fails after "Executing" is one more line: "Couldn't start %ls as the
// signed-in user (%d)" with the shell's token, "CreateProcess(%ls) failed (%d)" otherwise. The files
// are in place, so whichever way, the run still counts as an installation.
void startApplication(InstallLog& log, const wchar_t* application, const wchar_t* codeFolder,
                      ApplicationStart how);
