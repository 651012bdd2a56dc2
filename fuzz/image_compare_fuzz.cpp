// Fuzzes compareImage with hostile files: the input as a whole file, compared with itself as the image,
// and the input as edits (an offset and a byte to XOR there, three bytes each) to a small valid image,
// compared with that image mapped at a moved base (edits to the headers made to both), so that the
// sections and relocations are reached with any fields.
// Files and images are exact-size heap copies, so that ASan sees any read past either.
// Invariants: no read outside either buffer, neither buffer changed, the unedited image the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "install/image_compare.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kLinked = 0x140000000;
constexpr std::uint64_t kMoved = 0x7FF650000000;

void put(Bytes& b, std::size_t at, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A PE32+ file of a code section holding one relocated pointer and the import address table, and the
// relocations; `image` gets it as mapped at kMoved.
Bytes smallImage(Bytes* image) {
    Bytes f(0x600, 0);
    put(f, 0, 'M' | 'Z' << 8, 2);
    put(f, 0x3C, 0x40, 4);
    put(f, 0x40, 'P' | 'E' << 8, 4);
    put(f, 0x44, 0x8664, 2);
    put(f, 0x46, 2, 2);
    put(f, 0x54, 240, 2);
    const std::size_t o = 0x58;
    put(f, o, 0x20B, 2);
    put(f, o + 24, kLinked, 8);
    put(f, o + 56, 0x3000, 4);           // SizeOfImage
    put(f, o + 60, 0x200, 4);            // SizeOfHeaders
    put(f, o + 108, 16, 4);              // NumberOfRvaAndSizes
    put(f, o + 112 + 5 * 8, 0x2000, 4);  // the relocations
    put(f, o + 112 + 5 * 8 + 4, 12, 4);
    put(f, o + 112 + 12 * 8, 0x1040, 4);  // the import address table
    put(f, o + 112 + 12 * 8 + 4, 16, 4);
    const std::size_t s = o + 240;
    put(f, s + 8, 0x100, 4);  // .text: VirtualSize, VirtualAddress, raw size and offset
    put(f, s + 12, 0x1000, 4);
    put(f, s + 16, 0x200, 4);
    put(f, s + 20, 0x200, 4);
    put(f, s + 36, 0x60000020, 4);
    put(f, s + 40 + 8, 12, 4);  // .reloc
    put(f, s + 40 + 12, 0x2000, 4);
    put(f, s + 40 + 16, 0x200, 4);
    put(f, s + 40 + 20, 0x400, 4);
    put(f, s + 40 + 36, 0x42000040, 4);
    for (std::size_t i = 0; i < 0x100; ++i) {
        f[0x200 + i] = static_cast<std::uint8_t>(i * 13);
    }
    put(f, 0x208, kLinked + 0x1080, 8);
    put(f, 0x400, 0x1000, 4);
    put(f, 0x404, 12, 4);
    put(f, 0x408, 0xA008, 2);

    image->assign(0x3000, 0);
    std::copy(f.begin(), f.begin() + 0x200, image->begin());
    std::copy(f.begin() + 0x200, f.begin() + 0x300, image->begin() + 0x1000);
    std::copy(f.begin() + 0x400, f.begin() + 0x40C, image->begin() + 0x2000);
    put(*image, 0x1008, kMoved + 0x1080, 8);
    put(*image, 0x1040, 0x7FFB12345678, 8);
    return f;
}

// compareImage over exact-size copies of `file` and `image`, which it must leave as they were.
ImageMatch compareCopies(const Bytes& file, const Bytes& image, std::uint64_t base) {
    Bytes fileCopy(file);
    Bytes imageCopy(image);
    fileCopy.shrink_to_fit();
    imageCopy.shrink_to_fit();
    const ImageMatch match =
        compareImage(fileCopy.data(), fileCopy.size(), imageCopy.data(), imageCopy.size(), base);
    check(fileCopy == file && imageCopy == image);
    return match;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, data + size);
    compareCopies(input, input, kLinked);

    Bytes image;
    Bytes file = smallImage(&image);
    check(compareCopies(file, image, kMoved) == ImageMatch::same);
    for (std::size_t i = 0; i + 3 <= size; i += 3) {
        // An offset a little past the end cuts the file inside its relocations instead.
        const std::size_t at = (data[i] | data[i + 1] << 8) % 0x640;
        if (at >= 0x600) {
            file.resize(0x3C0 + (at - 0x600));
        } else if (at < file.size()) {
            file[at] ^= data[i + 2];
            if (at < 0x200) {
                image[at] ^= data[i + 2];  // the headers stay alike, so that their fields are believed
            }
        }
    }
    compareCopies(file, image, kMoved);
    return 0;
}
