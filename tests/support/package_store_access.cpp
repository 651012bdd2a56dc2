#include "tests/support/package_store_access.h"

#include <windows.h>
#include <wincrypt.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/wine_test_support.h"

namespace testsupport {

bool PackageStore::load(const std::wstring& folder) {
    stateFolder = folder;
    bool exists = false;
    std::istringstream lines(readBytes(folder + L"\\store.txt", &exists));
    const std::pair<const char*, std::wstring*> fields[] = {
        {"http", &http}, {"https", &https}, {"untrusted", &untrusted}};
    for (std::string line; std::getline(lines, line);) {
        const std::size_t equals = line.find('=');
        for (const auto& [name, url] : fields) {
            if (equals != std::string::npos && line.substr(0, equals) == name) {
                url->assign(line.begin() + equals + 1, line.end());  // ASCII
            }
        }
    }
    return exists && !http.empty() && !https.empty() && !untrusted.empty();
}

bool PackageStore::putPackage(const std::wstring& name, const std::string& bytes) const {
    return writeBytes(stateFolder + L"\\files\\" + name, bytes);
}

HeldDownload::HeldDownload(const PackageStore& store, const std::wstring& name) {
    // Process ids come again in later runs, which find the same store folder: the time makes the token
    // new, and whatever an earlier holder of it left goes.
    static unsigned count = 0;
    const std::wstring token = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) +
                               L"-" + std::to_wstring(++count);
    url = store.http + L"/held/" + token + L"/" + name;
    order_ = store.stateFolder + L"\\held\\" + token;
    DeleteFileW(order_.c_str());
    DeleteFileW((order_ + L".started").c_str());
}

bool HeldDownload::waitForStart(unsigned timeoutMs) const {
    return waitFor(static_cast<int>((timeoutMs + 9) / 10), 10,
                   [&] { return pathExists(order_ + L".started"); });
}

bool HeldDownload::release(unsigned spreadMs) const {
    return writeBytes(order_, std::to_string(spreadMs));
}

bool HeldDownload::cut() const {
    return writeBytes(order_, "cut");
}

bool PackageStore::trustTestCertificateAuthority() const {
    const std::string pem = readBytes(stateFolder + L"\\ca.pem");
    std::vector<BYTE> der(pem.size());  // the decoded certificate is shorter than its Base64 text
    DWORD derLength = static_cast<DWORD>(der.size());
    if (pem.empty() ||
        !CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &derLength, nullptr, nullptr)) {
        return false;
    }
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (root == nullptr) {
        return false;
    }
    const bool added = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(), derLength,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(root, 0);
    return added;
}

std::string patternBytes(std::size_t count, std::uint64_t seed) {
    std::string bytes(count, '\0');
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < count; i += 8) {
        state += 0x9E3779B97F4A7C15u;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        z ^= z >> 31;
        for (std::size_t j = 0; j < 8 && i + j < count; ++j) {
            bytes[i + j] = static_cast<char>(z >> (8 * j));
        }
    }
    return bytes;
}

}  // namespace testsupport
