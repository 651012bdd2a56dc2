// One update of the installation, file by file. The steps that put the unpacked package in place of
// what it replaces (journal_text.h names them) are planned by walking the unpacked tree beside the
// installation and taken one by one; an update that stops part-way, in this run or in an interrupted
// one, is undone from the state the file system is in, wherever each step got to. Every entry is reached
// through the handle of its folder, never by a path walked again and never through a link or junction (those
// move as the entries they are). Only what the package replaces (and, under "python", what the package lacks)
// moves; nothing here deletes an installed entry: what goes moves into the work folder's "previous", for the
// caller.
#pragma once

#include <windows.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "install/code_folder/journal_text.h"
#include "install/files/holders.h"

class InstallLog;

class UpdateSwap {
  public:
    // Opens the three roots by path: the code folder (as hold() opens its folders), the unpacked package
    // and the work folder's "previous" (made when missing, with the list the work folder passes on).
    // False after a line naming the one that cannot be opened.
    bool open(InstallLog& log, const wchar_t* code, const wchar_t* unpacked, const wchar_t* previous);

    // Lists the steps that put the unpacked package in place, walking both trees through their folders'
    // handles, and writes them as the journal's text for `workFolder` into *journal. False after a line
    // that says why; *refused (reset first) when the package holds what cannot be installed.
    bool plan(InstallLog& log, const wchar_t* workFolder, std::u16string* journal, bool* refused);
    // Lists the steps that move every entry of the installation but the installer's folder aside (a
    // folder emptied file by file and removed once the rest is done) and writes them as the journal's
    // text for `workFolder` into *journal: the removal of the installation. False after a line.
    bool planRemoval(InstallLog& log, const wchar_t* workFolder, std::u16string* journal);
    // Takes the steps of a checked journal of the steps format instead. False when a path in it names
    // the installer's own folder (the journal is then damaged).
    bool load(const JournalText& journal);

    // Before the first step: opens every folder of the installation that a step moves an entry into or
    // out of with the rights to add files and subfolders and with full sharing, held until this object
    // goes (so that nobody can later hold one without write sharing), and makes the folders of
    // "previous" that the steps need. False after a line naming the folder that cannot be opened.
    bool hold(InstallLog& log);

    // Takes every step, expecting none to have been taken yet. Each unpacked file is written through to
    // the disk as it moves into place, unless the whole volume can be flushed at the end (an
    // administrator's run). False after a line on the step that could not be taken.
    bool forward(InstallLog& log);
    // Undoes, in reverse order, every step up to the one on which forward() stopped (all of a loaded
    // journal's), from whatever state each is in. Where an installed entry cannot come back, the new
    // one is put in place again (no name of the installation is ever left empty) and the result is
    // false; true when everything is as it was.
    bool undo(InstallLog& log);
    // Once every step is taken: removes the folders under "python" that the package lacks and that are
    // empty now, then writes what the update changed through to the disk (the folders whose entries
    // changed, or the volume). False after a line when the flush fails: the update is done, but not
    // known to be on the disk, and the journal must stay.
    bool end(InstallLog& log);

    // Once the update is done and its journal gone: deletes what it moved aside into "previous", file by
    // file, as far as it can now. A file in use or marked read-only, and a folder, are left for the
    // removal of the work folder.
    void removeMoved();

    // True when the first failure that a line reported concerns an entry or folder under "python".
    bool failedInRuntime() const { return runtimeFailure_; }

  private:
    static constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // A folder walked: listed and passed through.
    static constexpr ACCESS_MASK kListAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
    // A folder changed: also the rights that a rename into it opens it with. Held with full sharing, it
    // cannot be opened afterwards by anyone who does not share it for writing.
    static constexpr ACCESS_MASK kChangeAccess = kListAccess | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;

    struct Folder {
        std::wstring path;  // relative to the roots, names joined by '\', empty for the roots
        std::wstring name;  // its own name, empty for the roots
        int parent;         // -1 for the roots
        bool runtime;       // "python" or a folder beneath it
        bool changes;       // a step moves an entry into or out of it in the installation
        bool aside;         // a step moves an installed entry out of it: "previous" needs it too
        bool changeRights;  // `live` was opened with the rights to add entries
        bool made;          // a step makes it in the installation
        bool removed;       // a step removes it from the installation
        OwnedHandle live;
        OwnedHandle fresh;
        OwnedHandle previous;
    };
    struct Step {
        JournalStep kind;
        int folder;
        std::wstring name;
        int child;  // the folder made (d) or removed (x), else -1
    };
    // What a name in a folder is, when it can be looked at.
    struct Seen {
        bool known;  // false when it could not be looked at (GetLastError tells)
        bool exists;
        DWORD attributes;
        DWORD volume;
        ULONGLONG index;
        bool sameFileAs(const Seen& other) const {
            return exists && other.exists && volume == other.volume && index == other.index;
        }
    };
    enum class Tree { live, fresh, previous };

    static bool flushFileIn(HANDLE folder, const wchar_t* name);
    int addFolder(int parent, const std::wstring& name);
    int folderFor(const std::wstring& path);
    void addStep(JournalStep kind, int folder, const std::wstring& name, int child = -1,
                 bool inTheWay = false);
    bool planFolder(InstallLog& log, int folder, bool installed, bool* refused);
    bool writePlan(InstallLog& log, const wchar_t* workFolder, std::u16string* journal, bool* refused);
    bool planLeftover(InstallLog& log, int folder, const std::wstring& name, DWORD attributes);
    HANDLE handleOf(Tree tree, int folder);
    std::wstring shown(Tree tree, int folder, const std::wstring& name) const;
    Seen see(Tree tree, int folder, const std::wstring& name);
    bool looked(InstallLog& log, const Step& step, Tree tree, Seen* seen);

    bool move(InstallLog& log, const Step& step, Tree from, Tree to, bool replace, bool quiet = false);
    bool moveIn(InstallLog& log, const Step& step, bool replace, bool quiet = false);
    bool link(const Step& step, Tree from, Tree to);
    bool removeName(const Step& step, Tree tree);
    bool makeFolder(InstallLog& log, const Step& step);
    bool replace(InstallLog& log, const Step& step);
    bool replaceLinked(InstallLog& log, const Step& step);
    bool restore(InstallLog& log, const Step& step, bool freshLinked);
    bool take(InstallLog& log, const Step& step);
    bool back(InstallLog& log, const Step& step);
    bool failed(InstallLog& log, const Step& step);
    // Writes a line of a failure; the first one decides failedInRuntime(). Safe on several threads.
    void note(InstallLog& log, bool runtime, const wchar_t* format, ...);

    std::wstring roots_[3];  // by Tree
    std::deque<Folder> folders_;
    std::map<std::wstring, int> index_;  // folders by path
    std::vector<Step> steps_;
    bool planning_ = false;
    std::vector<Step> planned_[3];  // while planning: the folders made, the files, the folders removed
    size_t files_ = 0;              // where the files' steps begin
    size_t folderEnd_ = 0;          // and where they end
    size_t reached_ = 0;            // the steps taken or tried by forward(), or all of a loaded journal's
    bool flushEach_ = true;         // each file moved in is flushed on its own: the volume cannot be
    bool runtimeFailure_ = false;
    bool failureNoted_ = false;
    SRWLOCK noteLock_ = SRWLOCK_INIT;
};
