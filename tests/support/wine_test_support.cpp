#include "tests/support/wine_test_support.h"

#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdlib>

namespace testsupport {

std::string readBytes(const std::wstring& path, bool* exists) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (exists != nullptr) {
        *exists = file != INVALID_HANDLE_VALUE;
    }
    std::string bytes;
    if (file == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return bytes;
}

bool writeBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok;
}

std::string utf16Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::wstring fromUtf16Bytes(const std::string& bytes) {
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

std::wstring exeFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring currentDirectory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, path);
    return std::wstring(path, length);
}

std::wstring logFilePath() {
    return systemFolder(CSIDL_LOCAL_APPDATA) + L"\\Orvanta\\Welkara\\instlog.txt";
}

std::wstring installLog() {
    return fromUtf16Bytes(readBytes(logFilePath()));
}

int runAndWait(const std::wstring& commandLine) {
    PROCESS_INFORMATION process = {};
    if (!startProcess(commandLine, &process)) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    closeProcess(&process);
    return static_cast<int>(code);
}

namespace {
// `argument` as one argument of a command line, as CommandLineToArgvW splits one (Wine splits a Unix
// program's command line the same way): in double quotes, a quote escaped with a backslash, and the
// backslashes before a quote or the closing one doubled.
std::wstring quoted(const std::wstring& argument) {
    std::wstring text = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        text.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        text += c;
    }
    text.append(2 * backslashes, L'\\');
    return text + L"\"";
}
}  // namespace

int runOnHost(const std::vector<std::wstring>& command) {
    // Wine hands back no handle for a Unix process: the host's shell runs the program and then writes
    // its exit status into a file beside this executable, whole once it has a name ("$0").
    static int runs = 0;
    const std::wstring status = exeFolder() + L"\\host-status-" + std::to_wstring(GetCurrentProcessId()) +
                                L"-" + std::to_wstring(++runs);
    const std::wstring statusPath = unixPath(status);
    if (statusPath.empty() || command.empty()) {
        return -1;
    }
    DeleteFileW(status.c_str());
    std::wstring line = L"Z:\\bin\\sh -c " +
                        quoted(L"\"$@\"; echo $? >\"$0.part\" && mv -f \"$0.part\" \"$0\"") + L" " +
                        quoted(statusPath);
    for (const std::wstring& argument : command) {
        line += L" " + quoted(argument);
    }
    PROCESS_INFORMATION process = {};
    if (!startProcess(line, &process)) {
        return -1;
    }
    if (process.hProcess != nullptr) {
        closeProcess(&process, 0);
    }
    const bool ended = waitFor(3000, 20, [&] { return pathExists(status); });
    const std::string text = readBytes(status);
    DeleteFileW(status.c_str());
    return ended && !text.empty() ? std::atoi(text.c_str()) : -1;
}

bool startProcess(const std::wstring& commandLine, PROCESS_INFORMATION* process, const wchar_t* desktop) {
    std::wstring writable = commandLine;
    std::wstring desktopName = desktop != nullptr ? desktop : L"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop != nullptr ? &desktopName[0] : nullptr;
    return CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          process) != FALSE;
}

DWORD closeProcess(PROCESS_INFORMATION* process, DWORD timeoutMs) {
    const DWORD waited = WaitForSingleObject(process->hProcess, timeoutMs);
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
    return waited;
}

// The Unix path through Wine's own export, which gives UTF-8.
std::wstring unixPath(const std::wstring& path) {
    using ToUnix = char* (*)(const wchar_t*);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(found));
    char* name = toUnix != nullptr ? toUnix(path.c_str()) : nullptr;
    if (name == nullptr) {
        return L"";
    }
    wchar_t wide[MAX_PATH * 4];
    const int length = MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, MAX_PATH * 4);
    HeapFree(GetProcessHeap(), 0, name);
    return length > 0 ? wide : L"";
}

namespace {
// One SHFileOperationW that asks nothing and shows nothing; no `to` when it is empty.
bool shellOperation(UINT function, const std::wstring& from, const std::wstring& to, FILEOP_FLAGS flags) {
    const std::wstring source = from + L'\0', target = to + L'\0';  // lists ended by two nulls
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = function;
    operation.pFrom = source.c_str();
    operation.pTo = to.empty() ? nullptr : target.c_str();
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI | flags;
    return SHFileOperationW(&operation) == 0;
}

void addTree(const std::wstring& root, const std::wstring& relative,
             std::map<std::wstring, std::string>* tree) {
    WIN32_FIND_DATAW found;
    HANDLE search =
        FindFirstFileW((root + (relative.empty() ? L"" : L"\\" + relative) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*tree)[path] = "<folder>";
            addTree(root, path, tree);
        } else {
            (*tree)[path] = readBytes(root + L"\\" + path);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
}  // namespace

std::map<std::wstring, std::string> treeContents(const std::wstring& root) {
    std::map<std::wstring, std::string> tree;
    addTree(root, L"", &tree);
    return tree;
}

bool copyTree(const std::wstring& from, const std::wstring& to) {
    return shellOperation(FO_COPY, from, to, FOF_NOCONFIRMMKDIR) && pathExists(to);
}

bool makeUnixLink(const std::wstring& target, const std::wstring& link) {
    const std::wstring from = unixPath(target), to = unixPath(link);
    return !from.empty() && !to.empty() && runOnHost({L"/bin/ln", L"-s", L"-n", L"--", from, to}) == 0;
}

void removeUnixLink(const std::wstring& link) {
    const std::wstring path = unixPath(link);
    if (!path.empty()) {
        runOnHost({L"/bin/rm", L"-f", L"--", path});
    }
}

DWORD childProcess(DWORD parent, const wchar_t* name) {
    DWORD found = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == 0;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent && lstrcmpiW(entry.szExeFile, name) == 0) {
            found = entry.th32ProcessID;
        }
    }
    CloseHandle(snapshot);
    return found;
}

bool suspendProcess(HANDLE process) {
    using Suspend = LONG(WINAPI*)(HANDLE);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSuspendProcess");
    const auto suspend = reinterpret_cast<Suspend>(reinterpret_cast<void*>(found));
    return suspend != nullptr && suspend(process) >= 0;
}

bool resumeProcess(HANDLE process) {
    using Resume = LONG(WINAPI*)(HANDLE);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtResumeProcess");
    const auto resume = reinterpret_cast<Resume>(reinterpret_cast<void*>(found));
    return resume != nullptr && resume(process) >= 0;
}

std::wstring systemFolder(int csidl) {
    wchar_t path[MAX_PATH];
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

void removeTree(const std::wstring& path) {
    shellOperation(FO_DELETE, path, L"", 0);
}

bool pathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring signatureText(const std::wstring& path) {
    const std::string bytes = readBytes(path);
    std::wstring text(bytes.begin(), bytes.end());
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    return text;
}

std::wstring packageSignature(const std::wstring& name) {
    return signatureText(exeFolder() + L"\\packages\\" + name + L".sig");
}

}  // namespace testsupport
