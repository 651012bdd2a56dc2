// verify_eddsa with the real install log in the test run's Wine prefix: for each kind of signature text
// the exact lines that it leaves and its result. With WELKARA_SIGNED_FIXTURE the build has put beside
// this test a random package.bin and package.sig, its Base64 signature under the build's own test key
// (the key that packagePublicKey holds).
#include "install/verify_eddsa.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::readBytes;

namespace {

const std::wstring kFirst = L"Verifying with base64 signature ";
const std::wstring kDefaultSignature = std::wstring(86, L'A') + L"==";
const std::string kPackage = "a package that nobody signed";

std::wstring lengthLine(long length) {
    return L"verify_eddsa: signature length (" + std::to_wstring(length) + L") incorrect\n";
}
std::wstring resultLine(int result) {
    return L"verify_eddsa: verify result: " + std::to_wstring(result) + L"\n";
}

struct Outcome {
    bool result;
    std::wstring log;
};

Outcome check(const std::string& package, const wchar_t* signature) {
    Outcome outcome;
    outcome.log = testsupport::installLogOf([&](InstallLog& log) {
        EXPECT_TRUE(log.isOpen());
        outcome.result = verify_eddsa(log, reinterpret_cast<const std::uint8_t*>(package.data()),
                                      static_cast<std::uint32_t>(package.size()), signature);
    });
    return outcome;
}

struct TextCase {
    const char* what;
    std::wstring text;
    std::wstring after;  // the lines after the first one
};

TEST(VerifyEddsa, EachKindOfTextLeavesItsLinesAndFails) {
    const std::wstring valid88 = std::wstring(86, L'B') + L"==";
    std::wstring equalsInside = valid88;
    equalsInside[40] = L'=';
    std::wstring lifted = kDefaultSignature;  // U+0141 narrows to "A"
    lifted[10] = L'\u0141';
    const TextCase cases[] = {
        {"default text: 64 zero bytes that do not verify", kDefaultSignature, resultLine(0)},
        {"U+0141 counts as A", lifted, resultLine(0)},
        {"empty", L"", lengthLine(0)},
        {"one byte", L"AA==", lengthLine(1)},
        {"two bytes", L"AAA=", lengthLine(2)},
        {"92 characters without =", std::wstring(92, L'A'), lengthLine(69)},
        {"63 bytes", std::wstring(84, L'A'), lengthLine(63)},
        {"65 bytes", std::wstring(87, L'A') + L"=", lengthLine(65)},
        {"U+0100 ends the text", L"AA==\u0100AAAAAA", lengthLine(1)},
        {"87 characters", std::wstring(87, L'A'), L""},
        {"trailing blank", std::wstring(87, L'A') + L" ", L""},
        {"trailing line feed", std::wstring(87, L'A') + L"\n", L""},
        {"trailing CR LF", std::wstring(86, L'A') + L"\r\n", L""},
        {"URL-safe alphabet", std::wstring(40, L'-') + std::wstring(46, L'_') + L"==", L""},
        {"= inside", equalsInside, L""},
        {"three =", std::wstring(85, L'A') + L"===", L""},
        {"U+0141 where = belongs", std::wstring(86, L'A') + L"=\u0141", L""},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = check(kPackage, c.text.c_str());
        EXPECT_FALSE(outcome.result);
        EXPECT_EQ(outcome.log, kFirst + c.text + L"\n" + c.after);
    }
}

TEST(VerifyEddsa, NullTextIsRejectedAfterTheFirstLine) {
    const Outcome outcome = check(kPackage, nullptr);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.log, kFirst + L"\n");
}

#if WELKARA_SIGNED_FIXTURE

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Fixture {
    std::string package;
    std::wstring signature;
};

Fixture signedFixture() {
    return {readBytes(exeFolder() + L"\\package.bin"),
            testsupport::signatureText(exeFolder() + L"\\package.sig")};
}

// The text with character i's 6-bit value XORed with mask.
std::wstring withCharacterChanged(std::wstring text, std::size_t i, unsigned mask) {
    const std::size_t value = kAlphabet.find(static_cast<char>(text.at(i)));
    text[i] = static_cast<wchar_t>(kAlphabet.at(value ^ mask));
    return text;
}

struct SignedCase {
    const char* what;
    bool changePackage;  // flip the lowest bit of the package's last byte
    std::wstring signature;
    int expected;
};

TEST(VerifyEddsa, OnlyTheUnchangedSignatureOfTheUnchangedPackageVerifies) {
    const Fixture f = signedFixture();
    std::wstring lifted;  // every character as the unit 0x100 above it, which narrows back to it
    for (wchar_t c : f.signature) {
        lifted += static_cast<wchar_t>(0x100 | c);
    }
    // Characters 0 to 41 carry R (bytes 0 to 31); 43 to 85 carry S; the low 4 bits of character 85
    // fill no byte.
    const SignedCase cases[] = {
        {"valid", false, f.signature, 1},
        {"valid, every unit lifted by 0x100", false, lifted, 1},
        {"valid, the bits that fill no byte changed", false, withCharacterChanged(f.signature, 85, 0x0F), 1},
        {"package bit flipped", true, f.signature, 0},
        {"R: first bit flipped", false, withCharacterChanged(f.signature, 0, 0x20), 0},
        {"R: a middle bit flipped", false, withCharacterChanged(f.signature, 20, 0x01), 0},
        {"S: a low bit flipped", false, withCharacterChanged(f.signature, 43, 0x04), 0},
        {"S: the last byte's low bit flipped", false, withCharacterChanged(f.signature, 85, 0x10), 0},
    };
    for (const SignedCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::string package = f.package;
        if (c.changePackage) {
            package.back() ^= 1;
        }
        const Outcome outcome = check(package, c.signature.c_str());
        EXPECT_EQ(outcome.result, c.expected == 1);
        EXPECT_EQ(outcome.log, kFirst + c.signature + L"\n" + resultLine(c.expected));
    }
}

TEST(VerifyEddsa, PackageCutOrEmptyDoesNotVerify) {
    const Fixture f = signedFixture();
    const std::string cut = f.package.substr(0, f.package.size() - 1);
    EXPECT_EQ(check(cut, f.signature.c_str()).log, kFirst + f.signature + L"\n" + resultLine(0));
    InstallLog log;
    log.open(LogFolder::profileList);
    EXPECT_FALSE(verify_eddsa(log, nullptr, 0, f.signature.c_str()));  // no package bytes at all
    log.close();
}

#endif  // WELKARA_SIGNED_FIXTURE

}  // namespace
