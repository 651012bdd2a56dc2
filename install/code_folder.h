// The installation in the code folder, changed all or nothing and by one run at a time. The installer
// keeps a folder of its own there, ".installer", holding:
//   lock        open for as long as a run (or an extractor that a run started) works in the folder
//   7za.exe     the checked extractor's bytes, written afresh for each extraction
//   unpacked\   where the package is unpacked, never into the live installation
//   previous\   the entries that a swap has moved out of the installation
//   swap        the record of a swap: written before its first move, removed after its last clean-up
// A swap replaces "python" (always) and every top-level entry the package holds. A run that finds the
// record finishes that swap; one that finds none undoes whatever an interrupted run left. Nothing is
// deleted there that is the only whole copy of an entry. The code folder lies beneath Program Files,
// which only administrators can write, so everything here is reached by its path.
#pragma once

#include <windows.h>

#include "install/safe_files.h"

#include <cstdint>

class InstallLog;
class PinnedExtractor;

class CodeFolder {
  public:
    // The name of the installer's own folder inside the code folder; a package may not hold it.
    static constexpr const wchar_t* kOwnFolderName = L".installer";

    CodeFolder() = default;
    CodeFolder(const CodeFolder&) = delete;
    CodeFolder& operator=(const CodeFolder&) = delete;
    // Ends the run's use of the folder: see release().
    ~CodeFolder() { release(); }

    // Builds every path from the code folder `path` (which need not exist); false when one does not fit
    // MAX_PATH, and nothing may be used then.
    bool setPath(const wchar_t* path);
    const wchar_t* path() const { return code_; }
    const wchar_t* ownFolder() const { return own_; }
    const wchar_t* unpackedFolder() const { return unpacked_; }

    enum class Lock {
        held,      // this run has the folder to itself
        busy,      // another run, or an extractor that one started, works in it
        noFolder,  // the code folder does not exist (it could not be made): nothing can change in it
        failed,    // the lock could not be made for another reason; GetLastError tells
    };
    // The steps of a run. take() locks the folder and settles what an interrupted run left there; a
    // code folder that does not exist holds nothing to settle, and the run then fails where it first
    // needs the folder. replace() unpacks the package aside with `extractor` and swaps it in, saying
    // in one line when the previous installation was kept or put back. Each returns the final line of
    // a failure, or null.
    const wchar_t* take(InstallLog& log);
    const wchar_t* replace(InstallLog& log, PinnedExtractor& extractor, const std::uint8_t* bytes,
                           std::uint32_t length);

    // Makes the installer's folder and takes the lock.
    Lock lock();
    // The lock's handle while it is held (for the extractor to inherit), else INVALID_HANDLE_VALUE.
    HANDLE lockHandle() const { return lock_.get(); }

    // With the lock held: finishes a swap that was recorded, or undoes what an interrupted run left
    // unrecorded, and removes the installer's leftovers, so that afterwards the installation is whole
    // and only the lock is in the installer's folder. False after one line that names the folder when
    // that cannot be done; what could not be settled is left as it is then.
    bool recover(InstallLog& log);

    // True when the code folder holds anything besides the installer's folder.
    bool hasInstallation() const;

    // Makes the unpacked folder, empty. False when it cannot be made (the extractor then finds no
    // folder to work in).
    bool makeUnpackedFolder();

    enum class Swap {
        done,     // the unpacked installation is in place and the previous one is gone
        kept,     // nothing was changed: the package was refused or the record could not be written
        putBack,  // a move failed and the installation was put back as it was
        stuck,    // a move failed and so did putting it back: the record stays for the next run
    };
    // Replaces the installation with the unpacked one, which the extractor finished. On anything but
    // `done` the detail has been logged, and *movingAside tells whether the move that failed was of a
    // previous entry (so the previous installation could not be removed) rather than of a new one.
    Swap swap(InstallLog& log, bool* movingAside);

    // Removes what the run leaves in the installer's folder (the unpacked folder, a record never
    // written through), gives up the lock and removes the installer's folder when it is empty. Safe to
    // call more than once.
    void release();

  private:
    bool finishRecorded(InstallLog& log, bool* movingAside);
    bool undoRecorded(InstallLog& log);
    bool undoUnrecorded(InstallLog& log);
    bool removeScratch();
    bool writeRecord(InstallLog& log, bool* refused);

    wchar_t code_[MAX_PATH] = {};
    wchar_t own_[MAX_PATH] = {};
    wchar_t lockFile_[MAX_PATH] = {};
    wchar_t unpacked_[MAX_PATH] = {};
    wchar_t previous_[MAX_PATH] = {};
    wchar_t record_[MAX_PATH] = {};
    wchar_t recordDraft_[MAX_PATH] = {};
    wchar_t extractorCopy_[MAX_PATH] = {};
    OwnedHandle lock_;
};
