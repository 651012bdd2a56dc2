// What an elevated run starts the installed application with, under Wine: every process there is
// elevated with the Administrators group enabled and no desktop shell runs, so a run has no signed-in
// user's token to use and must make one without administrator rights from its own. The test
// application writes what its own token says into the file that WELKARA_TEST_TOKEN_REPORT names. Built
// twice: application_start_refused_test (WELKARA_TEST_REFUSE_RESTRICTED_TOKEN) runs against an
// installation whose system refuses to make that token.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/installer_harness.h"
#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::fromUtf16Bytes;
using testsupport::kInstalled;
using testsupport::pathExists;
using testsupport::readBytes;

namespace {

class ApplicationStartTest : public testsupport::InstallerHarness {
  protected:
    void SetUp() override {
        InstallerHarness::SetUp();
        DeleteFileW(tokenReport().c_str());
        // The installer's environment is the one the application inherits when it is started from a
        // token of the installer's own.
        SetEnvironmentVariableW(L"WELKARA_TEST_TOKEN_REPORT", tokenReport().c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"WELKARA_TEST_TOKEN_REPORT", nullptr);
        DeleteFileW(tokenReport().c_str());
        InstallerHarness::TearDown();
    }
    static std::wstring tokenReport() { return exeFolder() + L"\\token.txt"; }

    // Whether this process, and so the run inside it, holds the Administrators group enabled.
    static bool administrator() {
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof administrators;
        BOOL member = FALSE;
        return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
               CheckTokenMembership(nullptr, administrators, &member) && member;
    }
};

// The application gets a restricted copy of the run's token, in which Administrators is for denying
// only; when that copy cannot be made it is not started at all, and the run still counts as installed.
// Never does it run with the installer's own rights.
TEST_F(ApplicationStartTest, AnElevatedRunNeverStartsTheApplicationAsAnAdministrator) {
    ASSERT_TRUE(administrator()) << "the run must be elevated for the start to show anything";
    runLocalPackage(L"package.7z", L"package");

    EXPECT_EQ(messages(), kInstalled);
    expectNewInstallation();
    EXPECT_FALSE(pathExists(localPackage())) << "the run counts as an installation";
    const std::wstring application = codeFolder + L"\\welkara.exe";
#if !defined(WELKARA_TEST_REFUSE_RESTRICTED_TOKEN)
    EXPECT_EQ(log(), localVerified() + installLines(false));
    ASSERT_TRUE(applicationStarted());
    EXPECT_EQ(fromUtf16Bytes(readBytes(tokenReport())), L"Administrators: not enabled\n");
#else
    std::wstring expected = localVerified() + installLines(false);
    const std::wstring executing = L"Executing " + application + L"\n";
    expected.replace(
        expected.find(executing), executing.size(),
        L"Not starting " + application + L": a token without administrator rights could not be made (5)\n");
    EXPECT_EQ(log(), expected);
    // Anything started would have written its marker during the run's pause before its close.
    EXPECT_FALSE(pathExists(codeFolder + L"\\started.txt")) << "the application was started";
    EXPECT_FALSE(pathExists(tokenReport()));
#endif
}

}  // namespace
