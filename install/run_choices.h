// How a run goes, decided from facts about the process that runs it: whether anyone can answer its
// window, how the installed application is started, where the log goes, and what exit code a
// deployment tool reads. Portable: the facts are gathered elsewhere (install/run_facts.h).
#pragma once

struct RunFacts {
    bool unattendedOption = false;  // /unattended was given
    bool stationVisible = true;     // the process's window station is one that people see
    bool localSystem = false;       // the process runs as LocalSystem
    bool elevated = false;          // its token is elevated (or the system's own)
    bool shellFound = false;        // a desktop shell runs in its session
    bool shellElevated = false;     // and that shell's token is elevated
};

// Why a run is unattended, or null when somebody may answer its window: the option, a window station
// nobody sees, or LocalSystem, checked in that order.
const char16_t* unattendedReason(const RunFacts& facts);

enum class ApplicationStart {
    none,         // an unattended run starts nothing
    direct,       // the installer starts it itself, with its own rights
    asShellUser,  // the desktop shell's user starts it: an elevated run does not hand on its rights
};
// Unattended: none. Elevated with an unelevated shell in the session: asShellUser. Otherwise direct.
ApplicationStart applicationStart(const RunFacts& facts);

// True when the log's folder is taken from the profile's default rather than from the user's own
// shell folders, which an elevated run may not follow: the user's unelevated programs can change them.
bool logFolderFromProfile(const RunFacts& facts);

// How a run ended, as the window learns it.
enum class Outcome { none, installed, verified, busy, failed };
// The exit code of a run with /unattended: 0 installed or verified, 1618 when another installation
// was at work, 1603 for every other failure, and 1602 when it was cancelled (closed before any report).
int unattendedExitCode(Outcome outcome, bool cancelled);
