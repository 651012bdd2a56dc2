// The facts about the running process that a run's choices depend on (install/run_choices.h), read
// from its token, its window station, the desktop shell of its session and the machine's list of
// profiles, never from anything the user's own registry or environment says.
#pragma once

#include <windows.h>

#include "install/run_choices.h"
#include "install/files/holders.h"

// Every fact but the option, which the caller knows.
RunFacts gatherRunFacts(bool unattendedOption);

// The token of the desktop shell's process in this session, opened to start a program as its user
// (TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY). False when there is no shell or it cannot be
// opened (GetLastError tells).
bool openShellToken(OwnedHandle* token);

// The local application data folder that the machine's profile list gives this process's user:
// the profile folder (ProfileImagePath of HKLM's ProfileList for the token's user) with
// "AppData\Local" beneath it, as Windows makes it, whatever the user's shell folders name instead.
// Only %SystemRoot% and %SystemDrive% are expanded in it, from the system's own Windows folder. Into
// `folder` (MAX_PATH); false when it cannot be had or does not fit.
bool profileLocalAppData(wchar_t* folder);
