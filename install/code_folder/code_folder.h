// The installation in the code folder, changed all or nothing and by one run at a time. The installer
// keeps a folder of its own there, ".installer", which only the system and the administrators may
// open, holding:
//   Installer.exe  the uninstaller: a copy of the installer that made the installation
//   lock         open for as long as a run works in the folder
//   swap         the journal of an update (journal_text.h): written before its first step, removed once
//                the update is done or undone
//   run-<stamp>  one run's work folder: the checked extractor's copy, "unpacked" (the package) and
//                "previous" (what the update moved out of the installation, at the same paths)
// An update moves the package's files into place one by one (update_swap.h): what the package lacks
// stays where it is and is never touched, but in "python", which is replaced whole. A run that finds a
// journal finishes that update or undoes it; what no journal names is left over and goes as far as it
// can, never stopping a run. Nothing is deleted there that is the only whole copy of an entry. The code
// folder and the installer's own folder lie beneath Program Files, which only administrators can write,
// so both are reached by their paths; what lies inside the installation is reached through the handles
// of its folders.
#pragma once

#include <cstdint>
#include <string>

#include "install/files/holders.h"

#include "install/code_folder/journal_text.h"

class InstallLog;
class PinnedExtractor;
class UpdateSwap;

class CodeFolder {
  public:
    // Ends the run's use of the folder: see release().
    ~CodeFolder() { release(); }

    // Builds every path from the code folder `path` (which need not exist); false when one does not fit
    // MAX_PATH, and nothing may be used then.
    bool setPath(const wchar_t* path);

    // How taking the folder went: locked (or no code folder, which holds nothing to settle), another
    // run at work there, locking refused (a standard user, whom the folder's list keeps out; the detail
    // line is written), or what an interrupted run left could not be settled.
    enum class Lock { taken, busy, refused, unsettled };

    // The steps of a run. heal(), at the start of every run that may change the installation, locks
    // the folder where it can, settles what an interrupted run left there and gives the lock up again;
    // it writes nothing unless there was something to settle, and a folder that cannot be locked (by a
    // standard user, or while another run works there) is left for later; false when what it found
    // could not be settled. take() locks the folder for the update and settles what is left; a code folder
    // that does not exist holds nothing to settle, and the run then fails where it first needs the folder.
    // replace() makes a work folder of this run, unpacks the package into it with `extractor`, writes
    // it to the disk and moves it into place file by file, saying in one line when the previous
    // installation was kept or put back.
    bool heal(InstallLog& log);
    Lock take(InstallLog& log);
    // How replace() went: the package is in place; or the previous installation stays (kept, put back,
    // or part-way with its journal for the next run) after a failure whose first line concerned the
    // runtime ("python"), or after any other (the work folder, the unpacking, the plan, another entry).
    enum class Replacement { done, runtimeFailed, failed };
    Replacement replace(InstallLog& log, PinnedExtractor& extractor, const std::uint8_t* bytes,
                        std::uint32_t length);

    // How removing the installation went: gone whole, nothing was installed, kept whole (a line says
    // why), or stopped part-way (the next run undoes it).
    enum class Removal { removed, nothing, kept, stuck };
    // With the folder taken: moves every entry of the installation but the installer's folder into a
    // work folder of this run under a journal, all or nothing, and deletes what it can of them.
    Removal removeInstallation(InstallLog& log);
    // Once the installation is gone (or was never there): deletes everything in the installer's folder
    // but the lock, gives the lock up and removes the installer's folder, the code folder and the folder
    // above it, each when it is empty. What cannot go now (a running program's file) is marked to go at
    // the next restart, with a line for each file; false after a line when that cannot be done either.
    bool clearAway(InstallLog& log);

    // The installer's own folder, where the uninstaller is kept.
    const wchar_t* ownFolder() const { return own_; }

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

    // `quiet` (for heal): a folder that cannot be locked writes nothing and answers taken.
    Lock lock(InstallLog& log, bool quiet);
    bool guardOwnFolder();
    bool recover(InstallLog& log);
    bool recoverSteps(InstallLog& log, const JournalText& journal, const SwapFolders& swap);
    bool folders(const wchar_t* workFolder, SwapFolders* out) const;
    // False with GetLastError set.
    bool makeWorkFolder();
    Swap swap(InstallLog& log, bool* runtime);
    Swap underJournal(InstallLog& log, UpdateSwap& change, const std::u16string& journal);
    bool rollForward(InstallLog& log, const JournalText& record, const SwapFolders& swap);
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
