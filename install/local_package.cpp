// The local package beside the installer: opened once inside the installer's folder, never through a
// link, read or mapped whole, and deleted through the same handle after an installation.
#include "install/local_package.h"

#include <cstddef>
#include <cwchar>

#include "install/install_log.h"
#include "install/files/holders.h"
#include "install/test_hooks.h"

namespace {

// Errors with which the system refuses the right to delete a file that it would let us read: a
// write-protected disc or stick, a read-only share, an access list without that right.
bool deleteRefused(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

// Opens the package without sharing, never through a link. A test build may refuse the right to
// delete, as read-only media do.
Opened openPackage(const wchar_t* path, DWORD access, OwnedHandle* file) {
    if (deleteAccessRefusedByTest(access)) {
        return Opened::missing;
    }
    return openFileNoFollow(path, access, 0, OPEN_EXISTING,
                            nullptr,  // lpSecurityAttributes
                            file);
}

// True when the volume that holds the file open as `file` (by its final path, so a volume mounted in a
// folder counts as itself) lies on a disk that mapsFrom() accepts, as the storage stack describes it.
// A share, a volume that cannot be opened or asked, or an answer too short: false.
bool onInternalDisk(HANDLE file) {
    wchar_t path[2 * MAX_PATH];
    const DWORD length = GetFinalPathNameByHandleW(file, path, 2 * MAX_PATH, VOLUME_NAME_GUID);
    // "\\?\Volume{GUID}\folder\name": the volume's device is named by the text before the root's
    // separator (with it, the name would open the root folder instead).
    const wchar_t prefix[] = L"\\\\?\\Volume{";
    if (length == 0 || length >= 2 * MAX_PATH || wcsncmp(path, prefix, wcslen(prefix)) != 0) {
        return false;
    }
    wchar_t* const root = wcschr(path + wcslen(prefix), L'\\');
    if (root == nullptr) {
        return false;
    }
    *root = L'\0';
    OwnedHandle volume(CreateFileW(path, 0,  // dwDesiredAccess: a query needs no rights
                                   FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr,  // lpSecurityAttributes
                                   OPEN_EXISTING, 0,
                                   nullptr));  // hTemplateFile
    if (!volume.valid()) {
        return false;
    }
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    // The descriptor is followed by the device's strings: room for them, though only the start is read.
    union {
        STORAGE_DEVICE_DESCRIPTOR device;
        BYTE bytes[1024];
    } answer = {};
    DWORD returned = 0;
    if (!DeviceIoControl(volume.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &answer,
                         sizeof answer, &returned,
                         nullptr)) {  // lpOverlapped
        return false;
    }
    return returned >= offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof answer.device.BusType &&
           LocalPackage::mapsFrom(answer.device.BusType, answer.device.RemovableMedia != FALSE);
}

// Whether to map the package open as `file`. A test build asks as a run does, but maps it wherever it
// lies.
bool mapsHere(HANDLE file) {
    return onInternalDisk(file) || mappedAnywhereByTest();
}

// A test build, once the package is mapped, leaves "package-mapped" in the installer's folder and
// waits until the test has deleted it (a minute at most), so that the test can change the file under
// the view.
void afterMapping([[maybe_unused]] const wchar_t* installerFolder) {
#if defined(WELKARA_TEST_MAP_HOOKS)
    wchar_t marker[MAX_PATH];
    if (!joinPath(marker, installerFolder, L"package-mapped")) {
        return;
    }
    CloseHandle(
        CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    for (int i = 0; i < 600 && GetFileAttributesW(marker) != INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(100);
    }
#endif
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
    if (size != 0 && mapsHere(file_.get()) && bytes->map(file_.get(), size)) {
        afterMapping(installerFolder);
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

bool LocalPackage::mapsFrom(STORAGE_BUS_TYPE bus, bool removableMedia) {
    switch (bus) {
        case BusTypeAta:
        case BusTypeSata:
        case BusTypeSas:
        case BusTypeNvme:
        case BusTypeRAID:
        case BusTypeScsi:
            return !removableMedia;
        default:
            return false;
    }
}

bool LocalPackage::stillWhole(InstallLog& log, const PackageBytes& bytes) const {
    if (!bytes.pagesLost()) {
        return true;
    }
    log.write(L"Failed to read file: %ls\n", path_);
    return false;
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
