// Archive extraction: unpacks "archive.7z" from the current directory into the current directory by
// running the 7-Zip console extractor "7za.exe" that lies beside the running executable, without a
// console, and waiting for it to end. Its output goes to a file of its own in the current directory,
// quoted in the log when it fails and removed in every case (once the extractor has ended, even when
// the installer has ended first). Only the 7za.exe this build was made with runs: its SHA-512 is
// built in and checked through a handle that keeps the file from changing until the extractor ends.
// The current directory is left as it was.
#pragma once

#include <windows.h>

#include "install/safe_files.h"

class InstallLog;

// The 7za.exe beside the running executable, opened with read sharing only and checked against the
// SHA-512 this build was made with. While the object holds it nobody can write, rename or delete the
// file, so the file that was checked is the file that runs. Opened before anything is changed, so that
// a missing or foreign extractor ends the run while the installation is still whole.
class PinnedExtractor {
  public:
    PinnedExtractor() = default;

    // Finds, opens and checks the extractor. False after one log line when the executable's own path
    // is not available, when 7za.exe cannot be opened (the line is the one a failed start writes:
    // "extractUpdate: CreateProcess failed (2)" when it is missing), cannot be read, or is not the
    // pinned one.
    bool open(InstallLog& log);
    bool isOpen() const { return file_.valid(); }
    const wchar_t* path() const { return path_; }

  private:
    wchar_t path_[MAX_PATH] = {};
    OwnedHandle file_;
};

// Runs "7za.exe -y -bd x archive.7z" (answer yes to every query, so existing files are overwritten;
// no progress indicator) with the held `extractor` and the current directory and environment
// inherited, without a console: standard input is the null device, standard output and errors go to
// a new file in the current directory, and no other handle is inherited. Returns true once the
// extractor has run and ended with exit code 0; nothing more is logged then. Returns false after one
// log line when `extractor` is not open, when the output file or the standard handles cannot be made,
// or when it cannot be started. When it ends with any other exit code (or its exit code cannot be
// had), the last lines of its output come first (logExtractorOutput), then one line with the code (or
// the error), and the result is false. Blocks without a time limit.
bool extractUpdateFromFileToCwd(InstallLog& log, const PinnedExtractor& extractor);

// Writes the last 20 non-blank lines of `output` (`length` bytes of the extractor's console output,
// in the OEM code page, lines ended by CR, LF or both) to `log`, each as "extractUpdate: 7za.exe: "
// and its text: control characters (U+0000 to U+001F, U+007F to U+009F) shown as "\xNN" in
// hexadecimal, cut so that the whole log line with its line feed holds at most 1000 characters. Lines
// of spaces and tabs count as blank. Only the first 64 KiB of `output` are read.
void logExtractorOutput(InstallLog& log, const char* output, int length);
