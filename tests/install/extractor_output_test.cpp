// The extractor's output as the log quotes it: the last 20 non-blank lines, whatever ends them,
// control characters escaped, each line cut to the capacity it is given (here that of the log's
// quoting lines: 1000 characters less the prefix "extractUpdate: 7za.exe: " and the line feed).
#include "install/extractor_output.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int kCapacity = 1000 - 24 - 1;

std::u16string quoted(const std::u16string& output, int capacity) {
    std::u16string lines;
    quoteExtractorOutput(
        output.data(), static_cast<int>(output.size()), capacity,
        [](void* context, const char16_t* line) {
            *static_cast<std::u16string*>(context) += line + std::u16string(u"|");
        },
        &lines);
    return lines;
}

std::u16string wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

TEST(ExtractorOutput, IsQuotedLineByLine) {
    // Lines 1 to n as the extractor writes them, and the quote of lines from..n.
    const auto numbered = [](int from, int n, const char* end) {
        std::u16string text;
        for (int i = from; i <= n; ++i) {
            text += wide("line " + std::to_string(i) + end);
        }
        return text;
    };
    const std::u16string fitting(kCapacity, u'a');
    const std::u16string longest(1023, u'a');  // what a log line holds
    const struct {
        const char* name;
        std::u16string output;
        std::u16string lines;  // each ended by '|'
        int capacity = kCapacity;
    } cases[] = {
        {"only blank lines", u"\r\n \t\n\n", u""},
        {"every line end, blank lines left out", u"a\r\n\r\n  \r\nb\nc\rd", u"a|b|c|d|"},
        {"control characters", std::u16string(u"x\ty\x1b[0m\x7f\0z\x85\r\n", 13),
         u"x\\x09y\\x1B[0m\\x7F\\x00z\\x85|"},
        {"the last 20 of 25 lines", numbered(1, 25, "\r\n"), numbered(6, 25, "|")},
        {"20 lines, all of them", numbered(1, 20, "\r\n"), numbered(1, 20, "|")},
        {"21 lines, all but the first", numbered(1, 21, "\r\n"), numbered(2, 21, "|")},
        {"a line that just fits", fitting, fitting + u"|"},
        {"a line one too long", fitting + u"a\nb", fitting + u"|b|"},
        {"an escape that does not fit", fitting.substr(3) + u"\x01", fitting.substr(3) + u"|"},
        {"a surrogate pair cut in two", fitting.substr(1) + u"\xd83d\xde00", fitting.substr(1) + u"|"},
        {"a surrogate pair that fits", fitting.substr(2) + u"\xd83d\xde00",
         fitting.substr(2) + u"\xd83d\xde00|"},
        // A capacity beyond what a log line holds counts as that much.
        {"a line as long as a log line, capacity beyond it", longest + u"\nb", longest + u"|b|", 4096},
        {"a line one longer than a log line, capacity beyond it", longest + u"a\nb", longest + u"|b|", 4096},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(quoted(c.output, c.capacity) == c.lines) << std::string(c.name);
    }
}

}  // namespace
