// The status sentence as a control that screen readers read, drawing nothing itself. WS_EX_TRANSPARENT keeps
// it out of the clip region that WS_CLIPCHILDREN gives the parent's paint, and its procedure paints and
// erases nothing. The annotation service comes from System32's oleacc.dll only
// (install/files/system_library.h).
#include "app/status_control.h"

#include <objbase.h>

#include "app/control_subclass.h"
#include "install/files/system_library.h"

namespace {

// The annotation service of oleacc.dll (CLSID_AccPropServices, IID_IAccPropServices) and the annotated
// property LiveSetting_Property_GUID with its value Polite (LiveSetting: Off 0, Polite 1, Assertive 2).
// Spelled out here: mingw's headers lack the property and its import library names the class otherwise.
constexpr CLSID kAccPropServicesClass = {
    0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr IID kAccPropServicesInterface = {
    0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
constexpr GUID kLiveSettingProperty = {
    0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kLiveSettingPolite = 1;
// EVENT_OBJECT_LIVEREGIONCHANGED, which winuser.h declares only for Windows 8 and later (the build
// targets 7, where nobody listens for it).
constexpr DWORD kLiveRegionChanged = 0x8019;

LRESULT CALLBACK statusControlProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_ERASEBKGND:
            return TRUE;
        case WM_PAINT:
            ValidateRect(control, nullptr);
            return 0;
        case WM_SETTEXT:
            // The STATIC procedure would draw the new text at once, outside WM_PAINT; the text is only
            // stored, where WM_GETTEXT and the accessibility proxies read it.
            return DefWindowProcW(control, message, wParam, lParam);
    }
    return callControlProc(control, message, wParam, lParam);
}

}  // namespace

void StatusControl::create(HWND parent, HINSTANCE instance, const RECT& bounds, PCWSTR text) {
    control_ =
        CreateWindowExW(WS_EX_TRANSPARENT, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_NOPREFIX, bounds.left,
                        bounds.top, bounds.right - bounds.left, bounds.bottom - bounds.top, parent,
                        nullptr,  // control identifier 0
                        instance, nullptr);
    // A control that kept its own painting would draw the sentence a second time, in GDI.
    if (control_ != nullptr && !subclassControl(control_, statusControlProc)) {
        DestroyWindow(control_);
        control_ = nullptr;
    }
}

void StatusControl::annotateLiveRegion() {
    if (control_ == nullptr) {
        return;
    }
    // S_FALSE: already initialised on this thread, to be balanced all the same.
    comInitialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    // The service's class object straight from System32's oleacc.dll: asking COM for the class would
    // look its registration up in the merged classes of the registry, which include the user's own.
    HRESULT(STDAPICALLTYPE * getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    ComHolder<IClassFactory> factory;
    if (!comInitialised_ ||
        !systemFunction(loadSystemLibrary(L"oleacc.dll"), "DllGetClassObject", &getClassObject) ||
        FAILED(getClassObject(kAccPropServicesClass, IID_IClassFactory,
                              reinterpret_cast<void**>(factory.receive())))) {
        return;
    }
    // Taken over only on success: a failed call's pointer is not trusted to be null.
    IAccPropServices* annotations = nullptr;
    if (FAILED(factory->CreateInstance(nullptr,  // pUnkOuter: not aggregated
                                       kAccPropServicesInterface, reinterpret_cast<void**>(&annotations)))) {
        return;
    }
    annotations_.reset(annotations);
    VARIANT polite = {};
    polite.vt = VT_I4;
    polite.lVal = kLiveSettingPolite;
    // Where the service answers E_NOTIMPL (Wine) the live-region events still go out, unannotated.
    annotations_->SetHwndProp(control_, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, kLiveSettingProperty,
                              polite);
}

void StatusControl::announce(PCWSTR text) {
    if (control_ != nullptr) {
        SetWindowTextW(control_, text);
        NotifyWinEvent(kLiveRegionChanged, control_, OBJID_CLIENT, CHILDID_SELF);
    }
}

void StatusControl::release() {
    if (annotations_) {
        annotations_->ClearHwndProps(control_, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                     &kLiveSettingProperty, 1);
        annotations_.reset();
    }
    // After the service, the last COM object of this thread.
    if (comInitialised_) {
        CoUninitialize();
        comInitialised_ = false;
    }
}
