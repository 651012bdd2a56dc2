// The installation in the code folder, changed all or nothing and by one run at a time. The installer
// keeps a folder of its own there, ".installer", which only the system and the administrators may
// open, holding:
//   lock         open for as long as a run works in the folder
//   swap         the record of a swap (install/code_folder/swap_record.h): written before its first move, removed
//                once the swap is done or undone
//   run-<stamp>  one run's work folder: the checked extractor's copy, "unpacked" (the package, with
//                whatever of the installation it lacks carried into it) and "previous" (the entries
//                that its swap moved out of the installation)
// A swap replaces "python" (always) and every top-level entry the package holds; what the package
// lacks inside those entries is carried over first, so that the result is what unpacking over the
// installation gives. A run that finds a record finishes that swap; what no record names is left over
// and goes as far as it can, never stopping a run. Nothing is deleted there that is the only whole copy
// of an entry. The code folder lies beneath Program Files, which only administrators can write, so
// everything here is reached by its path.
#pragma once

#include <cstdint>

#include "install/files/holders.h"

class InstallLog;
class PinnedExtractor;
class SwapRecord;

class CodeFolder {
  public:
    // Ends the run's use of the folder: see release().
    ~CodeFolder() { release(); }

    // Builds every path from the code folder `path` (which need not exist); false when one does not fit
    // MAX_PATH, and nothing may be used then.
    bool setPath(const wchar_t* path);

    // The steps of a run. take() locks the folder and settles what an interrupted run left there; a
    // code folder that does not exist holds nothing to settle, and the run then fails where it first
    // needs the folder. replace() unpacks the package into a work folder of this run with `extractor`,
    // carries over what the package lacks, writes it all to the disk and swaps it in, saying in one
    // line when the previous installation was kept or put back. Each returns the final line of a
    // failure, or null.
    const wchar_t* take(InstallLog& log);
    const wchar_t* replace(InstallLog& log, PinnedExtractor& extractor, const std::uint8_t* bytes,
                           std::uint32_t length);

    // True when take() found another run at work in the folder.
    bool busy() const { return busy_; }

    // Removes what the run leaves in the installer's folder and what earlier runs left there, as far
    // as it can (never what a record still needs), gives up the lock and removes the installer's folder
    // when it is empty. Safe to call more than once.
    void release();

  private:
    enum class Swap { done, kept, putBack, stuck };
    // The folders of one swap: of this run's work folder, of a recorded one, or of a record made
    // before work folders existed (workFolder null).
    struct SwapFolders {
        wchar_t unpacked[MAX_PATH];
        wchar_t previous[MAX_PATH];
    };

    bool guardOwnFolder();
    bool recover(InstallLog& log);
    bool folders(const wchar_t* workFolder, SwapFolders* out) const;
    bool makeWorkFolder();
    bool prepareSwap(InstallLog& log);
    Swap swap(InstallLog& log, bool* movingAside);
    bool writeRecord(InstallLog& log);
    bool rollForward(InstallLog& log, SwapRecord& record, const SwapFolders& swap, bool* movingAside);
    bool undo(InstallLog& log, SwapRecord& record, const SwapFolders& swap);
    bool endSwap(InstallLog& log, const SwapFolders& swap, bool legacy);
    bool undoUnrecorded(InstallLog& log);
    bool hasInstallation() const;
    void removeLeftovers(const wchar_t* patientWith);

    wchar_t code_[MAX_PATH] = {};
    wchar_t own_[MAX_PATH] = {};
    wchar_t lockFile_[MAX_PATH] = {};
    wchar_t record_[MAX_PATH] = {};
    wchar_t recordDraft_[MAX_PATH] = {};
    wchar_t legacyPrevious_[MAX_PATH] = {};  // an earlier version's folder of entries moved aside
    wchar_t legacyDone_[MAX_PATH] = {};      // the mark that nothing in it is to come back
    wchar_t workName_[32] = {};              // this run's work folder, once made
    wchar_t work_[MAX_PATH] = {};
    SwapFolders swap_ = {};
    OwnedHandle lock_;
    bool busy_ = false;
    LocalMemory<void> adminsOnly_;  // the installer folder's security descriptor
    SECURITY_ATTRIBUTES madeAdminsOnly_ = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};  // to make with it
};
