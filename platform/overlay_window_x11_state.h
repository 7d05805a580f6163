#pragma once
// What the HUD window keeps of its X11 side, shared by the files that make up OverlayWindow
// on X11 (overlay_window_*_x11.cpp). Not for other callers.

#include <chrono>
#include <memory>
#include <optional>

#include <X11/Xlib.h>

#include "platform/click_through_x11.h"
#include "platform/overlay_window.h"
#include "platform/primary_monitor_x11.h"

namespace morvelin {

// A move or a resize of the HUD, or both: what is asked of each, if anything.
struct GeometryWishX11 {
    std::optional<OverlayWindow::Point> position;  // root coordinates
    std::optional<int> height;
    bool empty() const { return !position && !height; }
};

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
    // The input shapes of the window and its frames (click_through_x11.cpp).
    std::unique_ptr<ClickThroughX11> clickThrough;

    // The HUD's moves and resizes (overlay_window_geometry_x11.cpp): the newest wish until
    // the window has it; what was last asked of the window manager, kept while it may still
    // carry it out (and after it refused it: not asked again); whether it has yet to answer.
    GeometryWishX11 geometryWanted;
    GeometryWishX11 geometrySent;
    bool geometryAwaited = false;
    std::chrono::steady_clock::time_point geometrySentAt;

    // A change of what the window manager reports about the window.
    bool isStateReport(const XEvent& event) const {
        return event.type == PropertyNotify && event.xproperty.window == window &&
               (event.xproperty.atom == netWmState || event.xproperty.atom == wmState);
    }
};

}  // namespace morvelin
