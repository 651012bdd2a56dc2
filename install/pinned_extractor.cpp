// Win32 side of the pinned extractor.
#include "install/pinned_extractor.h"

#include <cstring>

#include "install/extractor_config.h"
#include "install/file_tree.h"
#include "install/install_log.h"
#include "install/installer_folder.h"
#include "install/safe_files.h"
#include "signature/sha512.h"

namespace {

// Far larger than any 7za.exe: a file beyond it is not the pinned one and is not read.
constexpr DWORD kExtractorLimit = 64 * 1024 * 1024;
// Right after the extractor has ended, the system may hold its image for a moment longer.
constexpr DWORD kImagePatienceMs = 2000;

}  // namespace

bool PinnedExtractor::load() {
    bool folderKnown = false;
    if (!besideInstaller(L"7za.exe", path_, &folderKnown)) {
        error_ = GetLastError();
        failure_ = folderKnown ? Failure::extractorPath : Failure::modulePath;
        return false;
    }
    OwnedHandle file;
    const Opened opened = openFileNoFollow(path_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                           nullptr,  // lpSecurityAttributes
                                           &file);
    error_ = GetLastError();
    if (opened != Opened::ok) {
        failure_ = opened == Opened::missing ? Failure::missing : Failure::notAFile;
        return false;
    }
    DWORD length = 0;
    LocalMemory<std::uint8_t> bytes;
    if (!fileSize(file.get(), kExtractorLimit, &length) || !readWhole(file.get(), length, 1, &bytes)) {
        error_ = GetLastError();
        failure_ = error_ == ERROR_FILE_TOO_LARGE ? Failure::foreign : Failure::unreadable;
        return false;
    }
    std::uint8_t digest[64];
    Sha512State state;
    sha512_init(&state);
    sha512_update(&state, bytes.get(), length);
    sha512_final(&state, digest);
    // Not secret: the comparison may stop at the first difference.
    if (std::memcmp(digest, kExtractorSha512, sizeof digest) != 0) {
        failure_ = Failure::foreign;
        return false;
    }
    bytes_.reset(bytes.release());
    length_ = length;
    failure_ = Failure::none;
    return true;
}

void PinnedExtractor::logFailure(InstallLog& log) const {
    const int error = static_cast<int>(error_);
    switch (failure_) {
        case Failure::none:
            log.write(L"extractUpdate: the extractor was not checked\n");
            break;
        case Failure::modulePath:
            log.write(L"extractUpdate: GetModuleFileName failed (%d)\n", error);
            break;
        case Failure::extractorPath:
            log.write(L"extractUpdate: Couldn't build the path of 7za.exe from %ls\n", path_);
            break;
        case Failure::missing:
            // The extractor cannot be started; the error is the one starting it would give (2 when it is
            // missing), so the line is the one a failed start writes.
            log.write(L"extractUpdate: CreateProcess failed (%d)\n", error);
            break;
        case Failure::notAFile:
            log.write(L"extractUpdate: Refusing %ls: it is a link or not a file\n", path_);
            break;
        case Failure::unreadable:
            log.write(L"extractUpdate: Couldn't read %ls (%d)\n", path_, error);
            break;
        case Failure::foreign:
            log.write(L"extractUpdate: %ls is not the 7za.exe this installer was built with\n", path_);
            break;
    }
}

bool PinnedExtractor::writeCopy(InstallLog& log, const wchar_t* folder) {
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
