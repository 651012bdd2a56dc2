// The package download over HTTPS, on WinINet, which the first download loads from System32 (never
// bound at load time, see install/files/system_library.h). One internet handle serves the whole process and
// is never closed; each download opens one request handle, which every way out closes, and reads the
// body straight into one buffer of exactly the announced length.
#include "install/download.h"

#include <windows.h>
#include <wininet.h>

#include <cwchar>
#include <memory>

#include "install/download_config.h"
#include "install/install_log.h"
#include "install/files/holders.h"
#include "install/files/system_library.h"
#include "install/manifest.h"

namespace {

// Acceptance limits of the announced length: 512 KiB to 512 MiB, both included.
constexpr DWORD kMinimumPackageLength = 0x80000;
constexpr DWORD kMaximumPackageLength = 0x20000000;
// Largest piece asked of one InternetReadFile.
constexpr DWORD kReadPieceLength = 0x8000;
// INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI: never served from a
// cache, and no dialog ever. Redirects are followed and certificates are checked.
constexpr DWORD kRequestFlags = 0x80400200;
static_assert(kRequestFlags == (INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI),
              "request flags");

constexpr int updateUrlCapacity = 512;  // a URL and its terminator
wchar_t updateUrl[updateUrlCapacity] = {};

// The WinINet functions in use, from System32's wininet.dll: all of them or none.
struct WinInet {
    decltype(&InternetOpenW) open;
    decltype(&InternetOpenUrlW) openUrl;
    decltype(&HttpQueryInfoW) queryInfo;
    decltype(&InternetReadFile) readFile;
    decltype(&InternetCloseHandle) closeHandle;
};
WinInet winInet = {};

// Fills winInet; false when wininet.dll or one of the functions does not load, and then a later call
// tries again.
bool loadWinInet() {
    const HMODULE module = loadSystemLibrary(L"wininet.dll");
    WinInet loaded = {};
    if (!systemFunction(module, "InternetOpenW", &loaded.open) ||
        !systemFunction(module, "InternetOpenUrlW", &loaded.openUrl) ||
        !systemFunction(module, "HttpQueryInfoW", &loaded.queryInfo) ||
        !systemFunction(module, "InternetReadFile", &loaded.readFile) ||
        !systemFunction(module, "InternetCloseHandle", &loaded.closeHandle)) {
        return false;
    }
    winInet = loaded;
    return true;
}
// Opened by the first download that gets one; a failed open leaves it null so the next call tries again.
HINTERNET internetHandle = nullptr;

// A request handle, closed on every way out of downloadUpdate.
using RequestHandle = std::unique_ptr<void, decltype(&InternetCloseHandle)>;

}  // namespace

const wchar_t* buildUpdateUrl(const Manifest* manifest) {
    const wchar_t* version = lookupManifest(manifest, wide(manifestKeyVersion), wide(defaultVersion));
    const wchar_t* mode = lookupManifest(manifest, wide(manifestKeyMode), wide(defaultMode));
    // "%ls" rather than "%s": it means a wide string in the CRT's printf and in mingw's C99 one alike.
    // _snwprintf gives a negative count when the text does not fit and leaves out the terminator when
    // it fills the buffer exactly; both mean the URL would be cut, and a cut URL is never handed on.
    const int count = _snwprintf(updateUrl, updateUrlCapacity, L"%ls/welkara-%ls-%ls-%ls.7z",
                                 WELKARA_PACKAGE_STORE_URL, L"32", mode, version);
    if (count < 0 || count >= updateUrlCapacity) {
        updateUrl[0] = L'\0';
        return nullptr;
    }
    return updateUrl;
}

bool downloadUpdate(InstallLog& log, const wchar_t* url, PackageBytes* package) {
    if (url == nullptr) {
        log.write(L"No package URL to download (longer than %d characters)\n", updateUrlCapacity - 1);
        return false;
    }
    if (internetHandle == nullptr) {
        // WinINet that does not load fails here as an InternetOpenW that returns null would.
        if (loadWinInet()) {
            internetHandle = winInet.open(L"Orvanta Updater", INTERNET_OPEN_TYPE_PRECONFIG,
                                          nullptr,  // lpszProxy
                                          nullptr,  // lpszProxyBypass
                                          0);       // dwFlags: blocking calls
        }
        if (internetHandle == nullptr) {
            log.write(L"InternetOpen failed\n");
            return false;
        }
    }

    const RequestHandle request(winInet.openUrl(internetHandle, url,
                                                nullptr,  // lpszHeaders
                                                0,        // dwHeadersLength
                                                kRequestFlags,
                                                0),  // dwContext
                                winInet.closeHandle);
    if (request.get() == nullptr) {
        log.write(L"InternetOpenURL failed\n");
        return false;
    }

    wchar_t status[128];
    DWORD statusBytes = sizeof status;
    if (!winInet.queryInfo(request.get(), HTTP_QUERY_STATUS_CODE, status, &statusBytes,
                           nullptr)) {  // lpdwIndex
        log.write(L"HttpQueryInfo failed\n");
        return false;
    }
    const DWORD statusLength = statusBytes / sizeof(wchar_t);
    if (statusLength != 3) {
        log.write(L"Status code length %ld but expected 3\n", static_cast<long>(statusLength));
        return false;
    }
    status[3] = L'\0';
    if (wcscmp(status, L"200") != 0) {
        log.write(L"HTTP server returned unexpected status code %ls when downloading %ls\n", status, url);
        return false;
    }

    DWORD announced = 0;
    DWORD announcedBytes = sizeof announced;
    if (!winInet.queryInfo(request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced,
                           &announcedBytes, nullptr)) {
        log.write(L"Could not query Content-Length (%d)\n", static_cast<int>(GetLastError()));
        return false;
    }
    // One unsigned comparison: lengths below the minimum wrap round to huge values.
    if (announced - kMinimumPackageLength > kMaximumPackageLength - kMinimumPackageLength) {
        log.write(L"Weird content-length of %ld\n", static_cast<long>(announced));
        return false;
    }

    LocalMemory<std::uint8_t> buffer(static_cast<std::uint8_t*>(LocalAlloc(LMEM_FIXED, announced)));
    if (buffer.get() == nullptr) {
        log.write(L"Couldn't allocate %ld bytes for the download\n", static_cast<long>(announced));
        return false;
    }
    DWORD received = 0;
    while (received != announced) {
        const DWORD wanted =
            announced - received < kReadPieceLength ? announced - received : kReadPieceLength;
        DWORD delivered = 0;
        if (!winInet.readFile(request.get(), buffer.get() + received, wanted, &delivered)) {
            log.write(L"internetReadFile returned fail\n");
            return false;
        }
        if (delivered == 0) {
            break;  // the server ended the body
        }
        received += delivered;
    }
    // A body that ended early would leave the tail of the buffer undefined: never hand that on.
    if (received != announced) {
        log.write(L"Download ended after %ld of %ld bytes\n", static_cast<long>(received),
                  static_cast<long>(announced));
        return false;
    }
    package->hold(buffer.release(), announced);
    return true;
}
