// RandR 1.5 monitors carry the user's choice of primary. Xephyr-style and older multi-head
// servers only describe their heads through Xinerama, and a RandR server without a primary
// leaves the choice to us: the monitor at the origin is where desktops put the panel and
// what most programs treat as the main one.

#include "platform/primary_monitor_x11.h"

#include <algorithm>
#include <optional>
#include <vector>

#include <X11/extensions/Xinerama.h>
#include <X11/extensions/Xrandr.h>

#include "platform/x11_handles.h"

namespace morvelin {
namespace {

struct RandrMonitorsDeleter {
    void operator()(XRRMonitorInfo* monitors) const { XRRFreeMonitors(monitors); }
};

struct Monitor {
    MonitorBounds bounds;
    bool primary = false;
};

std::vector<Monitor> randrMonitors(Display* display, Window root) {
    std::vector<Monitor> found;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) ||
        !XRRQueryVersion(display, &major, &minor) || major * 100 + minor < 105)
        return found;
    int count = 0;
    const std::unique_ptr<XRRMonitorInfo, RandrMonitorsDeleter> monitors(
        XRRGetMonitors(display, root, True, &count));
    for (int i = 0; monitors && i < count; ++i) {
        const XRRMonitorInfo& m = monitors.get()[i];
        found.push_back({{m.x, m.y, m.width, m.height}, m.primary != 0});
    }
    return found;
}

std::vector<Monitor> xineramaHeads(Display* display) {
    std::vector<Monitor> found;
    int eventBase = 0, errorBase = 0;
    if (!XineramaQueryExtension(display, &eventBase, &errorBase) || !XineramaIsActive(display))
        return found;
    int count = 0;
    const XMemoryPtr<XineramaScreenInfo> heads(XineramaQueryScreens(display, &count));
    for (int i = 0; heads && i < count; ++i) {
        const XineramaScreenInfo& h = heads.get()[i];
        found.push_back({{h.x_org, h.y_org, h.width, h.height}, false});
    }
    return found;
}

std::optional<MonitorBounds> holdingOrigin(const std::vector<Monitor>& monitors,
                                           const MonitorBounds& screen) {
    for (const Monitor& m : monitors) {
        const MonitorBounds inside = intersect(m.bounds, screen);
        if (inside.width > 0 && m.bounds.contains(screen.x, screen.y))
            return inside;
    }
    return std::nullopt;
}

}  // namespace

MonitorBounds intersect(const MonitorBounds& a, const MonitorBounds& b) {
    const int left = std::max(a.x, b.x);
    const int top = std::max(a.y, b.y);
    const int right = std::min(a.x + a.width, b.x + b.width);
    const int bottom = std::min(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top)
        return {};
    return {left, top, right - left, bottom - top};
}

MonitorBounds primaryMonitor(Display* display) {
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const MonitorBounds whole{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
    const std::vector<Monitor> randr = randrMonitors(display, root);
    for (const Monitor& m : randr) {
        const MonitorBounds inside = intersect(m.bounds, whole);
        if (m.primary && inside.width > 0)
            return inside;
    }
    if (auto head = holdingOrigin(xineramaHeads(display), whole))
        return *head;
    if (auto monitor = holdingOrigin(randr, whole))
        return *monitor;
    return whole;
}

}  // namespace morvelin
