// Win32 side of the archive extraction: the archive written and flushed, the extractor started from
// its checked copy with the handles, job and environment it gets, waited for, and its output quoted.
#include "install/extract.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>

#include "install/extractor_output.h"
#include "install/install_log.h"
#include "install/safe_files.h"

namespace {

constexpr int kCommandLineCapacity = 2048;
// PROC_THREAD_ATTRIBUTE_JOB_LIST (attribute 13, an input), which the headers declare only for builds
// that require Windows 10; older systems refuse it when it is set.
constexpr DWORD_PTR kJobListAttribute = 0x0002000D;
// Four variables of a folder each, with their names and nulls.
constexpr int kEnvironmentCapacity = 4 * (MAX_PATH + 16);

}  // namespace

namespace {

// A log line quoting the extractor: this prefix, at most kQuotedCapacity characters of its text and
// a line feed, kOutputLineCapacity characters in all (below the log's own limit of 1023).
const wchar_t kQuotePrefix[] = L"extractUpdate: 7za.exe: ";
constexpr int kOutputLineCapacity = 1000;
constexpr int kQuotedCapacity = kOutputLineCapacity - (sizeof kQuotePrefix / sizeof(wchar_t) - 1) - 1;
// Only the end of the output is read: 20 lines fit many times over, and whatever the extractor prints
// before its last lines (a listing of a large archive, say) costs nothing.
constexpr DWORD kOutputTail = 64 * 1024;

// The installer's handle on the extractor's output: a new file in the current directory, deleted
// once its last handle (the installer's or the extractor's inherited copy) is closed, so that it goes
// even when the installer ends while the extractor still runs. CREATE_NEW never opens what is already
// there, a link included; a name that is taken is retried with the next counter value.
bool createOutputFile(OwnedHandle* file) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    for (int attempt = 0; attempt < 16; ++attempt) {
        wchar_t name[64];
        _snwprintf(name, 64, L"7za-output-%08lx-%08lx.tmp", static_cast<unsigned long>(GetCurrentProcessId()),
                   static_cast<unsigned long>(counter.LowPart + attempt));
        name[63] = L'\0';
        file->reset(CreateFileW(
            name, GENERIC_READ | GENERIC_WRITE | DELETE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr,  // lpSecurityAttributes: not inheritable
            CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
            nullptr));  // hTemplateFile
        if (file->valid() ||
            (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)) {
            return file->valid();
        }
    }
    return false;
}

// Logs the last lines of what the extractor wrote into `output`; a read that fails logs nothing.
void logOutputFile(InstallLog& log, HANDLE output) {
    static thread_local char tail[kOutputTail];
    LARGE_INTEGER size;
    if (!GetFileSizeEx(output, &size)) {
        return;
    }
    LARGE_INTEGER start;
    start.QuadPart = size.QuadPart > kOutputTail ? size.QuadPart - kOutputTail : 0;
    DWORD got = 0;
    if (!SetFilePointerEx(output, start, nullptr, FILE_BEGIN) ||
        !ReadFile(output, tail, static_cast<DWORD>(size.QuadPart - start.QuadPart), &got, nullptr)) {
        return;
    }
    const char* text = tail;
    if (start.QuadPart > 0) {
        // The first line read is most likely a part of one: left out.
        const char* lineEnd = static_cast<const char*>(std::memchr(text, '\n', got));
        got = lineEnd == nullptr ? 0 : static_cast<DWORD>(tail + got - (lineEnd + 1));
        text = lineEnd == nullptr ? text : lineEnd + 1;
    }
    logExtractorOutput(log, text, static_cast<int>(got));
}

// A process-thread attribute list of up to two attributes in a buffer of its own, deleted on every way out.
class AttributeList {
  public:
    AttributeList() = default;
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;
    ~AttributeList() {
        if (list_ != nullptr) {
            DeleteProcThreadAttributeList(list_);
        }
    }
    // False (GetLastError tells) when the list cannot be made.
    bool initialize() {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
        const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_);
        if (size > sizeof buffer_ || !InitializeProcThreadAttributeList(list, 2, 0, &size)) {
            return false;
        }
        list_ = list;
        return true;
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

  private:
    alignas(16) unsigned char buffer_[512];
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// The extractor's environment block, sorted by name as the system keeps one: PATH the System32 folder,
// SystemRoot the Windows folder, TEMP and TMP this run's temporary folder. False when a folder cannot
// be had or the block would not fit kEnvironmentCapacity.
bool extractorEnvironment(wchar_t* block) {
    wchar_t system[MAX_PATH];
    wchar_t windows[MAX_PATH];
    wchar_t temporary[MAX_PATH + 1];
    const UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
    const UINT windowsLength = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    DWORD temporaryLength = GetTempPathW(MAX_PATH + 1, temporary);
    if (systemLength == 0 || systemLength >= MAX_PATH || windowsLength == 0 || windowsLength >= MAX_PATH ||
        temporaryLength == 0 || temporaryLength > MAX_PATH) {
        return false;
    }
    if (temporaryLength > 3 && temporary[temporaryLength - 1] == L'\\') {
        temporary[--temporaryLength] = L'\0';  // as TEMP is written: no separator at the end
    }
    // Each variable ends in a null, the block in a second one.
    int used = 0;
    const auto add = [&](const wchar_t* name, const wchar_t* value) {
        const int length = lstrlenW(name) + lstrlenW(value) + 1;
        if (used + length + 1 >= kEnvironmentCapacity) {
            return false;
        }
        lstrcpyW(block + used, name);
        lstrcatW(block + used, value);
        used += length;
        block[used] = L'\0';
        return true;
    };
    return add(L"PATH=", system) && add(L"SystemRoot=", windows) && add(L"TEMP=", temporary) &&
           add(L"TMP=", temporary);
}

}  // namespace

void logExtractorOutput(InstallLog& log, const char* output, int length) {
    static thread_local wchar_t text[kOutputTail];
    const int read = length < static_cast<int>(kOutputTail) ? length : static_cast<int>(kOutputTail);
    const int count = read <= 0 ? 0 : MultiByteToWideChar(CP_OEMCP, 0, output, read, text, kOutputTail);
    quoteExtractorOutput(
        reinterpret_cast<const char16_t*>(text), count, kQuotedCapacity,
        [](void* context, const char16_t* line) {
            static_cast<InstallLog*>(context)->write(L"%ls%ls\n", kQuotePrefix,
                                                     reinterpret_cast<const wchar_t*>(line));
        },
        &log);
}

bool extractUpdateFromFileToCwd(InstallLog& log, PinnedExtractor& extractor, const wchar_t* copyFolder) {
    // CreateProcessW may write into the command line, so it lives in a buffer of our own. "%ls" means a
    // wide string in every printf flavour that mingw may pick.
    wchar_t commandLine[kCommandLineCapacity];
    _snwprintf(commandLine, kCommandLineCapacity, L"%ls -y -bd x %ls", L"7za.exe", L"archive.7z");
    commandLine[kCommandLineCapacity - 1] = L'\0';
    log.write(L"extractUpdate: invoking %s\n", commandLine);
    if (!extractor.isLoaded()) {
        extractor.logFailure(log);
        return false;
    }
    if (!extractor.writeCopy(log, copyFolder)) {
        return false;
    }

    OwnedHandle output;
    if (!createOutputFile(&output)) {
        log.write(L"extractUpdate: Couldn't create the extractor's output file (%d)\n",
                  static_cast<int>(GetLastError()));
        return false;
    }
    // An environment of its own: nothing of the user's (whose registry feeds an elevated run's
    // environment) reaches the extractor but the temporary folder it may write to.
    wchar_t environment[kEnvironmentCapacity];
    if (!extractorEnvironment(environment)) {
        log.write(L"extractUpdate: Couldn't make the extractor's environment (%d)\n",
                  static_cast<int>(GetLastError()));
        return false;
    }
    // The extractor's job: its last handle is the installer's, so that whatever ends the installer
    // ("Cancel", a kill, a crash) ends the extractor with it, and nothing of a run outlives it.
    OwnedHandle job(CreateJobObjectW(nullptr,    // lpJobAttributes: not inheritable
                                     nullptr));  // lpName
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job.valid() ||
        !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        log.write(L"extractUpdate: Couldn't make the extractor's job (%d)\n",
                  static_cast<int>(GetLastError()));
        return false;
    }
    ProcessHandles process;
    {
        // The extractor's standard handles: the null device for input, and for output and errors a
        // write-only copy of the output file's handle. These two are the only handles it inherits (the
        // list below), and the copies here exist only until it has started.
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        OwnedHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                      OPEN_EXISTING, 0,
                                      nullptr));  // hTemplateFile
        HANDLE duplicate = nullptr;
        const bool duplicated = DuplicateHandle(GetCurrentProcess(), output.get(), GetCurrentProcess(),
                                                &duplicate, FILE_GENERIC_WRITE, TRUE,  // bInheritHandle
                                                0) != FALSE;
        OwnedHandle childOutput(duplicated ? duplicate : INVALID_HANDLE_VALUE);
        if (!input.valid() || !childOutput.valid()) {
            log.write(L"extractUpdate: Couldn't prepare the extractor's standard handles (%d)\n",
                      static_cast<int>(GetLastError()));
            return false;
        }
        HANDLE inherited[2] = {input.get(), childOutput.get()};
        HANDLE jobs[1] = {job.get()};
        AttributeList attributes;
        if (!attributes.initialize()) {
            log.write(L"extractUpdate: InitializeProcThreadAttributeList failed (%d)\n",
                      static_cast<int>(GetLastError()));
            return false;
        }
        STARTUPINFOEXW startup = {};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = input.get();
        startup.StartupInfo.hStdOutput = childOutput.get();
        startup.StartupInfo.hStdError = childOutput.get();
        startup.lpAttributeList = attributes.get();
        if (!UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                       sizeof inherited,
                                       nullptr,     // lpPreviousValue
                                       nullptr)) {  // lpReturnSize
            log.write(L"extractUpdate: UpdateProcThreadAttribute failed (%d)\n",
                      static_cast<int>(GetLastError()));
            return false;
        }
        // Born in the job where the system can (Windows 10 and later): then no moment exists in which
        // the extractor runs outside it. Elsewhere it starts suspended and joins the job before it runs.
        const bool bornInJob =
            UpdateProcThreadAttribute(attributes.get(), 0, kJobListAttribute, jobs, sizeof jobs,
                                      nullptr,            // lpPreviousValue
                                      nullptr) != FALSE;  // lpReturnSize
        // No console at all: a console program given CREATE_NO_WINDOW gets a hidden console of its own,
        // which costs more to set up (under Wine, several times the extraction of a large stored
        // archive) than a console-less start.
        const bool started =
            CreateProcessW(extractor.copyPath(), commandLine,
                           nullptr,  // lpProcessAttributes
                           nullptr,  // lpThreadAttributes
                           TRUE,     // bInheritHandles: only those in the list
                           DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT |
                               (bornInJob ? 0 : CREATE_SUSPENDED),
                           environment,
                           nullptr,  // lpCurrentDirectory: the installer's current directory
                           &startup.StartupInfo, &process.information);
        const DWORD error = GetLastError();
        if (!started) {
            process.information = {};
            log.write(L"extractUpdate: CreateProcess failed (%d)\n", static_cast<int>(error));
            return false;
        }
        if (!bornInJob && (!AssignProcessToJobObject(job.get(), process.information.hProcess) ||
                           ResumeThread(process.information.hThread) == static_cast<DWORD>(-1))) {
            log.write(L"extractUpdate: Couldn't put the extractor in its job (%d)\n",
                      static_cast<int>(GetLastError()));
            TerminateProcess(process.information.hProcess, 1);
            WaitForSingleObject(process.information.hProcess, INFINITE);
            extractor.removeCopy();
            return false;
        }
    }
    WaitForSingleObject(process.information.hProcess, INFINITE);
    DWORD exitCode = 0;
    const bool ended = GetExitCodeProcess(process.information.hProcess, &exitCode) != 0;
    const DWORD error = ended ? 0 : GetLastError();
    extractor.removeCopy();
    if (!ended || exitCode != 0) {
        logOutputFile(log, output.get());
    }
    if (!ended) {
        log.write(L"extractUpdate: GetExitCodeProcess failed (%d)\n", static_cast<int>(error));
        return false;
    }
    // 7za.exe ends with 0 only when everything was unpacked; 1 (warning) already means files were
    // skipped, 2 a fatal error, 7 a bad command line, 8 too little memory.
    if (exitCode != 0) {
        log.write(L"extractUpdate: 7za.exe failed with exit code %d\n", static_cast<int>(exitCode));
        return false;
    }
    return true;
}

bool extractUpdate(InstallLog& log, const wchar_t* folder, PinnedExtractor& extractor,
                   const wchar_t* copyFolder, const std::uint8_t* bytes, std::uint32_t length) {
    wchar_t savedDirectory[MAX_PATH];
    if (GetCurrentDirectoryW(MAX_PATH, savedDirectory) == 0) {
        log.write(L"extractUpdate: Couldn't GetCurrentDirectory (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    if (!SetCurrentDirectoryW(folder)) {
        log.write(L"extractUpdate: Couldn't SetCurrentDirectory (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }

    bool extracted = false;
    OwnedHandle archive(CreateFileW(L"archive.7z", GENERIC_WRITE, 0,
                                    nullptr,  // lpSecurityAttributes
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));  // hTemplateFile
    if (!archive.valid()) {
        log.write(L"CreateFile(%ls) failed\n", L"archive.7z");
    } else {
        DWORD written = 0;
        if (!WriteFile(archive.get(), bytes, length, &written, nullptr) || written != length) {
            log.write(L"extractUpdate: write failed\n");
        } else if (!FlushFileBuffers(archive.get())) {
            log.write(L"extractUpdate: FlushFileBuffers failed (%d)\n", static_cast<int>(GetLastError()));
        } else {
            archive.reset();
            extracted = extractUpdateFromFileToCwd(log, extractor, copyFolder);
            if (!extracted) {
                log.write(L"extractUpdateFromFileToCwd failed\n");
            }
        }
    }
    archive.reset();
    DeleteFileW(L"archive.7z");
    SetCurrentDirectoryW(savedDirectory);
    return extracted;
}
