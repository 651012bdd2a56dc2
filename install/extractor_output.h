// What the extractor printed, as the log quotes it when it fails: its last 20 non-blank lines, each
// written so that it holds no control character and fits a log line. Portable: the text is UTF-16
// (the Win32 side converts the console's code page), and each quoted line goes to a callback.
#pragma once

// Calls emit(context, line) for each of the last 20 non-blank lines of `text` (`count` UTF-16 code
// units; lines end at CR, LF or both, and lines of spaces and tabs are blank), in order. `line` is
// zero-terminated: control characters (U+0000 to U+001F, U+007F to U+009F) are written as "\xNN" in
// upper-case hexadecimal, everything else as it is, and it holds at most `capacity` characters (at
// most 1023), cut never inside an escape or a surrogate pair.
void quoteExtractorOutput(const char16_t* text, int count, int capacity,
                          void (*emit)(void* context, const char16_t* line), void* context);
