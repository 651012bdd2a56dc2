// The installer thread: the whole installation, from opening the install log to starting the
// installed application, one blocking step after another, with no retries. The installation in the
// code folder changes all or nothing: a failed run leaves the previous one as it was. It reports
// only by posting the four private messages of install/installer_messages.h to a window.
#pragma once

#include <windows.h>

#include <atomic>

#include "install/install_log.h"
#include "install/run_choices.h"

// What the installation is asked to do, as the command line gave it: the package URL to use instead
// of the one built from the manifest, the Base64 signature to use instead of the manifest's (each
// null when not given), whether to stop after the check, and whether to remove the installation
// instead (nothing is then downloaded, checked or started). Then what the facts of the run decide
// (see chooseFromFacts): why nobody will answer its window, null when somebody may (an unattended run
// starts no application), how the application is started and where the log's folder is looked up;
// the defaults are those of an attended elevated run. The strings belong to the caller and stay valid
// for as long as the installation runs.
struct InstallRequest {
    const wchar_t* urlOverride = nullptr;
    const wchar_t* signatureOverride = nullptr;
    bool verifyOnly = false;
    bool uninstall = false;
    const wchar_t* unattendedReason = nullptr;
    ApplicationStart start = ApplicationStart::unelevated;
    LogFolder logFolder = LogFolder::profileList;
};

// Fills in the request's unattendedReason, start and logFolder from the facts of the run, gathered
// once where it starts (install/run_facts.h); nothing below asks for them again.
void chooseFromFacts(const RunFacts& facts, InstallRequest* request);

// The installer thread's one argument: the window it reports to and what it is asked to do, and where
// it leaves how the run ended, before it posts the report that says so. It must outlive the thread
// (the thread is never waited for; it ends with the process).
struct InstallerThreadStart {
    HWND window = nullptr;
    InstallRequest request;
    std::atomic<Outcome> outcome{Outcome::none};
};

// Thread entry; `start` is an InstallerThreadStart. Returns 0.
DWORD WINAPI InstallerThreadProc(LPVOID start);

// The installation itself, reporting to `window` (any window, for instance a test's receiver), and
// leaving how it ended in *outcome (may be null) before each report. Runs on the calling thread and
// returns when the run has ended.
void runInstallation(HWND window, const InstallRequest& request, std::atomic<Outcome>* outcome = nullptr);
