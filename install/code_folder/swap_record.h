// The record of a swap of the installation: which work folder of the installer's it uses and which
// top-level entries it replaces. A UTF-16LE text, one item a line, each line ended by a line feed:
//   @run-01dc4a3b5e6f7a80   the swap's work folder inside the installer's folder, holding "unpacked"
//                           (the new entries) and "previous" (the entries moved out of the installation)
//   +data                   an entry of the package: the installed one moves aside, the unpacked one in
//   -python                 an entry that goes without a replacement ("python" when the package has none)
// A record made before work folders existed has no "@" line: its folders are "unpacked" and "previous"
// in the installer's folder itself. The record is written whole under another name, flushed and renamed
// into place, so that it exists whole or not at all; it is read whole and every line checked before
// anything is moved by it.
#pragma once

#include <windows.h>

#include "install/files/holders.h"
#include "install/files/safe_files.h"

class SwapRecord {
  public:
    // The name of the installer's own folder inside the code folder, which no entry may have.
    static constexpr const wchar_t* kOwnFolderName = L".installer";

    // Writing: begin() creates the draft `draftPath` (replacing one left there) with `security` (may
    // be null) and writes the work folder's line; add() writes one entry; commit() flushes the draft
    // and renames it to `recordPath`. Each returns false, with GetLastError set, when the file system
    // refuses; the draft is then left for the caller to delete.
    bool begin(const wchar_t* draftPath, SECURITY_ATTRIBUTES* security, const wchar_t* workFolder);
    bool add(bool fromPackage, const wchar_t* name);
    bool commit(const wchar_t* recordPath);

    // Reading: the whole record at `path`. `missing` when there is none; `unreadable` when it cannot
    // be read whole (GetLastError tells) or is larger than any record; `damaged` when a line is not
    // one that begin() and add() write: no line feed at its end, an unknown kind, a name that is not a
    // bare file name (a separator, "." or ".."), the installer's own folder as an entry, or a work
    // folder line that is not the first line or does not name a "run-" folder.
    enum class Read { ok, missing, unreadable, damaged };
    Read read(const wchar_t* path);
    // After a successful read: the work folder's name, or null for a record without one.
    const wchar_t* workFolder() const { return workFolder_; }
    // After a successful read, the entries one by one: true with the next entry's name and kind,
    // false after the last. rewind() starts them over.
    bool next(const wchar_t** name, bool* fromPackage);
    void rewind() { cursor_ = first_; }

  private:
    wchar_t draftPath_[MAX_PATH] = {};
    OwnedHandle draft_;
    LocalMemory<wchar_t> text_;
    wchar_t* end_ = nullptr;
    wchar_t* first_ = nullptr;  // the first entry's line
    wchar_t* cursor_ = nullptr;
    const wchar_t* workFolder_ = nullptr;
};
