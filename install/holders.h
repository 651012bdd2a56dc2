// The holders of what the installation obtains from the system, each released on every way out: a
// kernel handle, a started process's two handles, and a block from LocalAlloc (or from a call that
// hands out LocalAlloc memory). Header only.
#pragma once

#include <windows.h>

// A kernel handle, closed on every way out. INVALID_HANDLE_VALUE stands for none.
class OwnedHandle {
  public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle == nullptr ? INVALID_HANDLE_VALUE : handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { reset(); }

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    // Closes the handle held (if any) and holds `handle` instead.
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) {
            CloseHandle(handle_);
        }
        handle_ = handle == nullptr ? INVALID_HANDLE_VALUE : handle;
    }
    // Gives up the handle without closing it.
    HANDLE release() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A started process's two handles, closed on every way out.
struct ProcessHandles {
    ProcessHandles() = default;
    ProcessHandles(const ProcessHandles&) = delete;
    ProcessHandles& operator=(const ProcessHandles&) = delete;
    ~ProcessHandles() {
        if (information.hProcess != nullptr) {
            CloseHandle(information.hProcess);
            CloseHandle(information.hThread);
        }
    }
    PROCESS_INFORMATION information = {};
};

// A block from LocalAlloc (or from a system call that hands out LocalAlloc memory, such as
// ConvertStringSecurityDescriptorToSecurityDescriptorW or SetEntriesInAclW), freed with LocalFree.
// Null stands for none.
template <class T>
class LocalMemory {
  public:
    LocalMemory() = default;
    explicit LocalMemory(T* block) : block_(block) {}
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() { reset(); }

    T* get() const { return block_; }
    // Where a call that hands out a block writes it; whatever was held is freed first.
    T** receive() {
        reset();
        return &block_;
    }
    // Frees the block held (if any) and holds `block` instead.
    void reset(T* block = nullptr) {
        if (block_ != nullptr) {
            LocalFree(block_);
        }
        block_ = block;
    }
    // Gives up the block without freeing it.
    T* release() {
        T* const block = block_;
        block_ = nullptr;
        return block;
    }

  private:
    T* block_ = nullptr;
};
