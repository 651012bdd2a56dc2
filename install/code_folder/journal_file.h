// The journal of an update on disk, in the installer's own folder (its text: journal_text.h). It is
// written whole under another name, flushed and renamed into place, so that it exists whole or not at
// all, and it is read whole and checked before anything is taken from it.
#pragma once

#include <windows.h>

#include <string>

#include "install/code_folder/journal_text.h"
#include "install/files/holders.h"

// Writes `text` to `draftPath` (replacing one left there) with `security` (may be null), flushes it
// and renames it to `path`. False with GetLastError set; the draft may then be left for the caller to
// delete.
bool writeJournalFile(const wchar_t* draftPath, const wchar_t* path, SECURITY_ATTRIBUTES* security,
                      const std::u16string& text);

// Reads the file at `path` (never through a link) into *block and checks it. `missing` when there is
// none; `unreadable` when it cannot be read whole (GetLastError tells) or is larger than any journal;
// `damaged` when readJournal refuses it. On `ok`, *journal points into *block.
enum class JournalRead { ok, missing, unreadable, damaged };
JournalRead readJournalFile(const wchar_t* path, LocalMemory<char16_t>* block, JournalText* journal);
