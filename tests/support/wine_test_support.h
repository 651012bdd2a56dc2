// Small helpers for the Windows-side tests: whole-file reads and writes, the install log's path and text,
// the test executable's folder and running a helper process.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "install/install_log.h"

namespace testsupport {

// The bytes of a file, or an empty string (and *exists false) when it cannot be opened.
std::string readBytes(const std::wstring& path, bool* exists = nullptr);
bool writeBytes(const std::wstring& path, const std::string& bytes);
// UTF-16LE bytes of a wide string, as the log and the manifest store text.
std::string utf16Bytes(const std::wstring& text);
std::wstring fromUtf16Bytes(const std::string& bytes);
inline bool endsWith(const std::wstring& text, const std::wstring& ending) {
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// Folder of the running test executable, without a trailing backslash.
std::wstring exeFolder();
std::wstring currentDirectory();
// Full path of "instlog.txt" where the install log puts it. The shell's local application data is also
// the one the profile list gives, unless a test redirects it.
std::wstring logFilePath();
// The install log's text, or "" when there is none.
std::wstring installLog();
// The install log's text after `step` has run with a fresh log: the file deleted, an InstallLog opened
// as a run opens it under Wine (every run there is elevated, so from the profile list) and handed to
// `step`, then closed.
template <class Step>
std::wstring installLogOf(Step step) {
    DeleteFileW(logFilePath().c_str());
    InstallLog log;
    log.open(LogFolder::profileList);
    step(log);
    log.close();
    return installLog();
}
// Runs a command line and waits; returns its exit code, or -1 when it could not be started. Not for a
// Unix program: Wine starts one without a process handle, so nothing is waited for (see runOnHost).
int runAndWait(const std::wstring& commandLine);
// Runs the host's program `command[0]` (a Unix path, as "/bin/ln") with the rest of `command` as its
// arguments, each passed whole whatever it holds, and waits until it has ended; returns its exit
// status, or -1 when it could not be started or had not ended within a minute.
int runOnHost(const std::vector<std::wstring>& command);
// Starts a command line; false when it could not be started. Wine starts a Unix program (Z:\bin\ln)
// without a process handle (seen: hProcess null), so only the result tells.
// `desktop` (as "station\\desktop") is where it runs, null for this process's own.
bool startProcess(const std::wstring& commandLine, PROCESS_INFORMATION* process,
                  const wchar_t* desktop = nullptr);
// Waits up to `timeoutMs` for a process from startProcess, closes its handles and returns the wait's result.
DWORD closeProcess(PROCESS_INFORMATION* process, DWORD timeoutMs = INFINITE);
// The process id of a running process named `name` (as "7za.exe") that `parent` started, or 0.
DWORD childProcess(DWORD parent, const wchar_t* name);
// Suspends every thread of the process open as `process` (with PROCESS_SUSPEND_RESUME), so that it
// makes no progress of its own until it is ended: a test that then ends its parent sees it end only
// when something ends it. False when the system refuses.
bool suspendProcess(HANDLE process);
// Lets a process suspended so go on.
bool resumeProcess(HANDLE process);
// Checks `done` until it holds, sleeping `stepMs` after each failed check, at most `tries` times; returns
// its last result.
template <class Done>
bool waitFor(int tries, DWORD stepMs, Done done) {
    for (int i = 0; i < tries && !done(); ++i) {
        Sleep(stepMs);
    }
    return done();
}

// A system folder (CSIDL value) of the prefix, e.g. C:\ProgramData for CSIDL_COMMON_APPDATA.
std::wstring systemFolder(int csidl);
// Deletes a file or a folder with everything in it; a missing one is fine.
void removeTree(const std::wstring& path);
bool pathExists(const std::wstring& path);
// Every file and folder beneath `root` by its path relative to `root` ("python\\lib\\x.txt"): a file's
// bytes, or "<folder>" for a folder. Empty when `root` is missing.
std::map<std::wstring, std::string> treeContents(const std::wstring& root);
// Copies the folder `from` with everything in it to `to`, which must not exist yet.
bool copyTree(const std::wstring& from, const std::wstring& to);
// The Unix path of a Windows path; empty outside Wine.
std::wstring unixPath(const std::wstring& path);
// Makes `link` a Unix symbolic link to `target` (both Windows paths) with the host's ln: Wine makes no
// junctions or Windows links, but shows a Unix link as a reparse point. False when ln failed, also when
// something is at `link` already (a link to a folder included: nothing is made inside it). The link is
// there once this returns.
bool makeUnixLink(const std::wstring& target, const std::wstring& link);
// Removes such a link itself, never what it points to, and a dangling one too (which Wine does not
// show); nothing is left to remove it later once this returns.
void removeUnixLink(const std::wstring& link);
// The Base64 signature in the file `path`, without its line end.
std::wstring signatureText(const std::wstring& path);
// The Base64 signature in packages\NAME.sig beside the test executable, without its line end.
std::wstring packageSignature(const std::wstring& name);

}  // namespace testsupport
