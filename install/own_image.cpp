// The uninstaller's copy of the running program: the proofs that the held file is the mapped one (by
// its name, then by its bytes against the image in memory), and the copy's draft, flush and renames.
#include "install/own_image.h"

#include <psapi.h>

#include "install/files/safe_files.h"
#include "install/image_compare.h"
#include "install/install_log.h"

namespace {

// Room for an NT path ("\Device\HarddiskVolume3\...") of any file that a MAX_PATH path can name.
constexpr DWORD kNameCapacity = 2 * MAX_PATH;
constexpr DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
const wchar_t kNotKept[] = L"Not keeping a copy of the installer: ";

enum class Proof {
    same,       // the held file is the mapped image's file
    different,  // the two names (or the two contents) differ
    unknown,    // a name could not be had; GetLastError tells why
};

// Compares the name of the file that the process's image was mapped from with the final path of the
// file open as `file`, case folded. The system gives the mapped name as an NT device path
// ("\Device\HarddiskVolume3\...", compared with the final path in that form) or as a path through
// the DOS device names ("\??\C:\...", compared with the final path's DOS form without its "\\?\").
// The held file cannot change its name while it is held (no delete sharing, and no folder above it
// can be renamed), so equal names mean that the image's file, named as it is now, is the held file.
Proof provesMappedImage(HANDLE file) {
    wchar_t mapped[kNameCapacity];
    const DWORD mappedLength =
        GetMappedFileNameW(GetCurrentProcess(), GetModuleHandleW(nullptr), mapped, kNameCapacity);
    // A name that fills the buffer may have been cut.
    if (mappedLength == 0 || mappedLength >= kNameCapacity - 1) {
        return Proof::unknown;
    }
    mapped[mappedLength] = L'\0';
    const bool dosForm = CompareStringOrdinal(mapped, 4, L"\\??\\", 4, FALSE) == CSTR_EQUAL;
    wchar_t held[kNameCapacity];
    const DWORD heldLength = GetFinalPathNameByHandleW(
        file, held, kNameCapacity, FILE_NAME_NORMALIZED | (dosForm ? VOLUME_NAME_DOS : VOLUME_NAME_NT));
    if (heldLength == 0 || heldLength >= kNameCapacity) {
        return Proof::unknown;
    }
    // Both DOS forms carry a four-character prefix: "\??\" and "\\?\".
    const bool dosHeld = CompareStringOrdinal(held, 4, L"\\\\?\\", 4, FALSE) == CSTR_EQUAL;
    if (dosForm && !dosHeld) {
        return Proof::different;
    }
    return samePath(dosForm ? held + 4 : held, dosForm ? mapped + 4 : mapped) ? Proof::same
                                                                              : Proof::different;
}

// Whether every page of the `size` bytes at `base` is part of a mapped image and can be read, so that
// comparing them cannot fault.
bool readableImage(const std::uint8_t* base, SIZE_T size) {
    SIZE_T at = 0;
    while (at < size) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(base + at, &region, sizeof(region)) == 0 || region.State != MEM_COMMIT ||
            region.Type != MEM_IMAGE || (region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0) {
            return false;
        }
        at = static_cast<SIZE_T>(static_cast<const std::uint8_t*>(region.BaseAddress) + region.RegionSize -
                                 base);
    }
    return true;
}

// Compares `length` bytes read from the program's file with the image that runs (see compareImage).
// The content proof holds on every system, whatever name the system gives the image's file. unknown
// when the image cannot be read or the work buffer cannot be had (GetLastError tells why).
Proof provesSameContent(const std::uint8_t* bytes, DWORD length) {
    MODULEINFO module = {};
    if (!GetModuleInformation(GetCurrentProcess(), GetModuleHandleW(nullptr), &module, sizeof(module))) {
        return Proof::unknown;
    }
    const auto* image = static_cast<const std::uint8_t*>(module.lpBaseOfDll);
    if (!readableImage(image, module.SizeOfImage)) {
        SetLastError(ERROR_NOACCESS);
        return Proof::unknown;
    }
    switch (compareImage(bytes, length, image, module.SizeOfImage, reinterpret_cast<std::uintptr_t>(image))) {
        case ImageMatch::same:
            return Proof::same;
        case ImageMatch::noMemory:
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return Proof::unknown;
        case ImageMatch::differs:
        case ImageMatch::malformed:
            break;
    }
    return Proof::different;
}

// `name` with `suffix` after it in `out` (MAX_PATH); false when it would not fit.
bool withSuffix(wchar_t* out, const wchar_t* name, const wchar_t* suffix) {
    const int length = lstrlenW(name);
    if (length + lstrlenW(suffix) >= MAX_PATH) {
        return false;
    }
    lstrcpyW(out, name);
    lstrcpyW(out + length, suffix);
    return true;
}

// Writes `length` bytes as the new file `draft`, flushed to the disk, replacing a file left there by
// an earlier run. It takes the access list of its folder. False with GetLastError set; a draft that
// was made stays for the caller to delete.
bool writeDraft(const wchar_t* draft, const void* bytes, DWORD length) {
    DeleteFileW(draft);
    OwnedHandle file(CreateFileW(draft, GENERIC_WRITE, 0,
                                 nullptr,  // lpSecurityAttributes: the folder's inherited list
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));  // hTemplateFile
    return file.valid() && writeWhole(file.get(), bytes, length) && FlushFileBuffers(file.get()) != FALSE;
}

}  // namespace

bool OwnImage::failed(Failure failure, DWORD error) {
    bytes_.reset();
    length_ = 0;
    failure_ = failure;
    error_ = error;
    return false;
}

bool OwnImage::load() {
    const DWORD pathLength = GetModuleFileNameW(GetModuleHandleW(nullptr), module_, MAX_PATH);
    // A result of MAX_PATH means the path did not fit and was cut.
    if (pathLength == 0 || pathLength == MAX_PATH) {
        const DWORD error = pathLength == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        module_[MAX_PATH - 1] = L'\0';
        return failed(Failure::unreadable, error);
    }
    // Read sharing only: while `file` is open its name cannot change, so the proof below stays true
    // for as long as the bytes are read.
    OwnedHandle file;
    const Opened opened = openFileNoFollow(module_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                           nullptr,  // lpSecurityAttributes
                                           &file);
    if (opened == Opened::missing) {
        return failed(Failure::unreadable, GetLastError());
    }
    if (opened != Opened::ok) {
        return failed(Failure::foreign);
    }
    const Proof proof = provesMappedImage(file.get());
    if (proof == Proof::unknown) {
        return failed(Failure::unreadable, GetLastError());
    }
    if (proof == Proof::different) {
        return failed(Failure::foreign);
    }
    DWORD length = 0;
    LocalMemory<std::uint8_t> bytes;
    if (!fileSize(file.get(), kImageLimit, &length) || !readWhole(file.get(), length, 1, &bytes)) {
        return failed(Failure::unreadable, GetLastError());
    }
    // Still held: the bytes read are the mapped image's own in every byte that the program cannot have
    // changed since it started.
    const Proof content = provesSameContent(bytes.get(), length);
    if (content != Proof::same) {
        return failed(content == Proof::different ? Failure::foreign : Failure::unreadable, GetLastError());
    }
    bytes_.reset(bytes.release());
    length_ = length;
    return true;
}

bool OwnImage::writeCopy(InstallLog& log, const wchar_t* folder, const wchar_t* name, wchar_t* path) {
    if (bytes_.get() == nullptr) {
        if (failure_ == Failure::foreign) {
            log.write(L"%ls%ls is not the program that runs\n", kNotKept, module_);
        } else {
            log.write(L"%lscouldn't read %ls (%d)\n", kNotKept, module_, static_cast<int>(error_));
        }
        return false;
    }
    wchar_t copy[MAX_PATH];
    wchar_t draft[MAX_PATH];
    wchar_t aside[MAX_PATH];
    if (!joinPath(copy, folder, name) || !withSuffix(draft, copy, L".new") ||
        !withSuffix(aside, copy, L".old")) {
        log.write(L"Couldn't write %ls (%d)\n", folder, ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (!writeDraft(draft, bytes_.get(), length_)) {
        const DWORD error = GetLastError();
        DeleteFileW(draft);
        log.write(L"Couldn't write %ls (%d)\n", draft, static_cast<int>(error));
        return false;
    }
    bool placed = MoveFileExW(draft, copy, kReplace) != FALSE;
    DWORD error = GetLastError();
    if (!placed) {
        // A running program's file (or one held open with delete sharing) cannot be replaced, but it
        // can be renamed: it goes aside and the draft takes its name.
        if (MoveFileExW(copy, aside, kReplace)) {
            placed = MoveFileExW(draft, copy, kReplace) != FALSE;
            error = GetLastError();
            if (!placed) {
                MoveFileExW(aside, copy, MOVEFILE_WRITE_THROUGH);  // the old copy back, when it can be
            }
        }
    }
    if (!placed) {
        DeleteFileW(draft);
        log.write(L"Couldn't write %ls (%d)\n", copy, static_cast<int>(error));
        return false;
    }
    lstrcpynW(path, copy, MAX_PATH);
    return true;
}
