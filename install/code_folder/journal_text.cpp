// The journal's text: the writer, a reader that accepts exactly what the writer writes (and the earlier
// release's records) and the cursors over a read journal's steps. The reader makes one pass over the
// text for NULs, one line by line for the structure and, for a journal, one for the check; it keeps only
// offsets into the caller's text and allocates nothing.
#include "install/code_folder/journal_text.h"

#include <cstdint>

#include "signature/sha512.h"

namespace {

constexpr char16_t kFirstLine[] = u"welkara journal 1\n";
constexpr std::size_t kFirstLineLength = sizeof kFirstLine / sizeof kFirstLine[0] - 1;
constexpr char16_t kRunPrefix[] = u"run-";
constexpr std::size_t kRunPrefixLength = 4;
constexpr std::size_t kWorkNameLength = kRunPrefixLength + 16;  // "run-" and 16 digits
constexpr std::size_t kCheckLineLength = 1 + 128 + 1;           // '#', the digest's digits, '\n'
constexpr std::size_t kPathLimit = 32000;
constexpr char16_t kHexDigits[] = u"0123456789abcdef";

bool isLowerHex(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
}

bool startsWith(const char16_t* text, std::size_t length, const char16_t* prefix, std::size_t prefixLength) {
    if (length < prefixLength) {
        return false;
    }
    for (std::size_t i = 0; i < prefixLength; ++i) {
        if (text[i] != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool isDotName(const char16_t* name, std::size_t length) {
    return (length == 1 && name[0] == u'.') || (length == 2 && name[0] == u'.' && name[1] == u'.');
}

// True for ".installer" with ASCII letters folded; other letters are compared as they are.
bool isInstallerFolder(const char16_t* name, std::size_t length) {
    static constexpr char16_t kFolder[] = u".installer";
    if (length != sizeof kFolder / sizeof kFolder[0] - 1) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const char16_t c = name[i] >= u'A' && name[i] <= u'Z' ? static_cast<char16_t>(name[i] + 32) : name[i];
        if (c != kFolder[i]) {
            return false;
        }
    }
    return true;
}

// The units that no name of a journal path holds besides those below U+0020.
bool isForbiddenInName(char16_t c) {
    switch (c) {
        case u'<':
        case u'>':
        case u':':
        case u'"':
        case u'/':
        case u'|':
        case u'?':
        case u'*':
            return true;
        default:
            return c < u' ';
    }
}

// A work folder of this release: "run-" and exactly 16 lowercase hexadecimal digits.
bool isWorkFolder(const char16_t* name, std::size_t length) {
    if (length != kWorkNameLength || !startsWith(name, length, kRunPrefix, kRunPrefixLength)) {
        return false;
    }
    for (std::size_t i = kRunPrefixLength; i < length; ++i) {
        if (!isLowerHex(name[i])) {
            return false;
        }
    }
    return true;
}

// A name of the earlier release's records: not empty, not "." or "..", without '\', '/' or ':'.
bool isBareName(const char16_t* name, std::size_t length) {
    if (length == 0 || isDotName(name, length)) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (name[i] == u'\\' || name[i] == u'/' || name[i] == u':') {
            return false;
        }
    }
    return true;
}

bool isStepLetter(char16_t c) {
    return c == u'd' || c == u'f' || c == u'r' || c == u'a' || c == u'x';
}

// SHA-512 of text[0, length) as UTF-16LE. The units go through a small buffer low byte first, so the
// digest does not depend on the host's byte order.
void digestOf(const char16_t* text, std::size_t length, std::uint8_t digest[64]) {
    Sha512State state;
    sha512_init(&state);
    std::uint8_t bytes[256];
    for (std::size_t done = 0; done < length;) {
        std::size_t units = length - done;
        if (units > sizeof bytes / 2) {
            units = sizeof bytes / 2;
        }
        for (std::size_t i = 0; i < units; ++i) {
            bytes[2 * i] = static_cast<std::uint8_t>(text[done + i] & 0xFF);
            bytes[2 * i + 1] = static_cast<std::uint8_t>(text[done + i] >> 8);
        }
        sha512_update(&state, bytes, 2 * units);
        done += units;
    }
    sha512_final(&state, digest);
}

// The offset of the first line feed in text[from, end), or `end` when there is none.
std::size_t lineEndOf(const char16_t* text, std::size_t from, std::size_t end) {
    while (from < end && text[from] != u'\n') {
        ++from;
    }
    return from;
}

// A journal whose text starts with the first line, ends with a line feed and holds no NUL: the work
// folder's line, the steps, and the check line as the last line.
bool readSteps(JournalText* journal) {
    const char16_t* text = journal->text;
    const std::size_t length = journal->length;
    std::size_t at = kFirstLineLength;
    if (at == length || text[at] != u'@') {
        return false;
    }
    std::size_t end = lineEndOf(text, at, length);
    if (!isWorkFolder(text + at + 1, end - at - 1)) {
        return false;
    }
    journal->workOffset = at + 1;
    journal->workLength = end - at - 1;
    journal->firstStep = at = end + 1;
    while (at < length && text[at] != u'#') {
        end = lineEndOf(text, at, length);
        if (end - at < 2 || !isStepLetter(text[at]) || text[at + 1] != u' ' ||
            !isJournalPath(text + at + 2, end - at - 2)) {
            return false;
        }
        at = end + 1;
    }
    journal->endOfSteps = at;
    // The check is the last line and nothing follows it; its digits are compared below, so a line
    // feed or any other unit among them fails there.
    if (length - at != kCheckLineLength) {
        return false;
    }
    std::uint8_t digest[64];
    digestOf(text, at, digest);
    const char16_t* digits = text + at + 1;
    for (std::size_t i = 0; i < 64; ++i) {
        if (digits[2 * i] != kHexDigits[digest[i] >> 4] || digits[2 * i + 1] != kHexDigits[digest[i] & 0xF]) {
            return false;
        }
    }
    return true;
}

// An earlier release's record, ending with a line feed and holding no NUL: an optional work folder
// line first, then '+' and '-' lines.
bool readEntries(JournalText* journal) {
    const char16_t* text = journal->text;
    const std::size_t length = journal->length;
    std::size_t at = 0;
    journal->format = JournalFormat::entriesWithoutWork;
    if (text[0] == u'@') {
        const std::size_t end = lineEndOf(text, 0, length);
        if (!isBareName(text + 1, end - 1) || !startsWith(text + 1, end - 1, kRunPrefix, kRunPrefixLength)) {
            return false;
        }
        journal->format = JournalFormat::entries;
        journal->workOffset = 1;
        journal->workLength = end - 1;
        at = end + 1;
    }
    journal->firstStep = at;
    while (at < length) {
        if (text[at] != u'+' && text[at] != u'-') {
            return false;  // an empty line, a second work folder line, or something else
        }
        const std::size_t end = lineEndOf(text, at, length);
        if (!isBareName(text + at + 1, end - at - 1) || isInstallerFolder(text + at + 1, end - at - 1)) {
            return false;
        }
        at = end + 1;
    }
    journal->endOfSteps = length;
    return true;
}

// Where the path of the step line at `at` starts: after the letter and the space of a journal's step,
// right after the letter in an earlier record.
std::size_t pathOffset(const JournalText& journal, std::size_t at) {
    return at + (journal.format == JournalFormat::steps ? 2 : 1);
}

}  // namespace

bool isJournalPath(const char16_t* path, std::size_t length) {
    if (length == 0 || length > kPathLimit) {
        return false;
    }
    std::size_t nameStart = 0;
    for (std::size_t i = 0; i <= length; ++i) {
        if (i == length || path[i] == u'\\') {
            const std::size_t nameLength = i - nameStart;
            if (nameLength == 0 || isDotName(path + nameStart, nameLength) ||
                (nameStart == 0 && isInstallerFolder(path, nameLength))) {
                return false;
            }
            nameStart = i + 1;
        } else if (isForbiddenInName(path[i])) {
            return false;
        }
    }
    return true;
}

bool readJournal(const char16_t* text, std::size_t length, JournalText* journal) {
    if (text == nullptr || journal == nullptr || length == 0 || text[length - 1] != u'\n') {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == u'\0') {
            return false;
        }
    }
    JournalText read;
    read.text = text;
    read.length = length;
    // The first line decides: a text that opens with it is a journal or damaged, never an earlier record.
    const bool ok =
        startsWith(text, length, kFirstLine, kFirstLineLength) ? readSteps(&read) : readEntries(&read);
    if (ok) {
        *journal = read;
    }
    return ok;
}

bool nextJournalStep(const JournalText& journal, std::size_t* cursor, JournalLine* line) {
    const std::size_t at = *cursor;
    // Only the start of a step line gives a step: firstStep, or just after a line feed below endOfSteps.
    if (at < journal.firstStep || at >= journal.endOfSteps || (at > 0 && journal.text[at - 1] != u'\n')) {
        return false;
    }
    const std::size_t end = lineEndOf(journal.text, at, journal.endOfSteps);
    const std::size_t path = pathOffset(journal, at);
    line->step = static_cast<JournalStep>(journal.text[at]);
    line->path = journal.text + path;
    line->length = end - path;
    *cursor = end + 1;
    return true;
}

bool previousJournalStep(const JournalText& journal, std::size_t* cursor, JournalLine* line) {
    const std::size_t end = *cursor;
    // Only the end of a step line gives a step: just after a line feed, above firstStep, up to endOfSteps.
    if (end <= journal.firstStep || end > journal.endOfSteps || journal.text[end - 1] != u'\n') {
        return false;
    }
    std::size_t at = end - 1;
    while (at > journal.firstStep && journal.text[at - 1] != u'\n') {
        --at;
    }
    const std::size_t path = pathOffset(journal, at);
    line->step = static_cast<JournalStep>(journal.text[at]);
    line->path = journal.text + path;
    line->length = end - 1 - path;
    *cursor = at;
    return true;
}

bool beginJournal(std::u16string* out, const char16_t* workFolder, std::size_t workLength) {
    if (!isWorkFolder(workFolder, workLength)) {
        return false;
    }
    out->assign(kFirstLine, kFirstLineLength);
    out->push_back(u'@');
    out->append(workFolder, workLength);
    out->push_back(u'\n');
    return true;
}

bool addJournalStep(std::u16string* out, JournalStep step, const char16_t* path, std::size_t length) {
    const char16_t letter = static_cast<char16_t>(step);
    if (!isStepLetter(letter) || !isJournalPath(path, length)) {
        return false;
    }
    out->push_back(letter);
    out->push_back(u' ');
    out->append(path, length);
    out->push_back(u'\n');
    return true;
}

void sealJournal(std::u16string* out) {
    std::uint8_t digest[64];
    digestOf(out->data(), out->size(), digest);
    out->push_back(u'#');
    for (std::uint8_t byte : digest) {
        out->push_back(kHexDigits[byte >> 4]);
        out->push_back(kHexDigits[byte & 0xF]);
    }
    out->push_back(u'\n');
}
