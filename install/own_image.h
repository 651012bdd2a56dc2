// The running program's own file, read once and proved to be the image that runs, and written as a copy
// into a folder that only administrators can write. The program may have been started from a folder that
// others can write or repoint (a Downloads folder, a junction above it), so its file is never read again
// by its path: what is copied is what was read while the file was held and shown to be the mapped image.
#pragma once

#include <windows.h>

#include <cstdint>

#include "install/files/holders.h"

class InstallLog;

class OwnImage {
  public:
    OwnImage() = default;
    OwnImage(const OwnImage&) = delete;
    OwnImage& operator=(const OwnImage&) = delete;

    // Opens the running executable's file by its module path (never through a link at the file itself)
    // with read sharing only, so that while it is held nobody can write, rename or delete it, nor rename
    // a folder above it; proves that the held file is the one the process was mapped from, first by its
    // name (the held file's final path equals the mapped image's file name, case folded), then, once it
    // is read whole (at most kImageLimit bytes), by its content: its headers and every read-only section,
    // relocated, equal the image in memory (compareImage). The name proof rests on how the system names
    // a mapped file after a rename, which differs between systems; the content proof does not, but it
    // cannot see the writable sections, which the program changes as it runs. Each proof refuses a file
    // that the other lets through: a file that agrees with the image in every read-only byte but differs
    // in its data, started through a folder link that was repointed, fails on its name; any other
    // program put at the image's name after a rename fails on its content. Logs nothing: writeCopy()
    // says why it failed.
    bool load();

    // Writes the bytes read as `name` inside `folder` (full paths; a folder only administrators can
    // write): a new draft "<name>.new" beside it (replacing one left there), written whole and flushed,
    // then renamed over `name`. Where the old copy cannot be replaced (it runs, or is held open), it is
    // first renamed aside to "<name>.old" (replacing one there when possible) and the draft then takes
    // its name. `path` (MAX_PATH) gets the copy's full path. False after one log line, with no draft
    // left behind; after a failed load(), the line that says why.
    bool writeCopy(InstallLog& log, const wchar_t* folder, const wchar_t* name, wchar_t* path);

    // Far larger than the installer: a file beyond it is not read.
    static constexpr DWORD kImageLimit = 64 * 1024 * 1024;

  private:
    enum class Failure {
        foreign,     // the file at the module path is not the mapped image (by name or content), or is
                     // a link
        unreadable,  // the module path, the names or the bytes could not be had (or load() was not
                     // called); error_ says why
    };
    bool failed(Failure failure, DWORD error = ERROR_SUCCESS);

    wchar_t module_[MAX_PATH] = {};
    LocalMemory<std::uint8_t> bytes_;
    DWORD length_ = 0;
    Failure failure_ = Failure::unreadable;
    DWORD error_ = ERROR_INVALID_FUNCTION;
};
