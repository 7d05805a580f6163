// The HUD window's moves and resizes on X11. SDL's own calls wait on the UI thread, up to
// 100 ms each, for the window manager to carry them out: under a window manager that answers
// late, every frame of a drag, and every step of an answer that grows the window, would stall
// that long. The HUD asks through Xlib instead and never waits. One request is out at a time;
// the newest wish waits for the window manager's answer (a ConfigureNotify of the window,
// which it owes even for a request it refuses) or, from one that is slow to answer, for
// kAnswerWait. What was asked is never asked again while the window manager may still carry
// it out, nor after it refused it: a late window manager is not handed a backlog to work
// through. Until the window has it, where the HUD asked to be is its position; its size stays
// the window's own, the one each frame is laid out for.

#include <algorithm>
#include <chrono>
#include <optional>

#include <SDL.h>
#include <X11/Xlib.h>

#include "platform/overlay_window.h"
#include "platform/overlay_window_x11_state.h"

namespace morvelin {
namespace {

constexpr auto kAnswerWait = std::chrono::milliseconds(100);

OverlayWindow::Point currentPosition(SDL_Window* window) {
    OverlayWindow::Point point;
    SDL_GetWindowPosition(window, &point.x, &point.y);
    return point;
}

int currentHeight(SDL_Window* window) {
    int width = 0, height = 0;
    SDL_GetWindowSize(window, &width, &height);
    return height;
}

// Forgets what of `wish` the window has, and, with `answered`, what the window manager has
// answered otherwise (it keeps the window where it wants it).
void dropSettled(GeometryWishX11& wish, SDL_Window* window, const GeometryWishX11* answered) {
    if (wish.position && (*wish.position == currentPosition(window) ||
                          (answered && answered->position == wish.position)))
        wish.position.reset();
    if (wish.height &&
        (*wish.height == currentHeight(window) || (answered && answered->height == wish.height)))
        wish.height.reset();
}

}  // namespace

void OverlayWindow::setHeight(int height) {
    if (!exists())
        return;
    int minimumHeight = 0;
    SDL_GetWindowMinimumSize(window_, nullptr, &minimumHeight);
    x11_->geometryWanted.height = std::max({height, minimumHeight, 1});
    askForGeometry();
}

void OverlayWindow::moveTo(int x, int y) {
    if (!exists())
        return;
    x11_->geometryWanted.position = Point{x, y};
    askForGeometry();
}

void OverlayWindow::askForGeometry() {
    X11State& x11 = *x11_;
    GeometryWishX11& wanted = x11.geometryWanted;
    dropSettled(wanted, window_, nullptr);
    if (wanted.empty())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (x11.geometryAwaited && now - x11.geometrySentAt < kAnswerWait)
        return;
    XWindowChanges changes{};
    unsigned mask = 0;
    if (wanted.position && wanted.position != x11.geometrySent.position) {
        changes.x = wanted.position->x;
        changes.y = wanted.position->y;
        mask |= CWX | CWY;
        x11.geometrySent.position = wanted.position;
    }
    if (wanted.height && wanted.height != x11.geometrySent.height) {
        changes.height = *wanted.height;
        mask |= CWHeight;
        x11.geometrySent.height = wanted.height;
    }
    if (mask == 0)
        return;  // asked already
    XConfigureWindow(x11.display, x11.window, mask, &changes);
    XFlush(x11.display);
    x11.geometryAwaited = true;
    x11.geometrySentAt = now;
}

void OverlayWindow::noteGeometryAnswered() {
    X11State& x11 = *x11_;
    if (!x11.geometryAwaited)
        return;
    // SDL has read the same event before handing it on: its geometry is the answer. What the
    // window has is settled; what it was refused stays asked, so it is not asked again.
    x11.geometryAwaited = false;
    dropSettled(x11.geometryWanted, window_, &x11.geometrySent);
    dropSettled(x11.geometrySent, window_, nullptr);
    askForGeometry();
}

OverlayWindow::Point OverlayWindow::position() const {
    if (!window_)
        return {};
    if (x11_ && x11_->geometryWanted.position)
        return *x11_->geometryWanted.position;
    return currentPosition(window_);
}

OverlayWindow::Rect OverlayWindow::windowRect() const {
    if (!window_)
        return {};
    int width = 0, height = 0;
    const Point origin = position();
    SDL_GetWindowSize(window_, &width, &height);
    return {origin.x, origin.y, origin.x + width, origin.y + height};
}

}  // namespace morvelin
