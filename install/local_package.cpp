// Win32 side of the local package.
#include "install/local_package.h"

#include "install/install_log.h"
#include "install/files/holders.h"

namespace {

// Errors with which the system refuses the right to delete a file that it would let us read: a
// write-protected disc or stick, a read-only share, an access list without that right.
bool deleteRefused(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

// Opens the package without sharing, never through a link. A test build may refuse the right to
// delete, as read-only media do.
Opened openPackage(const wchar_t* path, DWORD access, OwnedHandle* file) {
#if defined(WELKARA_TEST_REFUSE_DELETE_ACCESS)
    if ((access & DELETE) != 0) {
        SetLastError(ERROR_WRITE_PROTECT);
        return Opened::missing;
    }
#endif
    return openFileNoFollow(path, access, 0, OPEN_EXISTING,
                            nullptr,  // lpSecurityAttributes
                            file);
}

// True when the file open as `file` lies on a fixed local disk (by the drive of its final path): not on
// removable media or a share, whose pages could go while the file is mapped.
bool onFixedDisk(HANDLE file) {
    wchar_t path[2 * MAX_PATH];
    const DWORD length = GetFinalPathNameByHandleW(file, path, 2 * MAX_PATH, VOLUME_NAME_DOS);
    // "\\?\C:\..." for a drive; a share is "\\?\UNC\...".
    if (length < 7 || length >= 2 * MAX_PATH || path[5] != L':' || path[6] != L'\\') {
        return false;
    }
    const wchar_t root[] = {path[4], L':', L'\\', L'\0'};
    return GetDriveTypeW(root) == DRIVE_FIXED;
}

}  // namespace

bool LocalPackage::read(InstallLog& log, const wchar_t* installerFolder, const wchar_t* name,
                        const wchar_t* path, bool deletable, PackageBytes* bytes) {
    path_ = path;
    Opened opened = openPackage(path, GENERIC_READ | (deletable ? DELETE : 0), &file_);
    if (deletable && opened == Opened::missing && deleteRefused(GetLastError())) {
        readOnly_ = true;
        opened = openPackage(path, GENERIC_READ, &file_);
    }
    if (opened == Opened::missing) {
        log.write(L"Failed to open file: %ls\n", path);
        return false;
    }
    if (opened != Opened::ok || !isAtPath(file_.get(), installerFolder, name)) {
        file_.reset();
        log.write(L"Refusing the local package %ls: it is not a file in the installer's folder\n", path);
        return false;
    }
    // A package's length is a 32-bit count, all ones standing for none.
    DWORD size = 0;
    if (!fileSize(file_.get(), INVALID_FILE_SIZE - 1, &size)) {
        log.write(L"Failed to get file size: %ls\n", path);
        file_.reset();
        return false;
    }
    if (size != 0 && onFixedDisk(file_.get()) && bytes->map(file_.get(), size)) {
        return true;
    }
    // A zero-byte package is a valid (if useless) input: one byte is asked for so that the block is real.
    LocalMemory<std::uint8_t> buffer;
    if (!readWhole(file_.get(), size, size == 0 ? 1 : 0, &buffer)) {
        log.write(L"Failed to read file: %ls\n", path);
        file_.reset();
        return false;
    }
    bytes->hold(buffer.release(), size);
    return true;
}

void LocalPackage::remove(InstallLog& log) {
    if (!file_.valid()) {
        return;
    }
    if (readOnly_) {
        log.write(L"Couldn't delete the local package %ls: it could be opened for reading only\n", path_);
    } else if (!deleteByHandle(file_.get())) {
        log.write(L"Couldn't delete the local package %ls (%d)\n", path_, static_cast<int>(GetLastError()));
    }
    file_.reset();
}
