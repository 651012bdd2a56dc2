// The whole installation under Wine, run headless: the installer thread reports to a message-only
// window that the harness (tests/support/installer_harness.h) pumps, recording each message and when it
// came. Every test starts from a known state of the prefix (tests/support/installation_fixture.h) and
// checks the log line by line, the files left behind and the reports. installer_runner.exe, beside this
// executable, runs a whole installation in a process of its own, for a second run at the same time, a run
// ended part-way and a run started through a folder link. Built twice: installer_readonly_test
// (WELKARA_TEST_REFUSE_DELETE_ACCESS) runs against an installation whose file system refuses the right to
// delete the local package. The database step has tests of its own (database_test.cpp), and so do the code
// folder's lock, journal, update and removal (code_folder/).
#include "install/installer_thread.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "install/files/safe_files.h"
#include "tests/support/installer_harness.h"
#include "tests/support/wine_test_support.h"

using testsupport::endsWith;
using testsupport::exeFolder;
using testsupport::fromUtf16Bytes;
using testsupport::kError;
using testsupport::kInstalled;
using testsupport::kVerified;
using testsupport::logFilePath;
using testsupport::packageSignature;
using testsupport::pathExists;
using testsupport::readBytes;
using testsupport::removeTree;
using testsupport::sameTree;
using testsupport::systemFolder;
using testsupport::Tree;
using testsupport::treeContents;
using testsupport::unstamped;
using testsupport::utf16Bytes;
using testsupport::waitFor;
using testsupport::writeBytes;

namespace {

// The harness's fixture under the name the tests have always had.
class InstallerThreadTest : public testsupport::InstallerHarness {};

template <class Row>
class InstallerTable : public InstallerThreadTest, public ::testing::WithParamInterface<Row> {};

template <class Row>
std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}
// Names the two rows of a test over a bool.
auto boolNames(const char* yes, const char* no) {
    return [=](const ::testing::TestParamInfo<bool>& info) { return std::string(info.param ? yes : no); };
}

#if !defined(WELKARA_TEST_REFUSE_DELETE_ACCESS)

TEST_F(InstallerThreadTest, InstallsFromALocalPackage) {
    makeOldInstallation();
    const std::wstring before = testsupport::currentDirectory();
    runLocalPackage(L"package.7z", L"package");

    EXPECT_EQ(messages(), kInstalled);
    EXPECT_GE(gapBeforeClose(), 2450u);
    EXPECT_EQ(log(), localVerified() + installLines(true));
    expectNewInstallation();
    EXPECT_FALSE(pathExists(localPackage()))
        << "the local package is deleted after a successful installation";
    EXPECT_EQ(readBytes(databasePath()), "");
    // The application itself starts, in its own folder, not in the installer's current directory, with
    // its quoted path as its whole command line.
    EXPECT_TRUE(applicationStarted());
    const std::wstring application = codeFolder + L"\\welkara.exe";
    EXPECT_EQ(fromUtf16Bytes(readBytes(codeFolder + L"\\started.txt")),
              application + L"\n" + codeFolder + L"\n\"" + application + L"\"\n");
    EXPECT_EQ(testsupport::currentDirectory(), before);
}

TEST_F(InstallerThreadTest, InstallsADownloadedPackageWithTheRequest) {
    makeOldInstallation();
    // A manifest whose settings the request replaces: its version, mode and signature play no part.
    writeManifest(L"version=9\r\nmode=x\r\neddsa_signature=AA==\r\n");
    const std::wstring url = packageStore({L"package.7z"}).http + L"/files/package.7z";
    askFor(url, packageSignature(L"package"));
    runInstaller();

    EXPECT_EQ(messages(), kInstalled);
    EXPECT_EQ(log(), linesUpToDatabase(true) + verifiedLines(url, packageSignature(L"package"), 1) +
                         installLines(true));
    expectNewInstallation();
    EXPECT_TRUE(applicationStarted());
}

TEST_F(InstallerThreadTest, WithoutAManifestTheDefaultUrlIsTriedAndTheDefaultSignatureUsed) {
    runInstaller();
    EXPECT_EQ(messages(), kError);
    const std::wstring text = log();
    EXPECT_EQ(text.rfind(L"Installer thread started\nCouldn't open " + manifest() + L"\nCreating " +
                             databasePath() + L"\nWill try to install ",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find(L"/welkara-32-devel-latest.7z\n"), std::wstring::npos) << text;
    EXPECT_TRUE(endsWith(text, L"Couldn't download file\n")) << text;
}

// An empty /url: value is a URL like any other that cannot be fetched.
TEST_F(InstallerThreadTest, EmptyUrlFailsAsAUrlThatCannotBeOpened) {
    writeManifest(L"version=9\r\n");
    askFor(L"", L"AA==");
    runInstaller();
    EXPECT_EQ(messages(), kError);
    EXPECT_EQ(log(), linesUpToDatabase(true) +
                         L"Will try to install \nInternetOpenURL failed\nCouldn't download file\n");
}

TEST_F(InstallerThreadTest, VerifyOnlyChecksAndStopsBeforeTouchingAnything) {
    makeOldInstallation();
    verifyLocalPackage();

    EXPECT_EQ(messages(), kVerified);
    EXPECT_GE(gapBeforeClose(), 950u);
    EXPECT_LT(gapBeforeClose(), 2400u);
    EXPECT_EQ(log(), localVerified() + L"Exiting after successful verification as requested\n");
    expectOldInstallationUntouched();
    EXPECT_TRUE(pathExists(localPackage()));
}

class InvalidSignatureTest : public InstallerThreadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(InvalidSignatureTest, FailsAndLeavesTheCodeFolderAndPackageAlone) {
    makeOldInstallation();
    runLocalPackage(L"package.7z", L"damaged", GetParam());  // a valid signature, but of another file

    EXPECT_EQ(messages(), kError);
    EXPECT_EQ(log(), linesUpToDatabase(true) +
                         verifiedLines(localPackage(), packageSignature(L"damaged"), 0) +
                         L"Couldn't validate file\n");
    expectOldInstallationUntouched();
    EXPECT_TRUE(pathExists(localPackage()));
}

INSTANTIATE_TEST_SUITE_P(Runs, InvalidSignatureTest, ::testing::Bool(), boolNames("VerifyOnly", "Install"));

TEST_F(InstallerThreadTest, ZeroBytePackageIsReadAndVerified) {
    runLocalPackage(L"empty.bin", L"empty", true);
    EXPECT_EQ(messages(), kVerified);
    EXPECT_NE(log().find(L"verify_eddsa: verify result: 1\n"), std::wstring::npos) << log();
}

// A run that fails once the code folder is in use, before the swap or part-way through it, leaves the
// installation exactly as it was, the application and the files beside it included, and keeps a local
// package for another try. A missing or foreign extractor (here a working one with bytes added) never
// runs; a signed package that is no archive is refused by the extractor, whose own lines come between
// the invoking line and its exit code; an application file that another program holds open (without
// delete sharing) cannot be moved aside, and what the swap had moved is put back.
struct FailedRun {
    const char* name;
    const wchar_t* package;  // in packages\, with the signature of the same name
    bool download;           // from the store rather than as a local package
    const char* extractor;   // in place of 7za.exe: null to leave it, "" for none, else bytes added to it
    bool holdApplication;
    std::wstring ending;    // of the log, after the python line
    const wchar_t* quoted;  // a line of 7za.exe's own between the invoking line and the ending, or null
};

constexpr wchar_t kInvoking[] = L"extractUpdate: invoking 7za.exe -y -bd x archive.7z\n";
// How a failed extraction ends, with the previous installation kept.
const std::wstring kKept =
    L"extractUpdateFromFileToCwd failed\nThe previous installation in {code} was kept\n"
    L"Couldn't extract file\n";

using FailedRunTest = InstallerTable<FailedRun>;

TEST_P(FailedRunTest, LeavesTheInstallationAsItWas) {
    const FailedRun& c = GetParam();
    makeOldInstallation();
    const std::wstring name = c.package;
    const std::wstring signature = name.substr(0, name.find(L'.'));
    std::wstring url;
    if (c.download) {
        url = packageStore({c.package}).http + L"/files/" + name;
        writeManifest(L"version=9\r\n");  // replaced by the request
        askFor(url, packageSignature(signature));
    } else {
        useLocalPackage(name, signature);
    }
    const std::string pinned = readBytes(extractor());
    if (c.extractor != nullptr) {
        ASSERT_TRUE(MoveFileW(extractor().c_str(), (extractor() + L".away").c_str()));
        if (c.extractor[0] != '\0') {
            ASSERT_TRUE(writeBytes(extractor(), pinned + c.extractor));
        }
    }
    OwnedHandle application(c.holdApplication ? CreateFileW((codeFolder + L"\\welkara.exe").c_str(),
                                                            GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                            nullptr, OPEN_EXISTING, 0, nullptr)
                                              : INVALID_HANDLE_VALUE);
    ASSERT_EQ(application.valid(), c.holdApplication);
    runInstaller();
    application.reset();

    EXPECT_EQ(messages(), kError);
    const std::wstring text = unstamped(log());
    const std::wstring start =
        linesUpToDatabase(true) +
        verifiedLines(c.download ? url : localPackage(), packageSignature(signature), 1) +
        L"Deleting existing Python installation at " + codeFolder + L"\\python\n" + kInvoking;
    const std::wstring ending = expand(c.ending);
    if (c.quoted == nullptr) {
        EXPECT_EQ(text, start + ending);
    } else {
        EXPECT_EQ(text.substr(0, start.size()), start);
        EXPECT_TRUE(endsWith(text, ending)) << text;
        EXPECT_NE(text.find(L"\nextractUpdate: 7za.exe: " + std::wstring(c.quoted) + L"\n", start.size() - 1),
                  std::wstring::npos)
            << text;
    }
    expectOldInstallationUntouched();
    EXPECT_EQ(pathExists(localPackage()), !c.download);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedRunTest,
    ::testing::Values(
        FailedRun{"MissingExtractor", L"package.7z", false, "", false,
                  L"extractUpdate: CreateProcess failed (2)\n" + kKept, nullptr},
        FailedRun{"PlantedExtractor", L"package.7z", false, "planted", false,
                  L"extractUpdate: {extractor} is not the 7za.exe this installer was built with\n" + kKept,
                  nullptr},
        FailedRun{"LocalPackageThatIsNoArchive", L"random.bin", false, nullptr, false,
                  L"extractUpdate: 7za.exe failed with exit code 2\n" + kKept, L"Is not archive"},
        FailedRun{"DownloadThatIsNoArchive", L"random.bin", true, nullptr, false,
                  L"extractUpdate: 7za.exe failed with exit code 2\n" + kKept, L"Is not archive"},
        FailedRun{"ApplicationHeldOpen", L"package.7z", false, nullptr, true,
                  L"Couldn't move {code}\\welkara.exe to "
                  L"{code}\\.installer\\run-{stamp}\\previous\\welkara.exe (32)\n"
                  L"The previous installation in {code} was put back\nCouldn't extract file\n",
                  nullptr}),
    rowName<FailedRun>);

// A signed package may still hold what a careless extractor would write outside the folder it unpacks
// into: a symbolic link that leads out of it, with a file stored behind the link, and names that climb
// out with "..". The extractor refuses the link (the run then fails with the installation as it was)
// and unpacks the ".." names inside the folder; nothing appears outside the installation.
struct Hostile {
    const char* name;
    const wchar_t* package;  // in packages\, with the signature of the same name
    bool installs;
};

using HostileArchiveTest = InstallerTable<Hostile>;

TEST_P(HostileArchiveTest, WritesNothingOutsideTheFolderItUnpacksInto) {
    const Hostile& c = GetParam();
    makeOldInstallation();
    const std::wstring name = c.package;
    runLocalPackage(name, name.substr(0, name.find(L'.')));

    EXPECT_EQ(messages(), c.installs ? kInstalled : kError);
    const std::wstring programFiles = systemFolder(CSIDL_PROGRAM_FILESX86);
    for (const std::wstring& outside :
         {programFiles + L"\\outside", programFiles + L"\\Orvanta\\outside",
          programFiles + L"\\Orvanta\\outside3.txt", codeFolder + L"\\.installer\\outside1.txt"}) {
        EXPECT_FALSE(pathExists(outside)) << std::string(outside.begin(), outside.end());
    }
    if (c.installs) {
        Tree expected = newInstallation();
        expected[L"outside1.txt"] = expected[L"outside3.txt"] = "outside\n";
        EXPECT_TRUE(sameTree(installed(), expected));
    } else {
        EXPECT_NE(log().find(L"extractUpdate: 7za.exe: ERROR: Dangerous link path was ignored"),
                  std::wstring::npos)
            << log();
        expectOldInstallationUntouched();
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, HostileArchiveTest,
                         ::testing::Values(Hostile{"SymbolicLinkOutOfTheFolder", L"link.7z", false},
                                           Hostile{"NamesWithDotDot", L"dotdot.7z", true}),
                         rowName<Hostile>);

// The files are in place, so a launch that fails is reported and the run still counts as installed.
TEST_F(InstallerThreadTest, FailedLaunchIsReportedAndStillCountsAsInstalled) {
    runLocalPackage(L"noapp.7z", L"noapp");
    EXPECT_EQ(messages(), kInstalled);
    EXPECT_EQ(log(), localVerified(L"noapp") +
                         installLines(false, expand(L"CreateProcess({code}\\welkara.exe) failed (2)\n")));
    EXPECT_FALSE(pathExists(localPackage()));
}

// A package without a runtime of its own: the previous runtime goes all the same.
TEST_F(InstallerThreadTest, PackageWithoutARuntimeRemovesThePreviousOne) {
    makeOldInstallation();
    runLocalPackage(L"nopython.7z", L"nopython");
    EXPECT_EQ(messages(), kInstalled);
    EXPECT_TRUE(sameTree(installed(), newInstallation(L"nopython-src")));
}

// A local package at the root of a drive (a stick, a disc): the installer lies there too, and the
// package is found there, installed and deleted as anywhere else. The drive is a folder that the
// prefix maps to a letter.
TEST_F(InstallerThreadTest, LocalPackageAtTheRootOfADriveIsInstalledAndDeleted) {
    const std::wstring root = exeFolder() + L"\\drive";
    removeTree(root);
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    for (const wchar_t* name : {L"installer_runner.exe", L"7za.exe"}) {
        ASSERT_TRUE(CopyFileW((exeFolder() + L"\\" + name).c_str(), (root + L"\\" + name).c_str(), FALSE));
    }
    ASSERT_TRUE(CopyFileW(package(L"package.7z").c_str(), (root + L"\\local.7z").c_str(), FALSE));
    ASSERT_TRUE(
        writeBytes(root + L"\\manifest", utf16Bytes(L"local_update_filename=local.7z\r\neddsa_signature=" +
                                                    packageSignature(L"package") + L"\r\n")));
    wchar_t prefix[MAX_PATH] = {};
    ASSERT_NE(GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH), 0u);
    const std::wstring drive = std::wstring(prefix) + L"/dosdevices/w:";
    // Wine starts the host's ln without a handle to wait on: the drive is waited for instead.
    testsupport::runAndWait(L"Z:\\bin\\ln -sfn " + testsupport::unixPath(root) + L" " + drive);
    ASSERT_TRUE(waitFor(100, 20, [] { return pathExists(L"W:\\installer_runner.exe"); }));
    PROCESS_INFORMATION runner = startRunner(L"W:");
    endRunner(&runner, false);
    testsupport::runAndWait(L"Z:\\bin\\rm -f " + drive);

    EXPECT_EQ(log(), L"Installer thread started\nManifest loaded from W:\\manifest.\nCreating " +
                         databasePath() + L"\n" +
                         verifiedLines(L"W:\\local.7z", packageSignature(L"package"), 1) +
                         installLines(false));
    EXPECT_FALSE(pathExists(root + L"\\local.7z"));
    expectNewInstallation();
    removeTree(root);
}

// The log lives where the user's own programs can change things. A link at either folder gets no log
// file where it points; the run goes on as a run without a log.
class LogFolderLinkTest : public InstallerThreadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LogFolderLinkTest, GetsNoLog) {
    const bool orvantaIsTheLink = GetParam();
    const std::wstring elsewhere = systemFolder(CSIDL_LOCAL_APPDATA) + L"\\Elsewhere";
    const std::wstring orvanta = systemFolder(CSIDL_LOCAL_APPDATA) + L"\\Orvanta";
    const std::wstring link = orvantaIsTheLink ? orvanta : orvanta + L"\\Welkara";
    removeTree(orvanta);
    removeTree(elsewhere);
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((elsewhere + L"\\Welkara").c_str(), nullptr));
    if (!orvantaIsTheLink) {
        ASSERT_TRUE(CreateDirectoryW(orvanta.c_str(), nullptr));
    }
    ASSERT_TRUE(testsupport::makeUnixLink(orvantaIsTheLink ? elsewhere : elsewhere + L"\\Welkara", link));
    verifyLocalPackage();
    testsupport::removeUnixLink(link);

    EXPECT_EQ(messages(), kVerified);
    EXPECT_FALSE(pathExists(elsewhere + L"\\Welkara\\instlog.txt"));
    removeTree(elsewhere);
    removeTree(orvanta);
}

INSTANTIATE_TEST_SUITE_P(Links, LogFolderLinkTest, ::testing::Values(true, false),
                         boolNames("OrvantaIsALink", "WelkaraIsALink"));

// The user's own shell folders (their registry, which their unelevated programs may change) name any
// folder as their local application data. An elevated run (every run under Wine is one, and so the
// facts give the profile list) makes its log in the profile's own folder all the same, and nothing at
// all where the redirection points; a run whose request says it is not elevated follows the
// redirection, as every program of the user's does.
struct RedirectedLogFolder {
    const char* name;
    bool fromFacts;  // the request as the facts fill it, else one that says shellFolders
    bool followed;   // the log is made where the redirection points
};

using RedirectedLogFolderTest = InstallerTable<RedirectedLogFolder>;

TEST_P(RedirectedLogFolderTest, LogGoesWhereTheRequestSays) {
    const RedirectedLogFolder& c = GetParam();
    if (!c.fromFacts) {
        request.logFolder = LogFolder::shellFolders;
    }
    const std::wstring profileLog = logFilePath();  // before the redirection: the profile's folder
    const std::wstring redirected = exeFolder() + L"\\redirected";
    const wchar_t key[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    removeTree(redirected);
    ASSERT_TRUE(CreateDirectoryW(redirected.c_str(), nullptr));
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Local AppData", REG_EXPAND_SZ, redirected.c_str(),
                              static_cast<DWORD>((redirected.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    const std::wstring redirectedLog = redirected + L"\\Orvanta\\Welkara\\instlog.txt";
    ASSERT_EQ(logFilePath(), redirectedLog) << "the redirection is not seen";
    verifyLocalPackage();
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"Local AppData");

    EXPECT_EQ(messages(), kVerified);
    EXPECT_EQ(fromUtf16Bytes(readBytes(c.followed ? redirectedLog : profileLog)),
              localVerified() + L"Exiting after successful verification as requested\n");
    EXPECT_FALSE(pathExists(c.followed ? profileLog : redirected + L"\\Orvanta"));
    removeTree(redirected);
}

INSTANTIATE_TEST_SUITE_P(LogFolders, RedirectedLogFolderTest,
                         ::testing::Values(RedirectedLogFolder{"ElevatedRunDoesNotFollowIt", true, false},
                                           RedirectedLogFolder{"UnelevatedRunFollowsIt", false, true}),
                         rowName<RedirectedLogFolder>);

// A code folder that cannot be used. The run goes on as described up to where it first changes the
// code folder: a folder that cannot be made (a file stands where "Orvanta" should be) fails where the
// run's work folder is made in it; one that cannot be locked (a file stands where the installer's
// folder should be, as the folder's list stands in a standard user's way) says why and ends as a run
// that may not write the folder ends: at the runtime's removal when there is a runtime, else at the
// archive.
struct UnusableCodeFolder {
    const char* name;
    const wchar_t* inTheWay;  // a file made here, {programs} the Program Files (x86) folder
    const wchar_t* ending;    // of the log, after the check
    bool runtime = false;     // the code folder holds a runtime
};

using UnusableCodeFolderTest = InstallerTable<UnusableCodeFolder>;

TEST_P(UnusableCodeFolderTest, FailsWhereTheCodeFolderFirstChanges) {
    const UnusableCodeFolder& c = GetParam();
    std::wstring inTheWay = c.inTheWay;
    inTheWay.replace(0, 10, systemFolder(CSIDL_PROGRAM_FILESX86));
    SHCreateDirectoryExW(nullptr, inTheWay.substr(0, inTheWay.rfind(L'\\')).c_str(), nullptr);
    ASSERT_TRUE(writeBytes(inTheWay, "in the way"));
    if (c.runtime) {
        ASSERT_TRUE(CreateDirectoryW(expand(L"{code}\\python").c_str(), nullptr));
    }
    runLocalPackage(L"package.7z", L"package");
    DeleteFileW(inTheWay.c_str());
    RemoveDirectoryW(expand(L"{code}\\python").c_str());

    EXPECT_EQ(messages(), kError);
    EXPECT_EQ(log(), localVerified() + expand(c.ending));
    EXPECT_TRUE(pathExists(localPackage()));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, UnusableCodeFolderTest,
    ::testing::Values(
        UnusableCodeFolder{"CannotBeCreated", L"{programs}\\Orvanta",
                           L"No existing Python installation at {code}\\python.\n"
                           L"extractUpdate: Couldn't SetCurrentDirectory (3)\nCouldn't extract file\n"},
        UnusableCodeFolder{"CannotBeLocked", L"{programs}\\Orvanta\\Welkara\\.installer",
                           L"Couldn't lock the code folder {code} (267)\n"
                           L"No existing Python installation at {code}\\python.\n"
                           L"CreateFile(archive.7z) failed\nCouldn't extract file\n"},
        UnusableCodeFolder{"CannotBeLockedWithARuntime", L"{programs}\\Orvanta\\Welkara\\.installer",
                           L"Couldn't lock the code folder {code} (267)\n"
                           L"Deleting existing Python installation at {code}\\python\n"
                           L"Couldn't remove existing files",
                           true}),
    rowName<UnusableCodeFolder>);

TEST_F(InstallerThreadTest, FailedRemovalLineIsContinuedByTheNextRun) {
    makeOldInstallation();
    // A file of the previous runtime that the package lacks, held open without delete sharing, cannot
    // be moved aside.
    HANDLE held = CreateFileW((codeFolder + L"\\python\\lib\\old.txt").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    runLocalPackage(L"package.7z", L"package");
    CloseHandle(held);
    EXPECT_EQ(messages(), kError);
    const std::wstring first = log();
    const std::wstring ending =
        expand(L"The previous installation in {code} was put back\nCouldn't remove existing files");
    EXPECT_TRUE(endsWith(first, ending)) << first;
    EXPECT_TRUE(pathExists(localPackage()));
    expectOldInstallationUntouched();

    runInstaller();
    EXPECT_EQ(messages(), kInstalled);
    EXPECT_EQ(log().substr(0, first.size() + 25), first + L"Installer thread started\n");
}

// The code folder's tree without the installer's own folder.
// A run ended part-way ("Cancel", a kill) while it starts its extractor or while the extractor unpacks:
// the extractor ends with it, and the next run settles what it left and installs.
class EndedRunTest : public InstallerThreadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(EndedRunTest, EndsItsExtractorAndTheNextRunInstalls) {
    const bool unpacking = GetParam();
    makeOldInstallation();
    useLocalPackage(L"large.7z", L"large");
    PROCESS_INFORMATION first = startRunner(exeFolder());
    ASSERT_TRUE(logShows(L"extractUpdate: invoking"));
    // Once the large file appears, the extractor is writing it.
    const std::wstring own = codeFolder + L"\\.installer";
    ASSERT_TRUE(!unpacking || waitFor(30000, 1, [&] {
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((own + L"\\run-*").c_str(), &found);
        const bool writing = search != INVALID_HANDLE_VALUE &&
                             pathExists(own + L"\\" + found.cFileName + L"\\unpacked\\data\\large.bin");
        FindClose(search);
        return writing;
    }));
    const DWORD ended = first.dwProcessId;
    // Suspended, the extractor cannot end by finishing its work: only its job ends it with the run.
    OwnedHandle extractor(unpacking ? OpenProcess(PROCESS_SUSPEND_RESUME | PROCESS_TERMINATE | SYNCHRONIZE,
                                                  FALSE, testsupport::childProcess(ended, L"7za.exe"))
                                    : nullptr);
    EXPECT_TRUE(!unpacking || (extractor.valid() && testsupport::suspendProcess(extractor.get())));
    endRunner(&first, true);
    EXPECT_TRUE(waitFor(200, 50, [&] {
        return testsupport::childProcess(ended, L"7za.exe") == 0 &&
               (!extractor.valid() || WaitForSingleObject(extractor.get(), 0) == WAIT_OBJECT_0);
    })) << "its extractor runs on";
    if (extractor.valid() && WaitForSingleObject(extractor.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(extractor.get(), 1);
        WaitForSingleObject(extractor.get(), 10000);
    }
    runLocalPackage(L"package.7z", L"package");
    EXPECT_EQ(messages(), kInstalled);
    expectNewInstallation();
}

INSTANTIATE_TEST_SUITE_P(Moments, EndedRunTest, ::testing::Bool(),
                         boolNames("WhileItsExtractorUnpacks", "WhileItStartsItsExtractor"));

// The installer is started through a folder link (a Downloads folder that is a junction), which its
// owner repoints at a folder holding another 7za.exe (the test application, which leaves a marker
// when it runs) once the run has checked the extractor. The other program never runs: the run
// installs the signed package with the extractor it checked, or fails with the installation whole.
TEST_F(InstallerThreadTest, ExtractorFolderRepointedAfterTheCheckIsNotWhatRuns) {
    makeOldInstallation();
    useLocalPackage(L"large.7z", L"large");
    // Beside this executable's folder, not in it: Wine does not follow a link that leads back up to a
    // folder above it.
    const std::wstring via = exeFolder() + L"-via";
    const std::wstring other = exeFolder() + L"\\other";
    removeTree(other);
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(package(L"src\\welkara.exe").c_str(), (other + L"\\7za.exe").c_str(), FALSE));
    testsupport::removeUnixLink(via);
    ASSERT_TRUE(testsupport::makeUnixLink(exeFolder(), via));

    PROCESS_INFORMATION runner = startRunner(via);
    const bool checked = logShows(L"Deleting existing Python installation at ");
    testsupport::removeUnixLink(via);
    ASSERT_TRUE(testsupport::makeUnixLink(other, via));
    endRunner(&runner, false);
    testsupport::removeUnixLink(via);
    ASSERT_TRUE(checked) << log();

    EXPECT_FALSE(pathExists(other + L"\\started.txt")) << "the other 7za.exe ran";
    if (log().find(L"Installer thread finished victorious") != std::wstring::npos) {
        EXPECT_EQ(treeContents(codeFolder).count(L"data\\large.bin"), 1u);
        EXPECT_EQ(readBytes(codeFolder + L"\\python\\lib\\runtime.txt"), "new runtime\n");
    } else {
        expectOldInstallationUntouched();
    }
    removeTree(other);
}

TEST_F(InstallerThreadTest, RunWhoseLogCannotBeOpenedBehavesTheSame) {
    makeOldInstallation();
    SHCreateDirectoryExW(nullptr, (systemFolder(CSIDL_LOCAL_APPDATA) + L"\\Orvanta\\Welkara").c_str(),
                         nullptr);
    HANDLE holder = CreateFileW(logFilePath().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    runLocalPackage(L"package.7z", L"package");
    CloseHandle(holder);

    EXPECT_EQ(messages(), kInstalled);
    EXPECT_EQ(readBytes(logFilePath()), "");
    expectNewInstallation();
    EXPECT_FALSE(pathExists(localPackage()));
    EXPECT_TRUE(applicationStarted());
}

// The local package's name comes from a file that whoever can write the installer's folder can
// change. A name that leads out of that folder is refused before anything is read, and the file it
// names (a genuine signed package) is neither installed nor deleted; a name that cannot be had fails
// with its own line.
struct LocalName {
    const char* name;
    const wchar_t* given;    // as the manifest gives it ({exe} is this executable's folder)
    const wchar_t* reached;  // where a signed package lies that it would reach, or null
    const wchar_t* lines;    // after the database line; null for the refusal of the name
};

constexpr wchar_t kRefusedName[] =
    L": only a file name in the installer's folder is taken\nCouldn't load local update\n";

using LocalNameTest = InstallerTable<LocalName>;

TEST_P(LocalNameTest, FailsWithItsLineAndLeavesWhatItNames) {
    const LocalName& c = GetParam();
    const std::wstring given = expand(c.given);
    const std::wstring reached = c.reached != nullptr ? expand(c.reached) : L"";
    CreateDirectoryW((exeFolder() + L"\\sub").c_str(), nullptr);
    if (!reached.empty()) {
        ASSERT_TRUE(CopyFileW(package(L"package.7z").c_str(), reached.c_str(), FALSE));
    }
    writeManifest(L"local_update_filename=" + given + L"\r\neddsa_signature=" + packageSignature(L"package") +
                  L"\r\n");
    runInstaller();

    EXPECT_EQ(messages(), kError);
    EXPECT_EQ(log(), linesUpToDatabase(true) +
                         (c.lines != nullptr ? expand(c.lines)
                                             : L"Refusing the local package name " + given + kRefusedName));
    if (!reached.empty()) {
        EXPECT_TRUE(pathExists(reached)) << "the file it named was deleted";
        DeleteFileW(reached.c_str());
    }
    EXPECT_FALSE(pathExists(codeFolder + L"\\welkara.exe"));
    removeTree(exeFolder() + L"\\sub");
}

INSTANTIATE_TEST_SUITE_P(
    Names, LocalNameTest,
    ::testing::Values(LocalName{"Subfolder", L"sub\\local.7z", L"{exe}\\sub\\local.7z", nullptr},
                      LocalName{"SubfolderWithSlash", L"sub/local.7z", L"{exe}\\sub\\local.7z", nullptr},
                      LocalName{"Parent", L"..\\local.7z", L"{exe}\\..\\local.7z", nullptr},
                      LocalName{"FullPath", L"{exe}\\sub\\local.7z", L"{exe}\\sub\\local.7z", nullptr},
                      LocalName{"Share", L"\\\\127.0.0.1\\share\\local.7z", nullptr, nullptr},
                      LocalName{"Stream", L"local.7z:stream", L"{local}", nullptr},
                      LocalName{"DotDot", L"..", nullptr, nullptr},
                      LocalName{
                          "Missing", L"missing.7z", nullptr,
                          L"Will try to install {exe}\\missing.7z\nFailed to open file: {exe}\\missing.7z\n"
                          L"Couldn't load local update\n"},
                      LocalName{"TooLongForAPath",
                                L"nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"
                                L"nnnnnnnnnnnnnnnnnnnnnnnnn"
                                L"nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"
                                L"nnnnnnnnnnnnnnnnnnnnnnnnn"
                                L"nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"
                                L"nnnnnnnnnnnnnnnnnnnnnnnnn.7z",
                                nullptr, L"Couldn't generate local update pathname\n"}),
    rowName<LocalName>);

// File names are compared as the file system compares them: a manifest or a local package whose name
// on disk differs in case from the one asked for is still the one found and checked.
struct NameCase {
    const char* name;
    const wchar_t* manifestOnDisk;
    const wchar_t* packageOnDisk;  // the manifest names "local.7z"
};

using NameCaseTest = InstallerTable<NameCase>;

TEST_P(NameCaseTest, NamesThatDifferInCaseAreStillFound) {
    const NameCase& c = GetParam();
    ASSERT_TRUE(
        CopyFileW(package(L"package.7z").c_str(), (exeFolder() + L"\\" + c.packageOnDisk).c_str(), FALSE));
    ASSERT_TRUE(writeBytes(exeFolder() + L"\\" + c.manifestOnDisk,
                           utf16Bytes(L"local_update_filename=local.7z\r\neddsa_signature=" +
                                      packageSignature(L"package") + L"\r\n")));
    request.verifyOnly = true;
    runInstaller();
    EXPECT_EQ(messages(), kVerified);
    EXPECT_EQ(log(), localVerified() + L"Exiting after successful verification as requested\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, NameCaseTest,
                         ::testing::Values(NameCase{"Manifest", L"MANIFEST", L"local.7z"},
                                           NameCase{"LocalPackage", L"manifest", L"LOCAL.7Z"}),
                         rowName<NameCase>);

// From its read to its deletion the local package is held without sharing: while a run works, nobody
// can write it, rename it or delete it, so the bytes that were checked are the bytes of the file the
// run deletes.
TEST_F(InstallerThreadTest, LocalPackageCannotBeChangedWhileARunHoldsIt) {
    useLocalPackage(L"large.7z", L"large");
    PROCESS_INFORMATION runner = startRunner(exeFolder());
    ASSERT_TRUE(logShows(L"Verifying with base64 signature"));
    const std::wstring path = localPackage(), moved = localPackage() + L".moved";
    // Each try's error, 0 when it succeeded.
    OwnedHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    const DWORD writeError = writer.valid() ? 0 : GetLastError();
    const DWORD renameError = MoveFileW(path.c_str(), moved.c_str()) ? 0 : GetLastError();
    const DWORD deleteError = DeleteFileW(path.c_str()) ? 0 : GetLastError();
    const bool stillWorking = log().find(L"Installer thread finished") == std::wstring::npos;
    writer.reset();
    endRunner(&runner, false);
    DeleteFileW(moved.c_str());
    ASSERT_TRUE(stillWorking) << "the run ended before the tries: they show nothing";
    EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(renameError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(deleteError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_NE(log().find(L"Installer thread finished victorious"), std::wstring::npos) << log();
    EXPECT_FALSE(pathExists(path)) << "deleted after the installation";
}

#else  // WELKARA_TEST_REFUSE_DELETE_ACCESS

// This build's file system refuses the right to delete the local package, as a write-protected disc or
// stick or a read-only share does. The package is read all the same: installed (and then reported as
// not deleted) or verified, where the right to delete is never asked for.
class ReadOnlyMediaTest : public InstallerThreadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReadOnlyMediaTest, LocalPackageThatCannotBeDeletedIsReadAllTheSame) {
    const bool verify = GetParam();
    runLocalPackage(L"package.7z", L"package", verify);
    if (verify) {
        EXPECT_EQ(messages(), kVerified);
        EXPECT_EQ(log(), localVerified() + L"Exiting after successful verification as requested\n");
    } else {
        EXPECT_EQ(messages(), kInstalled);
        EXPECT_EQ(log(),
                  localVerified() + installLines(false, expand(L"Couldn't delete the local package {local}: "
                                                               L"it could be opened for reading only\n")));
        expectNewInstallation();
    }
    EXPECT_TRUE(pathExists(localPackage()));
}

INSTANTIATE_TEST_SUITE_P(Runs, ReadOnlyMediaTest, ::testing::Bool(), boolNames("VerifyOnly", "Install"));

#endif

}  // namespace
