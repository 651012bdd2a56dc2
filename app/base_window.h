// BaseWindow<Derived>: the window handle and the static window procedure of a window class whose
// behaviour lives in Derived. The address of the Derived object is the window's creation parameter;
// WM_NCCREATE stores it under GWLP_USERDATA, and every later message goes to Derived::OnMessage.
// Messages that arrive before WM_NCCREATE go to DefWindowProcW.
#pragma once

#include <windows.h>

template <class Derived>
class BaseWindow {
  public:
    static LRESULT CALLBACK StaticWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        Derived* self = nullptr;
        if (message == WM_NCCREATE) {
            const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            self = static_cast<Derived*>(create->lpCreateParams);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            self->hwnd_ = window;
        } else {
            self = reinterpret_cast<Derived*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        }
        if (self != nullptr) {
            return self->OnMessage(message, wParam, lParam);
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    HWND Window() const { return hwnd_; }

    virtual PCWSTR WindowClassName() const = 0;
    virtual LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

  protected:
    HWND hwnd_ = nullptr;
};
