// The facts about the running process that a run's choices depend on (install/run_choices.h), read
// from its token, its window station, the desktop shell of its session and the machine's list of
// profiles, never from anything the user's own registry or environment says.
#pragma once

#include <windows.h>

#include "install/run_choices.h"
#include "install/files/holders.h"

// Every fact but the option, which the caller knows.
RunFacts gatherRunFacts(bool unattendedOption);

// Opens the desktop shell's process once (GetShellWindow, GetWindowThreadProcessId, OpenProcess),
// confirms that the shell's window is still the same one and still that process's, and opens the
// process's token into *token (TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY). Every fact
// returned is read from that token, the one a start duplicates; *token is empty unless `opened`.
ShellToken openShellToken(OwnedHandle* token);

// The local application data folder that the machine's profile list gives this process's user:
// the profile folder (ProfileImagePath of HKLM's ProfileList for the token's user) with
// "AppData\Local" beneath it, as Windows makes it, whatever the user's shell folders name instead.
// Only %SystemRoot% and %SystemDrive% are expanded in it, from the system's own Windows folder. Into
// `folder` (MAX_PATH); false when it cannot be had or does not fit.
bool profileLocalAppData(wchar_t* folder);
