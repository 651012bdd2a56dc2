// The extractor read once beside the installer, checked against the SHA-512 this build was made with,
// and written as a copy where only administrators can write.
#include "install/pinned_extractor.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>

#include "install/extractor_config.h"
#include "install/files/file_tree.h"
#include "install/install_log.h"
#include "install/files/installer_folder.h"
#include "install/files/safe_files.h"
#include "signature/sha512.h"

namespace {

// Far larger than any 7za.exe: a file beyond it is not the pinned one and is not read.
constexpr DWORD kExtractorLimit = 64 * 1024 * 1024;
// Right after the extractor has ended, the system may hold its image for a moment longer.
constexpr DWORD kImagePatienceMs = 2000;
const wchar_t kForeign[] = L"%ls is not the 7za.exe this installer was built with";

}  // namespace

bool PinnedExtractor::load() {
    bool folderKnown = false;
    if (!besideInstaller(L"7za.exe", path_, &folderKnown)) {
        const int error = static_cast<int>(GetLastError());
        return folderKnown ? failed(L"Couldn't build the path of 7za.exe from %ls", path_)
                           : failed(L"GetModuleFileName failed (%d)", error);
    }
    OwnedHandle file;
    const Opened opened = openFileNoFollow(path_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                           nullptr,  // lpSecurityAttributes
                                           &file);
    if (opened == Opened::missing) {
        // The extractor cannot be started; the error is the one starting it would give (2 when it is
        // missing), so the line is the one a failed start writes.
        return failed(L"CreateProcess failed (%d)", static_cast<int>(GetLastError()));
    }
    if (opened != Opened::ok) {
        return failed(L"Refusing %ls: it is a link or not a file", path_);
    }
    DWORD length = 0;
    LocalMemory<std::uint8_t> bytes;
    if (!fileSize(file.get(), kExtractorLimit, &length) || !readWhole(file.get(), length, 1, &bytes)) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_TOO_LARGE
                   ? failed(kForeign, path_)
                   : failed(L"Couldn't read %ls (%d)", path_, static_cast<int>(error));
    }
    std::uint8_t digest[64];
    Sha512State state;
    sha512_init(&state);
    sha512_update(&state, bytes.get(), length);
    sha512_final(&state, digest);
    // Not secret: the comparison may stop at the first difference.
    if (std::memcmp(digest, kExtractorSha512, sizeof digest) != 0) {
        return failed(kForeign, path_);
    }
    bytes_.reset(bytes.release());
    length_ = length;
    return true;
}

bool PinnedExtractor::failed(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(failure_, kFailureCapacity, format, arguments);
    va_end(arguments);
    failure_[kFailureCapacity - 1] = L'\0';
    return false;
}

bool PinnedExtractor::writeCopy(InstallLog& log, const wchar_t* folder) {
    if (bytes_.get() == nullptr) {
        log.write(L"extractUpdate: %ls\n", failure_);
        return false;
    }
    removeCopy();
    wchar_t copy[MAX_PATH];
    if (!joinPath(copy, folder, L"7za.exe")) {
        log.write(L"extractUpdate: Couldn't build the path of 7za.exe in %ls\n", folder);
        return false;
    }
    DeleteFileW(copy);  // one left by an earlier run
    // A new file, never one that is there already; it takes the access list of its folder. No write
    // handle may stay open: starting the program takes a share mode that refuses one.
    OwnedHandle file(CreateFileW(copy, GENERIC_WRITE, 0,
                                 nullptr,  // lpSecurityAttributes: the folder's inherited list
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));  // hTemplateFile
    const bool whole = file.valid() && writeWhole(file.get(), bytes_.get(), length_);
    const DWORD error = GetLastError();
    if (file.valid()) {
        lstrcpynW(copy_, copy, MAX_PATH);
    }
    file.reset();
    if (!whole) {
        log.write(L"extractUpdate: Couldn't write %ls (%d)\n", copy, static_cast<int>(error));
        removeCopy();
        return false;
    }
    return true;
}

void PinnedExtractor::removeCopy() {
    if (copy_[0] != L'\0') {
        removeTreeAt(copy_, kImagePatienceMs);
        copy_[0] = L'\0';
    }
}
