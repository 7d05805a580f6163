// The HUD window's event pump on X11: one frame's share of SDL's queue (cut by InputBatch so
// that no key tap or click is lost), the window events, the requests other threads post, the
// global hotkeys' key presses, and the window's end.

#include <algorithm>

#include <SDL.h>
#include <SDL_syswm.h>

#include "platform/global_hotkeys_x11.h"
#include "platform/input_batch.h"
#include "platform/overlay_window.h"
#include "platform/overlay_window_x11_state.h"

namespace morvelin {

void OverlayWindow::requestClose() {
    if (exists())
        messages_.post(Message::Close, true);
}

bool OverlayWindow::takePendingResize(std::uint32_t& width, std::uint32_t& height) {
    if (!resizePending_)
        return false;
    resizePending_ = false;
    width = pendingWidth_;
    height = pendingHeight_;
    return true;
}

bool OverlayWindow::pumpMessages() {
    hotkeys_->noteKeyboard();
    // Gather what the X server has sent once, then take events from the head of the queue
    // only as far as this frame may have them; the rest stay queued, in order, for the next
    // frame (other threads only ever append to the queue).
    SDL_PumpEvents();
    InputBatch batch;
    SDL_Event event;
    while (SDL_PeepEvents(&event, 1, SDL_PEEKEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1 &&
           batch.admits(event)) {
        SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT);
        if (event.type == SDL_QUIT)
            return false;
        if (messageHook_ && messageHook_(event))
            continue;
        handleEvent(event);
    }
    releaseKeysHeldElsewhere();
    if (exists()) {
        x11_->clickThrough->catchUp();
        askForGeometry();  // a wish kept back behind a request the window manager left unanswered
    }
    return true;
}

void OverlayWindow::releaseKeysHeldElsewhere() {
    // When a global hotkey's grab ends, SDL reads the keyboard and reports the modifiers still
    // held as pressed, but their release goes to the focused window, which is not ours. The
    // HUD would then see Ctrl+Shift held forever and its next click would act as a
    // modified click. A window without the keyboard focus holds no keys: release them.
    if (SDL_GetKeyboardFocus() == window_)
        return;
    int count = 0;
    const Uint8* state = SDL_GetKeyboardState(&count);
    if (std::any_of(state, state + count, [](Uint8 down) { return down != 0; }))
        SDL_ResetKeyboard();
}

void OverlayWindow::waitForMessages(int timeoutMs) {
    SDL_WaitEventTimeout(nullptr, timeoutMs);
}

void OverlayWindow::handleEvent(const SDL_Event& event) {
    if (const auto request = messages_.decode(event)) {
        handleRequest(*request);
        return;
    }
    if (event.type == SDL_SYSWMEVENT) {
        handleX11Event(event);
        return;
    }
    if (event.type == SDL_DISPLAYEVENT && exists()) {
        x11_->primary = primaryMonitor(x11_->display);
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
            if (visibilityHotkeyRegistered()) {
                setVisible(false);
            } else {
                SDL_RestoreWindow(window_);
            }
            break;
        default:
            break;
    }
}

void OverlayWindow::handleRequest(const WindowMessages::Request& request) {
    switch (request.message) {
        case Message::SetClickThrough:
            setClickThrough(request.on);
            break;
        case Message::SetCaptureProtection:
            messages_.answer(request.sender, exists() && applyCaptureProtection(request.on));
            break;
        case Message::SetVisible:
            setVisible(request.on);
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

void OverlayWindow::handleX11Event(const SDL_Event& event) {
    if (!exists() || !event.syswm.msg || event.syswm.msg->subsystem != SDL_SYSWM_X11)
        return;
    const XEvent& xevent = event.syswm.msg->msg.x11.event;
    if (x11_->isStateReport(xevent)) {
        reconcileWindowStates();
        return;
    }
    if (x11_->clickThrough->handle(xevent))
        return;
    if (xevent.type == ConfigureNotify && xevent.xconfigure.window == x11_->window) {
        noteGeometryAnswered();
        return;
    }
    if (const GlobalHotkeys::Callback callback = hotkeys_->pressed(xevent))
        callback();
}

void OverlayWindow::destroyHud() {
    if (!exists())
        return;
    unregisterAllHotkeys();
    SDL_HideWindow(window_);
    exists_.store(false);
    // Senders still waiting are answered now; requests still queued are dropped unread.
    messages_.close();
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    SDL_PushEvent(&quit);
}

}  // namespace morvelin
