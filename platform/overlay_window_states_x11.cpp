// The HUD's layer and its other window-manager states on X11. What the HUD wants is kept
// here; what the window manager reports (_NET_WM_STATE, and WM_STATE for whether it manages
// the window at all) is checked against it on every show and on every change of either
// property. A window manager may be late, may take the window over from a property written
// while it was still letting it go, and erases the states of a window it lets go (openbox
// does, on every hide): whatever it then reports that differs is asked for again.

#include <algorithm>
#include <vector>

#include <SDL.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "platform/overlay_window.h"
#include "platform/overlay_window_x11_state.h"
#include "platform/x11_properties.h"

namespace morvelin {
namespace {

// Requests sent without the window manager agreeing in between: one that refuses a state is
// not asked forever.
constexpr int kStateRequests = 4;

struct WantedState {
    Atom atom;
    bool on;
};

// A mapped window's state changes go to the window manager as a client message; the
// window's own property is the window manager's to write.
void requestState(Display* display, Window window, Atom netWmState, const WantedState& state) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = netWmState;
    event.xclient.format = 32;
    event.xclient.data.l[0] = state.on ? 1 : 0;  // add or remove
    event.xclient.data.l[1] = static_cast<long>(state.atom);
    event.xclient.data.l[3] = 1;  // from an application
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

}  // namespace

void OverlayWindow::setAboveOthers(bool above) {
    if (!exists() || above == x11_->aboveWanted)
        return;
    x11_->aboveWanted = above;
    x11_->stateRequestsLeft = kStateRequests;
    // SDL keeps its flag and asks the way the window's state calls for: the window manager for
    // a mapped window, the property for a withdrawn one. The window manager's reports show
    // whether that held.
    SDL_SetWindowAlwaysOnTop(window_, above ? SDL_TRUE : SDL_FALSE);
    XFlush(x11_->display);
}

bool OverlayWindow::aboveOthers() const {
    return exists() && x11_->aboveWanted;
}

void OverlayWindow::noteShown() {
    x11_->stateRequestsLeft = kStateRequests;
    reconcileWindowStates();
}

void OverlayWindow::reconcileWindowStates() {
    if (!exists())
        return;
    Display* display = x11_->display;
    const Window window = x11_->window;
    // A tool window: out of the taskbar and the pager, and in the layer it asks for.
    const WantedState wanted[] = {
        {x11_->stateAbove, x11_->aboveWanted},
        {x11_->stateSkipTaskbar, true},
        {x11_->stateSkipPager, true},
    };
    std::vector<unsigned long> states = longProperty(display, window, x11_->netWmState, XA_ATOM);
    std::vector<WantedState> differing;
    for (const WantedState& state : wanted) {
        if ((std::find(states.begin(), states.end(), state.atom) != states.end()) != state.on)
            differing.push_back(state);
    }
    if (differing.empty()) {
        x11_->stateRequestsLeft = kStateRequests;
        return;
    }

    XWindowAttributes attributes{};
    const bool mapped = XGetWindowAttributes(display, window, &attributes) != 0 &&
                        attributes.map_state != IsUnmapped;
    const bool managed = !longProperty(display, window, x11_->wmState, x11_->wmState).empty();
    if (!mapped && !managed) {
        // Withdrawn: the property is ours, and the window manager reads it when it next takes
        // the window.
        for (const WantedState& state : differing) {
            if (state.on)
                states.push_back(state.atom);
            else
                std::erase(states, state.atom);
        }
        XChangeProperty(display, window, x11_->netWmState, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(states.data()),
                        static_cast<int>(states.size()));
    } else if (mapped && managed && x11_->stateRequestsLeft > 0) {
        --x11_->stateRequestsLeft;
        for (const WantedState& state : differing)
            requestState(display, window, x11_->netWmState, state);
    }
    // Otherwise the window manager is between letting the window go and taking it again (or
    // keeps it minimised); its next report brings us back here.
    XFlush(display);
}

}  // namespace morvelin
