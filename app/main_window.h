// The progress window: one status sentence drawn with Direct2D and DirectWrite, a marquee progress bar
// and one push button ("Cancel", then "Close"). It starts the installer thread when it is created and
// afterwards only answers that thread's four private messages, the button and the close request.
// For assistive technology the sentence is also the text of a STATIC control over the line that draws
// nothing itself (a polite live region). The keyboard focus stays on the button; Space and Enter press it.
#pragma once

#include <d2d1.h>
#include <dwrite.h>
#include <windows.h>

#include "app/base_window.h"
#include "app/com_holder.h"
#include "app/status_control.h"
#include "install/installer_thread.h"

class MainWindow : public BaseWindow<MainWindow> {
  public:
    // `request` is handed to the installer thread that the window starts when it is created.
    explicit MainWindow(const InstallRequest& request);
    // Releases what the close sequence has not released yet (normally nothing); leaves the installer
    // thread's argument as it is.
    ~MainWindow() { ReleaseHeld(); }

    // Creates the window with its title, style and size, not shown yet; false when it was not created.
    bool Create();
    PCWSTR WindowClassName() const override { return L"Orvanta Welkara Installer Window"; }
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // The exit code of a run with /unattended, once the message loop has ended: from how the installer
    // thread said the run ended, or 1602 when the window was closed before it said anything.
    int UnattendedExitCode() const { return unattendedExitCode(installerThread_.outcome.load(), cancelled_); }

  private:
    // WM_CREATE: the drawing objects made once, the controls, and the installer thread started; false
    // (the window is not created) when the common controls or the drawing objects cannot be had.
    bool OnCreate();
    // The factories and the text format, which live as long as the window; false when any is missing.
    bool CreateDeviceIndependentResources();
    // The status control, the button and the marquee progress bar, laid out in the client area. A control
    // that cannot be made is left out.
    void CreateControls(HINSTANCE instance);
    // Starts the installer thread with the window's request; shows the error when it cannot start.
    void StartInstallerThread();
    void OnPaint();
    // The render target and the brush, made where missing (both after a discard); false when either
    // cannot be made. Only while the factories are held.
    bool CreateDeviceResources();
    void DiscardDeviceResources();
    // Clears the bound render target and draws the status sentence on it; the result of EndDraw.
    HRESULT DrawStatusLine();
    // Validates the window and invalidates it again after a pause, when a paint could not draw.
    void RetryPaintLater();
    void ShowStatus(PCWSTR text);
    void ShowError();
    void CloseSequence();
    // Releases the drawing objects and the annotation service, and balances COM: what the close sequence
    // and the destructor give up. Idempotent.
    void ReleaseHeld();

    ComHolder<ID2D1Factory> direct2d_;
    ComHolder<IDWriteFactory> directWrite_;
    ComHolder<IDWriteTextFormat> textFormat_;
    ComHolder<ID2D1DCRenderTarget> renderTarget_;
    ComHolder<ID2D1SolidColorBrush> textBrush_;
    StatusControl status_;
    HWND button_ = nullptr;
    HWND progressBar_ = nullptr;
    bool closing_ = false;                  // the close sequence has run
    bool cancelled_ = false;                // it ran before any report had come
    InstallerThreadStart installerThread_;  // the thread's argument, for as long as the process runs
    PCWSTR statusText_;
};
