// The install log: "instlog.txt" under the user's local application data, in "Orvanta\Welkara".
// UTF-16LE with no byte-order mark, one line per write, appended across runs and never truncated.
// Each line is written at the current end of the file under a byte-range lock covering exactly the
// bytes it adds, so a reader that honours locks never sees half a line. Only read sharing is granted.
#pragma once

#include <windows.h>

#include "install/files/safe_files.h"

class InstallLog {
  public:
    // Finds the log folder, creates it when needed and opens the file for appending. Reports nothing;
    // afterwards isOpen() tells whether it worked.
    void open();

    // Formats one line (printf-style wide format: "%s" and "%ls" take wide strings, "%d" and "%ld"
    // 32-bit integers) and appends it. A line longer than 1023 characters is cut to its first 1023.
    // Returns true when every byte of the formatted line was written; false when the log is closed
    // (an empty line on a closed log counts as written).
    bool write(const wchar_t* format, ...);

    // Closes the file when it is open; safe to call more than once.
    void close() { file_.reset(); }

    bool isOpen() const { return file_.valid(); }
    const wchar_t* filePath() const { return path_; }

  private:
    wchar_t path_[MAX_PATH] = {};
    OwnedHandle file_;
};
