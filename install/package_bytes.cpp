// The package's bytes as the check reads them: the view of a local package and the handler that keeps a page
// of it that cannot be read from ending the process. mingw's compiler has no structured exception blocks, so
// the handler is a vectored one, added while a view is mapped and removed with it; it acts only on a read
// that faults inside the view, and leaves every other exception to the handlers after it.
#include "install/package_bytes.h"

#include <cstdint>

namespace {

// The one view that the handler guards: its pages, from `begin` up to `end`, both 0 when none. Those
// and `zeroed` are read and changed under `lock`, by the thread that maps and resets the view and by
// any thread whose read faults; `handler` only by the thread that maps and resets.
struct GuardedView {
    SRWLOCK lock = SRWLOCK_INIT;
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    bool zeroed = false;      // its pages were replaced by zero pages
    PVOID handler = nullptr;  // the handler's registration, while a view is mapped
};
GuardedView guarded;

// A read that the system could not satisfy: EXCEPTION_IN_PAGE_ERROR, which Windows raises when a page
// of a mapped file cannot be brought in, or the read access violation that Wine raises for it. Either
// way the first parameter is 0 for a read and the second is the address.
bool isFailedRead(const EXCEPTION_RECORD& record) {
    return (record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR ||
            record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION) &&
           record.NumberParameters >= 2 && record.ExceptionInformation[0] == 0;
}

// Replaces the view's pages by zero pages at the same address, so that the faulting read and every one
// after it go on. Another allocation could take the addresses between the two calls; then the read
// cannot go on and the exception is left to the next handler, as without this one.
bool zeroView() {
    void* const base = reinterpret_cast<void*>(guarded.begin);
    const SIZE_T length = guarded.end - guarded.begin;
    if (!UnmapViewOfFile(base)) {
        return false;
    }
    return VirtualAlloc(base, length, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY) == base;
}

LONG CALLBACK keepFailedReadsOfTheView(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    if (!isFailedRead(record)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const std::uintptr_t address = record.ExceptionInformation[1];
    LONG answer = EXCEPTION_CONTINUE_SEARCH;
    AcquireSRWLockExclusive(&guarded.lock);
    if (address >= guarded.begin && address < guarded.end) {
        // A second thread that faulted before the pages were replaced reads zeros too.
        guarded.zeroed = guarded.zeroed || zeroView();
        answer = guarded.zeroed ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
    }
    ReleaseSRWLockExclusive(&guarded.lock);
    return answer;
}

// Stops guarding the view (its pages stay as they are) and says whether they had been replaced.
bool forget() {
    AcquireSRWLockExclusive(&guarded.lock);
    const bool zeroed = guarded.zeroed;
    guarded.begin = 0;
    guarded.end = 0;
    guarded.zeroed = false;
    ReleaseSRWLockExclusive(&guarded.lock);
    return zeroed;
}

}  // namespace

bool PackageBytes::map(HANDLE file, std::uint32_t size) {
    reset();
    const HANDLE mapping = CreateFileMappingW(file,
                                              nullptr,  // lpFileMappingAttributes: not inheritable
                                              PAGE_READONLY, 0, size,
                                              nullptr);  // lpName
    if (mapping == nullptr) {
        return false;
    }
    void* const view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
    CloseHandle(mapping);  // the view keeps the mapping
    if (view == nullptr) {
        return false;
    }
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const std::uintptr_t page = system.dwPageSize;
    AcquireSRWLockExclusive(&guarded.lock);
    const bool free = guarded.begin == 0;
    if (free) {
        guarded.begin = reinterpret_cast<std::uintptr_t>(view);
        guarded.end = guarded.begin + (size + page - 1) / page * page;
        guarded.zeroed = false;
    }
    ReleaseSRWLockExclusive(&guarded.lock);
    // The handler is added and removed outside the lock: the system may be calling it meanwhile.
    const PVOID handler = free ? AddVectoredExceptionHandler(1,  // First: before any other handler
                                                             keepFailedReadsOfTheView)
                               : nullptr;
    if (handler == nullptr) {
        if (free) {
            forget();
        }
        UnmapViewOfFile(view);
        SetLastError(free ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BUSY);
        return false;
    }
    guarded.handler = handler;  // read only by reset(), on this thread
    view_ = static_cast<const std::uint8_t*>(view);
    size_ = size;
    return true;
}

bool PackageBytes::pagesLost() const {
    if (view_ == nullptr) {
        return false;
    }
    AcquireSRWLockShared(&guarded.lock);
    const bool lost = guarded.zeroed;
    ReleaseSRWLockShared(&guarded.lock);
    return lost;
}

void PackageBytes::reset() {
    if (view_ != nullptr) {
        const bool zeroed = forget();
        RemoveVectoredExceptionHandler(guarded.handler);
        guarded.handler = nullptr;
        if (zeroed) {
            VirtualFree(const_cast<std::uint8_t*>(view_), 0, MEM_RELEASE);
        } else {
            UnmapViewOfFile(view_);
        }
        view_ = nullptr;
    }
    block_.reset();
    size_ = 0;
}
