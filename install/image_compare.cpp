// The comparison of an executable file with its mapped image: the PE32+ headers read from the file with
// every field bounded, the read-only sections copied one at a time into a work buffer, relocated there
// as the loader relocated the image, and compared with memory.
#include "install/image_compare.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr std::uint32_t kMemRead = 0x40000000;   // IMAGE_SCN_MEM_READ
constexpr std::uint32_t kMemWrite = 0x80000000;  // IMAGE_SCN_MEM_WRITE
constexpr std::uint16_t kPe32Plus = 0x20B;       // IMAGE_NT_OPTIONAL_HDR64_MAGIC
constexpr std::uint64_t kDosHeaderSize = 64;     // e_lfanew is its last field, at 0x3C
constexpr std::uint64_t kFileHeaderSize = 20;
constexpr std::uint64_t kOptionalFixedSize = 112;  // the PE32+ optional header before its directories
constexpr std::uint64_t kImageBaseField = 24;      // OptionalHeader.ImageBase, 8 bytes
constexpr std::uint64_t kSectionHeaderSize = 40;
constexpr std::uint32_t kMaxDirectories = 16;
constexpr unsigned kRelocationDirectory = 5;
constexpr unsigned kImportAddressTable = 12;
constexpr unsigned kRelocationAbsolute = 0;  // IMAGE_REL_BASED_ABSOLUTE: padding, nothing to do
constexpr unsigned kRelocationDir64 = 10;    // IMAGE_REL_BASED_DIR64: 8 bytes plus the delta

std::uint16_t read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t read32(const std::uint8_t* p) {
    return read16(p) | static_cast<std::uint32_t>(read16(p + 2)) << 16;
}
std::uint64_t read64(const std::uint8_t* p) {
    return read32(p) | static_cast<std::uint64_t>(read32(p + 4)) << 32;
}
void write64(std::uint8_t* p, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Whether `size` bytes from `offset` lie inside `limit` bytes, without overflow.
bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t limit) {
    return offset <= limit && size <= limit - offset;
}

// A range of relative virtual addresses.
struct Span {
    std::uint64_t start = 0;
    std::uint64_t size = 0;
};

struct Section {
    std::uint32_t virtualAddress;
    std::uint32_t virtualSize;
    std::uint32_t rawSize;
    std::uint32_t rawOffset;
    std::uint32_t characteristics;
    // The bytes of raw data that the loader maps: past VirtualSize they are padding, past SizeOfRawData
    // the section is zero filled.
    std::uint32_t mapped() const { return rawSize < virtualSize ? rawSize : virtualSize; }
    bool compared() const { return (characteristics & kMemWrite) == 0 && mapped() > 0; }
};

struct Headers {
    std::uint64_t headersSize = 0;  // SizeOfHeaders
    std::uint64_t imageBaseAt = 0;  // the file offset of OptionalHeader.ImageBase
    std::uint64_t imageBase = 0;
    const std::uint8_t* sectionTable = nullptr;
    unsigned sectionCount = 0;
    Span relocations;
    Span importAddressTable;

    Section section(unsigned index) const {
        const std::uint8_t* p = sectionTable + index * kSectionHeaderSize;
        return {read32(p + 12), read32(p + 8), read32(p + 16), read32(p + 20), read32(p + 36)};
    }
};

// Reads the headers of `file`, each field checked against the file's size, and the headers' own
// size against the image's too. False for anything but a PE32+ image whose section table lies inside
// SizeOfHeaders.
bool readHeaders(const std::uint8_t* file, std::uint64_t fileSize, std::uint64_t imageSize, Headers* out) {
    if (fileSize < kDosHeaderSize || file[0] != 'M' || file[1] != 'Z') {
        return false;
    }
    const std::uint64_t nt = read32(file + 0x3C);
    if (!fits(nt, 4 + kFileHeaderSize, fileSize) || std::memcmp(file + nt, "PE\0\0", 4) != 0) {
        return false;
    }
    const std::uint8_t* fileHeader = file + nt + 4;
    const std::uint64_t optional = nt + 4 + kFileHeaderSize;
    const std::uint64_t optionalSize = read16(fileHeader + 16);
    if (optionalSize < kOptionalFixedSize || !fits(optional, optionalSize, fileSize) ||
        read16(file + optional) != kPe32Plus) {
        return false;
    }
    const std::uint32_t directories = read32(file + optional + 108);
    if (directories > kMaxDirectories || kOptionalFixedSize + 8 * directories > optionalSize) {
        return false;
    }
    const std::uint64_t sectionTable = optional + optionalSize;
    out->sectionCount = read16(fileHeader + 2);
    out->headersSize = read32(file + optional + 60);
    if (out->headersSize > fileSize || out->headersSize > imageSize ||
        !fits(sectionTable, out->sectionCount * kSectionHeaderSize, out->headersSize)) {
        return false;
    }
    out->sectionTable = file + sectionTable;
    out->imageBaseAt = optional + kImageBaseField;
    out->imageBase = read64(file + out->imageBaseAt);
    const auto directory = [&](unsigned index) {
        const std::uint8_t* entry = file + optional + kOptionalFixedSize + 8 * index;
        return index < directories ? Span{read32(entry), read32(entry + 4)} : Span{};
    };
    out->relocations = directory(kRelocationDirectory);
    out->importAddressTable = directory(kImportAddressTable);
    return true;
}

// The index of the section whose virtual range holds `size` bytes at `rva`, or sectionCount.
unsigned sectionHolding(const Headers& headers, std::uint64_t rva, std::uint64_t size) {
    for (unsigned i = 0; i < headers.sectionCount; ++i) {
        const Section s = headers.section(i);
        if (rva >= s.virtualAddress && fits(rva - s.virtualAddress, size, s.virtualSize)) {
            return i;
        }
    }
    return headers.sectionCount;
}

// Walks the relocation blocks (`relocations`, `size` bytes) and checks every entry: a block of at
// least its own 8 bytes and an even size that ends inside the directory, each entry ABSOLUTE or a
// DIR64 whose 8 bytes lie inside one section's virtual range, either wholly inside its mapped raw
// data or wholly past it. DIR64 entries inside the mapped data of section `target` (none when it is
// sectionCount) get `delta` added in `work`, which holds that data. False at the first entry or block
// that breaks a rule.
bool relocate(const Headers& headers, const std::uint8_t* relocations, std::uint64_t size, unsigned target,
              std::uint8_t* work, std::uint64_t delta) {
    std::uint64_t at = 0;
    while (at < size) {
        if (size - at < 8) {
            return false;
        }
        const std::uint64_t page = read32(relocations + at);
        const std::uint64_t blockSize = read32(relocations + at + 4);
        if (blockSize < 8 || blockSize % 2 != 0 || blockSize > size - at) {
            return false;
        }
        for (std::uint64_t e = at + 8; e < at + blockSize; e += 2) {
            const unsigned entry = read16(relocations + e);
            if (entry >> 12 == kRelocationAbsolute) {
                continue;
            }
            const std::uint64_t rva = page + (entry & 0xFFF);
            const unsigned holder = sectionHolding(headers, rva, 8);
            if (entry >> 12 != kRelocationDir64 || holder == headers.sectionCount) {
                return false;
            }
            const Section s = headers.section(holder);
            const std::uint64_t offset = rva - s.virtualAddress;
            if (offset < s.mapped() && offset + 8 > s.mapped()) {
                return false;  // half in the file's bytes, half in the zeros after them
            }
            if (holder == target && offset < s.mapped()) {
                write64(work + offset, read64(work + offset) + delta);
            }
        }
        at += blockSize;
    }
    return true;
}

// Whether `work` (`size` bytes, the section at `rva`) equals `image` at `rva`, except the bytes of
// `skipped` (relative virtual addresses too).
bool equalExcept(const std::uint8_t* work, const std::uint8_t* image, std::uint64_t rva, std::uint64_t size,
                 Span skipped) {
    const std::uint64_t end = rva + size;
    const std::uint64_t skipStart = skipped.start < rva ? rva : skipped.start > end ? end : skipped.start;
    const std::uint64_t skipEnd = skipped.start + skipped.size < skipStart ? skipStart
                                  : skipped.start + skipped.size > end     ? end
                                                                           : skipped.start + skipped.size;
    return std::memcmp(work, image + rva, skipStart - rva) == 0 &&
           std::memcmp(work + (skipEnd - rva), image + skipEnd, end - skipEnd) == 0;
}

}  // namespace

ImageMatch compareImage(const std::uint8_t* file, std::size_t fileSize, const std::uint8_t* image,
                        std::size_t imageSize, std::uint64_t base) {
    Headers headers;
    if (!readHeaders(file, fileSize, imageSize, &headers)) {
        return ImageMatch::malformed;
    }
    // Every section must lie inside the image, every compared one be readable and have its mapped
    // bytes in the file; the work buffer holds the largest of them.
    std::uint64_t largest = 0;
    for (unsigned i = 0; i < headers.sectionCount; ++i) {
        const Section s = headers.section(i);
        if (!fits(s.virtualAddress, s.virtualSize, imageSize) || (s.rawSize > 0 && s.virtualSize == 0)) {
            return ImageMatch::malformed;
        }
        if (s.compared()) {
            if ((s.characteristics & kMemRead) == 0 || !fits(s.rawOffset, s.mapped(), fileSize)) {
                return ImageMatch::malformed;
            }
            largest = s.mapped() > largest ? s.mapped() : largest;
        }
    }
    if (!fits(headers.importAddressTable.start, headers.importAddressTable.size, imageSize)) {
        return ImageMatch::malformed;
    }
    // The relocations are read from the file, inside the mapped raw data of one section.
    const std::uint8_t* relocations = nullptr;
    if (headers.relocations.size > 0) {
        const unsigned holder = sectionHolding(headers, headers.relocations.start, headers.relocations.size);
        const Section s = headers.section(holder < headers.sectionCount ? holder : 0);
        const std::uint64_t offset = headers.relocations.start - s.virtualAddress;
        if (holder == headers.sectionCount || !fits(offset, headers.relocations.size, s.mapped()) ||
            !fits(s.rawOffset, s.mapped(), fileSize)) {
            return ImageMatch::malformed;
        }
        relocations = file + s.rawOffset + offset;
    }
    if (!relocate(headers, relocations, headers.relocations.size, headers.sectionCount, nullptr, 0)) {
        return ImageMatch::malformed;
    }

    const std::uint64_t field = headers.imageBaseAt;
    const std::uint64_t imageBaseInMemory = read64(image + field);
    if (std::memcmp(file, image, field) != 0 ||
        std::memcmp(file + field + 8, image + field + 8, headers.headersSize - field - 8) != 0 ||
        (imageBaseInMemory != headers.imageBase && imageBaseInMemory != base)) {
        return ImageMatch::differs;
    }

    std::unique_ptr<std::uint8_t[]> work(new (std::nothrow) std::uint8_t[largest > 0 ? largest : 1]);
    if (!work) {
        return ImageMatch::noMemory;
    }
    const std::uint64_t delta = base - headers.imageBase;
    for (unsigned i = 0; i < headers.sectionCount; ++i) {
        const Section s = headers.section(i);
        if (!s.compared()) {
            continue;
        }
        std::memcpy(work.get(), file + s.rawOffset, s.mapped());
        relocate(headers, relocations, headers.relocations.size, i, work.get(), delta);
        if (!equalExcept(work.get(), image, s.virtualAddress, s.mapped(), headers.importAddressTable)) {
            return ImageMatch::differs;
        }
    }
    return ImageMatch::same;
}
