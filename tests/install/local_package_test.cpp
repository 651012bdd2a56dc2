// How a local package is taken: which disks it is mapped from, what happens to a read of the view that
// the system cannot satisfy, and a whole run (installer_mapping_runner.exe, which maps the package
// wherever it lies and waits after mapping) whose package shrinks under its view, as a disk that is
// pulled out or fails leaves it. A file that shrinks from the Unix side makes Wine raise a read access
// violation where Windows raises EXCEPTION_IN_PAGE_ERROR; the table raises both.
#include "install/local_package.h"

#include <gtest/gtest.h>

#include <string>

#include "install/package_bytes.h"
#include "tests/support/installer_harness.h"
#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::kError;
using testsupport::packageSignature;
using testsupport::pathExists;
using testsupport::waitFor;

namespace {

TEST(LocalPackageMapping, OnlyDisksOnInternalBusesWithoutRemovableMediaAreMapped) {
    struct Case {
        STORAGE_BUS_TYPE bus;
        bool removable;
        bool mapped;
    };
    const Case cases[] = {
        {BusTypeAta, false, true},      {BusTypeSata, false, true},
        {BusTypeSas, false, true},      {BusTypeNvme, false, true},
        {BusTypeRAID, false, true},     {BusTypeScsi, false, true},
        {BusTypeSata, true, false},     {BusTypeScsi, true, false},
        {BusTypeUsb, false, false},     {BusType1394, false, false},
        {BusTypeSd, false, false},      {BusTypeMmc, false, false},
        {BusTypeiScsi, false, false},   {BusTypeFibre, false, false},
        {BusTypeVirtual, false, false}, {BusTypeFileBackedVirtual, false, false},
        {BusTypeSpaces, false, false},  {BusTypeAtapi, false, false},
        {BusTypeUnknown, false, false}, {static_cast<STORAGE_BUS_TYPE>(0x7E), false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LocalPackage::mapsFrom(c.bus, c.removable), c.mapped)
            << "bus " << c.bus << (c.removable ? ", removable media" : "");
    }
}

// The exceptions the table raises, let through by the view's handler, end here (the last handler) and
// go on instead of ending the test.
struct {
    bool raising = false;
    bool reached = false;
} lastHandler;

LONG CALLBACK continueWhatTheTableRaised(EXCEPTION_POINTERS*) {
    if (!lastHandler.raising) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    lastHandler.reached = true;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// A file of three pages and a bit, every byte non-zero, mapped as the package is; each row raises one
// exception as a failed read of it would come, and sees whether the view's handler took it.
TEST(LocalPackageMapping, FailedReadsInsideTheViewTurnItIntoZerosAndOthersPassOn) {
    struct Case {
        const char* name;
        DWORD code;
        ULONG_PTR access;  // 0 read, 1 write
        LONG_PTR offset;   // of the address from the view's start
        bool taken;
    };
    constexpr DWORD kSize = 3 * 4096 + 100;
    constexpr LONG_PTR kMapped = 4 * 4096;  // the view's pages
    const Case cases[] = {
        {"PageErrorAtTheStart", EXCEPTION_IN_PAGE_ERROR, 0, 0, true},
        {"PageErrorInTheLastPage", EXCEPTION_IN_PAGE_ERROR, 0, kMapped - 1, true},
        {"PageErrorPastTheView", EXCEPTION_IN_PAGE_ERROR, 0, kMapped, false},
        {"PageErrorBeforeTheView", EXCEPTION_IN_PAGE_ERROR, 0, -1, false},
        {"ReadViolationAsWineRaisesIt", EXCEPTION_ACCESS_VIOLATION, 0, 4096, true},
        {"WriteViolation", EXCEPTION_ACCESS_VIOLATION, 1, 4096, false},
        {"OtherException", EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, false},
    };
    wchar_t folder[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
    const std::wstring path = std::wstring(folder) + L"welkara-view.bin";
    std::string bytes(kSize, '\0');
    for (DWORD i = 0; i < kSize; ++i) {
        bytes[i] = static_cast<char>(1 + i % 255);
    }
    ASSERT_TRUE(testsupport::writeBytes(path, bytes));
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    const PVOID last = AddVectoredExceptionHandler(0, continueWhatTheTableRaised);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PackageBytes package;
        ASSERT_TRUE(package.map(file.get(), kSize)) << "a view is mapped again once the last one is gone";
        PackageBytes second;
        EXPECT_FALSE(second.map(file.get(), kSize)) << "one view at a time";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
        const ULONG_PTR parameters[] = {c.access, reinterpret_cast<ULONG_PTR>(package.data()) + c.offset,
                                        static_cast<ULONG_PTR>(0xC0000185)};  // STATUS_IO_DEVICE_ERROR
        lastHandler = {true, false};
        RaiseException(c.code, 0, 3, parameters);
        lastHandler.raising = false;
        EXPECT_EQ(lastHandler.reached, !c.taken);
        EXPECT_EQ(package.pagesLost(), c.taken);
        EXPECT_EQ(package.size(), kSize);
        const std::string seen(reinterpret_cast<const char*>(package.data()), kSize);
        EXPECT_TRUE(seen == (c.taken ? std::string(kSize, '\0') : bytes)) << "the view's bytes";
    }
    RemoveVectoredExceptionHandler(last);
    file.reset();
    DeleteFileW(path.c_str());
}

class LocalPackageRunTest : public testsupport::InstallerHarness {};

// The package's file shrinks to one page after it was mapped and before it is checked: the pages past
// it cannot be read. The run ends as a read that failed, with its two lines, instead of the process
// dying without a final line; the package stays where it was.
TEST_F(LocalPackageRunTest, PackageShrinkingUnderItsViewEndsTheRunAsAFailedRead) {
    useLocalPackage(L"package.7z", L"package");
    const std::wstring marker = exeFolder() + L"\\package-mapped";
    DeleteFileW(marker.c_str());
    PROCESS_INFORMATION runner = startRunner(exeFolder(), L"installer_mapping_runner.exe");
    ASSERT_TRUE(waitFor(600, 100, [&] { return pathExists(marker); })) << log();
    const std::wstring unixPackage = testsupport::unixPath(localPackage());
    ASSERT_FALSE(unixPackage.empty());
    EXPECT_EQ(testsupport::runAndWait(L"Z:\\usr\\bin\\truncate -s 4096 " + unixPackage), 0);
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    EXPECT_TRUE(waitFor(100, 100, [&] {
        return GetFileAttributesExW(localPackage().c_str(), GetFileExInfoStandard, &attributes) &&
               attributes.nFileSizeLow == 4096;
    }));
    DeleteFileW(marker.c_str());
    ASSERT_EQ(WaitForSingleObject(runner.hProcess, 120000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(runner.hProcess, &exitCode);
    endRunner(&runner, false);
    EXPECT_EQ(exitCode, 0u) << "the runner died (0x" << std::hex << exitCode << ")";
    EXPECT_EQ(log(), linesUpToDatabase(true) +
                         verifiedLines(localPackage(), packageSignature(L"package"), 0) +
                         L"Failed to read file: " + localPackage() + L"\nCouldn't load local update\n");
    EXPECT_TRUE(pathExists(localPackage()));
    EXPECT_FALSE(pathExists(codeFolder + L"\\welkara.exe"));
}

}  // namespace
