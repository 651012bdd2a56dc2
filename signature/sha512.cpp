// Streaming SHA-512: the buffering of sha512_update and sha512_final, and the choice of block function.
// The block functions live in files of their own (sha512_portable.cpp, sha512_x86.cpp); this file picks
// the fastest that the processor and the operating system support, once, unless sha512_use overrides it.
#include "signature/sha512.h"

#include <cstring>

#include "signature/sha512_blocks.h"

#if WELKARA_SHA512_X86
#include <cpuid.h>
#endif

namespace {

constexpr std::uint64_t kInitial[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179,
};

inline void store_be64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

#if WELKARA_SHA512_X86

Sha512X86Features x86_features() {
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return Sha512X86Features{false, false, false};
    }
    const unsigned cpuid1_ecx = ecx;
    std::uint64_t xcr0 = 0;
    if ((cpuid1_ecx & (1u << 27)) != 0) {  // OSXSAVE: XGETBV may be used
        unsigned low, high;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        xcr0 = static_cast<std::uint64_t>(high) << 32 | low;
    }
    const unsigned cpuid7_ebx = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 ? ebx : 0;
    return sha512_x86_features(cpuid1_ecx, cpuid7_ebx, xcr0);
}

#endif

// The implementations to try, fastest first; portable always works.
constexpr Sha512Implementation kFastestFirst[] = {
    Sha512Implementation::x86_avx512, Sha512Implementation::x86_avx2, Sha512Implementation::x86_avx,
    Sha512Implementation::portable};

Sha512Blocks& active_blocks() {
    static Sha512Blocks blocks = [] {
        Sha512Blocks found = nullptr;
        for (Sha512Implementation which : kFastestFirst) {
            if (found == nullptr) {
                found = sha512_blocks_of(which);
            }
        }
        return found;
    }();
    return blocks;
}

}  // namespace

Sha512X86Features sha512_x86_features(std::uint32_t cpuid1_ecx, std::uint32_t cpuid7_ebx,
                                      std::uint64_t xcr0) {
    const std::uint32_t osxsave = 1u << 27, avx = 1u << 28;
    const std::uint32_t bmi1 = 1u << 3, avx2 = 1u << 5, bmi2 = 1u << 8, avx512f = 1u << 16,
                        avx512vl = 1u << 31;
    const std::uint64_t sse_avx_state = 0x06,
                        avx512_state = 0xe0;  // XMM, YMM; opmask, ZMM0-15 upper, ZMM16-31
    Sha512X86Features features{false, false, false};
    if ((cpuid1_ecx & osxsave) == 0 || (cpuid1_ecx & avx) == 0) {
        return features;
    }
    features.avx_bmi2 = (xcr0 & sse_avx_state) == sse_avx_state && (cpuid7_ebx & bmi2) != 0;
    features.avx2 = features.avx_bmi2 && (cpuid7_ebx & avx2) != 0 && (cpuid7_ebx & bmi1) != 0;
    features.avx512vl = features.avx2 && (xcr0 & avx512_state) == avx512_state &&
                        (cpuid7_ebx & avx512f) != 0 && (cpuid7_ebx & avx512vl) != 0;
    return features;
}

Sha512Blocks sha512_blocks_of(Sha512Implementation which) {
#if WELKARA_SHA512_X86
    static const Sha512X86Features features = x86_features();
    switch (which) {
        case Sha512Implementation::portable:
            return sha512_detail::portable_blocks;
        case Sha512Implementation::x86_avx:
            return features.avx_bmi2 ? sha512_detail::avx_blocks : nullptr;
        case Sha512Implementation::x86_avx2:
            return features.avx2 ? sha512_detail::avx2_blocks : nullptr;
        case Sha512Implementation::x86_avx512:
            return features.avx512vl ? sha512_detail::avx512_blocks : nullptr;
    }
    return nullptr;
#else
    return which == Sha512Implementation::portable ? sha512_detail::portable_blocks : nullptr;
#endif
}

bool sha512_use(Sha512Implementation which) {
    Sha512Blocks blocks = sha512_blocks_of(which);
    if (blocks == nullptr) {
        return false;
    }
    active_blocks() = blocks;
    return true;
}

Sha512Implementation sha512_in_use() {
    for (Sha512Implementation which : kFastestFirst) {
        if (active_blocks() == sha512_blocks_of(which)) {
            return which;
        }
    }
    return Sha512Implementation::portable;
}

int sha512_init(Sha512State* state) {
    if (state == nullptr) {
        return 1;
    }
    state->bit_count = 0;
    std::memcpy(state->chaining, kInitial, sizeof kInitial);
    state->buffered_count = 0;
    return 0;
}

int sha512_update(Sha512State* state, const std::uint8_t* data, std::size_t count) {
    if (state == nullptr || data == nullptr || state->buffered_count > 128) {
        return 1;
    }
    Sha512Blocks blocks = active_blocks();
    while (count > 0) {
        if (state->buffered_count == 0 && count >= 128) {
            // Every whole block straight from the caller's memory, in one call.
            std::size_t whole = count / 128;
            blocks(state->chaining, data, whole);
            state->bit_count += 1024 * static_cast<std::uint64_t>(whole);
            data += 128 * whole;
            count -= 128 * whole;
            continue;
        }
        std::size_t room = 128 - state->buffered_count;
        std::size_t take = count < room ? count : room;
        std::memcpy(state->buffer + state->buffered_count, data, take);
        state->buffered_count += take;
        data += take;
        count -= take;
        if (state->buffered_count == 128) {
            blocks(state->chaining, state->buffer, 1);
            state->bit_count += 1024;
            state->buffered_count = 0;
        }
    }
    return 0;
}

int sha512_final(Sha512State* state, std::uint8_t* digest64) {
    if (state == nullptr || digest64 == nullptr || state->buffered_count >= 128) {
        return 1;
    }
    Sha512Blocks blocks = active_blocks();
    std::size_t n = state->buffered_count;
    state->bit_count += 8 * static_cast<std::uint64_t>(n);
    state->buffer[n++] = 0x80;
    if (n > 112) {
        std::memset(state->buffer + n, 0, 128 - n);
        blocks(state->chaining, state->buffer, 1);
        n = 0;
    }
    // Bytes 112..119, the upper half of the 128-bit length, are always zero.
    std::memset(state->buffer + n, 0, 120 - n);
    store_be64(state->buffer + 120, state->bit_count);
    blocks(state->chaining, state->buffer, 1);
    state->buffered_count = 0;
    for (int i = 0; i < 8; ++i) {
        store_be64(digest64 + 8 * i, state->chaining[i]);
    }
    return 0;
}

int sha512_compress(Sha512State* state, const std::uint8_t* block128) {
    if (state == nullptr || block128 == nullptr) {
        return 1;
    }
    active_blocks()(state->chaining, block128, 1);
    return 0;
}
