// The HUD window on X11: an SDL2 window (which gives us the GL context and the Dear ImGui
// backend) plus Xlib calls on its handles for what SDL does not cover: global hotkeys
// (XGrabKey on the root window), click-through (an empty XShape input region), focus
// rules (WM_HINTS input and WM_TAKE_FOCUS) and the work area / Xft.dpi.
// Capture exclusion does not exist on X11; we say so instead of pretending.

#include "platform/overlay_window.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <optional>
#include <vector>

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#include <X11/keysym.h>
#include <fmt/format.h>

#include "base/error_text.h"
#include "platform/error_trap_x11.h"
#include "base/session_log.h"

namespace morvelin {
namespace {

constexpr const char* kWindowClass = "MorvelinDeskOverlay";
constexpr int kMinimumWidth = 360;
constexpr int kMinimumHeight = 320;
constexpr int kResizeBorder = 6;
constexpr int kTopBottomMargin = 16;

struct XFreeDeleter {
    void operator()(void* data) const {
        if (data)
            XFree(data);
    }
};

// 96 DPI is a scale of 1; Xft.dpi is where X desktops keep the user's scaling choice.
float xftDpiScale(Display* display) {
    const char* resources = XResourceManagerString(display);
    if (!resources)
        return 1.0f;
    XrmInitialize();
    XrmDatabase database = XrmGetStringDatabase(resources);
    if (!database)
        return 1.0f;
    float scale = 1.0f;
    char* type = nullptr;
    XrmValue value{};
    if (XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr) {
        const float dpi = std::strtof(value.addr, nullptr);
        if (dpi > 0.0f)
            scale = dpi / 96.0f;
    }
    XrmDestroyDatabase(database);
    return scale;
}

// _NET_WORKAREA of the current desktop, else SDL's usable bounds, else the whole screen.
SDL_Rect workArea(Display* display, int sdlDisplayIndex) {
    if (display) {
        const Atom atom = XInternAtom(display, "_NET_WORKAREA", False);
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, DefaultRootWindow(display), atom, 0, 4, False, XA_CARDINAL,
                               &type, &format, &count, &after, &data) == Success) {
            std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
            if (type == XA_CARDINAL && format == 32 && count >= 4) {
                const auto* values = reinterpret_cast<const long*>(data);
                if (values[2] > 0 && values[3] > 0)
                    return {static_cast<int>(values[0]), static_cast<int>(values[1]),
                            static_cast<int>(values[2]), static_cast<int>(values[3])};
            }
        }
    }
    SDL_Rect rect{};
    if (SDL_GetDisplayUsableBounds(sdlDisplayIndex, &rect) == 0 && rect.w > 0 && rect.h > 0)
        return rect;
    if (SDL_GetDisplayBounds(sdlDisplayIndex, &rect) == 0)
        return rect;
    return {0, 0, 0, 0};
}

KeySym keysymFor(std::uint32_t virtualKey) {
    if (virtualKey >= 'A' && virtualKey <= 'Z')
        return XK_a + (virtualKey - 'A');
    if (virtualKey >= '0' && virtualKey <= '9')
        return XK_0 + (virtualKey - '0');
    if (virtualKey >= OverlayWindow::KeyF1 && virtualKey < OverlayWindow::KeyF1 + 12)
        return XK_F1 + (virtualKey - OverlayWindow::KeyF1);
    switch (virtualKey) {
        case OverlayWindow::KeyBackspace:
            return XK_BackSpace;
        case OverlayWindow::KeyTab:
            return XK_Tab;
        case OverlayWindow::KeyReturn:
            return XK_Return;
        case OverlayWindow::KeyEscape:
            return XK_Escape;
        case OverlayWindow::KeySpace:
            return XK_space;
        default:
            return NoSymbol;
    }
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

int scaled(int pixels, float scale) {
    return static_cast<int>(static_cast<float>(pixels) * scale);
}

// setCaptureProtection from another thread waits on one of these for the UI thread's answer.
struct CaptureRequest {
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<bool> result;

    void answer(bool value) {
        {
            std::lock_guard lock(mutex);
            result = value;
        }
        answered.notify_all();
    }
};

}  // namespace

struct OverlayWindow::X11State {
    Display* display = nullptr;  // SDL's connection: grabbed keys arrive as its events
    Window window = None;
    Window root = None;
    float dpiScale = 1.0f;
    unsigned numLockMask = 0;
    unsigned altMask = Mod1Mask;
    unsigned superMask = Mod4Mask;
    // A held hotkey repeats as further presses; only the first one counts.
    unsigned heldHotkeyKeycode = 0;
    Time heldSince = 0;
    unsigned repeatDelayMs = 660;
    // The request serial at which the key map showed the held key up (0: not seen up).
    // Presses reported with an earlier serial were on their way before that.
    unsigned long releasedSerial = 0;
    Window previousFocus = None;
    bool hasPreviousFocus = false;

    unsigned modifierMask(std::uint32_t modifiers) const {
        unsigned mask = 0;
        if (modifiers & ModAlt)
            mask |= altMask;
        if (modifiers & ModControl)
            mask |= ControlMask;
        if (modifiers & ModShift)
            mask |= ShiftMask;
        if (modifiers & ModSuper)
            mask |= superMask;
        return mask;
    }
    // A grab must also cover NumLock and CapsLock being on, or the key stops working then.
    std::vector<unsigned> lockVariants() const {
        std::vector<unsigned> variants{0, LockMask};
        if (numLockMask) {
            variants.push_back(numLockMask);
            variants.push_back(numLockMask | LockMask);
        }
        return variants;
    }

    bool keyDown(unsigned keycode) const {
        char keys[32] = {};
        XQueryKeymap(display, keys);
        return (keys[keycode / 8] & (1 << (keycode % 8))) != 0;
    }

    void readModifierMapping() {
        XModifierKeymap* map = XGetModifierMapping(display);
        if (!map)
            return;
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int k = 0; k < map->max_keypermod; ++k) {
                const KeyCode code = map->modifiermap[modifier * map->max_keypermod + k];
                if (!code)
                    continue;
                const KeySym sym = XkbKeycodeToKeysym(display, code, 0, 0);
                const unsigned mask = 1u << modifier;
                if (sym == XK_Num_Lock)
                    numLockMask = mask;
                if (sym == XK_Alt_L || sym == XK_Alt_R)
                    altMask = mask;
                if (sym == XK_Super_L || sym == XK_Super_R)
                    superMask = mask;
            }
        }
        XFreeModifiermap(map);
    }
};

OverlayWindow::OverlayWindow() = default;

OverlayWindow::~OverlayWindow() {
    if (exists())
        unregisterAllHotkeys();
    answerPendingCaptureRequests();
    if (window_)
        SDL_DestroyWindow(window_);
    x11_.reset();
    // SDL's video subsystem stays up until the process ends: its shut-down unloads libdbus
    // and the GL driver, whose allocations then outlive their code (and leak checkers can no
    // longer tell whose they are).
}

std::string OverlayWindow::create(const std::string& title) {
    ownerThread_ = std::this_thread::get_id();
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
    // Compositors ignore _NET_WM_WINDOW_OPACITY of windows that ask to bypass them.
    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
        return describeFailure("SDL_InitSubSystem(SDL_INIT_VIDEO)", SDL_GetError());
    videoInitialised_ = true;
    messageEventType_ = SDL_RegisterEvents(1);
    if (messageEventType_ == static_cast<std::uint32_t>(-1))
        return describeFailure("SDL_RegisterEvents", SDL_GetError());
    SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);

    // Geometry comes from the primary work area and the system scale, read on a short-lived
    // connection because SDL only hands out its own once a window exists.
    SDL_Rect work{};
    float scale = 1.0f;
    {
        std::unique_ptr<Display, decltype(&XCloseDisplay)> probe(XOpenDisplay(nullptr),
                                                                 &XCloseDisplay);
        work = workArea(probe.get(), 0);
        if (probe)
            scale = xftDpiScale(probe.get());
    }
    const int width = work.w * 72 / 100;
    const int x = work.x + (work.w - width) / 2;
    const int y = work.y;
    const int height =
        std::max(scaled(kMinimumHeight, scale), work.h - 2 * scaled(kTopBottomMargin, scale));

    const Uint32 flags = SDL_WINDOW_OPENGL | SDL_WINDOW_BORDERLESS | SDL_WINDOW_ALWAYS_ON_TOP |
                         SDL_WINDOW_SKIP_TASKBAR | SDL_WINDOW_UTILITY | SDL_WINDOW_HIDDEN |
                         SDL_WINDOW_RESIZABLE;
    window_ = SDL_CreateWindow(title.c_str(), x, y, std::max(width, 1), std::max(height, 1), flags);
    if (!window_)
        return describeFailure("SDL_CreateWindow", SDL_GetError());

    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window_, &info) || info.subsystem != SDL_SYSWM_X11)
        return describeFailure("SDL_GetWindowWMInfo", SDL_GetError());
    x11_ = std::make_unique<X11State>();
    x11_->display = info.info.x11.display;
    x11_->window = info.info.x11.window;
    x11_->root = DefaultRootWindow(x11_->display);
    x11_->dpiScale = scale;
    x11_->readModifierMapping();
    // Held hotkeys then repeat as presses without releases in between.
    XkbSetDetectableAutoRepeat(x11_->display, True, nullptr);
    unsigned repeatDelay = 0, repeatInterval = 0;
    if (XkbGetAutoRepeatRate(x11_->display, XkbUseCoreKbd, &repeatDelay, &repeatInterval) &&
        repeatDelay > 0)
        x11_->repeatDelayMs = repeatDelay;

    XClassHint classHint{const_cast<char*>("halvenor"), const_cast<char*>(kWindowClass)};
    XSetClassHint(x11_->display, x11_->window, &classHint);
    // Never take the focus on our own: no WM_TAKE_FOCUS, and WM_HINTS input follows
    // interactive mode (applyWindowStyles).
    Atom* protocols = nullptr;
    int protocolCount = 0;
    if (XGetWMProtocols(x11_->display, x11_->window, &protocols, &protocolCount)) {
        std::unique_ptr<Atom, XFreeDeleter> owned(protocols);
        const Atom takeFocus = XInternAtom(x11_->display, "WM_TAKE_FOCUS", False);
        std::vector<Atom> kept;
        std::copy_if(protocols, protocols + protocolCount, std::back_inserter(kept),
                     [&](Atom a) { return a != takeFocus; });
        XSetWMProtocols(x11_->display, x11_->window, kept.data(), static_cast<int>(kept.size()));
    }

    SDL_SetWindowMinimumSize(window_, scaled(kMinimumWidth, scale), scaled(kMinimumHeight, scale));
    SDL_SetWindowHitTest(
        window_,
        [](SDL_Window* window, const SDL_Point* point, void* data) -> SDL_HitTestResult {
            auto* self = static_cast<OverlayWindow*>(data);
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
        },
        this);

    applyCaptureProtection(true);
    applyWindowStyles();

    const std::string taken =
        grabHotkey(ClickThroughHotkeyId, ModControl | ModShift, KeySpace, clickThroughHotkey_);
    clickThroughHotkeyRegistered_ = taken.empty();
    if (!taken.empty())
        log("{}", taken);
    XFlush(x11_->display);
    return {};
}

void OverlayWindow::postMessage(Message message, bool on) {
    SDL_Event event{};
    event.type = messageEventType_;
    event.user.code = static_cast<Sint32>(message);
    event.user.data1 = reinterpret_cast<void*>(static_cast<std::intptr_t>(on));
    SDL_PushEvent(&event);
}

void OverlayWindow::setClickThrough(bool on) {
    if (!exists())
        return;
    if (on && !clickThroughHotkeyRegistered_)
        return;  // there would be no way back
    if (!onOwnerThread()) {
        postMessage(Message::SetClickThrough, on);
        return;
    }
    clickThrough_.exchange(on);
    applyWindowStyles();
}

bool OverlayWindow::setCaptureProtection(bool on) {
    if (!exists())
        return false;
    if (onOwnerThread())
        return applyCaptureProtection(on);
    auto request = std::make_shared<CaptureRequest>();
    SDL_Event event{};
    event.type = messageEventType_;
    event.user.code = static_cast<Sint32>(Message::SetCaptureProtection);
    event.user.data1 = reinterpret_cast<void*>(static_cast<std::intptr_t>(on));
    event.user.data2 = new std::shared_ptr<CaptureRequest>(request);
    if (SDL_PushEvent(&event) != 1) {
        delete static_cast<std::shared_ptr<CaptureRequest>*>(event.user.data2);
        return false;
    }
    std::unique_lock lock(request->mutex);
    // A window torn down before it read the request answers nothing; stop waiting then.
    while (!request->result) {
        if (!exists())
            return false;
        request->answered.wait_for(lock, std::chrono::milliseconds(100));
    }
    return *request->result;
}

void OverlayWindow::setVisible(bool visible) {
    if (!exists())
        return;
    if (!onOwnerThread()) {
        postMessage(Message::SetVisible, visible);
        return;
    }
    if (visible) {
        showWithoutActivation();
    } else {
        if (interactive_)
            setInteractive(false);
        SDL_HideWindow(window_);
    }
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

void OverlayWindow::show() {
    if (!exists())
        return;
    if (!onOwnerThread()) {
        postMessage(Message::SetVisible, true);
        return;
    }
    showWithoutActivation();
}

void OverlayWindow::postShowRequest() {
    if (exists())
        postMessage(Message::Show, true);
}

void OverlayWindow::showWithoutActivation() {
    if (isVisible())
        return;
    const Window focusBefore = currentFocus(x11_->display);
    SDL_ShowWindow(window_);
    // Without a window manager SDL hands the focus to every window it maps; give it back.
    if (!interactive_ && focusBefore != x11_->window &&
        currentFocus(x11_->display) == x11_->window) {
        XSetInputFocus(x11_->display, focusBefore, RevertToPointerRoot, CurrentTime);
        XFlush(x11_->display);
    }
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

    XWMHints* existing = XGetWMHints(display, x11_->window);
    XWMHints hints = existing ? *existing : XWMHints{};
    if (existing)
        XFree(existing);
    hints.flags |= InputHint;
    hints.input = interactive_ ? True : False;
    XSetWMHints(display, x11_->window, &hints);

    if (clickThrough_.load()) {
        XShapeCombineRectangles(display, x11_->window, ShapeInput, 0, 0, nullptr, 0, ShapeSet,
                                Unsorted);
    } else {
        XShapeCombineMask(display, x11_->window, ShapeInput, 0, 0, None, ShapeSet);
    }

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

void OverlayWindow::setHeight(int height) {
    if (!exists())
        return;
    int width = 0, current = 0;
    SDL_GetWindowSize(window_, &width, &current);
    SDL_SetWindowSize(window_, width, height);
}

void OverlayWindow::moveTo(int x, int y) {
    if (exists())
        SDL_SetWindowPosition(window_, x, y);
}

OverlayWindow::Point OverlayWindow::position() const {
    Point point;
    if (window_)
        SDL_GetWindowPosition(window_, &point.x, &point.y);
    return point;
}

OverlayWindow::Rect OverlayWindow::windowRect() const {
    Rect rect;
    if (!window_)
        return rect;
    int w = 0, h = 0;
    SDL_GetWindowPosition(window_, &rect.left, &rect.top);
    SDL_GetWindowSize(window_, &w, &h);
    rect.right = rect.left + w;
    rect.bottom = rect.top + h;
    return rect;
}

int OverlayWindow::workAreaBottom() const {
    if (!window_)
        return 0;
    const int index = std::max(SDL_GetWindowDisplayIndex(window_), 0);
    const SDL_Rect work = workArea(x11_ ? x11_->display : nullptr, index);
    if (work.w > 0 && work.h > 0)
        return work.y + work.h;
    return windowRect().bottom;
}

float OverlayWindow::dpiScale() const {
    return x11_ ? x11_->dpiScale : 1.0f;
}

void OverlayWindow::requestClose() {
    if (exists())
        postMessage(Message::Close, true);
}

bool OverlayWindow::takePendingResize(std::uint32_t& width, std::uint32_t& height) {
    if (!resizePending_)
        return false;
    resizePending_ = false;
    width = pendingWidth_;
    height = pendingHeight_;
    return true;
}

std::string OverlayWindow::grabHotkey(int id, std::uint32_t modifiers, std::uint32_t virtualKey,
                                      Hotkey& out) {
    const std::string step = fmt::format("RegisterHotKey(id {})", id);
    Display* display = x11_->display;
    const KeySym sym = keysymFor(virtualKey);
    const KeyCode keycode = sym == NoSymbol ? 0 : XKeysymToKeycode(display, sym);
    if (keycode == 0)
        return describeFailure(step, fmt::format("no key for virtual key {:#x}", virtualKey));
    const unsigned mask = x11_->modifierMask(modifiers);
    ErrorTrapX11 trap(display);
    for (unsigned variant : x11_->lockVariants())
        XGrabKey(display, keycode, mask | variant, x11_->root, False, GrabModeAsync, GrabModeAsync);
    const int error = trap.finish();
    if (error != 0) {
        // Ungrabbing only ever releases our own grabs, so the variants that did succeed go.
        for (unsigned variant : x11_->lockVariants())
            XUngrabKey(display, keycode, mask | variant, x11_->root);
        XFlush(display);
        return describeFailure(step, xErrorText(display, error));
    }
    out.keycode = keycode;
    out.modifierMask = mask;
    return {};
}

void OverlayWindow::ungrabHotkey(const Hotkey& hotkey) {
    if (!x11_ || hotkey.keycode == 0)
        return;
    for (unsigned variant : x11_->lockVariants())
        XUngrabKey(x11_->display, hotkey.keycode, hotkey.modifierMask | variant, x11_->root);
    XFlush(x11_->display);
}

bool OverlayWindow::registerHotkey(int id, std::uint32_t modifiers, std::uint32_t virtualKey,
                                   HotkeyCallback callback) {
    if (!exists() || id == ClickThroughHotkeyId)
        return false;
    if (auto it = hotkeys_.find(id); it != hotkeys_.end())
        ungrabHotkey(it->second);
    Hotkey hotkey;
    const std::string error = grabHotkey(id, modifiers, virtualKey, hotkey);
    if (!error.empty()) {
        log("{}", error);
        hotkeys_.erase(id);
        return false;
    }
    hotkey.callback = std::move(callback);
    hotkeys_[id] = std::move(hotkey);
    return true;
}

bool OverlayWindow::registerVisibilityHotkey(std::uint32_t modifiers, std::uint32_t virtualKey) {
    visibilityHotkeyRegistered_ =
        registerHotkey(VisibilityHotkeyId, modifiers, virtualKey, [this] { toggleVisibility(); });
    return visibilityHotkeyRegistered_;
}

void OverlayWindow::unregisterHotkey(int id) {
    if (auto it = hotkeys_.find(id); it != hotkeys_.end()) {
        if (exists())
            ungrabHotkey(it->second);
        hotkeys_.erase(it);
    }
    if (id == VisibilityHotkeyId)
        visibilityHotkeyRegistered_ = false;
}

void OverlayWindow::unregisterAllHotkeys() {
    if (clickThroughHotkeyRegistered_)
        ungrabHotkey(clickThroughHotkey_);
    clickThroughHotkey_ = {};
    clickThroughHotkeyRegistered_ = false;
    visibilityHotkeyRegistered_ = false;
    for (const auto& [id, hotkey] : hotkeys_)
        ungrabHotkey(hotkey);
    hotkeys_.clear();
}

bool OverlayWindow::pumpMessages() {
    if (x11_ && x11_->heldHotkeyKeycode != 0 && x11_->releasedSerial == 0) {
        const unsigned long serial = NextRequest(x11_->display);
        if (!x11_->keyDown(x11_->heldHotkeyKeycode))
            x11_->releasedSerial = serial;
    }
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_QUIT)
            return false;
        if (messageHook_ && messageHook_(event))
            continue;
        handleEvent(event);
    }
    return true;
}

void OverlayWindow::waitForMessages(int timeoutMs) {
    SDL_WaitEventTimeout(nullptr, timeoutMs);
}

void OverlayWindow::handleEvent(const SDL_Event& event) {
    if (event.type == messageEventType_) {
        handlePrivateMessage(event);
        return;
    }
    if (event.type == SDL_SYSWMEVENT) {
        handleHotkeyEvent(event);
        return;
    }
    if (event.type != SDL_WINDOWEVENT || !exists() ||
        event.window.windowID != SDL_GetWindowID(window_))
        return;
    switch (event.window.event) {
        case SDL_WINDOWEVENT_SIZE_CHANGED:
            pendingWidth_ = static_cast<std::uint32_t>(event.window.data1);
            pendingHeight_ = static_cast<std::uint32_t>(event.window.data2);
            resizePending_ = true;
            break;
        case SDL_WINDOWEVENT_CLOSE:
            destroyHud();
            break;
        case SDL_WINDOWEVENT_MINIMIZED:
            // Minimising is hiding; without the show hotkey there would be no way back.
            if (visibilityHotkeyRegistered_) {
                setVisible(false);
            } else {
                SDL_RestoreWindow(window_);
            }
            break;
        default:
            break;
    }
}

void OverlayWindow::handlePrivateMessage(const SDL_Event& event) {
    const bool on = event.user.data1 != nullptr;
    switch (static_cast<Message>(event.user.code)) {
        case Message::SetClickThrough:
            setClickThrough(on);
            break;
        case Message::SetCaptureProtection: {
            std::unique_ptr<std::shared_ptr<CaptureRequest>> request(
                static_cast<std::shared_ptr<CaptureRequest>*>(event.user.data2));
            const bool result = exists() && applyCaptureProtection(on);
            if (request)
                (*request)->answer(result);
            break;
        }
        case Message::SetVisible:
            setVisible(on);
            break;
        case Message::Show:
            if (exists())
                showWithoutActivation();
            break;
        case Message::Close:
            destroyHud();
            break;
    }
}

void OverlayWindow::handleHotkeyEvent(const SDL_Event& event) {
    if (!exists() || !event.syswm.msg || event.syswm.msg->subsystem != SDL_SYSWM_X11)
        return;
    const XEvent& xevent = event.syswm.msg->msg.x11.event;
    if (xevent.type == KeyRelease) {
        if (xevent.xkey.keycode == x11_->heldHotkeyKeycode) {
            x11_->heldHotkeyKeycode = 0;
            x11_->releasedSerial = 0;
        }
        return;
    }
    if (xevent.type != KeyPress || xevent.xkey.window != x11_->root)
        return;
    // SDL releases keyboard grabs when the window hides or loses the focus, which also ends
    // the grab the press started, so the key's release may go to another client. A press
    // that comes before the server's auto-repeat delay cannot be a repeat; a later one is
    // new only if the key map (read by pumpMessages) showed the key up before it.
    if (xevent.xkey.keycode == x11_->heldHotkeyKeycode) {
        const bool releasedBefore =
            x11_->releasedSerial != 0 && xevent.xkey.serial >= x11_->releasedSerial;
        const bool beforeRepeatDelay = xevent.xkey.time - x11_->heldSince < x11_->repeatDelayMs;
        if (!releasedBefore && !beforeRepeatDelay)
            return;
    }
    x11_->heldHotkeyKeycode = xevent.xkey.keycode;
    x11_->heldSince = xevent.xkey.time;
    x11_->releasedSerial = 0;
    runHotkey(xevent.xkey.keycode, xevent.xkey.state);
}

void OverlayWindow::runHotkey(unsigned keycode, unsigned modifierState) {
    const unsigned relevant = ShiftMask | ControlMask | x11_->altMask | x11_->superMask;
    const unsigned state = modifierState & relevant;
    const auto matches = [&](const Hotkey& hotkey) {
        return hotkey.keycode == keycode && hotkey.modifierMask == state;
    };
    if (clickThroughHotkeyRegistered_ && matches(clickThroughHotkey_)) {
        setClickThrough(!clickThrough_.load());
        return;
    }
    for (const auto& [id, hotkey] : hotkeys_) {
        if (!matches(hotkey))
            continue;
        // The callback may change the registry, so it runs on a copy.
        const HotkeyCallback callback = hotkey.callback;
        if (callback)
            callback();
        return;
    }
}

void OverlayWindow::destroyHud() {
    if (!exists())
        return;
    unregisterAllHotkeys();
    SDL_HideWindow(window_);
    destroyed_.store(true);
    answerPendingCaptureRequests();
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    SDL_PushEvent(&quit);
}

void OverlayWindow::answerPendingCaptureRequests() {
    if (!videoInitialised_ || messageEventType_ == 0 ||
        messageEventType_ == static_cast<std::uint32_t>(-1))
        return;
    SDL_Event events[16];
    int count = 0;
    // Other private messages are dropped with them: they all target the window that is gone.
    while ((count = SDL_PeepEvents(events, 16, SDL_GETEVENT, messageEventType_,
                                   messageEventType_)) > 0) {
        for (int i = 0; i < count; ++i) {
            if (static_cast<Message>(events[i].user.code) != Message::SetCaptureProtection)
                continue;
            std::unique_ptr<std::shared_ptr<CaptureRequest>> request(
                static_cast<std::shared_ptr<CaptureRequest>*>(events[i].user.data2));
            if (request)
                (*request)->answer(false);
        }
    }
}

}  // namespace morvelin
