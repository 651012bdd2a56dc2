// Win32 side of the swap record. Lines are written one WriteFile each; reading takes the whole file
// into one block, turns each line feed into a terminator and hands out the names where they lie.
#include "install/code_folder/swap_record.h"

#include <cwchar>

namespace {

// A record larger than this was not written by a swap: no package has that many top-level entries.
constexpr DWORD kRecordLimit = 4 * 1024 * 1024;

// One line: the kind, the name (at most MAX_PATH - 1 characters) and a line feed.
bool writeLine(HANDLE file, wchar_t kind, const wchar_t* name) {
    wchar_t line[MAX_PATH + 1];
    const size_t length = wcslen(name);
    if (length >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    line[0] = kind;
    wmemcpy(line + 1, name, length);
    line[length + 1] = L'\n';
    return writeWhole(file, line, static_cast<DWORD>((length + 2) * sizeof(wchar_t)));
}

}  // namespace

bool SwapRecord::begin(const wchar_t* draftPath, SECURITY_ATTRIBUTES* security, const wchar_t* workFolder) {
    lstrcpynW(draftPath_, draftPath, MAX_PATH);
    draft_.reset(CreateFileW(draftPath, GENERIC_WRITE, 0, security, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));  // hTemplateFile
    return draft_.valid() && writeLine(draft_.get(), L'@', workFolder);
}

bool SwapRecord::add(bool fromPackage, const wchar_t* name) {
    return writeLine(draft_.get(), fromPackage ? L'+' : L'-', name);
}

bool SwapRecord::commit(const wchar_t* recordPath) {
    const bool flushed = FlushFileBuffers(draft_.get()) != FALSE;
    draft_.reset();
    return flushed && MoveFileExW(draftPath_, recordPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

SwapRecord::Read SwapRecord::read(const wchar_t* path) {
    // Nothing of an earlier read is handed out again, whatever this one finds.
    cursor_ = first_ = end_ = nullptr;
    workFolder_ = nullptr;
    const OwnedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ,
                                       nullptr,  // lpSecurityAttributes
                                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));  // hTemplateFile
    if (!file.valid()) {
        return isMissing(GetLastError()) ? Read::missing : Read::unreadable;
    }
    DWORD bytes = 0;
    if (!fileSize(file.get(), kRecordLimit, &bytes) ||
        !readWhole(file.get(), bytes, sizeof(wchar_t), &text_)) {
        return Read::unreadable;
    }
    if (bytes % sizeof(wchar_t) != 0) {
        return Read::damaged;  // cut off inside a character
    }
    wchar_t* line = text_.get();
    end_ = line + bytes / sizeof(wchar_t);
    *end_ = L'\0';
    first_ = line;
    // Every line is checked before any is handed out.
    for (bool firstLine = true; line != end_; firstLine = false) {
        wchar_t* lineEnd = line;
        while (lineEnd != end_ && *lineEnd != L'\n') {
            ++lineEnd;
        }
        if (lineEnd == end_) {
            return Read::damaged;  // cut off
        }
        *lineEnd = L'\0';
        const wchar_t kind = line[0];
        const wchar_t* name = line + 1;
        const bool entry =
            (kind == L'+' || kind == L'-') && isBareFileName(name) && !samePath(name, kOwnFolderName);
        const bool work = kind == L'@' && firstLine && isBareFileName(name) && wcsncmp(name, L"run-", 4) == 0;
        if (!entry && !work) {
            return Read::damaged;
        }
        if (work) {
            workFolder_ = name;
            first_ = lineEnd + 1;
        }
        line = lineEnd + 1;
    }
    cursor_ = first_;
    return Read::ok;
}

bool SwapRecord::next(const wchar_t** name, bool* fromPackage) {
    if (cursor_ == nullptr || cursor_ >= end_) {
        return false;
    }
    *fromPackage = cursor_[0] == L'+';
    *name = cursor_ + 1;
    cursor_ += lstrlenW(cursor_) + 1;
    return true;
}
