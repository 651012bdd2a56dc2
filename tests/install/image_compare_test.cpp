// compareImage over a small PE32+ image built here: a code section, a read-only data section that holds
// the import address table, a writable data section and the relocations, each with one pointer that the
// loader relocates. The image in memory is mapped from it by hand (the pointers moved by the delta, the
// import address table filled in), then one row changes the file or the memory and names the answer.
#include "install/image_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kPreferred = 0x140000000;
constexpr std::uint64_t kMoved = 0x7FF612340000;
constexpr std::size_t kOptional = 0x40 + 4 + 20;  // the optional header's offset in the file
constexpr std::size_t kSections = kOptional + 240;
constexpr std::uint32_t kImageSize = 0x5000;
constexpr std::uint32_t kRead = 0x40000000, kWrite = 0x80000000, kExecute = 0x20000000;
// The pointers that the relocations name, by relative virtual address: one in each of .text, .rdata
// and .data.
const std::uint32_t kPointers[] = {0x1010, 0x2008, 0x3000};
constexpr std::uint32_t kImportTable = 0x2040, kImportTableSize = 16;
constexpr std::uint32_t kRelocationBlocks = 3 * 12;

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, static_cast<std::uint16_t>(v));
    put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}
void put64(Bytes& b, std::size_t at, std::uint64_t v) {
    put32(b, at, static_cast<std::uint32_t>(v));
    put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}
std::uint64_t get64(const Bytes& b, std::size_t at) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | b[at + i];
    }
    return v;
}

struct SectionRow {
    const char* name;
    std::uint32_t rva, virtualSize, rawOffset, rawSize, characteristics;
};
const SectionRow kLayout[] = {
    {".text", 0x1000, 0x180, 0x200, 0x200, kRead | kExecute | 0x20},
    {".rdata", 0x2000, 0x100, 0x400, 0x200, kRead | 0x40},
    {".data", 0x3000, 0x80, 0x600, 0x200, kRead | kWrite | 0x40},
    {".reloc", 0x4000, kRelocationBlocks, 0x800, 0x200, kRead | 0x42000000},
};
std::size_t sectionHeader(int index) {
    return kSections + 40 * index;
}

Bytes buildFile() {
    Bytes f(0xA00, 0);
    f[0] = 'M';
    f[1] = 'Z';
    put32(f, 0x3C, 0x40);
    f[0x40] = 'P';
    f[0x41] = 'E';
    put16(f, 0x44, 0x8664);                                          // Machine
    put16(f, 0x46, static_cast<std::uint16_t>(std::size(kLayout)));  // NumberOfSections
    put16(f, 0x54, 240);                                             // SizeOfOptionalHeader
    put16(f, 0x56, 0x22);                                            // Characteristics
    put16(f, kOptional, 0x20B);                                      // Magic
    put32(f, kOptional + 16, 0x1000);                                // AddressOfEntryPoint
    put64(f, kOptional + 24, kPreferred);                            // ImageBase
    put32(f, kOptional + 32, 0x1000);                                // SectionAlignment
    put32(f, kOptional + 36, 0x200);                                 // FileAlignment
    put32(f, kOptional + 56, kImageSize);                            // SizeOfImage
    put32(f, kOptional + 60, 0x200);                                 // SizeOfHeaders
    put32(f, kOptional + 108, 16);                                   // NumberOfRvaAndSizes
    put32(f, kOptional + 112 + 5 * 8, 0x4000);                       // the relocations
    put32(f, kOptional + 112 + 5 * 8 + 4, kRelocationBlocks);
    put32(f, kOptional + 112 + 12 * 8, kImportTable);  // the import address table
    put32(f, kOptional + 112 + 12 * 8 + 4, kImportTableSize);
    for (int i = 0; i < static_cast<int>(std::size(kLayout)); ++i) {
        const SectionRow& s = kLayout[i];
        const std::size_t h = sectionHeader(i);
        for (int c = 0; s.name[c] != '\0'; ++c) {
            f[h + c] = static_cast<std::uint8_t>(s.name[c]);
        }
        put32(f, h + 8, s.virtualSize);
        put32(f, h + 12, s.rva);
        put32(f, h + 16, s.rawSize);
        put32(f, h + 20, s.rawOffset);
        put32(f, h + 36, s.characteristics);
        for (std::uint32_t b = 0; b < s.rawSize && s.rva != 0x4000; ++b) {
            f[s.rawOffset + b] = static_cast<std::uint8_t>(b * 7 + i);
        }
    }
    // Each pointer holds an address inside the image as linked; each has a block of its own: the DIR64
    // entry and an ABSOLUTE one that pads the block to 4 bytes.
    for (int i = 0; i < 3; ++i) {
        put64(f, kLayout[i].rawOffset + (kPointers[i] & 0xFFF), kPreferred + 0x1000 + 0x40 * i);
        const std::size_t block = 0x800 + 12 * i;
        put32(f, block, kPointers[i] & ~0xFFFu);
        put32(f, block + 4, 12);
        put16(f, block + 8, static_cast<std::uint16_t>(0xA000 | (kPointers[i] & 0xFFF)));
        put16(f, block + 10, 0);
    }
    return f;
}

// The file as a loader maps it at `base`: each section's raw data at its address, the pointers moved,
// the import address table filled in, the header's ImageBase set to where the image lies.
Bytes mapImage(const Bytes& f, std::uint64_t base) {
    Bytes m(kImageSize, 0);
    std::copy(f.begin(), f.begin() + 0x200, m.begin());
    for (const SectionRow& s : kLayout) {
        const std::uint32_t mapped = s.rawSize < s.virtualSize ? s.rawSize : s.virtualSize;
        std::copy(f.begin() + s.rawOffset, f.begin() + s.rawOffset + mapped, m.begin() + s.rva);
    }
    for (std::uint32_t p : kPointers) {
        put64(m, p, get64(m, p) + (base - kPreferred));
    }
    put64(m, kImportTable, 0x7FFB00001234);
    put64(m, kImportTable + 8, 0x7FFB00005678);
    put64(m, kOptional + 24, base);
    return m;
}

struct Image {
    Bytes file;
    Bytes memory;
    std::uint64_t base;
};

struct MatchCase {
    const char* name;
    std::uint64_t base;                  // where the image lies
    std::function<void(Image&)> change;  // made to the file or the memory once mapped
    ImageMatch expected;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
    *os << c.name;
}

class ImageCompareTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(ImageCompareTest, FileMatchesTheMappedImageOnlyInEveryReadOnlyByte) {
    const MatchCase& c = GetParam();
    Image image{buildFile(), {}, c.base};
    image.memory = mapImage(image.file, c.base);
    c.change(image);
    EXPECT_EQ(compareImage(image.file.data(), image.file.size(), image.memory.data(), image.memory.size(),
                           image.base),
              c.expected);
}

const auto kNothing = [](Image&) {};
// The first relocation entry of the block for `pointer` (0 to 2).
std::size_t entry(int pointer) {
    return 0x800 + 12 * pointer + 8;
}

const MatchCase kCases[] = {
    {"SameAtThePreferredBase", kPreferred, kNothing, ImageMatch::same},
    {"SameWhenMoved", kMoved, kNothing, ImageMatch::same},
    {"SameWhenMovedWithTheHeadersBaseLeftAsLinked", kMoved,
     [](Image& i) { put64(i.memory, kOptional + 24, kPreferred); }, ImageMatch::same},
    {"SameWithAWritableByteChangedInMemory", kMoved, [](Image& i) { i.memory[0x3040] ^= 1; },
     ImageMatch::same},
    {"SameWithAWritableByteChangedInTheFile", kMoved, [](Image& i) { i.file[0x640] ^= 1; }, ImageMatch::same},
    {"SameWithAWritablePointerChangedInTheFile", kMoved, [](Image& i) { i.file[0x600] ^= 1; },
     ImageMatch::same},
    {"SameWithTheImportTableInReadOnlyDataChangedInTheFile", kMoved,
     [](Image& i) {
         i.file[0x440] ^= 1;
         i.file[0x44F] ^= 1;
     },
     ImageMatch::same},
    {"SameWithPaddingPastTheVirtualSizeChanged", kMoved, [](Image& i) { i.file[0x200 + 0x180] ^= 1; },
     ImageMatch::same},

    {"DiffersInACodeByte", kMoved, [](Image& i) { i.file[0x300] ^= 0x80; }, ImageMatch::differs},
    {"DiffersInTheLastMappedCodeByte", kMoved, [](Image& i) { i.file[0x200 + 0x17F] ^= 1; },
     ImageMatch::differs},
    {"DiffersInARelocatedPointer", kMoved, [](Image& i) { i.file[0x408] ^= 1; }, ImageMatch::differs},
    {"DiffersInAPointerRelocatedTwice", kMoved,
     [](Image& i) { put64(i.file, 0x408, get64(i.file, 0x408) + (kMoved - kPreferred)); },
     ImageMatch::differs},
    {"DiffersJustPastTheImportTable", kMoved,
     [](Image& i) { i.memory[kImportTable + kImportTableSize] ^= 1; }, ImageMatch::differs},
    {"DiffersJustBeforeTheImportTable", kMoved, [](Image& i) { i.memory[kImportTable - 1] ^= 1; },
     ImageMatch::differs},
    {"DiffersInTheRelocationsThemselves", kMoved,
     [](Image& i) { put16(i.file, entry(2), static_cast<std::uint16_t>(0xA000 | 0x008)); },
     ImageMatch::differs},
    {"DiffersInAHeaderByte", kMoved, [](Image& i) { i.file[kOptional + 16] ^= 1; }, ImageMatch::differs},
    {"DiffersWhenACodeSectionIsMarkedWritable", kMoved,
     [](Image& i) { put32(i.file, sectionHeader(0) + 36, kRead | kWrite | kExecute | 0x20); },
     ImageMatch::differs},
    {"DiffersWhenTheHeadersBaseIsNeitherLinkedNorActual", kMoved,
     [](Image& i) { put64(i.memory, kOptional + 24, kMoved + 0x10000); }, ImageMatch::differs},
    {"DiffersWhenTheFileClaimsTheActualBaseWithoutMovedPointers", kMoved,
     [](Image& i) { put64(i.file, kOptional + 24, kMoved); }, ImageMatch::differs},

    {"MalformedWhenEmpty", kPreferred, [](Image& i) { i.file.clear(); }, ImageMatch::malformed},
    {"MalformedWhenCutInTheDosHeader", kPreferred, [](Image& i) { i.file.resize(0x3E); },
     ImageMatch::malformed},
    {"MalformedWhenCutInTheSectionTable", kPreferred, [](Image& i) { i.file.resize(sectionHeader(3) + 20); },
     ImageMatch::malformed},
    {"MalformedWhenTheNtHeadersArePastTheFile", kPreferred, [](Image& i) { put32(i.file, 0x3C, 0xFFFFFFF0); },
     ImageMatch::malformed},
    {"MalformedForPe32", kPreferred, [](Image& i) { put16(i.file, kOptional, 0x10B); },
     ImageMatch::malformed},
    {"MalformedWhenTheSectionTablePassesTheHeaders", kPreferred, [](Image& i) { put16(i.file, 0x46, 200); },
     ImageMatch::malformed},
    {"MalformedWithTooManyDirectories", kPreferred, [](Image& i) { put32(i.file, kOptional + 108, 17); },
     ImageMatch::malformed},
    {"MalformedWhenASectionIsPastTheFile", kPreferred, [](Image& i) { i.file.resize(0x800 + 0x10); },
     ImageMatch::malformed},
    {"MalformedWhenASectionsRawDataOffsetIsPastTheFile", kPreferred,
     [](Image& i) { put32(i.file, sectionHeader(1) + 20, 0xFFFFFF00); }, ImageMatch::malformed},
    {"MalformedWhenASectionIsPastTheImage", kPreferred, [](Image& i) { i.memory.resize(0x4010); },
     ImageMatch::malformed},
    {"MalformedWhenAReadOnlySectionCannotBeRead", kPreferred,
     [](Image& i) { put32(i.file, sectionHeader(1) + 36, 0x40); }, ImageMatch::malformed},
    {"MalformedWhenAReadOnlySectionHasNoVirtualSize", kPreferred,
     [](Image& i) { put32(i.file, sectionHeader(1) + 8, 0); }, ImageMatch::malformed},
    {"MalformedWhenTheRelocationsArePastTheirSection", kMoved,
     [](Image& i) { put32(i.file, kOptional + 112 + 5 * 8 + 4, kRelocationBlocks + 4); },
     ImageMatch::malformed},
    {"MalformedWhenARelocationBlockIsPastTheRelocations", kMoved,
     [](Image& i) { put32(i.file, 0x800 + 24 + 4, 16); }, ImageMatch::malformed},
    {"MalformedWhenARelocationBlockIsShorterThanItsHead", kMoved,
     [](Image& i) { put32(i.file, 0x800 + 4, 6); }, ImageMatch::malformed},
    {"MalformedWhenARelocatedPointerCrossesItsSectionsEnd", kMoved,
     [](Image& i) { put16(i.file, entry(0), static_cast<std::uint16_t>(0xA000 | 0x17C)); },
     ImageMatch::malformed},
    {"MalformedWhenARelocatedPointerCrossesTheEndOfItsRawData", kMoved,
     [](Image& i) { put32(i.file, sectionHeader(1) + 16, 0x0F); }, ImageMatch::malformed},
    {"MalformedWhenARelocatedPointerIsOutsideEverySection", kMoved,
     [](Image& i) { put32(i.file, 0x800 + 12, 0x8000); }, ImageMatch::malformed},
    {"MalformedForAnUnknownRelocationType", kMoved,
     [](Image& i) { put16(i.file, entry(1), static_cast<std::uint16_t>(0x3000 | 0x008)); },
     ImageMatch::malformed},
    {"MalformedForAnUnknownRelocationTypeInAWritableSection", kPreferred,
     [](Image& i) { put16(i.file, entry(2), 0x3000); }, ImageMatch::malformed},
    {"MalformedWhenTheImportTableIsPastTheImage", kPreferred,
     [](Image& i) { put32(i.file, kOptional + 112 + 12 * 8, kImageSize - 8); }, ImageMatch::malformed},
};

INSTANTIATE_TEST_SUITE_P(Images, ImageCompareTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
