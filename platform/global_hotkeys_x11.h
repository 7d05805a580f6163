#pragma once
// The program's global hotkeys on X11: one registry from hotkey id to key, modifiers and
// callback, each key grabbed on the root window for its modifiers with and without
// NumLock and CapsLock (or the key stops working while either is on). Presses arrive on
// the connection that grabbed them (SDL's) and are matched here; a key held past the
// server's auto-repeat delay counts once. UI thread only, like the window that owns it.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <X11/Xlib.h>

namespace morvelin {

class GlobalHotkeys {
public:
    using Callback = std::function<void()>;

    GlobalHotkeys() = default;
    ~GlobalHotkeys() { clear(); }
    GlobalHotkeys(const GlobalHotkeys&) = delete;
    GlobalHotkeys& operator=(const GlobalHotkeys&) = delete;

    // Binds the registry to the connection whose events will carry the presses.
    void attach(Display* display);

    // Grabs the key for `id`, first releasing the key the id held before. Empty on success;
    // else the "RegisterHotKey(id {})" failure text, and the id is no longer registered.
    // Modifiers and keys are OverlayWindow's Mod* and Key* values.
    std::string add(int id, std::uint32_t modifiers, std::uint32_t virtualKey, Callback callback);
    // Releases the id's key; nothing when it has none.
    void remove(int id);
    void clear();
    bool contains(int id) const { return hotkeys_.count(id) != 0; }

    // Called before each round of events: a held hotkey whose key is up by now may be
    // pressed again (see pressed()).
    void noteKeyboard();
    // The callback of the hotkey this event presses; empty for other events and for a held
    // key's repeats. A copy: the callback may change the registry.
    Callback pressed(const XEvent& event);

private:
    struct Hotkey {
        Callback callback;
        unsigned keycode = 0;
        unsigned modifierMask = 0;
    };

    unsigned modifierMask(std::uint32_t modifiers) const;
    std::vector<unsigned> lockVariants() const;
    bool keyDown(unsigned keycode) const;
    void readModifierMapping();
    void ungrab(const Hotkey& hotkey);

    Display* display_ = nullptr;
    Window root_ = None;
    unsigned numLockMask_ = 0;
    unsigned altMask_ = Mod1Mask;
    unsigned superMask_ = Mod4Mask;
    unsigned repeatDelayMs_ = 660;
    // The key of the last hotkey press while it may still be held, and when it went down.
    unsigned heldKeycode_ = 0;
    Time heldSince_ = 0;
    // The request serial at which the key map showed the held key up (0: not seen up).
    // Presses reported with an earlier serial were on their way before that.
    unsigned long releasedSerial_ = 0;
    std::map<int, Hotkey> hotkeys_;
};

}  // namespace morvelin
