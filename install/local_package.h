// The local package: a file beside the installer, named by the manifest's "local_update_filename",
// taken whole (mapped where it lies on a disk on an internal bus, read into memory elsewhere) and held
// open without sharing from then until the run ends, so that nobody can write, rename or delete it
// meanwhile; after an installation it is deleted through the same handle, never by name again.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>

#include "install/package_bytes.h"
#include "install/files/safe_files.h"

class InstallLog;

class LocalPackage {
  public:
    LocalPackage() = default;
    LocalPackage(const LocalPackage&) = delete;
    LocalPackage& operator=(const LocalPackage&) = delete;

    // Opens `path`, which is `name` (a bare file name) in `installerFolder`, never through a link, and
    // takes it whole into *bytes: a view of the file where mapsFrom() says so of the disk that holds its
    // volume, elsewhere one ReadFile into a new LocalAlloc block. The file must be found in the installer's
    // folder itself. With `deletable` it is opened with the right to delete it, and where the system refuses
    // that right (read-only media, a read-only share) it is opened again for reading only, and remove() then
    // says so. On false the detail line is written ("Failed to open file: ...", "Failed to get file size:
    // ...", "Failed to read file:
    // ...", or a refusal), nothing stays allocated and nothing stays open.
    bool read(InstallLog& log, const wchar_t* installerFolder, const wchar_t* name, const wchar_t* path,
              bool deletable, PackageBytes* bytes);

    // False when `bytes`, as read() gave them, lost pages of their view since (the disk failed while they
    // were read, and what was read is zeros), after writing "Failed to read file: ...".
    bool stillWhole(InstallLog& log, const PackageBytes& bytes) const;

    // Deletes the package read, through its handle; a package that cannot be deleted gets one line
    // saying so. Does nothing when none was read.
    void remove(InstallLog& log);

    // Whether a package is mapped from a disk that the storage stack describes with `bus` and
    // `removableMedia`: only from one on a bus inside the machine (ATA, SATA, SAS, NVMe, RAID, SCSI)
    // that holds no removable media. A disk on any other bus (USB, 1394, SD, a virtual disk backed
    // by a file) can go while its pages are mapped.
    static bool mapsFrom(STORAGE_BUS_TYPE bus, bool removableMedia);

  private:
    OwnedHandle file_;
    const wchar_t* path_ = nullptr;
    bool readOnly_ = false;
};
