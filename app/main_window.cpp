// The progress window's states, over the installer thread's messages, the button and closing:
//   working   -> finished  on WM_INSTALLER_INSTALLED, _VERIFIED, _REMOVED or _ERROR (new text, "Close",
//                          marquee off),
//                          or at once with the error text when the installer thread cannot be started
//   finished  -> finished  on a later status message (its text replaces the earlier one)
//   any       -> closing   on a button click, WM_INSTALLER_CLOSE or WM_DESTROY: the drawing objects are
//                          released and the message loop is asked to end; the window is not destroyed.
// Drawing uses device-independent objects made once at WM_CREATE (factories, text format) and a DC
// render target and brush made at the first paint, dropped when EndDraw fails and made again at the next
// one. The target is bound to each paint's DC, so the status line reaches the screen the way the
// controls' own drawing does; a target presenting to the window itself would cover the controls.
#include "app/main_window.h"

#include <commctrl.h>

#include "app/common_controls.h"
#include "app/control_subclass.h"
#include "install/installer_messages.h"
#include "install/files/system_library.h"
#include "resources/resource_ids.h"

namespace {

constexpr PCWSTR kInstallingText = L"Installing the latest version of Orvanta Welkara...";
constexpr PCWSTR kInstalledText = L"Orvanta Welkara has been installed.";
constexpr PCWSTR kVerifiedText = L"Orvanta Welkara has been verified.";
// The same window for /uninstall.
constexpr PCWSTR kRemovingText = L"Removing Orvanta Welkara...";
constexpr PCWSTR kRemovedText = L"Orvanta Welkara has been removed.";
constexpr PCWSTR kErrorText = L"There was an error installing Orvanta Welkara.";

constexpr float kBackgroundGrey = 245.0f / 255.0f;
constexpr float kTextMargin = 3.0f;
constexpr LPARAM kMarqueeIntervalMs = 30;
constexpr UINT_PTR kRepaintTimer = 1;
constexpr UINT_PTR kUnattendedCloseTimer = 2;
constexpr UINT kUnattendedCloseDelayMs = 2500;
constexpr UINT kRepaintDelayMs = 500;
// The status control's height: one line of the 12-pixel text with room for its descenders.
constexpr int kStatusLineHeight = 18;

// D2D1CreateFactory, exported by d2d1.dll as ordinal 1, and DWriteCreateFactory.
typedef HRESULT(WINAPI* CreateDirect2dFactory)(D2D1_FACTORY_TYPE, REFIID, const D2D1_FACTORY_OPTIONS*,
                                               void**);
typedef HRESULT(WINAPI* CreateDirectWriteFactory)(DWRITE_FACTORY_TYPE, REFIID, IUnknown**);

// The button's procedure. A push button clicks on Space by itself; Enter clicks it once on the key's
// first press (bit 30 of lParam: the key was already down), as in a dialog.
LRESULT CALLBACK buttonProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN && wParam == VK_RETURN && (lParam & (1 << 30)) == 0) {
        SendMessageW(control, BM_CLICK, 0, 0);
        return 0;
    }
    return callControlProc(control, message, wParam, lParam);
}

}  // namespace

MainWindow::MainWindow(const InstallRequest& request)
    : statusText_(request.uninstall ? kRemovingText : kInstallingText) {
    installerThread_.request = request;
}

bool MainWindow::Create() {
    // WS_CLIPCHILDREN keeps the status line's paint off the progress bar and the button: they draw
    // themselves, and a paint of the parent over them would hide them until their next repaint. The
    // status control, which draws nothing, is left out of that clip (WS_EX_TRANSPARENT).
    return BaseWindow::Create(L"Orvanta Welkara Installer",
                              WS_OVERLAPPED | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, 600, 140);
}

LRESULT MainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate() ? 0 : -1;
        case WM_SETFOCUS:
            // The window keeps no focus of its own: keys go to the button, whenever it is activated.
            if (button_ != nullptr) {
                SetFocus(button_);
            }
            return 0;
        case WM_SIZE:
            // The render target takes the client size each time it is bound to a paint.
            if (renderTarget_) {
                InvalidateRect(hwnd_, nullptr, FALSE);
            }
            return 0;
        case WM_PAINT:
            OnPaint();
            return 0;
        case WM_TIMER:
            if (wParam != kRepaintTimer && wParam != kUnattendedCloseTimer) {
                break;
            }
            KillTimer(hwnd_, wParam);
            if (wParam == kRepaintTimer) {
                InvalidateRect(hwnd_, nullptr, FALSE);
            } else {
                CloseSequence();
            }
            return 0;
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                CloseSequence();
                return 0;
            }
            break;
        case WM_INSTALLER_INSTALLED:
            ShowStatus(kInstalledText);
            return 0;
        case WM_INSTALLER_VERIFIED:
            ShowStatus(kVerifiedText);
            return 0;
        case WM_INSTALLER_REMOVED:
            ShowStatus(kRemovedText);
            return 0;
        case WM_INSTALLER_ERROR:
            ShowError();
            return 0;
        case WM_DESTROY:
        case WM_INSTALLER_CLOSE:
            CloseSequence();
            return 0;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

bool MainWindow::OnCreate() {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
    // Active until the controls have been created, so that they are those of version 6.
    CommonControlsScope commonControls;
    if (!commonControls.enter(instance, WELKARA_COMMON_CONTROLS_MANIFEST) ||
        !CreateDeviceIndependentResources()) {
        return false;
    }
    CreateControls(instance);
    StartInstallerThread();
    return true;
}

bool MainWindow::CreateDeviceIndependentResources() {
    // A DLL or function that does not load fails like the factory it would have made.
    CreateDirect2dFactory createDirect2d = nullptr;
    CreateDirectWriteFactory createDirectWrite = nullptr;
    if (!systemFunction(loadSystemLibrary(L"d2d1.dll"), MAKEINTRESOURCEA(1), &createDirect2d) ||
        FAILED(createDirect2d(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory),
                              nullptr,  // pFactoryOptions
                              reinterpret_cast<void**>(direct2d_.receive()))) ||
        !systemFunction(loadSystemLibrary(L"dwrite.dll"), "DWriteCreateFactory", &createDirectWrite) ||
        FAILED(createDirectWrite(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                 reinterpret_cast<IUnknown**>(directWrite_.receive()))) ||
        FAILED(directWrite_->CreateTextFormat(L"Verdana",
                                              nullptr,  // the system font collection
                                              DWRITE_FONT_WEIGHT_NORMAL, DWRITE_FONT_STYLE_NORMAL,
                                              DWRITE_FONT_STRETCH_NORMAL, 12.0f, L"en-us",
                                              textFormat_.receive()))) {
        return false;
    }
    textFormat_->SetTextAlignment(DWRITE_TEXT_ALIGNMENT_CENTER);
    return true;
}

void MainWindow::CreateControls(HINSTANCE instance) {
    RECT client;
    GetClientRect(hwnd_, &client);
    const int barHeight = GetSystemMetrics(SM_CYVSCROLL);
    // First of the children, so that a screen reader meets the sentence before the bar and the button.
    const int margin = static_cast<int>(kTextMargin);
    const RECT statusLine = {margin, margin, client.right - client.left - margin, margin + kStatusLineHeight};
    status_.create(hwnd_, instance, statusLine, statusText_);
    button_ = CreateWindowExW(0, L"BUTTON", L"Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                              client.right - 104, client.bottom - 32, 100, 28, hwnd_,
                              nullptr,  // control identifier 0
                              instance, nullptr);
    progressBar_ =
        CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_MARQUEE, client.left + 4,
                        client.top + (client.bottom - client.top) / 2 - barHeight / 2,
                        client.right - client.left - 8, barHeight, hwnd_,
                        nullptr,  // control identifier 0
                        instance, nullptr);
    SendMessageW(progressBar_, PBM_SETMARQUEE, 1, kMarqueeIntervalMs);
    // Without it Space still clicks the button; only Enter does not.
    subclassControl(button_, buttonProc);
    status_.annotateLiveRegion();
}

void MainWindow::StartInstallerThread() {
    // The thread is never waited for or signalled, so its handle is not needed. Without a thread no
    // report will ever come: the window shows the error at once, as the thread would have.
    installerThread_.window = hwnd_;
    HANDLE thread = CreateThread(nullptr,  // lpThreadAttributes
                                 0,        // default stack size
                                 InstallerThreadProc, &installerThread_, 0,
                                 nullptr);  // lpThreadId: not needed
    if (thread != nullptr) {
        CloseHandle(thread);
    } else {
        ShowError();
    }
}

void MainWindow::OnPaint() {
    if (!direct2d_) {
        // Closing: the factories are gone. Nothing is drawn; the area is validated so that no further
        // paint requests arrive while the loop ends.
        ValidateRect(hwnd_, nullptr);
        return;
    }
    if (!CreateDeviceResources()) {
        RetryPaintLater();
        return;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd_, &paint);
    RECT client;
    GetClientRect(hwnd_, &client);
    const bool bound = dc != nullptr && SUCCEEDED(renderTarget_->BindDC(dc, &client));
    if (!bound || FAILED(DrawStatusLine())) {
        DiscardDeviceResources();
    }
    EndPaint(hwnd_, &paint);
    if (!bound) {
        RetryPaintLater();
    }
}

bool MainWindow::CreateDeviceResources() {
    if (!renderTarget_) {
        // A DC render target draws 32-bit BGRA only; alpha is ignored, as the window is opaque.
        const D2D1_RENDER_TARGET_PROPERTIES targetProperties = D2D1::RenderTargetProperties(
            D2D1_RENDER_TARGET_TYPE_DEFAULT,
            D2D1::PixelFormat(DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_IGNORE));
        if (FAILED(direct2d_->CreateDCRenderTarget(&targetProperties, renderTarget_.receive()))) {
            return false;
        }
    }
    return textBrush_ || SUCCEEDED(renderTarget_->CreateSolidColorBrush(D2D1::ColorF(0.0f, 0.0f, 0.0f, 1.0f),
                                                                        textBrush_.receive()));
}

void MainWindow::DiscardDeviceResources() {
    renderTarget_.reset();
    textBrush_.reset();
}

HRESULT MainWindow::DrawStatusLine() {
    const D2D1_SIZE_F size = renderTarget_->GetSize();
    renderTarget_->BeginDraw();
    renderTarget_->Clear(D2D1::ColorF(kBackgroundGrey, kBackgroundGrey, kBackgroundGrey, 1.0f));
    renderTarget_->DrawText(
        statusText_, lstrlenW(statusText_), textFormat_.get(),
        D2D1::RectF(kTextMargin, kTextMargin, size.width - kTextMargin, size.height - kTextMargin),
        textBrush_.get(), D2D1_DRAW_TEXT_OPTIONS_NONE, DWRITE_MEASURING_MODE_NATURAL);
    return renderTarget_->EndDraw();
}

void MainWindow::RetryPaintLater() {
    // Left invalid, the window would get WM_PAINT again at once, and keep a processor busy for as long as
    // the drawing objects cannot be made.
    ValidateRect(hwnd_, nullptr);
    SetTimer(hwnd_, kRepaintTimer, kRepaintDelayMs,
             nullptr);  // lpTimerFunc: WM_TIMER
}

void MainWindow::ShowStatus(PCWSTR text) {
    // One announcement per change of the sentence: a repeated status says nothing new.
    if (lstrcmpW(text, statusText_) != 0) {
        status_.announce(text);
    }
    statusText_ = text;
    SendMessageW(button_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"Close"));
    SendMessageW(progressBar_, PBM_SETMARQUEE, 0, 0);
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void MainWindow::ShowError() {
    ShowStatus(kErrorText);
    // In an unattended run nobody is there to click "Close": the error is shown as long as a success
    // would be, then the window closes as after an installation.
    if (installerThread_.request.unattendedReason != nullptr) {
        SetTimer(hwnd_, kUnattendedCloseTimer, kUnattendedCloseDelayMs,
                 nullptr);  // lpTimerFunc: WM_TIMER
    }
}

void MainWindow::CloseSequence() {
    // Closed while nothing had been reported: the run was cancelled (however it is closed later).
    if (!closing_) {
        closing_ = true;
        cancelled_ = statusText_ == kInstallingText || statusText_ == kRemovingText;
    }
    ReleaseHeld();
    PostQuitMessage(0);
}

void MainWindow::ReleaseHeld() {
    DiscardDeviceResources();
    textFormat_.reset();
    direct2d_.reset();
    directWrite_.reset();
    status_.release();
}
