// Whether the bytes of an executable file are the program that runs, judged by the image in memory:
// the file's headers and every read-only section, with the base relocations applied, must equal the
// mapped image. Portable C++ over plain bytes (no Windows API), so that it is tested and fuzzed natively;
// the Windows side hands it the file it read and the running module's image.
//
// The file is hostile input: every offset and size it gives is checked against the file's length and
// the image's before it is used, and anything that the loader of a 64-bit program would not produce
// (another PE kind, a relocation type other than DIR64 and ABSOLUTE, a relocation that crosses a
// section's end, a read-only section that cannot be read) is refused as malformed, never skipped.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ImageMatch {
    same,       // the file maps to the image in every byte that can be compared
    differs,    // a header or a read-only byte differs
    malformed,  // the file is not a PE32+ image that could have been mapped as the image is
    noMemory,   // the work buffer for one section could not be had
};

// Compares `file` (`fileSize` bytes) with `image` (`imageSize` bytes, the mapped module as the loader
// left it) whose load address is `base`. Compared:
//   - the first SizeOfHeaders bytes, except OptionalHeader.ImageBase, which in memory may hold the
//     file's value or `base` (a loader that relocates an image may write its new base there);
//   - for every section without IMAGE_SCN_MEM_WRITE, the first min(SizeOfRawData, VirtualSize) bytes
//     of its raw data, after the file's base relocations have been applied with the delta
//     `base` - ImageBase, against the image at VirtualAddress; the import address table (data
//     directory 12), which the loader fills in, is skipped wherever it lies.
// Writable sections (initialized data, the import tables, the CRT's and TLS's tables, resources where
// the linker marks them writable) are not compared: the program itself changes them while it runs.
// Neither buffer is changed; `image` is only read inside its first `imageSize` bytes.
ImageMatch compareImage(const std::uint8_t* file, std::size_t fileSize, const std::uint8_t* image,
                        std::size_t imageSize, std::uint64_t base);
