// The two guards against a DLL planted beside the program, each shown alone under Wine with a DLL that
// lies only beside this test executable (welkara_planted.dll, tests/app/planted_dll.c, which leaves a
// marker file when anything loads it). One run, in order, since the second guard changes the process:
//   1. before any restriction, the System32-only loader still refuses it;
//   2. once the process is restricted, a load by plain name, as a system DLL makes one on the
//      program's behalf, does not take it from the program's folder either.
#include "install/files/system_library.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/wine_test_support.h"

namespace {

TEST(SystemLibrary, APlantedDllLoadsNeitherThroughTheLoaderNorOnceTheProcessIsRestricted) {
    const std::wstring planted = testsupport::exeFolder() + L"\\welkara_planted.dll";
    const std::wstring marker = planted + L".loaded";
    ASSERT_TRUE(testsupport::pathExists(planted)) << "the build puts the planted DLL beside this test";
    DeleteFileW(marker.c_str());

    EXPECT_EQ(loadSystemLibrary(L"welkara_planted.dll"), nullptr);
    EXPECT_FALSE(testsupport::pathExists(marker)) << "the System32-only loader took the planted DLL";

    ASSERT_TRUE(restrictDllSearchToSystem32());
    EXPECT_EQ(LoadLibraryW(L"welkara_planted.dll"), nullptr);
    EXPECT_FALSE(testsupport::pathExists(marker)) << "a restricted process took the planted DLL";
}

}  // namespace
