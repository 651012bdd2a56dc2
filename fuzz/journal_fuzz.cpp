// Fuzzes the journal reader with arbitrary files (n bytes read as n/2 UTF-16LE code units), the same text
// followed by its own check line, and the writer's first two lines, the text and its check, so that
// journals with a valid check are reached too.
// Invariants: the reader never fails badly; an accepted text's parts lie inside it, each step walked
// forward is one the writer writes (a journal path) or a bare name (an earlier record), walking back gives
// the same steps reversed, and writing the steps again gives back exactly the text that was read.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "install/code_folder/journal_text.h"

namespace {

bool isBareName(const char16_t* name, std::size_t length) {
    const std::u16string text(name, length);
    return !text.empty() && text != u"." && text != u".." &&
           text.find_first_of(u"\\/:") == std::u16string::npos;
}

void checkAccepted(const std::u16string& text) {
    JournalText journal;
    if (!readJournal(text.data(), text.size(), &journal)) {
        return;
    }
    check(journal.text == text.data() && journal.length == text.size());
    check(journal.workOffset + journal.workLength <= journal.firstStep);
    check(journal.firstStep <= journal.endOfSteps && journal.endOfSteps <= text.size());
    const std::u16string work = text.substr(journal.workOffset, journal.workLength);
    const bool steps = journal.format == JournalFormat::steps;

    // Forward, rebuilding the text as the writer (or the earlier release) would have written it.
    std::vector<JournalLine> lines;
    std::u16string rewritten;
    if (steps) {
        check(beginJournal(&rewritten, work.data(), work.size()));
    } else if (journal.format == JournalFormat::entries) {
        check(work.compare(0, 4, u"run-") == 0 && isBareName(work.data(), work.size()));
        rewritten = u"@" + work + u"\n";
    } else {
        check(journal.workLength == 0 && journal.firstStep == 0);
    }
    std::size_t cursor = journal.firstStep;
    JournalLine line;
    while (nextJournalStep(journal, &cursor, &line)) {
        check(line.path >= text.data() && line.path + line.length <= text.data() + journal.endOfSteps);
        if (steps) {
            check(isJournalPath(line.path, line.length));
            check(addJournalStep(&rewritten, line.step, line.path, line.length));
        } else {
            check(line.step == JournalStep::swapEntry || line.step == JournalStep::dropEntry);
            check(isBareName(line.path, line.length));
            rewritten += static_cast<char16_t>(line.step);
            rewritten.append(line.path, line.length);
            rewritten += u'\n';
        }
        lines.push_back(line);
    }
    check(cursor == journal.endOfSteps);
    if (steps) {
        sealJournal(&rewritten);
    }
    check(rewritten == text);

    // Back, the same lines in reverse.
    cursor = journal.endOfSteps;
    std::size_t count = lines.size();
    while (previousJournalStep(journal, &cursor, &line)) {
        check(count > 0);
        --count;
        check(line.step == lines[count].step && line.path == lines[count].path &&
              line.length == lines[count].length);
    }
    check(count == 0 && cursor == journal.firstStep);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
    checkAccepted(text);
    std::u16string withCheck = text;
    sealJournal(&withCheck);
    checkAccepted(withCheck);
    std::u16string withHead;
    check(beginJournal(&withHead, u"run-0123456789abcdef", 20));
    withHead += text;
    sealJournal(&withHead);
    checkAccepted(withHead);
    return 0;
}
