// The install log: "instlog.txt" under the user's local application data, in "Orvanta\Welkara".
// UTF-16LE with no byte-order mark, one line per write, appended across runs and never truncated.
// Each line is written at the current end of the file under a byte-range lock covering exactly the
// bytes it adds, so a reader that honours locks never sees half a line. Only read sharing is granted,
// but a reader may lock the file itself: a line then waits a bounded time for its range, and is lost
// (write() says so) rather than written without the lock or in part.
#pragma once

#include <windows.h>

#include "install/files/safe_files.h"

// Where the local application data folder that holds the log is looked up: the user's shell folders,
// as any program asks, or the machine's list of profiles (the profile folder with "AppData\Local"),
// which an elevated run takes: the user's unelevated programs can change their shell folders, and the
// run would make its log wherever those name, with their text in it.
enum class LogFolder { shellFolders, profileList };

class InstallLog {
  public:
    // Finds the log folder from `from`, creates it when needed and opens the file for appending.
    // Reports nothing; afterwards isOpen() tells whether it worked.
    void open(LogFolder from);

    // Formats one line (printf-style wide format: "%s" and "%ls" take wide strings, "%d" and "%ld"
    // 32-bit integers) and appends it. A line longer than 1023 characters is cut to its first 1023.
    // Returns true when every byte of the formatted line reached the file under its lock; false when
    // the log is closed (an empty line on a closed log counts as written) or the line could not be
    // written whole. A line whose range another handle has locked, or whose write fails or stops
    // short, is tried again for up to kRetryMs, then given up with nothing of it left in the file;
    // after a line is given up the next ones are tried once each, without waiting, until one is
    // written, so a log that stays locked costs the run one wait and not one per line.
    bool write(const wchar_t* format, ...);
    static constexpr DWORD kRetryMs = 1000;

    // Closes the file when it is open; safe to call more than once.
    void close() { file_.reset(); }

    bool isOpen() const { return file_.valid(); }
    const wchar_t* filePath() const { return path_; }

  private:
    bool append(const wchar_t* line, DWORD byteCount, DWORD retryMs);

    wchar_t path_[MAX_PATH] = {};
    OwnedHandle file_;
    bool jammed_ = false;  // the last line was given up
};
