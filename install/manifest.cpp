// Loading the manifest: finds "manifest" beside the executable and reads it whole with one
// ReadFile. A file of n bytes is the text of its first n/2 UTF-16LE code units; an odd last byte is
// ignored and no byte-order mark is recognised. Only a regular file on disk with no other name is read,
// never through a link (a link or a second name could lead to a file that the user may not read, whose
// values the log would then show), and never one larger than any manifest: such a file counts as one
// that could not be read.
#include "install/manifest.h"

#include <shlwapi.h>

#include "install/install_log.h"
#include "install/files/installer_folder.h"
#include "install/files/holders.h"
#include "install/files/safe_files.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16 code units");

wchar_t manifestPath[MAX_PATH] = {};

namespace {
// A manifest holds four short settings; a file of more than a mebibyte is not one, and reading it
// (or holding what it parses into) could take more memory than the run has.
constexpr DWORD kManifestLimit = 1024 * 1024;
}  // namespace

Manifest* loadManifest(InstallLog& log) {
    bool folderKnown = false;
    const bool built = besideInstaller(L"manifest", manifestPath, &folderKnown);
    if (!folderKnown) {
        return nullptr;
    }
    // A path that cannot be built is never used cut short: the manifest is then one that cannot be
    // opened, named by its bare name.
    if (!built) {
        lstrcpynW(manifestPath, L"manifest", MAX_PATH);
    }
    OwnedHandle file;
    if (!built ||
        openFileNoFollow(manifestPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                         nullptr,  // lpSecurityAttributes
                         &file) != Opened::ok ||
        linkCount(file.get()) != 1) {
        log.write(L"Couldn't open %s\n", manifestPath);
        return nullptr;
    }
    // A file too large to be a manifest, and a buffer that cannot be had, are reported like a failed
    // read. n/2 + 1 code units hold all n bytes, whether n is even or odd.
    DWORD byteCount = 0;
    const bool sized = fileSize(file.get(), kManifestLimit, &byteCount);
    if (!sized && GetLastError() != ERROR_FILE_TOO_LARGE) {
        log.write(L"loadManifest: GetFileSizeEx fail\n");
        return nullptr;
    }
    LocalMemory<wchar_t> text;
    if (!sized || !readWhole(file.get(), byteCount, sizeof(wchar_t) + byteCount % 2, &text)) {
        log.write(L"loadManifest: couldn't read file\n");
        return nullptr;
    }
    file.reset();
    Manifest* manifest = parseManifest(reinterpret_cast<const char16_t*>(text.get()), byteCount / 2);
    log.write(L"Manifest loaded from %ls.\n", manifestPath);
    return manifest;
}
