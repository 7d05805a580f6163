#pragma once
// Which part of the X screen is the primary monitor. One X screen commonly spans every
// monitor of the desktop (RandR outputs side by side, or Xinerama heads), and the HUD and
// the screenshot belong on one of them, not straddling two.

#include <X11/Xlib.h>

namespace morvelin {

struct MonitorBounds {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool contains(int px, int py) const {
        return px >= x && py >= y && px < x + width && py < y + height;
    }
};

// The RandR primary output; else the Xinerama head, or else the RandR monitor, that holds
// the screen's origin; else the whole default screen (a single-monitor desktop, or a server
// that tells nothing about its monitors). Never larger than the screen.
MonitorBounds primaryMonitor(Display* display);

// The overlap of two rectangles; empty (0 by 0) when they do not meet.
MonitorBounds intersect(const MonitorBounds& a, const MonitorBounds& b);

}  // namespace morvelin
