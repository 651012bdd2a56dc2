// base64_decode and base64_decoded_length: exact results for valid texts, every rejection with nothing
// written, the capacity bound, and the lookup table against the alphabet. In native trees also two
// differential tests on random texts: OpenSSL's EVP_DecodeBlock on valid texts and libsodium's strict
// decoder on short texts that are mostly invalid. Random tests print their seed; set
// WELKARA_TEST_SEED=<seed> to replay one.
#include "signature/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/signature/test_hex.h"
#include "tests/signature/test_random.h"

#if WELKARA_BASE64_ORACLES
#include <openssl/evp.h>
#include <sodium.h>
#endif

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kUntouched = 0xA5;

struct Decoded {
    int result;
    std::vector<std::uint8_t> buffer;  // the whole output buffer, untouched bytes included
};

Decoded decode(const std::string& text, std::size_t capacity) {
    Decoded d{0, std::vector<std::uint8_t>(capacity + 8, kUntouched)};
    d.result = base64_decode(text.c_str(), d.buffer.data(), capacity);
    return d;
}

// `text` is valid and decodes to exactly `expected` in a buffer of that size, writing nothing past it.
void expect_decodes(const std::string& text, std::vector<std::uint8_t> expected) {
    std::size_t length = 12345;
    ASSERT_TRUE(base64_decoded_length(text.c_str(), &length));
    ASSERT_EQ(length, expected.size());
    const Decoded d = decode(text, length);
    ASSERT_EQ(d.result, 1);
    expected.resize(d.buffer.size(), kUntouched);
    ASSERT_EQ(hex(d.buffer), hex(expected));
}

struct ValidCase {
    std::string text;
    std::string expected;  // the decoded bytes
};

TEST(Base64Decode, ValidTextsGiveExactlyTheirBytes) {
    const ValidCase cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"},
        {"AAAA", std::string(3, '\0')},
        {"////", "\xff\xff\xff"},
        {"+/+/", "\xfb\xff\xbf"},
        {"AA==", std::string(1, '\0')},
        {std::string(86, 'A') + "==", std::string(64, '\0')},  // the default signature text
        // The bits that fill no whole byte are dropped, whatever they hold.
        {"Zh==", "f"},
        {"Zv==", "f"},
        {"Zm9=", "fo"},
        {"Zm/=", "fo"},
        {"AB==", std::string(1, '\0')},
        {"AP==", std::string(1, '\0')},
        {"A/==", "\x03"},
        {"AAB=", std::string(2, '\0')},
        {"QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAxMjM0NTY3ODkrLw==",
         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"},
    };
    for (const ValidCase& c : cases) {
        SCOPED_TRACE(c.text);
        expect_decodes(c.text, bytes_of(c.expected));
    }
}

struct InvalidCase {
    const char* what;
    std::string text;
};

TEST(Base64Decode, InvalidTextsAreRejectedAndNothingIsWritten) {
    const InvalidCase cases[] = {
        // Length not a multiple of 4.
        {"one character", "A"},
        {"two characters", "AA"},
        {"three characters", "AAA"},
        {"five characters", "AAAAA"},
        {"87 characters", std::string(87, 'A')},
        {"padding without its group", "="},
        {"group with an extra =", "AA==="},
        // Bytes outside the alphabet.
        {"URL-safe minus", "AA-A"},
        {"URL-safe underscore", "AA_A"},
        {"trailing blank", "AAAA "},
        {"leading blank", " AAA"},
        {"inner blank", "AA AAAAA"},
        {"line feed", "AAAA\nAAA"},
        {"trailing CR LF", "AAAAAA\r\n"},
        {"tab", "AA\tA"},
        {"byte 0x80", "AAA\x80"},
        {"byte 0xC5 (UTF-8 lead)", "AA\xc5\x81"},
        {"byte 0xFF", "\xff\xff\xff\xff"},
        {"dot", "AA.A"},
        {"padding then a letter in another group", "AA==AAAA"},
        // "=" anywhere but a final "=" or "==".
        {"= first", "=AAA"},
        {"= second", "A=AA"},
        {"= inside, last group", "AA=A"},
        {"= inside an earlier group", "AAA=AAAA"},
        {"three =", "A==="},
        {"four =", "===="},
        {"three = after a group", "AAAAA==="},
        {"= between letters of the last group", "AAAAA=A="},
    };
    for (const InvalidCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::size_t length = 777;
        EXPECT_FALSE(base64_decoded_length(c.text.c_str(), &length));
        EXPECT_EQ(length, 777u) << "length is left as it was";
        const Decoded d = decode(c.text, 200);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(hex(d.buffer), hex(std::vector<std::uint8_t>(d.buffer.size(), kUntouched)));
    }
}

TEST(Base64Decode, NullTextOrBufferIsRejected) {
    std::uint8_t out[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
    std::size_t length = 9;
    EXPECT_FALSE(base64_decoded_length(nullptr, &length));
    EXPECT_FALSE(base64_decoded_length("AAAA", nullptr));
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(base64_decode(nullptr, out, sizeof out), 0);
    EXPECT_EQ(base64_decode("AAAA", nullptr, 3), 0);
    EXPECT_EQ(base64_decode("", nullptr, 0), 0);  // even where nothing would be written
    for (std::uint8_t b : out) {
        EXPECT_EQ(b, kUntouched);
    }
}

TEST(Base64Decode, CapacityBelowTheDecodedLengthIsRejectedAndExactCapacityIsEnough) {
    const ValidCase cases[] = {
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYmE=", "fooba"},
    };
    for (const ValidCase& c : cases) {
        SCOPED_TRACE(c.text);
        const std::size_t length = c.expected.size();
        for (std::size_t capacity = 0; capacity < length; ++capacity) {
            const Decoded d = decode(c.text, capacity);
            EXPECT_EQ(d.result, 0) << "capacity " << capacity;
            EXPECT_EQ(hex(d.buffer), hex(std::vector<std::uint8_t>(d.buffer.size(), kUntouched)));
        }
        for (std::size_t capacity : {length, length + 1, length + 7}) {
            const Decoded d = decode(c.text, capacity);
            EXPECT_EQ(d.result, 1) << "capacity " << capacity;
            EXPECT_EQ(std::string(d.buffer.begin(), d.buffer.begin() + length), c.expected);
            EXPECT_EQ(d.buffer[length], kUntouched);
        }
    }
    std::uint8_t none = kUntouched;
    EXPECT_EQ(base64_decode("", &none, 0), 1);  // an empty text needs no room
    EXPECT_EQ(none, kUntouched);
}

// Checks the 256-entry lookup table against the alphabet: "cccc" is valid exactly for the 64 letters of
// the alphabet, and then decodes to the 24 bits value,value,value,value.
TEST(Base64Decode, EveryByteValueDecodesAsTheAlphabetSays) {
    for (int b = 1; b < 256; ++b) {
        SCOPED_TRACE(b);
        const std::string text(4, static_cast<char>(b));
        const std::size_t position = kAlphabet.find(static_cast<char>(b));
        const Decoded d = decode(text, 3);
        if (position == std::string::npos) {
            EXPECT_EQ(d.result, 0);
            continue;
        }
        ASSERT_EQ(d.result, 1);
        const std::uint32_t v = static_cast<std::uint32_t>(position) * 0x41041;  // four copies of 6 bits
        EXPECT_EQ(d.buffer[0], static_cast<std::uint8_t>(v >> 16));
        EXPECT_EQ(d.buffer[1], static_cast<std::uint8_t>(v >> 8));
        EXPECT_EQ(d.buffer[2], static_cast<std::uint8_t>(v));
    }
}

#if WELKARA_BASE64_ORACLES

std::size_t trailingPads(const std::string& text) {
    std::size_t count = 0;
    while (count < text.size() && text[text.size() - 1 - count] == '=') {
        ++count;
    }
    return count;
}

// A random valid text: `groups` groups of letters with random padding and random dropped bits.
std::string randomValidText(std::mt19937_64& random, std::size_t groups) {
    std::string text;
    for (std::size_t i = 0; i < groups * 4; ++i) {
        text += kAlphabet[random() % 64];
    }
    const std::size_t padding = groups == 0 ? 0 : random() % 3;
    for (std::size_t i = 0; i < padding; ++i) {
        text[text.size() - 1 - i] = '=';
    }
    return text;
}

// EVP_DecodeBlock reads "=" as a zero value and returns 3 bytes for every group, the pad bytes
// included (with the dropped bits in them); it also strips blanks at both ends. On valid texts, which
// hold no blanks, its first (L / 4) * 3 - P bytes must be ours.
TEST(Base64Decode, AgreesWithOpenSslOnRandomValidTexts) {
    std::mt19937_64 random = test_random();
    for (int round = 0; round < 20000; ++round) {
        const std::size_t groups = round < 100 ? round % 4 : random() % 64;
        const std::string text = randomValidText(random, groups);
        SCOPED_TRACE(text);
        const std::size_t padding = trailingPads(text);
        std::vector<std::uint8_t> expected(groups * 3 + 1);
        ASSERT_EQ(EVP_DecodeBlock(expected.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size())),
                  static_cast<int>(groups * 3));
        expected.resize(groups * 3 - padding);
        ASSERT_NO_FATAL_FAILURE(expect_decodes(text, expected));
    }
}

// libsodium's decoder (original alphabet, padding required, nothing ignored) also rejects texts whose
// dropped bits are not zero. So our decoder must accept a text exactly when libsodium accepts it with
// those bits cleared, and give the same bytes. Short texts over a few letters, "=" and two foreign
// bytes cover every rejection rule often.
TEST(Base64Decode, AgreesWithLibsodiumOnShortTextsMostlyInvalid) {
    ASSERT_GE(sodium_init(), 0);
    const std::string letters = "AQgw/+D=-= ";
    std::mt19937_64 random = test_random();
    int accepted = 0;
    for (int round = 0; round < 200000; ++round) {
        std::string text;
        const std::size_t size = random() % 13;
        for (std::size_t i = 0; i < size; ++i) {
            text += letters[random() % letters.size()];
        }
        SCOPED_TRACE(text);
        std::string cleared = text;  // the same text with the dropped bits set to zero
        const std::size_t padding = trailingPads(text);
        if (text.size() % 4 == 0 && (padding == 1 || padding == 2)) {
            const std::size_t last = text.size() - padding - 1;
            const std::size_t value = kAlphabet.find(text[last]);
            if (value != std::string::npos) {
                cleared[last] = kAlphabet[value & (padding == 2 ? 0x30 : 0x3c)];
            }
        }
        std::uint8_t expected[16];
        std::size_t expectedLength = 0;
        const bool sodiumAccepts =
            sodium_base642bin(expected, sizeof expected, cleared.data(), cleared.size(), nullptr,
                              &expectedLength, nullptr, sodium_base64_VARIANT_ORIGINAL) == 0;
        const Decoded d = decode(text, 16);
        ASSERT_EQ(d.result, sodiumAccepts ? 1 : 0);
        std::size_t length = 99;
        ASSERT_EQ(base64_decoded_length(text.c_str(), &length), sodiumAccepts);
        if (sodiumAccepts) {
            accepted += text.empty() ? 0 : 1;
            ASSERT_EQ(length, expectedLength);
            ASSERT_EQ(hex(std::vector<std::uint8_t>(d.buffer.begin(), d.buffer.begin() + length)),
                      hex(std::vector<std::uint8_t>(expected, expected + expectedLength)));
        } else {
            ASSERT_EQ(hex(d.buffer), hex(std::vector<std::uint8_t>(d.buffer.size(), kUntouched)));
        }
    }
    EXPECT_GT(accepted, 1000) << "the random texts hardly ever reach the valid side";
}

#endif  // WELKARA_BASE64_ORACLES

}  // namespace
