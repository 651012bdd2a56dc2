// The holders of what the installation obtains from the system, each released on every way out: a
// kernel handle, a started process's two handles, and a block from LocalAlloc (or from a call that
// hands out LocalAlloc memory). Header only.
#pragma once

#include <windows.h>

// What a holder frees its value with, and which value stands for none (null stands for none too).
struct KernelHandle {
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static void free(HANDLE handle) { CloseHandle(handle); }
};
template <class T>
struct LocalBlock {
    static T* none() { return nullptr; }
    static void free(T* block) { LocalFree(block); }
};

// A value obtained from the system, freed with Kind::free on every way out.
template <class Value, class Kind>
class Held {
  public:
    Held() = default;
    explicit Held(Value value) { reset(value); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { reset(); }

    bool valid() const { return value_ != Kind::none(); }
    Value get() const { return value_; }
    // Where a call that hands out a value writes it; whatever was held is freed first.
    Value* receive() {
        reset();
        return &value_;
    }
    // Frees the value held (if any) and holds `value` instead.
    void reset(Value value = Kind::none()) {
        if (valid()) {
            Kind::free(value_);
        }
        value_ = value == nullptr ? Kind::none() : value;
    }
    // Gives up the value without freeing it.
    Value release() {
        const Value value = value_;
        value_ = Kind::none();
        return value;
    }

  private:
    Value value_ = Kind::none();
};

// A kernel handle, closed with CloseHandle. INVALID_HANDLE_VALUE stands for none.
using OwnedHandle = Held<HANDLE, KernelHandle>;

// A block from LocalAlloc (or from a system call that hands out LocalAlloc memory, such as
// ConvertStringSecurityDescriptorToSecurityDescriptorW or SetEntriesInAclW), freed with LocalFree.
template <class T>
using LocalMemory = Held<T*, LocalBlock<T>>;

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
