// The status sentence for assistive technology: a STATIC control lying over the window's status line
// whose text is the sentence. It draws nothing itself, so the pixels there stay the parent's drawing, and
// it is marked as a polite live region, so that each announced change is read out. Whatever of this
// cannot be set up is left out: without the control nothing is announced; without COM or the annotation
// service the live-region events still go out, unannotated.
#pragma once

#include <windows.h>
#include <oleacc.h>

#include "app/com_holder.h"

class StatusControl {
  public:
    ~StatusControl() { release(); }

    // Creates the control as the next child of `parent` at `bounds`, with `text`; no control when it
    // cannot be made whole (made, and kept from painting). Once.
    void create(HWND parent, HINSTANCE instance, const RECT& bounds, PCWSTR text);
    // Marks the control as a polite live region, initialising COM on this thread for the annotation
    // service of System32's oleacc.dll; nothing without a control. Once, on the control's thread.
    void annotateLiveRegion();
    // Makes `text` the control's text and raises EVENT_OBJECT_LIVEREGIONCHANGED; nothing without a control.
    void announce(PCWSTR text);
    // Clears the annotation, gives the service up and balances COM, where held; the control stays.
    // Idempotent; on the control's thread.
    void release();

  private:
    HWND control_ = nullptr;
    ComHolder<IAccPropServices> annotations_;
    bool comInitialised_ = false;
};
