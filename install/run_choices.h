// How a run goes, decided from facts about the process that runs it: whether anyone can answer its
// window, how the installed application is started, where the log goes, and what exit code a
// deployment tool reads. Portable: the facts are gathered elsewhere (install/run_facts.h).
#pragma once

#include <cstdint>

struct RunFacts {
    bool unattendedOption = false;  // /unattended was given
    bool stationVisible = true;     // the process's window station is one that people see
    bool localSystem = false;       // the process runs as LocalSystem
    bool elevated = false;          // its token is elevated (or the system's own)
};

// Why a run is unattended, or null when somebody may answer its window: the option, a window station
// nobody sees, or LocalSystem, checked in that order.
const char16_t* unattendedReason(const RunFacts& facts);

enum class ApplicationStart {
    none,        // an unattended run starts nothing
    direct,      // the installer starts it itself, with its own rights
    unelevated,  // never with the installer's own rights: as the desktop shell's user when its token
                 // passes shellTokenUsable, else with a restricted copy of the installer's own token,
                 // else not at all
};
// Unattended: none. Elevated: unelevated. Otherwise direct.
ApplicationStart applicationStart(const RunFacts& facts);

// Integrity levels by the RID of their label: SECURITY_MANDATORY_MEDIUM_RID, that of a standard user's
// programs, and a value above every level for one that could not be read.
constexpr uint32_t kMediumIntegrity = 0x2000;
constexpr uint32_t kUnknownIntegrity = 0xFFFFFFFF;

// What the desktop shell's token says, every fact read from the one token that would be duplicated.
// The defaults are the answers of a token that cannot be used, so a fact that cannot be read counts
// against it.
struct ShellToken {
    bool opened = false;      // the shell's window, its process and the process's token were opened
    bool sameWindow = false;  // after the process was opened, the shell's window was still the same one
                              // and still that process's (the same id as the handle held)
    bool elevated = true;     // TokenElevation
    uint32_t integrity = kUnknownIntegrity;  // the RID of TokenIntegrityLevel
    bool sameSession = false;                // TokenSessionId is the installer's own session
};
// True when the application may be started with the shell's token: opened, the window confirmed,
// not elevated, at medium integrity or below, and in the installer's own session. Otherwise an
// elevated run takes the restricted copy of its own token.
bool shellTokenUsable(const ShellToken& shell);

// True when the log's folder is taken from the profile's default rather than from the user's own
// shell folders, which an elevated run may not follow: the user's unelevated programs can change them.
bool logFolderFromProfile(const RunFacts& facts);

// How a run ended, as the window learns it.
enum class Outcome { none, installed, verified, removed, busy, failed };
// The exit code of a run with /unattended: 0 installed, verified or removed (or nothing to remove), 1618 when another installation
// was at work, 1603 for every other failure, and 1602 when it was cancelled (closed before any report).
int unattendedExitCode(Outcome outcome, bool cancelled);
