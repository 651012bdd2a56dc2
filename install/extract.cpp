// Unpacking the package: the archive written and flushed, the extractor started from
// its checked copy with the handles, job and environment it gets, waited for, and its output quoted.
#include "install/extract.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "install/extractor_output.h"
#include "install/files/holders.h"
#include "install/files/safe_files.h"
#include "install/install_log.h"

namespace {

// PROC_THREAD_ATTRIBUTE_JOB_LIST (attribute 13, an input), which the headers declare only for builds
// that require Windows 10; older systems refuse it when it is set.
constexpr DWORD_PTR kJobListAttribute = 0x0002000D;
// Four variables of a folder each, with their names and nulls.
constexpr int kEnvironmentCapacity = 4 * (MAX_PATH + 16);

// A log line quoting the extractor: this prefix, at most kQuotedCapacity characters of its text and
// a line feed, kOutputLineCapacity characters in all (below the log's own limit of 1023).
const wchar_t kQuotePrefix[] = L"extractUpdate: 7za.exe: ";
constexpr int kOutputLineCapacity = 1000;
constexpr int kQuotedCapacity = kOutputLineCapacity - (sizeof kQuotePrefix / sizeof(wchar_t) - 1) - 1;
// Only the end of the output is read: 20 lines fit many times over, and whatever the extractor prints
// before its last lines (a listing of a large archive, say) costs nothing.
constexpr DWORD kOutputTail = 64 * 1024;

// Writes "extractUpdate: <what> (<error>)" and returns false.
bool failed(InstallLog& log, const wchar_t* what, DWORD error = GetLastError()) {
    log.write(L"extractUpdate: %ls (%d)\n", what, static_cast<int>(error));
    return false;
}

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

// Logs the last lines of what the extractor wrote into `output`, in the OEM code page; a read that
// fails logs nothing.
void logOutputFile(InstallLog& log, HANDLE output) {
    static thread_local char tail[kOutputTail];
    static thread_local wchar_t text[kOutputTail];
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
    const char* read = tail;
    if (start.QuadPart > 0) {
        // The first line read is most likely a part of one: left out.
        const char* lineEnd = static_cast<const char*>(std::memchr(read, '\n', got));
        got = lineEnd == nullptr ? 0 : static_cast<DWORD>(tail + got - (lineEnd + 1));
        read = lineEnd == nullptr ? read : lineEnd + 1;
    }
    // Nothing read converts to nothing: MultiByteToWideChar refuses an empty input with 0.
    const int count = MultiByteToWideChar(CP_OEMCP, 0, read, static_cast<int>(got), text, kOutputTail);
    quoteExtractorOutput(
        reinterpret_cast<const char16_t*>(text), count, kQuotedCapacity,
        [](void* context, const char16_t* line) {
            static_cast<InstallLog*>(context)->write(L"%ls%ls\n", kQuotePrefix,
                                                     reinterpret_cast<const wchar_t*>(line));
        },
        &log);
}

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

// The extractor's job: its last handle is the installer's, so that whatever ends the installer
// ("Cancel", a kill, a crash) ends the extractor with it, and nothing of a run outlives it. False, with
// GetLastError set, when it cannot be made.
bool makeJob(OwnedHandle* job) {
    job->reset(CreateJobObjectW(nullptr,    // lpJobAttributes: not inheritable
                                nullptr));  // lpName
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    return job->valid() &&
           SetInformationJobObject(job->get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

// The extractor's standard handles, inheritable: the null device for input, and for output and errors
// a write-only copy of `outputFile`. False, with GetLastError set, when either cannot be had.
bool makeStandardHandles(HANDLE outputFile, OwnedHandle* input, OwnedHandle* output) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    input->reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0,
                             nullptr));  // hTemplateFile
    HANDLE duplicate = nullptr;
    const bool duplicated = DuplicateHandle(GetCurrentProcess(), outputFile, GetCurrentProcess(), &duplicate,
                                            FILE_GENERIC_WRITE, TRUE,  // bInheritHandle
                                            0) != FALSE;
    output->reset(duplicated ? duplicate : INVALID_HANDLE_VALUE);
    return input->valid() && output->valid();
}

// The extractor's attribute list: the two handles it inherits, its only ones, and (where the system
// can) the job it is born in. It keeps the arrays that the list points to, so the list stays whole
// while it exists, and deletes the list when it goes.
class ExtractorAttributes {
  public:
    ExtractorAttributes(HANDLE input, HANDLE output, HANDLE job) : inherited_{input, output}, jobs_{job} {}
    ExtractorAttributes(const ExtractorAttributes&) = delete;
    ExtractorAttributes& operator=(const ExtractorAttributes&) = delete;
    ~ExtractorAttributes() {
        if (initialized_) {
            DeleteProcThreadAttributeList(list());
        }
    }

    // Fills the list. False after its log line when the list or the handle list cannot be set; a job
    // that cannot be set is no failure: bornInJob() says whether it was.
    bool build(InstallLog& log) {
        SIZE_T size = sizeof buffer_;
        if (!InitializeProcThreadAttributeList(list(), 2, 0, &size)) {
            return failed(log, L"InitializeProcThreadAttributeList failed");
        }
        initialized_ = true;
        if (!UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited_,
                                       sizeof inherited_,
                                       nullptr,     // lpPreviousValue
                                       nullptr)) {  // lpReturnSize
            return failed(log, L"UpdateProcThreadAttribute failed");
        }
        bornInJob_ = UpdateProcThreadAttribute(list(), 0, kJobListAttribute, jobs_, sizeof jobs_,
                                               nullptr,            // lpPreviousValue
                                               nullptr) != FALSE;  // lpReturnSize
        return true;
    }
    LPPROC_THREAD_ATTRIBUTE_LIST list() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_); }
    // True when the extractor is born in its job (Windows 10 and later): then no moment exists in
    // which it runs outside it.
    bool bornInJob() const { return bornInJob_; }

  private:
    HANDLE inherited_[2];
    HANDLE jobs_[1];
    alignas(16) unsigned char buffer_[512];  // room for two attributes
    bool initialized_ = false;
    bool bornInJob_ = false;
};

// Starts the copy of `extractor` with `commandLine` and `environment` in the job `job`, with the null
// device as input and `outputFile` for output and errors, no console, and only those two handles
// inherited (their copies here exist only until it has started). Where it cannot be born in the job it
// starts suspended and joins the job before it runs; when it cannot join, it is ended and the copy
// removed. False after its log line.
bool startExtractor(InstallLog& log, PinnedExtractor& extractor, wchar_t* commandLine, wchar_t* environment,
                    HANDLE job, HANDLE outputFile, ProcessHandles* process) {
    OwnedHandle input;
    OwnedHandle output;
    if (!makeStandardHandles(outputFile, &input, &output)) {
        return failed(log, L"Couldn't prepare the extractor's standard handles");
    }
    ExtractorAttributes attributes(input.get(), output.get(), job);
    if (!attributes.build(log)) {
        return false;
    }
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = output.get();
    startup.StartupInfo.hStdError = output.get();
    startup.lpAttributeList = attributes.list();
    // No console at all: a console program given CREATE_NO_WINDOW gets a hidden console of its own,
    // which costs more to set up (under Wine, several times the extraction of a large stored archive)
    // than a console-less start. Without EXTENDED_STARTUPINFO_PRESENT the attribute list is ignored:
    // every inheritable handle would be inherited, and the job never joined.
    const bool started =
        CreateProcessW(extractor.copyPath(), commandLine,
                       nullptr,  // lpProcessAttributes
                       nullptr,  // lpThreadAttributes
                       TRUE,     // bInheritHandles: only those in the list
                       DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT |
                           (attributes.bornInJob() ? 0 : CREATE_SUSPENDED),
                       environment,
                       nullptr,  // lpCurrentDirectory: the installer's current directory
                       &startup.StartupInfo, &process->information);
    const DWORD error = GetLastError();
    if (!started) {
        process->information = {};
        return failed(log, L"CreateProcess failed", error);
    }
    if (!attributes.bornInJob() && (!AssignProcessToJobObject(job, process->information.hProcess) ||
                                    ResumeThread(process->information.hThread) == static_cast<DWORD>(-1))) {
        failed(log, L"Couldn't put the extractor in its job");
        TerminateProcess(process->information.hProcess, 1);
        WaitForSingleObject(process->information.hProcess, INFINITE);
        extractor.removeCopy();
        return false;
    }
    return true;
}

// Waits for the started extractor to end and removes its copy. True when it ended with exit code 0;
// otherwise logs the last lines of `outputFile`, then its exit code (or why there is none), and false.
bool finishExtractor(InstallLog& log, PinnedExtractor& extractor, const ProcessHandles& process,
                     HANDLE outputFile) {
    WaitForSingleObject(process.information.hProcess, INFINITE);
    DWORD exitCode = 0;
    const bool ended = GetExitCodeProcess(process.information.hProcess, &exitCode) != 0;
    const DWORD error = ended ? 0 : GetLastError();
    extractor.removeCopy();
    if (ended && exitCode == 0) {
        return true;
    }
    logOutputFile(log, outputFile);
    if (!ended) {
        return failed(log, L"GetExitCodeProcess failed", error);
    }
    // 7za.exe ends with 0 only when everything was unpacked; 1 (warning) already means files were
    // skipped, 2 a fatal error, 7 a bad command line, 8 too little memory.
    log.write(L"extractUpdate: 7za.exe failed with exit code %d\n", static_cast<int>(exitCode));
    return false;
}

}  // namespace

bool extractUpdateFromFileToCwd(InstallLog& log, PinnedExtractor& extractor, const wchar_t* copyFolder) {
    // CreateProcessW may write into the command line, so it lives in a buffer of our own.
    wchar_t commandLine[] = L"7za.exe -y -bd x archive.7z";
    log.write(L"extractUpdate: invoking %s\n", commandLine);
    if (!extractor.writeCopy(log, copyFolder)) {
        return false;
    }
    OwnedHandle output;
    if (!createOutputFile(&output)) {
        return failed(log, L"Couldn't create the extractor's output file");
    }
    // An environment of its own: nothing of the user's (whose registry feeds an elevated run's
    // environment) reaches the extractor but the temporary folder it may write to.
    wchar_t environment[kEnvironmentCapacity];
    if (!extractorEnvironment(environment)) {
        return failed(log, L"Couldn't make the extractor's environment");
    }
    OwnedHandle job;
    if (!makeJob(&job)) {
        return failed(log, L"Couldn't make the extractor's job");
    }
    ProcessHandles process;
    return startExtractor(log, extractor, commandLine, environment, job.get(), output.get(), &process) &&
           finishExtractor(log, extractor, process, output.get());
}

bool extractUpdate(InstallLog& log, const wchar_t* folder, PinnedExtractor& extractor,
                   const wchar_t* copyFolder, const std::uint8_t* bytes, std::uint32_t length) {
    wchar_t savedDirectory[MAX_PATH];
    if (GetCurrentDirectoryW(MAX_PATH, savedDirectory) == 0) {
        return failed(log, L"Couldn't GetCurrentDirectory");
    }
    if (!SetCurrentDirectoryW(folder)) {
        return failed(log, L"Couldn't SetCurrentDirectory");
    }

    bool extracted = false;
    OwnedHandle archive(CreateFileW(L"archive.7z", GENERIC_WRITE, 0,
                                    nullptr,  // lpSecurityAttributes
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));  // hTemplateFile
    if (!archive.valid()) {
        log.write(L"CreateFile(%ls) failed\n", L"archive.7z");
    } else if (!writeWhole(archive.get(), bytes, length)) {
        log.write(L"extractUpdate: write failed\n");
    } else if (!FlushFileBuffers(archive.get())) {
        failed(log, L"FlushFileBuffers failed");
    } else {
        archive.reset();
        extracted = extractUpdateFromFileToCwd(log, extractor, copyFolder);
        if (!extracted) {
            log.write(L"extractUpdateFromFileToCwd failed\n");
        }
    }
    archive.reset();
    DeleteFileW(L"archive.7z");
    SetCurrentDirectoryW(savedDirectory);
    return extracted;
}
