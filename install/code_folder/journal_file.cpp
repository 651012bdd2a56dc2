// Reads and writes the journal file with one ReadFile or WriteFile of the whole text.
#include "install/code_folder/journal_file.h"

#include "install/files/safe_files.h"

namespace {

// A journal larger than this was not written by an update: about 500,000 steps of long paths.
constexpr DWORD kJournalLimit = 64 * 1024 * 1024;

}  // namespace

bool writeJournalFile(const wchar_t* draftPath, const wchar_t* path, SECURITY_ATTRIBUTES* security,
                      const std::u16string& text) {
    const size_t bytes = text.size() * sizeof(char16_t);
    if (bytes > kJournalLimit) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    OwnedHandle draft(CreateFileW(draftPath, GENERIC_WRITE, 0, security, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));  // hTemplateFile
    const bool written = draft.valid() && writeWhole(draft.get(), text.data(), static_cast<DWORD>(bytes)) &&
                         FlushFileBuffers(draft.get());
    draft.reset();
    return written && MoveFileExW(draftPath, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

JournalRead readJournalFile(const wchar_t* path, LocalMemory<char16_t>* block, JournalText* journal) {
    OwnedHandle file;
    if (openFileNoFollow(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, nullptr, &file) != Opened::ok) {
        return isMissing(GetLastError()) ? JournalRead::missing : JournalRead::unreadable;
    }
    DWORD bytes = 0;
    if (!fileSize(file.get(), kJournalLimit, &bytes) ||
        !readWhole(file.get(), bytes, sizeof(char16_t), block)) {
        return JournalRead::unreadable;
    }
    if (bytes % sizeof(char16_t) != 0) {
        return JournalRead::damaged;  // cut off inside a character
    }
    return readJournal(reinterpret_cast<const char16_t*>(block->get()), bytes / sizeof(char16_t), journal)
               ? JournalRead::ok
               : JournalRead::damaged;
}
