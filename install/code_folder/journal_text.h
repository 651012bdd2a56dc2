// The text of the journal that names every step of one update of the installation, before the first
// of them is taken, so that a run that finds it can finish the update or undo it. Portable C++: the text
// is UTF-16 (char16_t), stored on disk as UTF-16LE; the Windows side reads and writes the file.
//
// A journal, one item a line, each line ended by a line feed (U+000A) and nothing else:
//   welkara journal 1                  the first line, always this text
//   @run-01dc4a3b5e6f7a80              the update's work folder inside the installer's folder: "run-"
//                                      and 16 lowercase hexadecimal digits
//   d data\cache                       a step: its letter, one space, a path relative to the code folder
//   r data\readme.txt                  (names joined by '\'; see isJournalPath)
//   #<128 lowercase hexadecimal digits>  the SHA-512 of every byte before this line, as stored (UTF-16LE)
// and nothing after the last line. The steps, in the order they are taken:
//   d  a folder of the package that the installation lacks: made, and removed again by an undo
//   f  a file of the package where the installation has nothing: moved in from the unpacked tree
//   r  a file of the package over an installed file: the installed one goes to the work folder's
//      "previous" at the same path, the unpacked one takes its place
//   a  an installed entry moved to "previous" without a replacement at this step
//   x  a folder under "python" that the package lacks: removed, if empty, once the update is done
//
// The release before this one wrote records of whole top-level entries, which are still read: an
// optional work folder line ("@" and a bare name that starts with "run-"; without it the folders are
// those of the installer's folder itself), then lines of '+' (an entry of the package: the installed
// one to "previous", the unpacked one in) or '-' (an entry that goes without a replacement) and a bare
// name, each ended by a line feed, with no first line and no check.
//
// Broken input: a text that is not exactly what the writer writes is damaged, and nothing may be taken
// from it: any NUL, a line without its line feed, a first line, work folder line or check line other
// than the writer's, an unknown letter, a path the writer would not write, a check that does not match,
// a step before the work folder line or after the check, anything after the check.
#pragma once

#include <cstddef>
#include <string>

enum class JournalStep : char16_t {
    makeFolder = u'd',
    addFile = u'f',
    replaceFile = u'r',
    moveAside = u'a',
    removeFolder = u'x',
    swapEntry = u'+',  // an earlier release's whole entry of the package
    dropEntry = u'-',  // an earlier release's whole entry without a replacement
};

enum class JournalFormat {
    steps,               // the journal described above
    entries,             // an earlier release's record with a work folder line
    entriesWithoutWork,  // an earlier release's record without one
};

// Where the parts of a checked journal lie in its text. Offsets and lengths count char16_t units.
struct JournalText {
    const char16_t* text = nullptr;
    std::size_t length = 0;
    JournalFormat format = JournalFormat::steps;
    std::size_t workOffset = 0;  // the work folder's name ("run-..."), without the '@'
    std::size_t workLength = 0;  // 0 for entriesWithoutWork
    std::size_t firstStep = 0;   // the offset of the first step's line
    std::size_t endOfSteps = 0;  // the offset just past the last step's line feed
};

// True when `path` (`length` units, not terminated) is one the writer writes: names joined by single
// '\', none empty, "." or "..", none holding a character below U+0020 or any of < > : " / | ? *, and the
// first name not ".installer" (compared with ASCII letters folded). At most 32,000 units.
bool isJournalPath(const char16_t* path, std::size_t length);

// Checks the whole of `text` (`length` units; it need not be terminated and may hold anything) and, when
// it is a journal or an earlier release's record, fills *journal and returns true. False when it is
// damaged; *journal is then untouched. An empty text is damaged.
bool readJournal(const char16_t* text, std::size_t length, JournalText* journal);

// One step of a checked journal. The path points into the journal's text and is not terminated.
struct JournalLine {
    JournalStep step;
    const char16_t* path;
    std::size_t length;
};

// The steps one by one, from *cursor (start at journal.firstStep to go forward, at journal.endOfSteps to
// go back). nextJournalStep gives the step at *cursor and moves past it; previousJournalStep gives the one
// before *cursor and moves to its start. Each returns false, changing nothing, when there is none.
bool nextJournalStep(const JournalText& journal, std::size_t* cursor, JournalLine* line);
bool previousJournalStep(const JournalText& journal, std::size_t* cursor, JournalLine* line);

// Writing. beginJournal makes `out` the first line and the work folder's line for `workFolder` (the bare
// name, "run-" and 16 lowercase hexadecimal digits); addJournalStep appends one step; sealJournal appends
// the check line. Each returns false, leaving `out` as it was, for a work folder name, step letter or path
// that readJournal would refuse (an earlier release's letters among them).
bool beginJournal(std::u16string* out, const char16_t* workFolder, std::size_t workLength);
bool addJournalStep(std::u16string* out, JournalStep step, const char16_t* path, std::size_t length);
void sealJournal(std::u16string* out);
