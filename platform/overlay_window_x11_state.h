#pragma once
// What the HUD window keeps of its X11 side, shared by the files that make up OverlayWindow
// on X11 (overlay_window_x11.cpp, overlay_window_events_x11.cpp). Not for other callers.

#include <X11/Xlib.h>

#include "platform/overlay_window.h"
#include "platform/primary_monitor_x11.h"

namespace morvelin {

struct OverlayWindow::X11State {
    Display* display = nullptr;  // SDL's connection: grabbed keys arrive as its events
    Window window = None;
    float dpiScale = 1.0f;
    // Read once; refreshed when SDL reports a change of monitors.
    MonitorBounds primary;
    Window previousFocus = None;
    bool hasPreviousFocus = false;
    Atom netWmState = None;  // the window manager's report of the window's states
    Atom wmState = None;     // there while the window manager manages the window
    Atom stateAbove = None;  // the states the HUD keeps, as _NET_WM_STATE names them
    Atom stateSkipTaskbar = None;
    Atom stateSkipPager = None;
    // The layer the HUD wants, whatever the window manager reports now.
    bool aboveWanted = true;
    // Requests for the wanted states left before the window manager next agrees.
    int stateRequestsLeft = 0;

    // A change of what the window manager reports about the window.
    bool isStateReport(const XEvent& event) const {
        return event.type == PropertyNotify && event.xproperty.window == window &&
               (event.xproperty.atom == netWmState || event.xproperty.atom == wmState);
    }
};

}  // namespace morvelin
