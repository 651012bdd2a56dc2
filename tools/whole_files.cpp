// Whole files for welkara-sign: the mapping of an input and the write of an output whole or not at
// all, with POSIX calls; see whole_files.h for the contract.
#include "tools/whole_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/tool_error.h"

MappedFile::~MappedFile() {
    if (data_ != nullptr) {
        munmap(const_cast<std::uint8_t*>(data_), size_);
    }
}

bool MappedFile::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return toolError("cannot open " + path + ": " + std::strerror(errno));
    }
    struct stat info;
    std::string problem;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = path + " is not a regular file";
    } else if (static_cast<std::uint64_t>(info.st_size) > 0xFFFFFFFFull) {
        problem = path + " has " + std::to_string(info.st_size) +
                  " bytes; the installer takes packages of at most 4294967295 bytes";
    } else if (info.st_size > 0) {
        size_ = static_cast<std::size_t>(info.st_size);
        void* mapped = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        problem = mapped == MAP_FAILED ? "cannot read " + path + ": " + std::strerror(errno) : "";
        data_ = mapped == MAP_FAILED ? nullptr : static_cast<const std::uint8_t*>(mapped);
    }
    ::close(fd);
    return problem.empty() || toolError(problem);
}

bool readWholeFile(const std::string& path, std::string* bytes) {
    MappedFile file;
    if (!file.open(path)) {
        return false;
    }
    bytes->assign(reinterpret_cast<const char*>(file.data()), file.size());
    return true;
}

bool writeWholeFile(const std::string& path, const std::string& bytes, bool mayReplace) {
    std::string temporary = path + ".tmp-XXXXXX";
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        return toolError("cannot create a file beside " + path + ": " + std::strerror(errno));
    }
    // A write cut short by a signal is tried again; the message names the first failure's errno.
    bool written = true;
    for (std::size_t done = 0; written && done < bytes.size();) {
        const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        written = count > 0 || (count < 0 && errno == EINTR);
        done += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    written = written && fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const std::string reason = std::strerror(written ? errno : writeError);
        unlink(temporary.c_str());
        return toolError("cannot write " + path + ": " + reason);
    }
    const int placed =
        mayReplace ? rename(temporary.c_str(), path.c_str()) : link(temporary.c_str(), path.c_str());
    const int placeError = errno;
    if (placed != 0 || !mayReplace) {
        unlink(temporary.c_str());
    }
    if (placed != 0) {
        return toolError(placeError == EEXIST ? path + " exists already; it is never overwritten"
                                              : "cannot write " + path + ": " + std::strerror(placeError));
    }
    return true;
}
