// The progress window and main loop, seen from outside: each test starts the real Installer.exe (copied
// beside this executable with 7za.exe and the signed test packages) in the run's Wine prefix on the
// fixture's Xvfb display, and observes it the way a user could: the window and its controls, the button
// text, the install log, the process exit code and when the process ends, and the pixels on the screen.
// The status line is drawn with Direct2D; what it shows is judged from captures of the window: ink in the
// status band, centred, on the background grey, and different in each state. A screen reader's view of it
// is the status control's accessible name and its live-region events.
// Each final state is saved as window-STATE.bmp beside this executable (the test run converts them to PNG).
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tests/app/window_driver.h"
#include "tests/support/installation_fixture.h"
#include "tests/support/wine_test_support.h"

using testsupport::endsWith;
using testsupport::exeFolder;
using testsupport::HeldDownload;
using testsupport::installLog;
using testsupport::packageSignature;
using testsupport::pathExists;
using testsupport::removeTree;
using windowtest::Band;
using windowtest::Capture;
using windowtest::Ink;
using windowtest::InstallerProcess;
using windowtest::waitUntil;

namespace {

constexpr UINT kInstalledMessage = WM_USER + 1;
constexpr UINT kVerifiedMessage = WM_USER + 2;
constexpr UINT kErrorMessage = WM_USER + 3;
constexpr UINT kCloseMessage = WM_USER + 4;

constexpr wchar_t kInstallingText[] = L"Installing the latest version of Orvanta Welkara...";
constexpr wchar_t kErrorText[] = L"There was an error installing Orvanta Welkara.";
constexpr wchar_t kInstalledText[] = L"Orvanta Welkara has been installed.";
constexpr wchar_t kVerifiedText[] = L"Orvanta Welkara has been verified.";
constexpr wchar_t kRemovedText[] = L"Orvanta Welkara has been removed.";
constexpr DWORD kLiveRegionChanged = 0x8019;  // EVENT_OBJECT_LIVEREGIONCHANGED
constexpr wchar_t kFinishedLine[] = L"Installer thread finished victorious and will exit shortly.\n";
constexpr wchar_t kVerifiedLine[] = L"Exiting after successful verification as requested\n";

// Rows of the client area that hold the status line (drawn from y = 3 in a 12-pixel font), and rows
// below it and above the progress bar where only the cleared background shows.
constexpr int kStatusTop = 0;
constexpr int kStatusBottom = 24;
constexpr int kBackgroundTop = 28;
constexpr int kBackgroundBottom = 44;
constexpr std::uint32_t kBackgroundGrey = 0xF5F5F5;  // 245, 245, 245

// Settings of the run's throwaway Wine prefix for windows on a bare Xvfb (no window manager), read by
// every Wine process started afterwards:
// - Direct3D without its command-stream thread. With it, now and then the last frame that Direct2D
//   presented did not reach the screen (seen in about one run in two: the previous status line stayed
//   until something else repainted), so captures could not be trusted.
// - Windows not handed to a window manager. Managed windows wait for a window manager to confirm that
//   they are hidden, up to 2 s, in DestroyWindow (seen: WM_CLOSE took 2.1 s to end the process, a click
//   on the button 0.1 s). Unmanaged, Wine draws the title bar and its buttons itself.
// - The Marlett font from Wine's own fonts, with which Wine draws those title-bar buttons.
// RegSetKeyValueW makes each key that is missing.
void prepareWineForWindows() {
    const DWORD off = 0;
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Direct3D", L"csmt", REG_DWORD, &off, sizeof off);
    const wchar_t no[] = L"N";
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", L"Managed", REG_SZ, no, sizeof no);
    wchar_t fonts[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_FONTS, nullptr, SHGFP_TYPE_CURRENT, fonts) >= 0 &&
        CopyFileW(L"Z:\\usr\\share\\wine\\fonts\\marlett.ttf",
                  (std::wstring(fonts) + L"\\marlett.ttf").c_str(), FALSE)) {
        const wchar_t file[] = L"marlett.ttf";
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts",
                        L"Marlett (TrueType)", REG_SZ, file, sizeof file);
    }
}

std::size_t greyPixels(const Band& band) {
    return std::count(band.pixels.begin(), band.pixels.end(), kBackgroundGrey);
}

// True when the band shows the cleared background (most of its pixels) and some ink: Direct2D has
// painted it. Before the first paint the client area is black.
bool painted(const Band& band) {
    return greyPixels(band) * 2 > band.pixels.size() && windowtest::inkOf(band).any();
}

// A capture whose status band is painted, has stayed the same for 200 ms and differs from `unlike` when
// that is given: the window has drawn its current status and nothing is under way.
bool settledCapture(HWND window, const Band* unlike, Capture* capture, DWORD timeoutMs) {
    Band last;
    ULONGLONG since = 0;
    return waitUntil(
        [&] {
            Capture now;
            if (!windowtest::captureWindow(window, &now)) {
                return false;
            }
            const Band band = windowtest::clientBand(now, kStatusTop, kStatusBottom);
            if (!painted(band) || (unlike != nullptr && band == *unlike)) {
                since = 0;
            } else if (since == 0 || !(band == last)) {
                last = band;
                since = GetTickCount64();
            } else if (GetTickCount64() - since >= 200) {
                *capture = std::move(now);
                return true;
            }
            return false;
        },
        timeoutMs);
}

// What a capture of a painted window shows, whatever the state: a status line in black, centred
// horizontally near the top, and the background grey below it.
void expectPaintedStatus(const Capture& capture) {
    const Ink ink = windowtest::inkOf(windowtest::clientBand(capture, kStatusTop, kStatusBottom));
    ASSERT_TRUE(ink.any()) << "no status text in the top rows of the client area";
    EXPECT_NEAR(ink.centre(), (capture.clientWidth - 1) / 2.0, 8.0)
        << "the status line is not centred: ink from x=" << ink.left << " to x=" << ink.right;
    EXPECT_GT(ink.left, 3);
    EXPECT_LT(ink.right, capture.clientWidth - 4);
    int otherPixels = 0;
    for (int y = kBackgroundTop; y < kBackgroundBottom; ++y) {
        for (int x = 4; x < capture.clientWidth - 4; ++x) {
            otherPixels += capture.clientPixel(x, y) != kBackgroundGrey;
        }
    }
    EXPECT_EQ(otherPixels, 0) << "the area below the status line is not the background grey 245,245,245";
}

// Saves the first capture of each state of a real run as window-STATE.bmp.
void recordState(const std::string& state, const Capture& capture) {
    static std::set<std::string> saved;
    if (!saved.insert(state).second) {
        return;
    }
    const std::wstring path = exeFolder() + L"\\window-" + std::wstring(state.begin(), state.end()) + L".bmp";
    EXPECT_TRUE(capture.saveBmp(path));
}

class MainWindowTest : public testsupport::InstallationFixture {
  protected:
    static void SetUpTestSuite() {
        prepareWineForWindows();
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // for AccessibleObjectFromWindow
    }

    // The package store with package.7z and stalled.bin, a package of 1 MiB that no run gets to the end of.
    static testsupport::PackageStore packageStore() {
        testsupport::PackageStore store = InstallationFixture::packageStore({L"package.7z"});
        EXPECT_TRUE(store.putPackage(L"stalled.bin", std::string(1 << 20, 'x')));
        return store;
    }
    static std::wstring installer() { return exeFolder() + L"\\Installer.exe"; }
    // Starts Installer.exe (by default the one beside this executable) and waits up to 30 s for its
    // window (the first start of Direct2D in a fresh prefix is slow).
    HWND startInstaller(InstallerProcess& process, const std::wstring& arguments,
                        const std::wstring& executable = installer()) {
        if (!process.start(executable, arguments)) {
            ADD_FAILURE() << "Installer.exe did not start (" << GetLastError() << ")";
            return nullptr;
        }
        HWND window = nullptr;
        waitUntil([&] { return (window = process.findWindow()) != nullptr || !process.running(); }, 30000);
        EXPECT_NE(window, nullptr) << "no visible window of class \"Orvanta Welkara Installer Window\"";
        return window;
    }

    // Starts a run whose package download does not go on until `download` is released or cut, and
    // waits until it is downloading.
    HWND startStalledRun(InstallerProcess& process, const HeldDownload& download) {
        HWND window = startInstaller(process, L"/url:" + download.url);
        EXPECT_TRUE(download.waitForStart(30000)) << "the installer thread never asked for the package";
        EXPECT_TRUE(endsWith(installLog(), L"Will try to install " + download.url + L"\n")) << installLog();
        return window;
    }
};

// ---- The window as created, while the thread works, as a user meets it: its title and the style bits
// that shape its frame, and its three controls laid out as they are seen: the sentence's control over the
// drawn status line, the bar across the middle, the button at the bottom right, none over another.

TEST_F(MainWindowTest, WorkingWindowHasItsTitleFrameAndControlsInPlace) {
    const HeldDownload stalled(packageStore(), L"stalled.bin");
    InstallerProcess process;
    HWND window = startStalledRun(process, stalled);
    ASSERT_NE(window, nullptr);

    EXPECT_EQ(windowtest::windowText(window), L"Orvanta Welkara Installer");
    EXPECT_EQ(GetParent(window), nullptr);
    // A title bar with the system menu and a minimize box; no maximize box and no sizing border, as the
    // layout is fixed. The parent's paint stays off the controls (WS_CLIPCHILDREN), or it would hide them.
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME | WS_POPUP | WS_CHILD |
                       WS_CLIPCHILDREN),
              WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN)
        << std::hex << style;
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION) << std::hex << style;
    EXPECT_EQ(style & (WS_VISIBLE | WS_DISABLED | WS_MINIMIZE), WS_VISIBLE) << std::hex << style;
    // Neither topmost nor a tool window: an ordinary window on the taskbar.
    const LONG extended = GetWindowLongW(window, GWL_EXSTYLE);
    EXPECT_EQ(extended & ~WS_EX_WINDOWEDGE, 0) << std::hex << extended;

    int children = 0;
    EnumChildWindows(
        window, [](HWND, LPARAM count) { return ++*reinterpret_cast<int*>(count), TRUE; },
        reinterpret_cast<LPARAM>(&children));
    EXPECT_EQ(children, 3);

    RECT client;
    ASSERT_TRUE(GetClientRect(window, &client));
    RECT statusAt = {};
    RECT buttonAt = {};
    RECT barAt = {};
    struct ControlCase {
        const wchar_t* className;
        std::wstring text;
        LONG required;   // style bits it must have
        LONG forbidden;  // and must not have
        LONG requiredExtended;
        RECT* placed;  // where it lies, in client coordinates
    };
    const ControlCase controls[] = {
        // It holds the sentence for assistive technology and never takes the focus; the status line is
        // drawn through it (WS_EX_TRANSPARENT keeps it out of the parent's clip).
        {L"Static", kInstallingText, WS_CHILD | WS_VISIBLE, WS_TABSTOP | WS_DISABLED, WS_EX_TRANSPARENT,
         &statusAt},
        // The default push button (Enter presses it), reached with Tab.
        {L"Button", L"Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
         WS_DISABLED | (BS_TYPEMASK & ~BS_DEFPUSHBUTTON), 0, &buttonAt},
        {L"msctls_progress32", L"", WS_CHILD | WS_VISIBLE | PBS_MARQUEE, WS_DISABLED, 0, &barAt},
    };
    for (const ControlCase& control : controls) {
        SCOPED_TRACE(control.className);
        HWND child = windowtest::findChild(window, control.className);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(windowtest::windowText(child), control.text);
        const LONG childStyle = GetWindowLongW(child, GWL_STYLE);
        EXPECT_EQ(childStyle & (control.required | control.forbidden), control.required)
            << std::hex << childStyle;
        EXPECT_EQ(GetWindowLongW(child, GWL_EXSTYLE) & control.requiredExtended, control.requiredExtended);
        ASSERT_TRUE(GetWindowRect(child, control.placed));
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(control.placed), 2);
        const RECT& placed = *control.placed;
        EXPECT_TRUE(placed.left >= 0 && placed.top >= 0 && placed.right <= client.right &&
                    placed.bottom <= client.bottom && !IsRectEmpty(&placed))
            << placed.left << "," << placed.top << " to " << placed.right << "," << placed.bottom
            << " is not inside the client area " << client.right << "x" << client.bottom;
    }
    RECT overlap;
    EXPECT_FALSE(IntersectRect(&overlap, &statusAt, &barAt)) << "the status control covers the bar";
    EXPECT_FALSE(IntersectRect(&overlap, &statusAt, &buttonAt)) << "the status control covers the button";
    EXPECT_FALSE(IntersectRect(&overlap, &barAt, &buttonAt)) << "the bar and the button overlap";
    // The sentence's control across the top, above the bar.
    EXPECT_LE(statusAt.bottom, barAt.top);
    EXPECT_LT(statusAt.top, client.bottom / 4);
    // The bar across the middle: centred to a pixel, with equal narrow margins left and right.
    EXPECT_NEAR((barAt.top + barAt.bottom) / 2.0, client.bottom / 2.0, 1.0)
        << barAt.top << " to " << barAt.bottom;
    EXPECT_EQ(barAt.left, client.right - barAt.right);
    EXPECT_LE(barAt.left, 8);
    // The button at the bottom right, below the bar, as far from the right edge as from the bottom.
    EXPECT_GE(buttonAt.top, barAt.bottom);
    EXPECT_GT(buttonAt.left, client.right / 2);
    EXPECT_EQ(client.right - buttonAt.right, client.bottom - buttonAt.bottom);
    EXPECT_LE(client.right - buttonAt.right, 8);

    // The keys go to the button from the start: the focus arrives with the window's activation, which
    // a busy machine may deliver a moment after the window is found.
    const HWND button = windowtest::findChild(window, L"Button");
    EXPECT_TRUE(testsupport::waitFor(100, 20, [&] { return windowtest::focusOf(window) == button; }))
        << windowtest::focusOf(window) << " has the focus, not the button " << button;

    Capture working;
    ASSERT_TRUE(settledCapture(window, nullptr, &working, 20000)) << "the status line was never drawn";
    expectPaintedStatus(working);
    // What a screen reader points at is where the sentence is drawn: all the ink above the bar lies
    // inside the status control.
    const Ink aboveBar = windowtest::inkOf(windowtest::clientBand(working, 0, barAt.top));
    EXPECT_EQ(windowtest::inkOf(windowtest::clientArea(working, statusAt)).pixels, aboveBar.pixels);
    recordState("working", working);
}

// ---- Closing while the installer thread is still downloading: the process ends at once with exit
// code 0, the thread neither told nor waited for (the log stops where the download began).

enum class CloseBy { ButtonClick, CloseMessage, AltF4, SystemMenuClose, InstallerCloseMessage, Space, Enter };

struct CloseCase {
    const char* name;
    CloseBy by;
};

class CloseDuringDownloadTest : public MainWindowTest, public ::testing::WithParamInterface<CloseCase> {};

void closeWindow(HWND window, CloseBy by) {
    switch (by) {
        case CloseBy::ButtonClick:
            SendMessageTimeoutW(windowtest::findChild(window, L"Button"), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG,
                                5000, nullptr);
            break;
        case CloseBy::CloseMessage:
            PostMessageW(window, WM_CLOSE, 0, 0);
            break;
        case CloseBy::AltF4:
            // The key as the window receives it: F4 with the Alt key down (context bit 29).
            PostMessageW(window, WM_SYSKEYDOWN, VK_F4, 1 | (1 << 29));
            break;
        case CloseBy::SystemMenuClose:
            PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
            break;
        case CloseBy::InstallerCloseMessage:
            PostMessageW(window, kCloseMessage, 0, 0);
            break;
        case CloseBy::Space:  // on the keyboard: the key goes to the installer's focus window
        case CloseBy::Enter:
            keybd_event(by == CloseBy::Space ? VK_SPACE : VK_RETURN, 0, 0, 0);
            keybd_event(by == CloseBy::Space ? VK_SPACE : VK_RETURN, 0, KEYEVENTF_KEYUP, 0);
            break;
    }
}

TEST_P(CloseDuringDownloadTest, EndsTheProcessAtOnceWithExitCodeZero) {
    const HeldDownload stalled(packageStore(), L"stalled.bin");
    InstallerProcess process;
    HWND window = startStalledRun(process, stalled);
    ASSERT_NE(window, nullptr);
    Capture before;
    ASSERT_TRUE(settledCapture(window, nullptr, &before, 20000));
    ASSERT_EQ(windowtest::windowText(windowtest::findChild(window, L"Button")), L"Cancel");

    const ULONGLONG asked = GetTickCount64();
    closeWindow(window, GetParam().by);
    waitUntil([&] { return !IsWindow(window) || !process.running(); }, 10000);
    const ULONGLONG windowGone = GetTickCount64();
    ASSERT_TRUE(process.waitForExit(10000)) << "the process did not end within 10 s";
    const ULONGLONG took = process.exitedAt() - asked;
    std::printf("%s: window gone after %llu ms, process ended %llu ms after the request\n", GetParam().name,
                windowGone - asked, took);
    EXPECT_LT(took, 3000u);
    EXPECT_EQ(process.exitCode(), 0u);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(endsWith(installLog(), L"Will try to install " + stalled.url + L"\n")) << installLog();
}

INSTANTIATE_TEST_SUITE_P(
    Closes, CloseDuringDownloadTest,
    ::testing::Values(CloseCase{"ClickOnCancel", CloseBy::ButtonClick},
                      CloseCase{"WmClose", CloseBy::CloseMessage}, CloseCase{"AltF4", CloseBy::AltF4},
                      CloseCase{"SystemMenuClose", CloseBy::SystemMenuClose},
                      CloseCase{"InstallerCloseBeforeAnyStatus", CloseBy::InstallerCloseMessage},
                      CloseCase{"SpaceOnCancel", CloseBy::Space}, CloseCase{"EnterOnCancel", CloseBy::Enter}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return info.param.name; });

// ---- Each status message shows its own sentence, and a later one replaces the earlier one: the
// messages are the ones the installer thread posts, sent here in an order no single run produces. A
// screen reader reads the sentence as the status control's name and hears one live-region event for
// each change of it, none for a status that repeats the sentence shown.

TEST_F(MainWindowTest, EachStatusMessageReplacesTheLineWithItsOwnSentence) {
    const HeldDownload stalled(packageStore(), L"stalled.bin");
    InstallerProcess process;
    HWND window = startStalledRun(process, stalled);
    ASSERT_NE(window, nullptr);
    HWND button = windowtest::findChild(window, L"Button");
    HWND status = windowtest::findChild(window, L"Static");
    ASSERT_NE(status, nullptr);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const windowtest::WinEventWatch announced(kLiveRegionChanged, processId);
    Capture working;
    ASSERT_TRUE(settledCapture(window, nullptr, &working, 20000));
    std::vector<Band> bands = {windowtest::clientBand(working, kStatusTop, kStatusBottom)};
    EXPECT_EQ(windowtest::accessibleName(status), kInstallingText);

    // A message, its sentence and the live-region events of the status control so far: the last row
    // repeats the sentence on show, which announces nothing.
    const struct {
        UINT message;
        const wchar_t* sentence;
        std::size_t announced;
    } steps[] = {{kInstalledMessage, kInstalledText, 1},
                 {kVerifiedMessage, kVerifiedText, 2},
                 {kErrorMessage, kErrorText, 3},
                 {kErrorMessage, kErrorText, 3}};
    const wchar_t* shown = kInstallingText;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.sentence);
        const bool changes = step.sentence != shown;
        shown = step.sentence;
        // Sent, not posted: when the call returns the window has handled it.
        ASSERT_TRUE(SendMessageTimeoutW(window, step.message, 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr));
        ASSERT_TRUE(waitUntil([&] { return windowtest::windowText(button) == L"Close"; }, 5000));
        Capture now;
        ASSERT_TRUE(settledCapture(window, changes ? &bands.back() : nullptr, &now, 5000))
            << "the status line did not change";
        expectPaintedStatus(now);
        EXPECT_EQ(windowtest::accessibleName(status), step.sentence);
        EXPECT_EQ(announced.windows, std::vector<HWND>(step.announced, status));
        if (changes) {
            bands.push_back(windowtest::clientBand(now, kStatusTop, kStatusBottom));
        }
    }
    for (std::size_t a = 0; a < bands.size(); ++a) {
        for (std::size_t b = a + 1; b < bands.size(); ++b) {
            EXPECT_FALSE(bands[a] == bands[b]) << "states " << a << " and " << b << " look the same";
        }
    }
    // By length: "Installing the latest version of Orvanta Welkara..." > "There was an error installing
    // Orvanta Welkara." > "Orvanta Welkara has been installed.".
    auto width = [&](int state) { return windowtest::inkOf(bands[state]).width(); };
    EXPECT_GT(width(0), width(3)) << "working, error";
    EXPECT_GT(width(3), width(1)) << "error, installed";
    // No WM_INSTALLER_CLOSE came: the window waits, its button saying "Close".
    Sleep(1000);
    EXPECT_TRUE(process.running());
    EXPECT_EQ(windowtest::windowText(button), L"Close");
}

// ---- Runs that succeed end by themselves: the final line, "Close", then the process ends after the
// installer thread's pause (2.5 s after an installation, 1 s after a verification).

enum class Source {
    LocalPackage,  // named by the manifest beside the installer
    PackageStore,  // /url: on the loopback package store, /eddsa_signature:
    HeldDownload,  // the same from a loopback server that holds the package back until the window has
                   // drawn its working state
};

struct SuccessCase {
    const char* name;
    Source source;
    const wchar_t* arguments;  // after /url: and /eddsa_signature: when the package is downloaded
    const char* state;         // "installed" or "verified"
};

class SuccessfulRunTest : public MainWindowTest, public ::testing::WithParamInterface<SuccessCase> {};

TEST_P(SuccessfulRunTest, ShowsTheResultAndEndsByItself) {
    const SuccessCase& row = GetParam();
    const bool installs = std::string(row.state) == "installed";
    const testsupport::PackageStore store = packageStore();
    const HeldDownload held(store, L"package.7z");
    std::wstring arguments = row.arguments;
    if (row.source == Source::LocalPackage) {
        useLocalPackage(L"package.7z", L"package");
    } else {
        const std::wstring url =
            row.source == Source::HeldDownload ? held.url : store.http + L"/files/package.7z";
        arguments = L"/url:" + url + L" /eddsa_signature:" + packageSignature(L"package") +
                    (arguments.empty() ? L"" : L" ") + arguments;
    }

    InstallerProcess process;
    const ULONGLONG started = GetTickCount64();
    HWND window = startInstaller(process, arguments);
    ASSERT_NE(window, nullptr);
    HWND button = windowtest::findChild(window, L"Button");
    ASSERT_NE(button, nullptr);

    // A held download lets the window draw its working state before the result comes. Otherwise the
    // result may come first, and under Wine the first paint (Direct2D setting up) can take longer than
    // the run: the window may close before it has drawn anything, so only held runs are looked at.
    const bool looked = row.source == Source::HeldDownload;
    Band workingBand;
    if (looked) {
        ASSERT_TRUE(held.waitForStart(30000));
        Capture working;
        ASSERT_TRUE(settledCapture(window, nullptr, &working, 20000)) << "the working state was never drawn";
        workingBand = windowtest::clientBand(working, kStatusTop, kStatusBottom);
        ASSERT_EQ(windowtest::windowText(button), L"Cancel");
        held.release(1000);
    }

    // When the final log line appears and when the button turns to "Close".
    const std::wstring finalLine = installs ? kFinishedLine : kVerifiedLine;
    ULONGLONG finalLineAt = 0;
    ULONGLONG closeAt = 0;
    waitUntil(
        [&] {
            if (finalLineAt == 0 && endsWith(installLog(), finalLine)) {
                finalLineAt = GetTickCount64();
            }
            if (closeAt == 0 && windowtest::windowText(button) == L"Close") {
                closeAt = GetTickCount64();
            }
            return (finalLineAt != 0 && closeAt != 0) || !process.running();
        },
        120000);
    ASSERT_NE(closeAt, 0u) << "the button never said \"Close\"; the log:\n" << installLog();
    ASSERT_NE(finalLineAt, 0u) << installLog();

    if (looked) {
        Capture final;
        ASSERT_TRUE(settledCapture(window, &workingBand, &final, 3000))
            << "the final status line was not drawn before the window closed";
        expectPaintedStatus(final);
        EXPECT_LT(windowtest::inkOf(windowtest::clientBand(final, kStatusTop, kStatusBottom)).width(),
                  windowtest::inkOf(workingBand).width())
            << "the final sentence is shorter than the working one";
        recordState(row.state, final);
    }

    ASSERT_TRUE(process.waitForExit(10000)) << "the window did not close by itself";
    const ULONGLONG pause = installs ? 2500 : 1000;
    const ULONGLONG afterLine = process.exitedAt() - finalLineAt;
    const ULONGLONG afterClose = process.exitedAt() - closeAt;
    std::printf(
        "%s: \"Close\" %llu ms after the start, the process ended %llu ms after the final log line and "
        "%llu ms after \"Close\"%s\n",
        row.name, closeAt - started, afterLine, afterClose, looked ? "" : " (not looked at)");
    EXPECT_GE(afterLine + 50, pause);
    EXPECT_LE(afterLine, pause + 3000);
    EXPECT_LE(afterClose, pause + 3000);
    // Once the window has drawn, it takes the result at once, so "Close" shows for the whole pause.
    // Before that its thread may still be making its drawing objects (slow under Wine).
    if (looked) {
        EXPECT_GE(afterClose + 300, pause);
    }
    EXPECT_EQ(process.exitCode(), 0u);
    EXPECT_FALSE(IsWindow(window));

    const std::wstring log = installLog();
    EXPECT_EQ(log.rfind(L"Installer thread started\n", 0), 0u) << log;
    EXPECT_TRUE(endsWith(log, finalLine)) << log;
    EXPECT_NE(log.find(L"verify_eddsa: verify result: 1\n"), std::wstring::npos) << log;
    EXPECT_EQ(log.find(L"Executing ") != std::wstring::npos, installs) << log;
    if (installs) {
        EXPECT_TRUE(applicationStarted());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, SuccessfulRunTest,
    ::testing::Values(SuccessCase{"InstallsALocalPackage", Source::LocalPackage, L"", "installed"},
                      SuccessCase{"InstallsFromThePackageStore", Source::PackageStore, L"", "installed"},
                      SuccessCase{"InstallsAfterASlowDownload", Source::HeldDownload, L"", "installed"},
                      SuccessCase{"VerifiesOnly", Source::HeldDownload, L"/verify_only", "verified"},
                      // An unrecognised option ends the parsing: the window still shows and the installation
                      // runs, without the /verify_only that comes after it.
                      SuccessCase{"UnrecognisedOptionFirstStillInstalls", Source::HeldDownload,
                                  L"/passive /verify_only", "installed"},
                      SuccessCase{"UnrecognisedOptionLastKeepsVerifyOnly", Source::HeldDownload,
                                  L"/verify_only /S", "verified"}),
    [](const ::testing::TestParamInfo<SuccessCase>& info) { return info.param.name; });

// ---- The uninstaller that an installation keeps, started as Apps & features starts it (the entry's
// UninstallString, attended): its window says that the installation has been removed and closes by
// itself, and neither the installation nor the entry is left.

TEST_F(MainWindowTest, UninstallerOfTheEntryShowsTheRemovalAndEndsByItself) {
    useLocalPackage(L"package.7z", L"package");
    InstallerProcess installing;
    ASSERT_TRUE(installing.start(installer(), L"/unattended"));
    ASSERT_TRUE(installing.waitForExit(60000));
    ASSERT_EQ(installing.exitCode(), 0u) << installLog();
    const std::wstring command = entryValue(L"UninstallString");
    const size_t quote = command.find(L'"', 1);
    ASSERT_TRUE(command.rfind(L"\"", 0) == 0 && quote != std::wstring::npos) << command;
    EXPECT_EQ(command.substr(quote), L"\" /uninstall");

    InstallerProcess process;
    HWND window = startInstaller(process, L"/uninstall", command.substr(1, quote - 1));
    ASSERT_NE(window, nullptr);
    HWND status = windowtest::findChild(window, L"Static");
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(waitUntil(
        [&] { return windowtest::windowText(status) == kRemovedText || !process.running(); }, 60000));
    EXPECT_EQ(windowtest::windowText(status), kRemovedText);
    ASSERT_TRUE(process.waitForExit(10000)) << "the window did not close by itself";
    EXPECT_EQ(process.exitCode(), 0u);
    EXPECT_TRUE(endsWith(installLog(), L"Uninstaller thread finished victorious and will exit shortly.\n"))
        << installLog();
    EXPECT_FALSE(pathExists(codeFolder + L"\\welkara.exe"));
    EXPECT_EQ(entryValue(L"DisplayName"), L"<none>");
}

// ---- A DLL planted beside Installer.exe in place of a system DLL that is not a KnownDLL never loads,
// even with Windows' search order, which puts the program's folder first, and the run still draws its
// status, downloads, verifies the package and ends by itself. Wine gives that order only when told, by
// the WINEDLLOVERRIDES that window.cmake sets for this test executable: Installer.exe inherits it from
// this process's start (a value set here with SetEnvironmentVariableW does not reach it).

constexpr wchar_t kWindowsSearchOrder[] = L"d2d1,dwrite,wininet,comctl32,oleacc=n,b";

struct PlantedDllCase {
    const char* name;
    const wchar_t* dll;    // a file name from main_window_test/planted/
    const wchar_t* where;  // where it is planted, relative to Installer.exe's folder
};

class PlantedDllTest : public MainWindowTest, public ::testing::WithParamInterface<PlantedDllCase> {
  protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        removeTree(runFolder());
    }
    void TearDown() override {
        removeTree(runFolder());
        MainWindowTest::TearDown();
    }
    // A folder of its own for Installer.exe and the planted DLL, so that nothing this process loads
    // finds the DLL beside it.
    static std::wstring runFolder() { return exeFolder() + L"\\planted_run"; }
    std::wstring planted() const { return runFolder() + L"\\" + GetParam().where; }
    // Left by the planted DLL's DllMain when anything loads it.
    std::wstring marker() const { return planted() + L".loaded"; }
};

TEST_P(PlantedDllTest, NeverLoadsAndTheRunStillSucceeds) {
    wchar_t overrides[512] = {};
    GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 512);
    ASSERT_NE(std::wstring(overrides).find(kWindowsSearchOrder), std::wstring::npos)
        << "WINEDLLOVERRIDES is \"" << overrides << "\": Wine would prefer its builtin DLLs";
    ASSERT_TRUE(CreateDirectoryW(runFolder().c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(installer().c_str(), (runFolder() + L"\\Installer.exe").c_str(), FALSE));
    const std::wstring where = planted();
    const int made = SHCreateDirectoryExW(nullptr, where.substr(0, where.rfind(L'\\')).c_str(), nullptr);
    ASSERT_TRUE(made == ERROR_SUCCESS || made == ERROR_ALREADY_EXISTS) << made;
    ASSERT_TRUE(CopyFileW((exeFolder() + L"\\planted\\" + GetParam().dll).c_str(), where.c_str(), FALSE));
    const HeldDownload download(packageStore(), L"package.7z");

    InstallerProcess process;
    HWND window = startInstaller(
        process,
        L"/url:" + download.url + L" /eddsa_signature:" + packageSignature(L"package") + L" /verify_only",
        runFolder() + L"\\Installer.exe");
    ASSERT_NE(window, nullptr);

    // The window draws, the download comes, the package is verified and the process ends with 0.
    ASSERT_TRUE(download.waitForStart(30000)) << "the installer thread never asked for the package";
    Capture working;
    ASSERT_TRUE(settledCapture(window, nullptr, &working, 20000)) << "the status line was never drawn";
    expectPaintedStatus(working);
    download.release(200);
    ASSERT_TRUE(process.waitForExit(30000)) << installLog();
    EXPECT_EQ(process.exitCode(), 0u);
    EXPECT_TRUE(endsWith(installLog(), kVerifiedLine)) << installLog();
    EXPECT_FALSE(pathExists(marker())) << "the planted " << GetParam().dll << " was loaded";
}

INSTANTIATE_TEST_SUITE_P(SystemDlls, PlantedDllTest,
                         ::testing::Values(PlantedDllCase{"Direct2d", L"d2d1.dll", L"d2d1.dll"},
                                           PlantedDllCase{"DirectWrite", L"dwrite.dll", L"dwrite.dll"},
                                           PlantedDllCase{"WinInet", L"wininet.dll", L"wininet.dll"},
                                           PlantedDllCase{"CommonControls", L"comctl32.dll", L"comctl32.dll"},
                                           // Made by COM for the live-region annotation.
                                           PlantedDllCase{"Accessibility", L"oleacc.dll", L"oleacc.dll"},
                                           // A private copy of the assembly where the side-by-side loader
                                           // of Windows looks for one (Wine does not): it shows only that
                                           // nothing regressed.
                                           PlantedDllCase{"CommonControlsDotLocal", L"comctl32.dll",
                                                          L"Installer.exe.local\\amd64_microsoft.windows."
                                                          L"common-controls_6595b64144ccf1df_6.0.2600.2982_"
                                                          L"none_deadbeef\\comctl32.dll"}),
                         [](const ::testing::TestParamInfo<PlantedDllCase>& info) {
                             return info.param.name;
                         });

// ---- A failed run shows the error and "Close", and stays until the user closes it.

class FailedRunTest : public MainWindowTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(FailedRunTest, StaysOpenUntilClosedThenExitsWithZero) {
    useLocalPackage(L"package.7z", L"damaged");  // a valid signature, but of another file
    InstallerProcess process;
    HWND window = startInstaller(process, L"");
    ASSERT_NE(window, nullptr);
    HWND button = windowtest::findChild(window, L"Button");
    ASSERT_TRUE(waitUntil([&] { return windowtest::windowText(button) == L"Close"; }, 60000));
    EXPECT_TRUE(endsWith(installLog(), L"Couldn't validate file\n")) << installLog();

    // The error may come before the first paint, which under Wine takes seconds.
    Capture error;
    ASSERT_TRUE(settledCapture(window, nullptr, &error, 20000));
    expectPaintedStatus(error);
    recordState("error", error);

    // Longer than the 2.5 s after which a successful run would have ended.
    Sleep(3500);
    ASSERT_TRUE(process.running()) << "the window closed by itself after an error";
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(windowtest::windowText(button), L"Close");

    const ULONGLONG asked = GetTickCount64();
    closeWindow(window, GetParam().by);
    ASSERT_TRUE(process.waitForExit(5000));
    EXPECT_LT(process.exitedAt() - asked, 3000u);
    EXPECT_EQ(process.exitCode(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Closes, FailedRunTest,
                         ::testing::Values(CloseCase{"ClickOnClose", CloseBy::ButtonClick},
                                           CloseCase{"WmClose", CloseBy::CloseMessage},
                                           CloseCase{"SpaceOnClose", CloseBy::Space},
                                           CloseCase{"EnterOnClose", CloseBy::Enter}),
                         [](const ::testing::TestParamInfo<CloseCase>& info) { return info.param.name; });

// ---- Runs that nobody watches end by themselves: with /unattended, with an exit code that tells how,
// and in a window station nobody sees (as a deployment tool's run), with 0 as described. An error
// shows for 2.5 s, as a success does; a success starts no application.

struct UnattendedCase {
    const char* name;
    const wchar_t* arguments;
    const wchar_t* signature;  // of packages\package.7z as the local package: "damaged" fails
    bool lockHeld;             // another installation holds the code folder's lock
    bool unseen;               // in a window station nobody sees
    DWORD exitCode;
    const wchar_t* reason;  // in the log's second line
    const wchar_t* finalLine;
};

class UnattendedRunTest : public MainWindowTest, public ::testing::WithParamInterface<UnattendedCase> {};

TEST_P(UnattendedRunTest, EndsByItselfWithItsExitCode) {
    const UnattendedCase& c = GetParam();
    useLocalPackage(L"package.7z", c.signature);
    const std::wstring own = codeFolder + L"\\.installer";
    HANDLE lock = INVALID_HANDLE_VALUE;
    if (c.lockHeld) {
        ASSERT_EQ(SHCreateDirectoryExW(nullptr, own.c_str(), nullptr), ERROR_SUCCESS);
        lock = CreateFileW((own + L"\\lock").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    }
    InstallerProcess process;
    const bool started = process.start(installer(), c.arguments, c.unseen);
    const bool ended = started && process.waitForExit(60000);
    CloseHandle(lock);
    ASSERT_TRUE(started) << GetLastError();
    ASSERT_TRUE(ended) << "the run waits for somebody: " << installLog();
    EXPECT_EQ(process.exitCode(), c.exitCode);
    const std::wstring log = installLog();
    EXPECT_EQ(log.rfind(L"Installer thread started\nRunning unattended (" + std::wstring(c.reason) +
                            L"): nothing waits for a person and the application is not started\n",
                        0),
              0u)
        << log;
    EXPECT_TRUE(endsWith(log, c.finalLine)) << log;
    EXPECT_FALSE(applicationStarted());
    if (std::wstring(c.finalLine) == kFinishedLine) {
        EXPECT_NE(log.find(L"\nNot starting " + codeFolder + L"\\welkara.exe: the run is unattended\n" +
                           kFinishedLine),
                  std::wstring::npos)
            << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, UnattendedRunTest,
    ::testing::Values(UnattendedCase{"FailureEndsWith1603", L"/unattended", L"damaged", false, false, 1603,
                                     L"the /unattended option", L"Couldn't validate file\n"},
                      UnattendedCase{"LockedCodeFolderEndsWith1618", L"/unattended", L"package", true, false,
                                     1618, L"the /unattended option", L"Couldn't lock the code folder\n"},
                      UnattendedCase{"SuccessEndsWith0AndStartsNothing", L"/unattended:yes", L"package",
                                     false, false, 0, L"the /unattended option", kFinishedLine},
                      UnattendedCase{"FailureUnseenEndsWith0", L"", L"damaged", false, true, 0,
                                     L"a window station that nobody sees", L"Couldn't validate file\n"}),
    [](const ::testing::TestParamInfo<UnattendedCase>& info) { return info.param.name; });

// ---- Every state reaches the screen whole: the status line, the progress bar (its marquee moving while
// the thread works, standing still afterwards) and the button with its label, within a second of
// entering the state (the first frame excepted) and still there a second later. Judged from photographs of
// the X server's screen, which show whatever covers the window, not from GDI's copy of it. One run goes
// through the rows in order; the error comes from a download whose connection is cut.
// Until a new window first paints, its client area keeps whatever the screen showed there before (seen:
// the previous run's window), so a photograph counts only once it shows this row's label; and this suite
// runs after MainWindowTest, whose tests compare the first status line they capture with later ones.

enum class Step { None, MinimizeAndRestore, CutDownload };

struct ScreenCase {
    const char* state;
    Step step;
    const wchar_t* status;
    const wchar_t* label;
    bool marqueeRuns;
    DWORD withinMs;  // from entering the state to the first photograph that must show it
};

// The ink of a button label drawn as a button without a font of its own draws it: the system font,
// black on white, centred on one line.
Ink labelRendering(const wchar_t* text) {
    constexpr int kWidth = 100;
    constexpr int kHeight = 28;
    Band band;
    band.width = kWidth;
    band.pixels = windowtest::drawOffscreen(kWidth, kHeight, [&](HDC dc) {
        HGDIOBJ previousFont = SelectObject(dc, GetStockObject(SYSTEM_FONT));
        RECT area = {0, 0, kWidth, kHeight};
        FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        SetBkMode(dc, TRANSPARENT);
        DrawTextW(dc, text, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        SelectObject(dc, previousFont);
        return true;
    });
    return windowtest::inkOf(band);
}

class WindowOnScreenTest : public MainWindowTest {};

TEST_F(WindowOnScreenTest, EveryStateShowsItsTextMarqueeAndButton) {
    // The first frame of a new process waits for Direct2D to set up, which under Wine took 1.2 to 2.4 s
    // after the download had started (seen); every later state is due within a second.
    const ScreenCase rows[] = {
        {"working", Step::None, kInstallingText, L"Cancel", true, 20000},
        {"working-restored", Step::MinimizeAndRestore, kInstallingText, L"Cancel", true, 1000},
        {"error", Step::CutDownload, kErrorText, L"Close", false, 1000},
        {"error-restored", Step::MinimizeAndRestore, kErrorText, L"Close", false, 1000},
    };
    const HeldDownload stalled(packageStore(), L"stalled.bin");
    InstallerProcess process;
    HWND window = startStalledRun(process, stalled);
    ASSERT_NE(window, nullptr);
    HWND button = windowtest::findChild(window, L"Button");
    RECT client;
    RECT buttonArea;
    ASSERT_TRUE(GetClientRect(window, &client));
    ASSERT_TRUE(GetWindowRect(button, &buttonArea));
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&buttonArea), 2);
    // Inside the button's frame and the focus rectangle.
    InflateRect(&buttonArea, -4, -4);
    const int barHeight = GetSystemMetrics(SM_CYVSCROLL);
    const RECT barArea = {4, client.bottom / 2 - barHeight / 2, client.right - 4,
                          client.bottom / 2 - barHeight / 2 + barHeight};
    const std::wstring folder = exeFolder();

    // What a photograph of a state must show: a status line, a bar that is not background (its frame and
    // white trough) and the label inside the button, as wide as a rendering of it and centred.
    auto labelShown = [&](const Capture& photo, const wchar_t* label) {
        const Ink ink = windowtest::inkOf(windowtest::clientArea(photo, buttonArea));
        return ink.any() && std::abs(ink.width() - labelRendering(label).width()) <= 2 &&
               std::abs(ink.centre() - (buttonArea.right - buttonArea.left - 1) / 2.0) <= 3.0;
    };
    auto shown = [&](const Capture& photo, const wchar_t* label) {
        const Band bar = windowtest::clientArea(photo, barArea);
        return painted(windowtest::clientBand(photo, kStatusTop, kStatusBottom)) &&
               greyPixels(bar) * 2 < bar.pixels.size() && labelShown(photo, label);
    };
    std::vector<std::pair<const wchar_t*, Band>> statusBands;
    for (const ScreenCase& row : rows) {
        SCOPED_TRACE(row.state);
        switch (row.step) {
            case Step::None:
                break;
            case Step::MinimizeAndRestore:
                ShowWindow(window, SW_MINIMIZE);
                ASSERT_TRUE(waitUntil([&] { return IsIconic(window) != FALSE; }, 5000));
                ShowWindow(window, SW_RESTORE);
                ASSERT_TRUE(waitUntil([&] { return IsIconic(window) == FALSE; }, 5000));
                break;
            case Step::CutDownload:
                stalled.cut();
                ASSERT_TRUE(waitUntil([&] { return windowtest::windowText(button) == L"Close"; }, 30000));
                break;
        }
        // Photographs taken until the state shows or its time is up; the last one is judged.
        const ULONGLONG entered = GetTickCount64();
        Capture first;
        do {
            ASSERT_TRUE(windowtest::photographWindow(window, folder, &first)) << "import took no photograph";
        } while (!shown(first, row.label) && GetTickCount64() - entered < row.withinMs);
        std::printf("%s: on the screen %llu ms after it was entered\n", row.state,
                    GetTickCount64() - entered);
        Sleep(1000);
        Capture later;
        ASSERT_TRUE(windowtest::photographWindow(window, folder, &later));
        recordState("screen-" + std::string(row.state), later);

        for (const Capture* photo : {&first, &later}) {
            expectPaintedStatus(*photo);
            EXPECT_TRUE(shown(*photo, row.label))
                << "the bar or the label \"" << row.label << "\" is missing from the screen";
        }
        EXPECT_EQ(!(windowtest::clientArea(first, barArea) == windowtest::clientArea(later, barArea)),
                  row.marqueeRuns)
            << "the marquee " << (row.marqueeRuns ? "stands still" : "still moves");
        EXPECT_EQ(windowtest::windowText(button), row.label);

        // The same sentence looks the same each time; another one differs, its width ordered by length.
        const Band status = windowtest::clientBand(later, kStatusTop, kStatusBottom);
        for (const auto& seen : statusBands) {
            if (seen.first == row.status) {
                EXPECT_TRUE(seen.second == status) << "the status line changed";
            } else {
                EXPECT_FALSE(seen.second == status) << "the status line did not change";
                EXPECT_EQ(windowtest::inkOf(status).width() < windowtest::inkOf(seen.second).width(),
                          lstrlenW(row.status) < lstrlenW(seen.first));
            }
        }
        statusBands.emplace_back(row.status, status);
    }
    EXPECT_TRUE(process.running()) << "the window closed after the error";
}

}  // namespace
