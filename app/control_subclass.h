// A window procedure of ours put in front of a standard control's. The control's own procedure is kept
// in its GWLP_USERDATA, which the standard controls' classes leave to the application; a control
// subclassed here must not have that slot used for anything else. Header only.
#pragma once

#include <windows.h>

// Puts `procedure` in front of the control's window procedure. False when that fails.
inline bool subclassControl(HWND control, WNDPROC procedure) {
    const LONG_PTR original = GetWindowLongPtrW(control, GWLP_WNDPROC);
    if (original == 0) {
        return false;
    }
    SetWindowLongPtrW(control, GWLP_USERDATA, original);
    return SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)) == original;
}

// Hands a message on to the control's own procedure, from the one put in front of it.
inline LRESULT callControlProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    const WNDPROC original = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(control, GWLP_USERDATA));
    return CallWindowProcW(original, control, message, wParam, lParam);
}
