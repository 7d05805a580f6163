// The HUD window on X11: an SDL2 window (which gives us the GL context and the Dear ImGui
// backend) plus Xlib calls on its handles for what SDL does not cover: click-through (an
// empty XShape input region), focus rules (WM_HINTS input and WM_TAKE_FOCUS), the primary
// monitor and Xft.dpi. The global hotkeys live in global_hotkeys_x11.cpp, the messages
// from other threads in window_messages_sdl.cpp, the event pump in overlay_window_events_x11.cpp,
// moves and resizes in overlay_window_geometry_x11.cpp, the layer in overlay_window_states_x11.cpp.
// Capture exclusion does not exist on X11; we say so instead of pretending.

#include "platform/overlay_window.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <vector>

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>

#include "base/error_text.h"
#include "base/session_log.h"
#include "platform/error_trap_x11.h"
#include "platform/global_hotkeys_x11.h"
#include "platform/overlay_window_x11_state.h"
#include "platform/primary_monitor_x11.h"
#include "platform/x11_handles.h"
#include "platform/x11_properties.h"

namespace morvelin {
namespace {

constexpr const char* kWindowClass = "MorvelinDeskOverlay";
constexpr int kMinimumWidth = 360;
constexpr int kMinimumHeight = 320;
constexpr int kResizeBorder = 6;
constexpr int kTopBottomMargin = 16;

// 96 DPI is a scale of 1; Xft.dpi is where X desktops keep the user's scaling choice.
float xftDpiScale(Display* display) {
    const char* resources = XResourceManagerString(display);
    if (!resources)
        return 1.0f;
    XrmInitialize();
    const XrmDatabasePtr database(XrmGetStringDatabase(resources));
    if (!database)
        return 1.0f;
    char* type = nullptr;
    XrmValue value{};
    if (XrmGetResource(database.get(), "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr) {
        const float dpi = std::strtof(value.addr, nullptr);
        if (dpi > 0.0f)
            return dpi / 96.0f;
    }
    return 1.0f;
}

MonitorBounds toBounds(const SDL_Rect& rect) {
    return {rect.x, rect.y, rect.w, rect.h};
}

// The primary monitor's work area: SDL's usable bounds (its display cut by _NET_WORKAREA,
// which spans the whole desktop) of the display that holds the primary monitor, cut once
// more to that monitor, since SDL knows nothing of Xinerama heads and may see one display
// where there are two monitors.
MonitorBounds primaryWorkArea(const MonitorBounds& primary) {
    const int centreX = primary.x + primary.width / 2;
    const int centreY = primary.y + primary.height / 2;
    int index = 0;
    for (int i = 0, count = SDL_GetNumVideoDisplays(); i < count; ++i) {
        SDL_Rect bounds{};
        if (SDL_GetDisplayBounds(i, &bounds) == 0 && toBounds(bounds).contains(centreX, centreY)) {
            index = i;
            break;
        }
    }
    SDL_Rect usable{};
    if (SDL_GetDisplayUsableBounds(index, &usable) != 0)
        return primary;
    const MonitorBounds work =
        primary.width > 0 ? intersect(toBounds(usable), primary) : toBounds(usable);
    return work.width > 0 && work.height > 0 ? work : primary;
}

int scaled(int pixels, float scale) {
    return static_cast<int>(static_cast<float>(pixels) * scale);
}

// 72 % of the work area's width, centred, at its top; as tall as the work area less a
// margin top and bottom, but never lower than the minimum height.
SDL_Rect placementOn(const MonitorBounds& work, float scale) {
    const int width = work.width * 72 / 100;
    const int height =
        std::max(scaled(kMinimumHeight, scale), work.height - 2 * scaled(kTopBottomMargin, scale));
    return {work.x + (work.width - width) / 2, work.y, std::max(width, 1), std::max(height, 1)};
}

bool windowStillExists(Display* display, Window window) {
    if (window == None || window == PointerRoot)
        return true;  // focus targets, not windows
    ErrorTrapX11 trap(display);
    XWindowAttributes attributes;
    const Status ok = XGetWindowAttributes(display, window, &attributes);
    return trap.finish() == 0 && ok != 0;
}

Window currentFocus(Display* display) {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    return focus;
}

SDL_HitTestResult hitTest(SDL_Window* window, const SDL_Point* point, void* data) {
    const auto* self = static_cast<const OverlayWindow*>(data);
    if (self->clickThrough())
        return SDL_HITTEST_NORMAL;
    int w = 0, h = 0;
    SDL_GetWindowSize(window, &w, &h);
    const int border = scaled(kResizeBorder, self->dpiScale());
    const bool left = point->x < border;
    const bool right = point->x >= w - border;
    const bool top = point->y < border;
    const bool bottom = point->y >= h - border;
    if (top && left)
        return SDL_HITTEST_RESIZE_TOPLEFT;
    if (top && right)
        return SDL_HITTEST_RESIZE_TOPRIGHT;
    if (bottom && left)
        return SDL_HITTEST_RESIZE_BOTTOMLEFT;
    if (bottom && right)
        return SDL_HITTEST_RESIZE_BOTTOMRIGHT;
    if (left)
        return SDL_HITTEST_RESIZE_LEFT;
    if (right)
        return SDL_HITTEST_RESIZE_RIGHT;
    if (top)
        return SDL_HITTEST_RESIZE_TOP;
    if (bottom)
        return SDL_HITTEST_RESIZE_BOTTOM;
    return SDL_HITTEST_NORMAL;
}

}  // namespace

OverlayWindow::OverlayWindow() : hotkeys_(std::make_unique<GlobalHotkeys>()) {}

OverlayWindow::~OverlayWindow() {
    if (exists())
        unregisterAllHotkeys();
    exists_.store(false);
    messages_.close();
    if (window_)
        SDL_DestroyWindow(window_);
    x11_.reset();
    // SDL's video subsystem stays up until the process ends: its shut-down unloads libdbus
    // and the GL driver, whose allocations then outlive their code (and leak checkers can no
    // longer tell whose they are).
}

std::string OverlayWindow::create(const std::string& title) {
    ownerThread_.store(std::this_thread::get_id());
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
    // Compositors ignore _NET_WM_WINDOW_OPACITY of windows that ask to bypass them.
    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
        return describeFailure("SDL_InitSubSystem(SDL_INIT_VIDEO)", SDL_GetError());
    if (std::string error = messages_.registerType(); !error.empty())
        return error;
    SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);

    // Created hidden where it goes: moved or resized afterwards, it would wait on the window
    // manager. SDL's connection comes with the window, so a short one of our own tells the
    // primary monitor and the scale first.
    float scale = 1.0f;
    MonitorBounds primary;
    if (const XDisplayPtr probe(XOpenDisplay(nullptr)); probe) {
        scale = xftDpiScale(probe.get());
        primary = primaryMonitor(probe.get());
    }
    const SDL_Rect place = placementOn(primaryWorkArea(primary), scale);
    const Uint32 flags = SDL_WINDOW_OPENGL | SDL_WINDOW_BORDERLESS | SDL_WINDOW_ALWAYS_ON_TOP |
                         SDL_WINDOW_SKIP_TASKBAR | SDL_WINDOW_UTILITY | SDL_WINDOW_HIDDEN |
                         SDL_WINDOW_RESIZABLE;
    window_ = SDL_CreateWindow(title.c_str(), place.x, place.y, place.w, place.h, flags);
    if (!window_)
        return describeFailure("SDL_CreateWindow", SDL_GetError());

    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window_, &info) || info.subsystem != SDL_SYSWM_X11)
        return describeFailure("SDL_GetWindowWMInfo", SDL_GetError());
    x11_ = std::make_unique<X11State>();
    x11_->display = info.info.x11.display;
    x11_->window = info.info.x11.window;
    x11_->dpiScale = scale;
    x11_->primary = primary;
    x11_->netWmState = XInternAtom(x11_->display, "_NET_WM_STATE", False);
    x11_->wmState = XInternAtom(x11_->display, "WM_STATE", False);
    x11_->stateAbove = XInternAtom(x11_->display, "_NET_WM_STATE_ABOVE", False);
    x11_->stateSkipTaskbar = XInternAtom(x11_->display, "_NET_WM_STATE_SKIP_TASKBAR", False);
    x11_->stateSkipPager = XInternAtom(x11_->display, "_NET_WM_STATE_SKIP_PAGER", False);
    x11_->clickThrough = std::make_unique<ClickThroughX11>(x11_->display, x11_->window);
    hotkeys_->attach(x11_->display);
    exists_.store(true);

    XClassHint classHint{const_cast<char*>("halvenor"), const_cast<char*>(kWindowClass)};
    XSetClassHint(x11_->display, x11_->window, &classHint);
    // Never take the focus on our own: no WM_TAKE_FOCUS, and WM_HINTS input follows
    // interactive mode (applyWindowStyles).
    Atom* protocols = nullptr;
    int protocolCount = 0;
    if (XGetWMProtocols(x11_->display, x11_->window, &protocols, &protocolCount)) {
        const XMemoryPtr<Atom> owned(protocols);
        const Atom takeFocus = XInternAtom(x11_->display, "WM_TAKE_FOCUS", False);
        std::vector<Atom> kept;
        std::copy_if(protocols, protocols + protocolCount, std::back_inserter(kept),
                     [&](Atom a) { return a != takeFocus; });
        XSetWMProtocols(x11_->display, x11_->window, kept.data(), static_cast<int>(kept.size()));
    }

    SDL_SetWindowMinimumSize(window_, scaled(kMinimumWidth, scale), scaled(kMinimumHeight, scale));
    SDL_SetWindowHitTest(window_, &hitTest, this);

    applyCaptureProtection(true);
    applyWindowStyles();

    const std::string taken = hotkeys_->add(ClickThroughHotkeyId, ModControl | ModShift, KeySpace,
                                            [this] { setClickThrough(!clickThrough_.load()); });
    if (!taken.empty())
        log("{}", taken);
    XFlush(x11_->display);
    messages_.open();
    return {};
}

void OverlayWindow::setClickThrough(bool on) {
    if (!onOwnerThread()) {
        messages_.post(Message::SetClickThrough, on);
        return;
    }
    if (!exists())
        return;
    if (on && !clickThroughHotkeyRegistered())
        return;  // there would be no way back
    clickThrough_.exchange(on);
    applyWindowStyles();
}

bool OverlayWindow::setCaptureProtection(bool on) {
    if (!onOwnerThread())
        return messages_.send(Message::SetCaptureProtection, on);
    return exists() && applyCaptureProtection(on);
}

void OverlayWindow::setVisible(bool visible) {
    if (!onOwnerThread()) {
        messages_.post(Message::SetVisible, visible);
        return;
    }
    if (!exists())
        return;
    if (visible) {
        showWithoutActivation();
    } else {
        if (interactive_)
            setInteractive(false);
        SDL_HideWindow(window_);
    }
}

void OverlayWindow::show() {
    if (!onOwnerThread()) {
        messages_.post(Message::SetVisible, true);
        return;
    }
    if (exists())
        showWithoutActivation();
}

void OverlayWindow::postShowRequest() {
    messages_.post(Message::Show, true);
}

void OverlayWindow::waitUntilHidden(int timeoutMs) {
    if (!exists() || !onOwnerThread())
        return;
    Display* display = x11_->display;
    XSync(display, False);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display, x11_->window, &attributes) ||
            attributes.map_state == IsUnmapped || std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Nothing tells us when the windows that were covered have repainted; a compositor's flush
    // waits for two frames, and so do we.
    std::this_thread::sleep_for(std::chrono::milliseconds(33));
}

void OverlayWindow::showWithoutActivation() {
    if (isVisible())
        return;
    const Window focusBefore = currentFocus(x11_->display);
    SDL_ShowWindow(window_);
    // Without a window manager SDL hands the focus to every window it maps; give it back
    // before anything else, so that no key typed meanwhile lands in the HUD.
    if (!interactive_ && focusBefore != x11_->window &&
        currentFocus(x11_->display) == x11_->window) {
        XSetInputFocus(x11_->display, focusBefore, RevertToPointerRoot, CurrentTime);
        XFlush(x11_->display);
    }
    noteShown();
}

void OverlayWindow::toggleVisibility() {
    setVisible(!isVisible());
}

bool OverlayWindow::isVisible() const {
    return exists() && (SDL_GetWindowFlags(window_) & SDL_WINDOW_SHOWN) != 0;
}

bool OverlayWindow::isMinimized() const {
    return exists() && (SDL_GetWindowFlags(window_) & SDL_WINDOW_MINIMIZED) != 0;
}

void OverlayWindow::setInteractive(bool on) {
    if (!exists() || on == interactive_)
        return;
    interactive_ = on;
    applyWindowStyles();
    Display* display = x11_->display;
    if (on) {
        const Window focus = currentFocus(display);
        x11_->hasPreviousFocus = focus != x11_->window;
        x11_->previousFocus = x11_->hasPreviousFocus ? focus : None;
        SDL_SetWindowInputFocus(window_);
        return;
    }
    if (x11_->hasPreviousFocus && windowStillExists(display, x11_->previousFocus) &&
        currentFocus(display) == x11_->window) {
        XSetInputFocus(display, x11_->previousFocus, RevertToPointerRoot, CurrentTime);
        XFlush(display);
    }
    x11_->hasPreviousFocus = false;
    x11_->previousFocus = None;
}

void OverlayWindow::setOpacity(float normal, float clickThrough) {
    opacity_ = std::clamp(normal, 0.3f, 1.0f);
    clickThroughOpacity_ = std::clamp(clickThrough, 0.1f, 1.0f);
    applyWindowStyles();
}

void OverlayWindow::applyWindowStyles() {
    if (!exists())
        return;
    Display* display = x11_->display;

    const XMemoryPtr<XWMHints> existing(XGetWMHints(display, x11_->window));
    XWMHints hints = existing ? *existing : XWMHints{};
    hints.flags |= InputHint;
    hints.input = interactive_ ? True : False;
    XSetWMHints(display, x11_->window, &hints);

    x11_->clickThrough->set(clickThrough_.load());

    const float alpha =
        std::clamp(clickThrough_.load() ? clickThroughOpacity_ : opacity_, 0.1f, 1.0f);
    const long alphaByte = std::lround(alpha * 255.0f);
    SDL_SetWindowOpacity(window_, static_cast<float>(alphaByte) / 255.0f);
    // Done once the server has it: the next click must already see the new input region.
    XSync(display, False);
}

bool OverlayWindow::applyCaptureProtection(bool on) {
    const unsigned requested = on ? 0x11u : 0u;
    if (on) {
        // No X11 mechanism keeps a window out of screenshots or screen sharing.
        lastError_ = "capture exclusion is not supported on X11";
        log("SetWindowDisplayAffinity({:#x}) failed: {}", requested, lastError_);
        return false;
    }
    captureProtected_.store(false);
    lastError_.clear();
    log("capture protection {} (display affinity {:#x})", captureProtected_.load() ? "ON" : "off",
        0);
    return captureProtected_.load() == on;
}

unsigned long OverlayWindow::nativeWindowId() const {
    return exists() ? static_cast<unsigned long>(x11_->window) : 0;
}

bool OverlayWindow::adoptDialogOf(long processId) {
    if (!exists())
        return false;
    Display* display = x11_->display;
    // The window manager's list holds the windows on screen; the dialog may vanish between
    // two requests.
    ErrorTrapX11 trap(display);
    bool found = false;
    const Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST", False);
    const Atom processIdAtom = XInternAtom(display, "_NET_WM_PID", False);
    for (const unsigned long client :
         longProperty(display, DefaultRootWindow(display), clientList, XA_WINDOW)) {
        const std::vector<unsigned long> pid =
            longProperty(display, client, processIdAtom, XA_CARDINAL);
        if (pid.size() != 1 || static_cast<long>(pid[0]) != processId)
            continue;
        found = true;
        Window parent = None;
        if (!XGetTransientForHint(display, client, &parent) || parent != x11_->window)
            XSetTransientForHint(display, client, x11_->window);
    }
    trap.finish();
    return found;
}

namespace {

struct PointerQuery {
    bool ok = false;
    int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
};

// SDL caches the global pointer position and stops following it once the HUD has handed the
// keyboard focus back after a click; the X server always knows.
PointerQuery queryPointer(Display* display, Window window) {
    PointerQuery query;
    Window root = None, child = None;
    unsigned int mask = 0;
    query.ok = XQueryPointer(display, window, &root, &child, &query.rootX, &query.rootY,
                             &query.windowX, &query.windowY, &mask) == True;
    return query;
}

}  // namespace

OverlayWindow::Point OverlayWindow::cursorPosition() const {
    if (!exists())
        return {};
    const PointerQuery query = queryPointer(x11_->display, x11_->window);
    return {query.rootX, query.rootY};
}

std::optional<OverlayWindow::Point> OverlayWindow::pointerInWindow() const {
    if (!exists())
        return std::nullopt;
    const PointerQuery query = queryPointer(x11_->display, x11_->window);
    int width = 0, height = 0;
    SDL_GetWindowSize(window_, &width, &height);
    if (!query.ok || query.windowX < 0 || query.windowY < 0 || query.windowX >= width ||
        query.windowY >= height)
        return std::nullopt;
    return Point{query.windowX, query.windowY};
}

int OverlayWindow::workAreaBottom() const {
    if (!exists())
        return 0;
    const MonitorBounds work = primaryWorkArea(x11_->primary);
    if (work.width > 0 && work.height > 0)
        return work.y + work.height;
    return windowRect().bottom;
}

float OverlayWindow::dpiScale() const {
    return x11_ ? x11_->dpiScale : 1.0f;
}

const std::string& OverlayWindow::clickThroughError() const {
    static const std::string none;
    return exists() ? x11_->clickThrough->problem() : none;
}

bool OverlayWindow::clickThroughHotkeyRegistered() const {
    return hotkeys_->contains(ClickThroughHotkeyId);
}

bool OverlayWindow::visibilityHotkeyRegistered() const {
    return hotkeys_->contains(VisibilityHotkeyId);
}

bool OverlayWindow::registerHotkey(int id, std::uint32_t modifiers, std::uint32_t virtualKey,
                                   HotkeyCallback callback) {
    if (!exists() || id == ClickThroughHotkeyId)
        return false;
    const std::string error = hotkeys_->add(id, modifiers, virtualKey, std::move(callback));
    if (!error.empty())
        log("{}", error);
    return error.empty();
}

bool OverlayWindow::registerVisibilityHotkey(std::uint32_t modifiers, std::uint32_t virtualKey) {
    return registerHotkey(VisibilityHotkeyId, modifiers, virtualKey,
                          [this] { toggleVisibility(); });
}

void OverlayWindow::unregisterHotkey(int id) {
    // Click-through's hotkey belongs to the window; only destroying it releases that one.
    if (id != ClickThroughHotkeyId)
        hotkeys_->remove(id);
}

void OverlayWindow::unregisterAllHotkeys() {
    hotkeys_->clear();
}

}  // namespace morvelin
