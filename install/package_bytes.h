// The package's bytes, wherever they lie: a block from LocalAlloc (a download, or a local package that
// is read) or a read-only view of the local package's own file, released on every way out. A view
// costs no copy and no fresh memory; it is taken only of a file that nobody can write meanwhile (held
// without write sharing) on a fixed local disk, where its pages cannot vanish under it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "install/files/holders.h"

class PackageBytes {
  public:
    PackageBytes() = default;
    PackageBytes(const PackageBytes&) = delete;
    PackageBytes& operator=(const PackageBytes&) = delete;
    ~PackageBytes() { reset(); }

    const std::uint8_t* data() const { return view_ != nullptr ? view_ : block_.get(); }
    std::uint32_t size() const { return size_; }

    // Takes a LocalAlloc block of `size` bytes.
    void hold(std::uint8_t* block, std::uint32_t size) {
        reset();
        block_.reset(block);
        size_ = size;
    }
    // Maps the whole of `file`, `size` bytes (more than 0), read-only. False, holding nothing, when it
    // cannot be mapped (GetLastError tells).
    bool map(HANDLE file, std::uint32_t size) {
        reset();
        const HANDLE mapping = CreateFileMappingW(file,
                                                  nullptr,  // lpFileMappingAttributes: not inheritable
                                                  PAGE_READONLY, 0, size,
                                                  nullptr);  // lpName
        if (mapping == nullptr) {
            return false;
        }
        view_ = static_cast<const std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size));
        CloseHandle(mapping);  // the view keeps the mapping
        size_ = view_ != nullptr ? size : 0;
        return view_ != nullptr;
    }

    // Lets go of the bytes: a file that is mapped cannot be deleted until its view is gone.
    void reset() {
        if (view_ != nullptr) {
            UnmapViewOfFile(view_);
            view_ = nullptr;
        }
        block_.reset();
        size_ = 0;
    }

  private:
    LocalMemory<std::uint8_t> block_;
    const std::uint8_t* view_ = nullptr;
    std::uint32_t size_ = 0;
};
