// BaseWindow<Derived>: the window handle, the class registration and the static window procedure of a
// window class whose behaviour lives in Derived. Create() makes the address of the Derived object the
// window's creation parameter; WM_NCCREATE stores it under GWLP_USERDATA, and every later message goes
// to Derived::OnMessage. Messages that arrive before WM_NCCREATE go to DefWindowProcW.
#pragma once

#include <windows.h>

template <class Derived>
class BaseWindow {
  public:
    static LRESULT CALLBACK StaticWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        Derived* self = reinterpret_cast<Derived*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_NCCREATE) {
            self = static_cast<Derived*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            self->hwnd_ = window;
        }
        if (self != nullptr) {
            return self->OnMessage(message, wParam, lParam);
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    HWND Window() const { return hwnd_; }

    // Registers the class WindowClassName() of this module (unless it is registered already) and creates
    // a top-level window of it at the default position. False when the window was not created, also when
    // Derived::OnMessage refused WM_CREATE.
    bool Create(PCWSTR title, DWORD style, int width, int height) {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = StaticWindowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = WindowClassName();
        RegisterClassW(&windowClass);
        hwnd_ = CreateWindowExW(0,  // dwExStyle
                                WindowClassName(), title, style, CW_USEDEFAULT, CW_USEDEFAULT, width, height,
                                nullptr,  // no parent
                                nullptr,  // no menu
                                instance, static_cast<Derived*>(this));
        return hwnd_ != nullptr;
    }

    virtual PCWSTR WindowClassName() const = 0;
    virtual LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

  protected:
    HWND hwnd_ = nullptr;
};
