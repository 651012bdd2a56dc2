// The extractor that runs: the checked bytes of the "7za.exe" beside the running executable, read
// once, never through a link, and checked against the SHA-512 this build was made with; the copy of
// them that runs is written into a folder that only administrators can write, so that neither the
// search path nor a link on the way to the executable's folder (which its owner may repoint at any
// time) decides what runs.
#pragma once

#include <windows.h>

#include <cstdint>

#include "install/files/holders.h"

class InstallLog;

class PinnedExtractor {
  public:
    PinnedExtractor() = default;
    PinnedExtractor(const PinnedExtractor&) = delete;
    PinnedExtractor& operator=(const PinnedExtractor&) = delete;
    ~PinnedExtractor() { removeCopy(); }

    // Reads the extractor whole, once and never through a link, and checks the SHA-512 of the bytes
    // read. Nothing that happens to the file afterwards (a folder link above it repointed, the file
    // replaced) changes what runs. Logs nothing: writeCopy() says why it failed.
    bool load();

    // Writes the checked bytes as a new file "7za.exe" in `folder`, replacing one left there. False
    // after one log line; after a failed load(), the line that says why, where the extractor would
    // have been started: "extractUpdate: CreateProcess failed (2)" when 7za.exe is missing (the line a
    // failed start writes), "extractUpdate: ... is not the 7za.exe this installer was built with" when
    // it is another one, and lines for an unreadable file, a link and a module path not available.
    bool writeCopy(InstallLog& log, const wchar_t* folder);
    const wchar_t* copyPath() const { return copy_; }
    // Deletes the copy, once the extractor that ran it has ended; a copy that cannot be deleted is left.
    void removeCopy();

  private:
    static constexpr int kFailureCapacity = 2 * MAX_PATH;
    // Keeps the line (printf-style, after "extractUpdate: ") that writeCopy() writes for a failed
    // load(), and returns false.
    bool failed(const wchar_t* format, ...);

    wchar_t path_[MAX_PATH] = {};  // beside the executable
    wchar_t copy_[MAX_PATH] = {};  // the copy that runs; empty until written
    LocalMemory<std::uint8_t> bytes_;
    DWORD length_ = 0;
    wchar_t failure_[kFailureCapacity] = L"the extractor was not checked";
};
