// XGrabKey is the only global-hotkey mechanism X11 has. A key another client already grabbed
// answers BadAccess, which an error trap turns into the failure text; the lock variants that
// did succeed are released again, since ungrabbing only ever releases our own grabs.

#include "platform/global_hotkeys_x11.h"

#include <X11/XKBlib.h>
#include <X11/keysym.h>
#include <fmt/format.h>

#include "base/error_text.h"
#include "platform/error_trap_x11.h"
#include "platform/overlay_window.h"
#include "platform/x11_handles.h"

namespace morvelin {
namespace {

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

}  // namespace

void GlobalHotkeys::attach(Display* display) {
    clear();
    display_ = display;
    root_ = DefaultRootWindow(display);
    readModifierMapping();
    // Held hotkeys then repeat as presses without releases in between.
    XkbSetDetectableAutoRepeat(display, True, nullptr);
    unsigned delay = 0, interval = 0;
    if (XkbGetAutoRepeatRate(display, XkbUseCoreKbd, &delay, &interval) && delay > 0)
        repeatDelayMs_ = delay;
}

std::string GlobalHotkeys::add(int id, std::uint32_t modifiers, std::uint32_t virtualKey,
                               Callback callback) {
    remove(id);
    const std::string step = fmt::format("RegisterHotKey(id {})", id);
    if (!display_)
        return describeFailure(step, "no window");
    const KeySym sym = keysymFor(virtualKey);
    const KeyCode keycode = sym == NoSymbol ? 0 : XKeysymToKeycode(display_, sym);
    if (keycode == 0)
        return describeFailure(step, fmt::format("no key for virtual key {:#x}", virtualKey));
    const unsigned mask = modifierMask(modifiers);
    ErrorTrapX11 trap(display_);
    for (unsigned variant : lockVariants())
        XGrabKey(display_, keycode, mask | variant, root_, False, GrabModeAsync, GrabModeAsync);
    if (const int error = trap.finish(); error != 0) {
        for (unsigned variant : lockVariants())
            XUngrabKey(display_, keycode, mask | variant, root_);
        XFlush(display_);
        return describeFailure(step, xErrorText(display_, error));
    }
    hotkeys_[id] = Hotkey{std::move(callback), keycode, mask};
    return {};
}

void GlobalHotkeys::remove(int id) {
    if (auto it = hotkeys_.find(id); it != hotkeys_.end()) {
        ungrab(it->second);
        hotkeys_.erase(it);
    }
}

void GlobalHotkeys::clear() {
    for (const auto& [id, hotkey] : hotkeys_)
        ungrab(hotkey);
    hotkeys_.clear();
}

void GlobalHotkeys::ungrab(const Hotkey& hotkey) {
    if (!display_ || hotkey.keycode == 0)
        return;
    for (unsigned variant : lockVariants())
        XUngrabKey(display_, hotkey.keycode, hotkey.modifierMask | variant, root_);
    XFlush(display_);
}

void GlobalHotkeys::noteKeyboard() {
    if (display_ && heldKeycode_ != 0 && releasedSerial_ == 0) {
        const unsigned long serial = NextRequest(display_);
        if (!keyDown(heldKeycode_))
            releasedSerial_ = serial;
    }
}

GlobalHotkeys::Callback GlobalHotkeys::pressed(const XEvent& event) {
    if (!display_)
        return {};
    if (event.type == KeyRelease) {
        if (event.xkey.keycode == heldKeycode_) {
            heldKeycode_ = 0;
            releasedSerial_ = 0;
        }
        return {};
    }
    if (event.type != KeyPress || event.xkey.window != root_)
        return {};
    // SDL releases keyboard grabs when the window hides or loses the focus, which also ends
    // the grab the press started, so the key's release may go to another client. A press
    // that comes before the server's auto-repeat delay cannot be a repeat; a later one is
    // new only if the key map (read by noteKeyboard) showed the key up before it.
    if (event.xkey.keycode == heldKeycode_) {
        const bool releasedBefore = releasedSerial_ != 0 && event.xkey.serial >= releasedSerial_;
        const bool beforeRepeatDelay = event.xkey.time - heldSince_ < repeatDelayMs_;
        if (!releasedBefore && !beforeRepeatDelay)
            return {};
    }
    heldKeycode_ = event.xkey.keycode;
    heldSince_ = event.xkey.time;
    releasedSerial_ = 0;

    const unsigned relevant = ShiftMask | ControlMask | altMask_ | superMask_;
    const unsigned state = event.xkey.state & relevant;
    for (const auto& [id, hotkey] : hotkeys_) {
        if (hotkey.keycode == event.xkey.keycode && hotkey.modifierMask == state)
            return hotkey.callback;
    }
    return {};
}

unsigned GlobalHotkeys::modifierMask(std::uint32_t modifiers) const {
    unsigned mask = 0;
    if (modifiers & OverlayWindow::ModAlt)
        mask |= altMask_;
    if (modifiers & OverlayWindow::ModControl)
        mask |= ControlMask;
    if (modifiers & OverlayWindow::ModShift)
        mask |= ShiftMask;
    if (modifiers & OverlayWindow::ModSuper)
        mask |= superMask_;
    return mask;
}

std::vector<unsigned> GlobalHotkeys::lockVariants() const {
    std::vector<unsigned> variants{0, LockMask};
    if (numLockMask_) {
        variants.push_back(numLockMask_);
        variants.push_back(numLockMask_ | LockMask);
    }
    return variants;
}

bool GlobalHotkeys::keyDown(unsigned keycode) const {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    return (keys[keycode / 8] & (1 << (keycode % 8))) != 0;
}

void GlobalHotkeys::readModifierMapping() {
    const XModifierKeymapPtr map(XGetModifierMapping(display_));
    if (!map)
        return;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int k = 0; k < map->max_keypermod; ++k) {
            const KeyCode code = map->modifiermap[modifier * map->max_keypermod + k];
            if (!code)
                continue;
            const KeySym sym = XkbKeycodeToKeysym(display_, code, 0, 0);
            const unsigned mask = 1u << modifier;
            if (sym == XK_Num_Lock)
                numLockMask_ = mask;
            if (sym == XK_Alt_L || sym == XK_Alt_R)
                altMask_ = mask;
            if (sym == XK_Super_L || sym == XK_Super_R)
                superMask_ = mask;
        }
    }
}

}  // namespace morvelin
