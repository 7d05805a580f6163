#pragma once
// The X window behind an OverlayWindow, for the window tests that read its state back through
// a second X client.

#include <SDL.h>
#include <SDL_syswm.h>

#include "platform/overlay_window.h"

namespace morvelin::platform_test {

inline Window xWindow(const OverlayWindow& hud) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    SDL_GetWindowWMInfo(hud.sdlWindow(), &info);
    return info.info.x11.window;
}

}  // namespace morvelin::platform_test
