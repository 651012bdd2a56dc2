// The package's bytes, wherever they lie: a block from LocalAlloc (a download, or a local package that
// is read) or a read-only view of the local package's own file, released on every way out. A view
// costs no copy and no fresh memory; it is taken only of a file that nobody can write meanwhile (held
// without write sharing) on a disk that cannot be pulled out. Should a page of it still fail to come
// in (a read error, a disk gone after all), the process does not end: the view turns into zeros and
// pagesLost() says so, for the run to end as a failed read.
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

    // Maps the whole of `file`, `size` bytes (more than 0), read-only. Until reset(), a read of the view
    // that the system cannot satisfy (EXCEPTION_IN_PAGE_ERROR; Wine raises a read access violation
    // instead) is caught by a process-wide handler: every page of the view is replaced by a zero page
    // at the same address, the read goes on and reads zeros, and pagesLost() becomes true. One view at a
    // time in the process: false, holding nothing, when another is mapped (ERROR_BUSY) or this one
    // cannot be (GetLastError tells).
    bool map(HANDLE file, std::uint32_t size);

    // True when the view lost its pages: what was read of it since then is zeros, not the file.
    bool pagesLost() const;

    // Lets go of the bytes: a file that is mapped cannot be deleted until its view is gone.
    void reset();

  private:
    LocalMemory<std::uint8_t> block_;
    const std::uint8_t* view_ = nullptr;
    std::uint32_t size_ = 0;
};
