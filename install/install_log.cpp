// The install log, one UTF-16 line at a time under a lock of its bytes. Lines are formatted by the
// system C runtime's _vsnwprintf, in which "%s" takes a wide string as "%ls" does. mingw's own C99 printf
// (turned on by libstdc++ for C++) would read "%s" as a narrow string; it replaces vsnwprintf and
// swprintf but never _vsnwprintf.
#include "install/install_log.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdarg>
#include <cwchar>

#include "install/run_facts.h"

namespace {

constexpr int kLineCapacity = 1024;  // 1023 characters and the terminator
constexpr DWORD kRetryPauseMs = 10;  // between two tries of a line

// Waits before another try when `deadline` (a GetTickCount64 value) has not come yet; false when it has.
bool pauseBeforeRetry(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
        return false;
    }
    Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kRetryPauseMs, deadline - now)));
    return true;
}

OVERLAPPED atOffset(ULONGLONG offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

}  // namespace

void InstallLog::open(LogFolder from) {
    wchar_t localAppData[MAX_PATH];
    if (from == LogFolder::profileList ? !profileLocalAppData(localAppData)
                                       : FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr,
                                                                 SHGFP_TYPE_CURRENT, localAppData))) {
        return;
    }
    // The user's own programs can change this folder, the installer may run with more rights than they
    // have, and a link here would have it create or append to a file of their choosing. So neither
    // folder may be a link and both are held, "Welkara" through the held "Orvanta"; the file is opened
    // through the held "Welkara", never through a link, and kept only when it has no second name (a
    // hard link) and its final path is the one meant. Any of that failing leaves the log closed.
    wchar_t orvanta[MAX_PATH];
    OwnedHandle orvantaFolder, welkaraFolder;
    bool made = false;
    if (!joinPath(orvanta, localAppData, L"Orvanta") ||
        makeAndHoldFolder(orvanta, &orvantaFolder) != Opened::ok || !joinPath(path_, orvanta, L"Welkara") ||
        makeAndHoldFolderIn(orvantaFolder.get(), L"Welkara", path_, &welkaraFolder, &made) != Opened::ok ||
        !PathAppendW(path_, L"instlog.txt")) {
        path_[0] = L'\0';
        return;
    }
    bool created = false;
    if (openInFolder(welkaraFolder.get(), L"instlog.txt", GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN_IF,
                     nullptr,  // security: the folder's inherited list
                     &file_, &created) == Opened::ok) {
        keepIfInPlace(welkaraFolder.get(), L"instlog.txt", &file_, created, localAppData,
                      L"Orvanta\\Welkara\\instlog.txt");
    }
}

bool InstallLog::write(const wchar_t* format, ...) {
    wchar_t line[kLineCapacity];
    va_list arguments;
    va_start(arguments, format);
    // Truncating mode: at most 1023 characters; the terminator is set here because the CRT leaves it
    // out when the text fills the count exactly.
    _vsnwprintf(line, kLineCapacity - 1, format, arguments);
    va_end(arguments);
    line[kLineCapacity - 1] = L'\0';

    const DWORD byteCount = static_cast<DWORD>(wcslen(line) * sizeof(wchar_t));
    if (!file_.valid()) {
        return byteCount == 0;
    }
    if (byteCount == 0) {
        return true;
    }
    jammed_ = !append(line, byteCount, jammed_ ? 0 : kRetryMs);
    return !jammed_;
}

// Appends `count` bytes (more than 0) at the end of the file under an exclusive lock of exactly those
// bytes, trying again until `retryMs` have passed (once when 0). True when all of them were written;
// otherwise the file is left as it was. The handle is synchronous: each call returns when done.
bool InstallLog::append(const wchar_t* line, DWORD count, DWORD retryMs) {
    const ULONGLONG deadline = GetTickCount64() + retryMs;
    const HANDLE file = file_.get();
    LARGE_INTEGER end;
    if (!GetFileSizeEx(file, &end)) {
        return false;
    }
    OVERLAPPED range = atOffset(end.QuadPart);
    while (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,  // dwReserved
                       count, 0, &range)) {
        if (!pauseBeforeRetry(deadline)) {
            return false;
        }
    }
    const BYTE* bytes = reinterpret_cast<const BYTE*>(line);
    DWORD done = 0;
    while (done < count) {
        OVERLAPPED at = atOffset(end.QuadPart + done);
        DWORD written = 0;
        WriteFile(file, bytes + done, count - done, &written, &at);  // a failure writes nothing more
        done += written;
        if (done < count && !pauseBeforeRetry(deadline)) {
            break;
        }
    }
    if (done != 0 && done != count) {
        // The next line would continue half of this one: what was written of it goes again.
        FILE_END_OF_FILE_INFO cut = {};
        cut.EndOfFile = end;
        SetFileInformationByHandle(file, FileEndOfFileInfo, &cut, sizeof cut);
    }
    UnlockFileEx(file, 0, count, 0, &range);
    return done == count;
}
