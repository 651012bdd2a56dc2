// Two passes over the lines: the first counts the non-blank ones, the second quotes the last of them.
#include "install/extractor_output.h"

namespace {

constexpr int kLineLimit = 1023;
constexpr int kQuotedLineLimit = 20;

bool isBlank(const char16_t* begin, const char16_t* end) {
    for (; begin != end; ++begin) {
        if (*begin != u' ' && *begin != u'\t') {
            return false;
        }
    }
    return true;
}

// Quotes [begin, end) into `line` (capacity + 1 units) as quoteExtractorOutput describes.
void quoteLine(const char16_t* begin, const char16_t* end, int capacity, char16_t* line) {
    static const char16_t kHex[] = u"0123456789ABCDEF";
    int used = 0;
    for (; begin != end; ++begin) {
        const char16_t c = *begin;
        const bool control = c < 0x20 || (c >= 0x7f && c <= 0x9f);
        if (used + (control ? 4 : 1) > capacity) {
            break;
        }
        if (control) {
            line[used++] = u'\\';
            line[used++] = u'x';
            line[used++] = kHex[c >> 4];
            line[used++] = kHex[c & 0xf];
        } else {
            line[used++] = c;
        }
    }
    if (begin != end && used > 0 && line[used - 1] >= 0xd800 && line[used - 1] <= 0xdbff) {
        --used;  // the cut fell inside a surrogate pair
    }
    line[used] = u'\0';
}

}  // namespace

void quoteExtractorOutput(const char16_t* text, int count, int capacity,
                          void (*emit)(void* context, const char16_t* line), void* context) {
    char16_t line[kLineLimit + 1];
    capacity = capacity < kLineLimit ? capacity : kLineLimit;
    const char16_t* end = text + (count > 0 ? count : 0);
    int lines = 0;
    for (int pass = 0; pass < 2; ++pass) {
        int seen = 0;
        for (const char16_t* begin = text; begin < end;) {
            const char16_t* lineEnd = begin;
            while (lineEnd < end && *lineEnd != u'\r' && *lineEnd != u'\n') {
                ++lineEnd;
            }
            if (!isBlank(begin, lineEnd)) {
                if (pass == 1 && seen >= lines - kQuotedLineLimit) {
                    quoteLine(begin, lineEnd, capacity, line);
                    emit(context, line);
                }
                ++seen;
            }
            begin = lineEnd + 1;
        }
        lines = seen;
    }
}
