// Windows side of the loopback package store (tests/support/package_store.py) for the download tests
// and the download benchmark: where its servers listen, how to put a package into it, and trust in its
// test CA inside the run's throwaway Wine prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testsupport {

// A running store, known from the "store.txt" that package_store.py writes into its state folder.
struct PackageStore {
    std::wstring stateFolder;  // Windows path of the state folder (Z:\...)
    std::wstring http;         // base URLs, without a trailing slash
    std::wstring https;        // certificate from the test CA
    std::wstring untrusted;    // self-signed certificate that nobody trusts

    // Reads stateFolder\store.txt; false when it is missing or names no server.
    bool load(const std::wstring& folder);
    // Writes a package that the store then serves as /files/NAME (and in its other modes).
    bool putPackage(const std::wstring& name, const std::string& bytes) const;
    // Adds the store's test CA (stateFolder\ca.pem) to the local machine's "Root" store. Only for a
    // throwaway prefix: the certificate stays trusted there for good.
    bool trustTestCertificateAuthority() const;
};

// A download of packages\NAME from the store's /held/ path, whose pace the test decides: the store
// sends the start of the body, then nothing until release() sends the rest or cut() closes the
// connection. Each one has a token of its own.
struct HeldDownload {
    HeldDownload(const PackageStore& store, const std::wstring& name);
    std::wstring url;
    // True once the request has come and the start of the body has gone out, within `timeoutMs`.
    bool waitForStart(unsigned timeoutMs) const;
    bool release(unsigned spreadMs) const;
    bool cut() const;

  private:
    std::wstring order_;  // the file that tells the store what to do
};

// `count` bytes from a fixed generator (splitmix64 of `seed`): the same bytes on every run.
std::string patternBytes(std::size_t count, std::uint64_t seed);

}  // namespace testsupport
