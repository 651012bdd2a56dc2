// A block from LocalAlloc (or from a system call that hands out LocalAlloc memory, such as
// ConvertStringSecurityDescriptorToSecurityDescriptorW or SetEntriesInAclW), freed with LocalFree on
// every way out. Null stands for none. Header only.
#pragma once

#include <windows.h>

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
