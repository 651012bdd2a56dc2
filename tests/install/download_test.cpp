// buildUpdateUrl and downloadUpdate under Wine against the loopback package store that the ctest
// fixture starts (tests/support/package_store.py): whole packages over HTTP and HTTPS, the exact log
// line of every refusal, the Content-Length limits, bodies that drip, overrun or stop early, and
// certificates from a trusted test CA and from nobody. Logs are read from the prefix's real log.
#include "install/download.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "install/download_config.h"
#include "install/install_log.h"
#include "settings/manifest_grammar.h"
#include "tests/support/package_store_access.h"
#include "tests/support/wine_test_support.h"

using testsupport::patternBytes;

namespace {

constexpr std::size_t kMinimumLength = 524288;
constexpr std::size_t kPackageLength = 600001;

testsupport::PackageStore store;
std::string minimumPackage;  // exactly the smallest accepted length
std::string package;         // an odd length, well inside the limits

class DownloadTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(store.load(testsupport::exeFolder() + L"\\store"))
            << "the package_store.up fixture should have written store\\store.txt";
        ASSERT_TRUE(store.trustTestCertificateAuthority());
        minimumPackage = patternBytes(kMinimumLength, 1);
        package = patternBytes(kPackageLength, 2);
        ASSERT_TRUE(store.putPackage(L"minimum.7z", minimumPackage));
        ASSERT_TRUE(store.putPackage(L"package.7z", package));
    }

    struct Outcome {
        bool ok;
        std::string body;
        std::wstring log;
    };

    // One downloadUpdate with a fresh log. On false the outputs must be left as they were.
    static Outcome download(const std::wstring& url) { return download(url.c_str()); }
    static Outcome download(const wchar_t* url) {
        PackageBytes package;
        Outcome outcome;
        outcome.log = testsupport::installLogOf(
            [&](InstallLog& log) { outcome.ok = downloadUpdate(log, url, &package); });
        if (outcome.ok) {
            outcome.body.assign(reinterpret_cast<const char*>(package.data()), package.size());
        } else {
            EXPECT_EQ(package.data(), nullptr);
            EXPECT_EQ(package.size(), 0u);
        }
        return outcome;
    }
};

// --- buildUpdateUrl ---

struct UrlCase {
    const char* name;
    const char16_t* mode;     // null: not in the manifest
    const char16_t* version;  // null: not in the manifest
    std::wstring suffix;      // what follows the base URL
};

TEST_F(DownloadTest, BuildsThePackageUrlFromModeAndVersionUnchanged) {
    const std::wstring base = WELKARA_PACKAGE_STORE_URL;
    ASSERT_EQ(base.rfind(L"https://", 0), 0u);
    ASSERT_NE(base.back(), L'/');
    EXPECT_EQ(std::wstring(buildUpdateUrl(nullptr)), base + L"/welkara-32-devel-latest.7z")
        << "absent manifest";

    const UrlCase cases[] = {
        {"empty manifest", nullptr, nullptr, L"/welkara-32-devel-latest.7z"},
        {"release 1.2.3", u"release", u"1.2.3", L"/welkara-32-release-1.2.3.7z"},
        {"mode only", u"release", nullptr, L"/welkara-32-release-latest.7z"},
        {"version only", nullptr, u"2.0", L"/welkara-32-devel-2.0.7z"},
        {"no encoding", u"a b%20", u"x/../?q=1&\u00e9", L"/welkara-32-a b%20-x/../?q=1&\u00e9.7z"},
    };
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.name);
        Manifest manifest;
        manifest.entries[u"other"] = u"ignored";
        if (c.mode != nullptr) {
            manifest.entries[u"mode"] = c.mode;
        }
        if (c.version != nullptr) {
            manifest.entries[u"version"] = c.version;
        }
        EXPECT_EQ(std::wstring(buildUpdateUrl(&manifest)), base + c.suffix);
    }
}

TEST_F(DownloadTest, UrlOfMoreThan511CharactersIsRefusedNotCut) {
    const std::wstring base = WELKARA_PACKAGE_STORE_URL;
    const std::size_t fixed = base.size() + std::wstring(L"/welkara-32-devel-.7z").size();
    ASSERT_LT(fixed, 511u);
    const std::size_t fits = 511 - fixed;  // version length that makes a URL of exactly 511 characters

    Manifest manifest;
    manifest.entries[u"version"] = std::u16string(fits, u'v');
    EXPECT_EQ(std::wstring(buildUpdateUrl(&manifest)),
              base + L"/welkara-32-devel-" + std::wstring(fits, L'v') + L".7z");

    for (std::size_t length : {fits + 1, fits + 2, std::size_t{4000}}) {
        SCOPED_TRACE(length);
        manifest.entries[u"version"] = std::u16string(length, u'v');
        const wchar_t* url = buildUpdateUrl(&manifest);
        EXPECT_EQ(url, nullptr);
        const Outcome outcome = download(url);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.log, L"No package URL to download (longer than 511 characters)\n");
    }
}

// --- downloadUpdate: packages that arrive whole ---

struct WholeCase {
    const char* name;
    std::wstring url;
    const std::string* expected;
};

TEST_F(DownloadTest, DeliversExactlyTheAnnouncedBytes) {
    const WholeCase cases[] = {
        {"http", store.http + L"/files/package.7z", &package},
        {"https, test CA", store.https + L"/files/package.7z", &package},
        {"smallest accepted length", store.http + L"/files/minimum.7z", &minimumPackage},
        {"302 redirect", store.http + L"/redirect/302/files/package.7z", &package},
        {"301 redirect over https", store.https + L"/redirect/301/files/minimum.7z", &minimumPackage},
        {"5-byte pieces", store.http + L"/drip/5/package.7z", &package},
        {"3-byte pieces over https", store.https + L"/drip/3/minimum.7z", &minimumPackage},
        {"more than announced: the rest ignored", store.http + L"/long/70000/package.7z", &package},
    };
    for (const WholeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = download(c.url);
        EXPECT_TRUE(outcome.ok);
        EXPECT_EQ(outcome.log, L"");
        EXPECT_TRUE(outcome.body == *c.expected) << "the bytes differ (" << outcome.body.size() << ")";
    }
}

TEST_F(DownloadTest, RequestsTheGivenUrlUnchangedAsOrvantaUpdater) {
    const std::wstring paths[] = {
        L"/echo/welkara-32-devel-latest.7z",
        L"/echo/odd%20name/welkara-32-a%2Fb-1.2.3.7z?version=1.2.3&mode=a%2Fb",
    };
    for (const std::wstring& base : {store.http, store.https}) {
        for (const std::wstring& path : paths) {
            SCOPED_TRACE(testsupport::utf16Bytes(base + path));
            const Outcome outcome = download(base + path);
            ASSERT_TRUE(outcome.ok) << std::string(outcome.log.begin(), outcome.log.end());
            const std::string narrowPath(path.begin(), path.end());
            EXPECT_EQ(outcome.body.rfind("GET " + narrowPath + " HTTP/1.1\r\n", 0), 0u)
                << outcome.body.substr(0, 200);
            EXPECT_NE(outcome.body.find("\r\nUser-Agent: Orvanta Updater\r\n"), std::string::npos);
        }
    }
}

// --- downloadUpdate: refusals and their log lines ---

struct RefusalCase {
    const char* name;
    std::wstring url;
    std::wstring log;  // empty: "HTTP server returned unexpected status code ..." with the status below
    const wchar_t* status;
};

TEST_F(DownloadTest, EachRefusalWritesItsOwnLine) {
    const std::wstring refused = L"http://localhost:1/files/package.7z";  // nothing listens on port 1
    const RefusalCase cases[] = {
        {"404", store.http + L"/status/404", L"", L"404"},
        {"500", store.https + L"/status/500", L"", L"500"},
        {"missing file", store.http + L"/files/none.7z", L"", L"404"},
        {"204", store.http + L"/status/204", L"", L"204"},
        {"unanswered redirect", store.http + L"/status/302", L"", L"302"},
        {"4-digit status", store.http + L"/status/2000", L"Status code length 4 but expected 3\n", nullptr},
        {"2-digit status", store.http + L"/status/20", L"Status code length 2 but expected 3\n", nullptr},
        {"chunked, no Content-Length", store.http + L"/chunked/package.7z",
         L"Could not query Content-Length (12150)\n", nullptr},
        {"connection refused", refused, L"InternetOpenURL failed\n", nullptr},
        {"certificate nobody trusts", store.untrusted + L"/files/package.7z", L"InternetOpenURL failed\n",
         nullptr},
        {"empty URL", L"", L"InternetOpenURL failed\n", nullptr},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = download(c.url);
        EXPECT_FALSE(outcome.ok);
        const std::wstring expected = c.status != nullptr
                                          ? L"HTTP server returned unexpected status code " +
                                                std::wstring(c.status) + L" when downloading " + c.url + L"\n"
                                          : c.log;
        EXPECT_EQ(outcome.log, expected);
    }
}

struct LengthCase {
    const char* announced;  // the Content-Length header
    unsigned sent;          // body bytes the server sends before closing
    std::wstring log;
};

TEST_F(DownloadTest, AnnouncedLengthMustLieWithin512KiBAnd512MiB) {
    // Accepted lengths get past the length test and then fail only because the body stops early.
    const LengthCase cases[] = {
        {"0", 0, L"Weird content-length of 0\n"},
        {"1", 1, L"Weird content-length of 1\n"},
        {"524287", 0, L"Weird content-length of 524287\n"},
        {"524288", 0, L"Download ended after 0 of 524288 bytes\n"},
        {"524288", 1000, L"Download ended after 1000 of 524288 bytes\n"},
        {"536870912", 40000, L"Download ended after 40000 of 536870912 bytes\n"},
        {"536870913", 0, L"Weird content-length of 536870913\n"},
        {"2147483648", 0, L"Weird content-length of -2147483648\n"},
        {"4294967295", 0, L"Weird content-length of -1\n"},
        {"-1", 0, L"Weird content-length of -1\n"},
        // 2^32 + 524,288 must not wrap round into range; WinINet refuses to give it as a number.
        {"4295491584", 0, L"Could not query Content-Length (12153)\n"},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(c.announced);
        const std::string announced = c.announced;
        const Outcome outcome =
            download(store.http + L"/announce/" + std::wstring(announced.begin(), announced.end()) + L"/" +
                     std::to_wstring(c.sent));
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.log, c.log);
    }
}

TEST_F(DownloadTest, BodyThatEndsEarlyIsRefusedAndNeverHandedOn) {
    for (const std::wstring& base : {store.http, store.https}) {
        SCOPED_TRACE(testsupport::utf16Bytes(base));
        const Outcome outcome = download(base + L"/short/300000/package.7z");
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.log, L"Download ended after 300000 of 600001 bytes\n");
    }
}

// Private memory committed in this process, from the address space itself (Wine's process counters
// leave out memory that was never touched).
std::uint64_t committedPrivateBytes() {
    std::uint64_t total = 0;
    MEMORY_BASIC_INFORMATION region;
    const char* address = nullptr;
    while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
        address = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    }
    return total;
}

TEST_F(DownloadTest, RefusedLargeDownloadsLeaveNothingAllocated) {
    // Each refusal below had its 512 MiB buffer; were one kept, the process would grow by that much.
    const std::uint64_t before = committedPrivateBytes();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(download(store.http + L"/announce/536870912/100").ok);
        EXPECT_FALSE(download(store.https + L"/announce/536870912/100").ok);
    }
    const std::uint64_t after = committedPrivateBytes();
    EXPECT_LT(after, before + (256u << 20)) << "before " << before << ", after " << after;
}

TEST_F(DownloadTest, RefusalsLeaveTheProcessAbleToDownload) {
    // Each refusal closed its own request; the shared internet handle serves the next download.
    for (const std::wstring& url : {store.http + L"/status/404", store.https + L"/short/10/package.7z",
                                    store.http + L"/announce/1/1", store.untrusted + L"/files/package.7z"}) {
        EXPECT_FALSE(download(url).ok);
    }
    const Outcome outcome = download(store.https + L"/files/package.7z");
    EXPECT_TRUE(outcome.ok);
    EXPECT_TRUE(outcome.body == package);
}

}  // namespace
