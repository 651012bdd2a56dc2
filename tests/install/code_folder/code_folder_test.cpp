// The code folder's lock and what runs leave in the installer's folder, under Wine: one run at a time,
// and what a finished swap could not delete (a running program's file) stays for a later run without
// ever stopping one. Beside this executable: installer_thread_test's packages,
// 7za.exe and installer_runner.exe.
#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/installer_harness.h"
#include "tests/support/wine_test_support.h"

using testsupport::exeFolder;
using testsupport::kError;
using testsupport::kInstalled;
using testsupport::packageSignature;
using testsupport::pathExists;
using testsupport::readBytes;
using testsupport::removeTree;
using testsupport::sameTree;
using testsupport::Tree;
using testsupport::treeContents;
using testsupport::unstamped;
using testsupport::waitFor;
using testsupport::withoutOwnFolder;
using testsupport::writeBytes;

namespace {

class InstallerThreadTest : public testsupport::InstallerHarness {};

// One run at a time in the code folder: a second run that finds another one at work there ends as an
// error before it changes anything. The run at work holds the log, so the second one writes none.
TEST_F(InstallerThreadTest, SecondRunBesideARunAtWorkEndsAsAnError) {
    makeOldInstallation();
    useLocalPackage(L"large.7z", L"large");
    PROCESS_INFORMATION first = startRunner(exeFolder());
    // The first run holds its local package: the second one is given a package of its own. It is held
    // still while it holds the lock, so that it cannot finish before the second run asks for the lock.
    ASSERT_TRUE(logShows(L"extractUpdate: invoking"));
    ASSERT_TRUE(testsupport::suspendProcess(first.hProcess));
    const std::wstring second = exeFolder() + L"\\second.7z";
    ASSERT_TRUE(CopyFileW(package(L"package.7z").c_str(), second.c_str(), FALSE));
    writeManifest(L"local_update_filename=second.7z\r\neddsa_signature=" + packageSignature(L"package") +
                  L"\r\n");
    runInstaller();
    EXPECT_TRUE(testsupport::resumeProcess(first.hProcess));
    DeleteFileW(second.c_str());
    EXPECT_EQ(messages(), kError);
    endRunner(&first, false);
    EXPECT_NE(log().find(L"Installer thread finished victorious"), std::wstring::npos) << log();
    Tree expected = newInstallation();
    expected[L"data\\large.bin"] = std::string(128 << 20, '\0');
    EXPECT_TRUE(sameTree(installed(), expected));
}

// What a finished swap leaves aside and cannot delete now (a running program's file, a file that
// another program holds open) stays for a later run, and never stops one: the previous application
// kept running through two updates in a row, and the leftover of an earlier version's swap, held open.
TEST_F(InstallerThreadTest, ApplicationRunningThroughTwoUpdatesLeavesItsFileUntilItEnds) {
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, codeFolder.c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(
        CopyFileW(package(L"src\\welkara.exe").c_str(), (codeFolder + L"\\welkara.exe").c_str(), FALSE));
    OwnedHandle stop(CreateEventW(nullptr, TRUE, FALSE, L"welkara-test-stop"));
    PROCESS_INFORMATION running = {};
    ASSERT_TRUE(testsupport::startProcess(L"\"" + codeFolder + L"\\welkara.exe\" wait", &running));
    for (int update = 1; update <= 2; ++update) {
        SCOPED_TRACE(update);
        runLocalPackage(L"package.7z", L"package");
        EXPECT_EQ(messages(), kInstalled) << log();
        EXPECT_TRUE(sameTree(withoutOwnFolder(installed()), newInstallation()));
    }
    EXPECT_FALSE(sameTree(installed(), newInstallation())) << "the running application's file is gone";
    SetEvent(stop.get());
    EXPECT_EQ(testsupport::closeProcess(&running, 10000), WAIT_OBJECT_0);
    runLocalPackage(L"package.7z", L"package");
    EXPECT_EQ(messages(), kInstalled);
    EXPECT_TRUE(sameTree(installed(), newInstallation())) << "the leftover stays after the application ended";
}

}  // namespace
