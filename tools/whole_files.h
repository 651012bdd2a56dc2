// Whole files for welkara-sign: an input (a package, a key, a manifest) mapped read-only, and an output
// written whole or not at all (failures: tool_error.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A regular file's bytes mapped read-only, unmapped on destruction.
class MappedFile {
  public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the regular file at `path`; refuses one over 2^32 - 1 bytes, the most the installer takes.
    // Call it once.
    bool open(const std::string& path);
    const std::uint8_t* data() const { return data_; }  // null for an empty file
    std::uint32_t size() const { return static_cast<std::uint32_t>(size_); }

  private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// The bytes of the regular file at `path`, with MappedFile's limits.
bool readWholeFile(const std::string& path, std::string* bytes);

// Writes `bytes` to a new temporary file beside `path` (mode 0600), then puts it in place: by rename,
// or, when existing files must be kept (`mayReplace` false), by link, which refuses when `path` exists.
// No temporary file is left behind.
bool writeWholeFile(const std::string& path, const std::string& bytes, bool mayReplace);
