#pragma once
// The X window behind an OverlayWindow, for the window tests that read its state back through
// a second X client, and the pumping of its events while they wait for that state.

#include <chrono>

#include <SDL.h>
#include <SDL_syswm.h>

#include "platform/overlay_window.h"
#include "tests/support/process.h"
#include "tests/support/x11_test_client.h"

namespace morvelin::platform_test {

inline SDL_SysWMinfo wmInfo(const OverlayWindow& hud) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    SDL_GetWindowWMInfo(hud.sdlWindow(), &info);
    return info;
}

inline Window xWindow(const OverlayWindow& hud) {
    return wmInfo(hud).info.x11.window;
}

// The HUD's own connection to the X server.
inline Display* xDisplay(const OverlayWindow& hud) {
    return wmInfo(hud).info.x11.display;
}

// Pumps the HUD's events until the condition holds or the time is up.
template <typename Predicate>
bool pumpUntil(OverlayWindow& hud, Predicate&& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return halvenor::test::waitUntil(
        [&] {
            hud.pumpMessages();
            return predicate();
        },
        timeout);
}

// Pumps the HUD's events until the window manager has handled everything sent to it before,
// and then once more for what the HUD asked of it meanwhile. False when it did not answer.
inline bool pumpUntilTheWindowManagerCaughtUp(OverlayWindow& hud,
                                              halvenor::test::X11TestClient& client) {
    for (int round = 0; round < 2; ++round) {
        hud.pumpMessages();
        if (!client.syncWithWindowManager(std::chrono::seconds(20), [&] { hud.pumpMessages(); }))
            return false;
    }
    return true;
}

// Shows the HUD and pumps its events until the window manager has mapped and stacked it on
// top, and then handled all it was sent. False when it did not within 20 s.
inline bool showUnderTheWindowManager(OverlayWindow& hud, halvenor::test::X11TestClient& client) {
    hud.show();
    const Window window = xWindow(hud);
    return pumpUntil(
               hud, [&] { return client.onTopAndAbove(window); }, std::chrono::seconds(20)) &&
           pumpUntilTheWindowManagerCaughtUp(hud, client);
}

}  // namespace morvelin::platform_test
