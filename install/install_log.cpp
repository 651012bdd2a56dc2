// Win32 side of the install log. Lines are formatted by the system C runtime's _vsnwprintf, in which
// "%s" takes a wide string as "%ls" does. mingw's own C99 printf (turned on by libstdc++ for C++) would
// read "%s" as a narrow string; it replaces vsnwprintf and swprintf but never _vsnwprintf.
#include "install/install_log.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstdarg>
#include <cwchar>

#include "install/run_facts.h"

namespace {
constexpr int kLineCapacity = 1024;  // 1023 characters and the terminator
}

void InstallLog::open() {
    // An elevated run takes the folder from the machine's list of profiles: the user's own shell folders
    // (their registry) may name any folder, and the run would make its log there with their text in it.
    wchar_t localAppData[MAX_PATH];
    if (logFolderFromProfile(gatherRunFacts(false))
            ? !profileLocalAppData(localAppData)
            : FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                      localAppData))) {
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
    const DWORD end = SetFilePointer(file_.get(), 0, nullptr, FILE_END);
    LockFile(file_.get(), end, 0, byteCount, 0);
    DWORD written = 0;
    WriteFile(file_.get(), line, byteCount, &written, nullptr);
    UnlockFile(file_.get(), end, 0, byteCount, 0);
    return written == byteCount;
}
