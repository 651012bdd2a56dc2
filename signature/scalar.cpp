// Reduction of a 512-bit integer modulo L on signed 21-bit limbs. Limb k stands for 2^(21k); 2^252 is
// limb 12, and 2^252 = -(L - 2^252) modulo L, so a limb at 12 or above folds down six places below 12
// onto six signed digits. Folds and carries alternate so that no 64-bit sum overflows.
#include "signature/scalar.h"

namespace {

// -(L - 2^252) = sum(kFold[j] * 2^(21 j)), each |kFold[j]| < 2^20.
constexpr std::int64_t kFold[6] = {666643, 470296, 654183, -997805, 136657, -683901};

constexpr std::int64_t kLimb = std::int64_t{1} << 21;

// Replaces limb k >= 12 by its fold: s[k] 2^(21k) = s[k] 2^(21(k-12)) 2^252, onto limbs k-12..k-7.
inline void fold(std::int64_t* s, int k) {
    for (int j = 0; j < 6; ++j) {
        s[k - 12 + j] += s[k] * kFold[j];
    }
    s[k] = 0;
}

// Carries limb i into i + 1 rounding to the nearest multiple: afterwards -2^20 <= s[i] < 2^20.
inline void carry_nearest(std::int64_t* s, int i) {
    const std::int64_t c = (s[i] + kLimb / 2) >> 21;
    s[i + 1] += c;
    s[i] -= c * kLimb;
}

// Carries limb i into i + 1 rounding down: afterwards 0 <= s[i] < 2^21.
inline void carry_down(std::int64_t* s, int i) {
    s[i + 1] += s[i] >> 21;
    s[i] &= kLimb - 1;
}

// Bits [first, first + count) of the little-endian s64, count <= 29.
std::int64_t bits_of(const std::uint8_t* s64, int first, int count) {
    std::uint64_t bits = 0;
    for (int b = 0; b < 5 && first / 8 + b < 64; ++b) {
        bits |= std::uint64_t{s64[first / 8 + b]} << (8 * b);
    }
    return static_cast<std::int64_t>((bits >> (first % 8)) & ((std::uint64_t{1} << count) - 1));
}

}  // namespace

void reduce_scalar(std::uint8_t* s64) {
    // 23 limbs of 21 bits and a top limb of the remaining 29 bits.
    std::int64_t s[24];
    for (int k = 0; k < 23; ++k) {
        s[k] = bits_of(s64, 21 * k, 21);
    }
    s[23] = bits_of(s64, 21 * 23, 29);

    // Limbs 23..18 onto 6..17: each of those gets at most six products below 2^29 * 2^20, so |s| < 2^52.
    for (int k = 23; k >= 18; --k) {
        fold(s, k);
    }
    // 6..17 back to [-2^20, 2^20); limb 18 takes the last carry, below 2^31.1.
    for (int i = 6; i < 18; ++i) {
        carry_nearest(s, i);
    }
    // Limbs 18..12 onto 0..11 (never onto 12 or above again): |s| < 2^21 + 2^31.1 * 2^20 + 5 * 2^40 < 2^52.
    for (int k = 18; k >= 12; --k) {
        fold(s, k);
    }
    // 0..11 back to [-2^20, 2^20); limb 12 takes the last carry, below 2^31.
    for (int i = 0; i < 12; ++i) {
        carry_nearest(s, i);
    }
    // Fold limb 12 once more, then carry downwards: the value is now within 2^251 + 2^31 * 2^125 of 0,
    // so the carry out into limb 12 is -1 or 0: value = low + s[12] * 2^252 with 0 <= low < 2^252.
    // The second round: with s[12] = -1, folding it adds L - 2^252 to low: low + L - 2^252 lies in
    // [L - 2^252, L). Either way the value is now in [0, L), with bit 252 in s[12] after the last carries.
    for (int round = 0; round < 2; ++round) {
        fold(s, 12);
        for (int i = 0; i < 12; ++i) {
            carry_down(s, i);
        }
    }

    // 12 limbs of 21 bits fill bytes 0..30 and half of byte 31; bit 252 follows them.
    std::uint64_t pending = 0;
    int pending_bits = 0, at = 0;
    for (int i = 0; i < 12; ++i) {
        pending |= static_cast<std::uint64_t>(s[i]) << pending_bits;
        pending_bits += 21;
        for (; pending_bits >= 8; pending_bits -= 8) {
            s64[at++] = static_cast<std::uint8_t>(pending);
            pending >>= 8;
        }
    }
    s64[31] = static_cast<std::uint8_t>(pending | static_cast<std::uint64_t>(s[12]) << 4);
}
