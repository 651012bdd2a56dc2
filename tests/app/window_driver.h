// Drives a running Installer.exe from another process, as a user and the system would reach it: the
// process and its exit code, its progress window found by class name, the window's controls read with
// GetWindowTextW and GetWindowLongW, captures of the window from the screen (through GDI, or as the X
// server shows it), and what a screen reader reads and hears. Used by main_window_test under Wine and Xvfb.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace windowtest {

constexpr wchar_t kWindowClass[] = L"Orvanta Welkara Installer Window";

// Polls `done` every 10 ms until it holds or `timeoutMs` has passed; returns its last answer. Handles
// this thread's messages meanwhile, so that a WinEventWatch hears its events.
bool waitUntil(const std::function<bool()>& done, DWORD timeoutMs);

// One run of an installer executable. The destructor ends a run that is still going (only this one).
class InstallerProcess {
  public:
    InstallerProcess() = default;
    InstallerProcess(const InstallerProcess&) = delete;
    InstallerProcess& operator=(const InstallerProcess&) = delete;
    ~InstallerProcess();

    // Starts `executable` with `arguments` (what follows the program name on its command line); with
    // `unseen`, on the desktop of a window station of its own, which nobody sees.
    bool start(const std::wstring& executable, const std::wstring& arguments, bool unseen = false);
    // The visible top-level window of class kWindowClass that belongs to this process, or null.
    HWND findWindow() const;
    // Waits up to timeoutMs for the process to end; on true exitedAt() is when the wait saw it end.
    bool waitForExit(DWORD timeoutMs);
    bool running() const;
    DWORD exitCode() const;
    ULONGLONG exitedAt() const { return exitedAt_; }

  private:
    PROCESS_INFORMATION process_ = {};
    ULONGLONG exitedAt_ = 0;
    HWINSTA station_ = nullptr;  // the unseen window station and its desktop, while the process runs
    HDESK desktop_ = nullptr;
};

// The child window of `parent` with that window class, or null.
HWND findChild(HWND parent, const wchar_t* className);
// The window's text as the system stores it (no message is sent, so a busy window does not block).
std::wstring windowText(HWND window);
// The window with the keyboard focus in the thread of `window` (GetGUIThreadInfo), or null.
HWND focusOf(HWND window);
// What a screen reader reads for the control: get_accName of the object that AccessibleObjectFromWindow
// gives for its client area, or "" when there is none.
std::wstring accessibleName(HWND control);

// The windows whose client object raises the WinEvent `event` in one process, an entry per event (null
// for any other object), heard by an out-of-context hook while waitUntil waits. One at a time.
struct WinEventWatch {
    WinEventWatch(DWORD event, DWORD processId);
    WinEventWatch(const WinEventWatch&) = delete;
    ~WinEventWatch();
    HWINEVENTHOOK hook;
    std::vector<HWND> windows;
};

// The window's pixels as the screen shows them, taken with BitBlt from the screen's device context.
struct Capture {
    int width = 0;
    int height = 0;
    int clientLeft = 0;  // where the client area starts inside the capture
    int clientTop = 0;
    int clientWidth = 0;
    int clientHeight = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, rows top-down

    std::uint32_t clientPixel(int x, int y) const {
        return pixels[static_cast<std::size_t>(clientTop + y) * width + clientLeft + x];
    }
    // 24-bit BMP of the whole capture.
    bool saveBmp(const std::wstring& path) const;
};

bool captureWindow(HWND window, Capture* capture);
// What `draw` leaves in a width x height bitmap selected into a memory DC, as 0x00RRGGBB rows top-down;
// empty when the bitmap could not be made or `draw` returned false.
std::vector<std::uint32_t> drawOffscreen(int width, int height, const std::function<bool(HDC)>& draw);
// The window's pixels as the X server shows them: ImageMagick's import photographs the root window
// (a Unix program, which Wine starts itself when CreateProcessW is given one) into a PPM file in
// `folder`, and the window's rectangle is cut out of it. Only the X server composes that picture, so
// it holds whatever covers the window, child windows and Direct3D surfaces included.
bool photographWindow(HWND window, const std::wstring& folder, Capture* capture);

// Rows [top, bottom) of the client area, full width: the pixels of the status line.
struct Band {
    int width = 0;
    std::vector<std::uint32_t> pixels;
    bool operator==(const Band& other) const { return width == other.width && pixels == other.pixels; }
};
Band clientBand(const Capture& capture, int top, int bottom);
// A rectangle [left, right) x [top, bottom) of the client area.
Band clientArea(const Capture& capture, const RECT& area);

// Columns of a band that hold ink: a pixel darker than mid grey (text is black on light grey).
struct Ink {
    int left = -1;  // -1 when there is none
    int right = -1;
    int pixels = 0;  // count of inked pixels
    bool any() const { return left >= 0; }
    int width() const { return any() ? right - left + 1 : 0; }
    double centre() const { return (left + right) / 2.0; }
};
Ink inkOf(const Band& band);

}  // namespace windowtest
