#pragma once
// A second X client for shell tests: it plays the other applications on the display (a
// window below the HUD, a program holding a hotkey, a picture over the screen) and reads
// window state back.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#include <X11/keysym.h>

#include "tests/support/process.h"

namespace halvenor::test {

class X11TestClient {
public:
    explicit X11TestClient(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
        if (!display_)
            throw std::runtime_error("X11TestClient: cannot open " + display);
        root_ = DefaultRootWindow(display_);
        // Windows of the program under test come and go between two requests; Xlib's
        // default handler would end the test process on the first BadWindow.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }
    ~X11TestClient() {
        if (probe_ != None)
            XDestroyWindow(display_, probe_);
        XCloseDisplay(display_);
    }
    X11TestClient(const X11TestClient&) = delete;
    X11TestClient& operator=(const X11TestClient&) = delete;

    Display* display() const { return display_; }
    Window root() const { return root_; }

    // Grabs the key on the root window like a global-hotkey program; false when taken.
    bool grabKey(KeySym sym, unsigned modifiers) {
        const KeyCode code = XKeysymToKeycode(display_, sym);
        XSync(display_, False);
        failed_ = false;
        auto* previous = XSetErrorHandler([](Display*, XErrorEvent*) {
            failed_ = true;
            return 0;
        });
        XGrabKey(display_, code, modifiers, root_, False, GrabModeAsync, GrabModeAsync);
        XSync(display_, False);
        XSetErrorHandler(previous);
        return !failed_;
    }

    // A plain window that records button presses.
    Window createWindow(int x, int y, int width, int height) {
        const Window window =
            XCreateSimpleWindow(display_, root_, x, y, static_cast<unsigned>(width),
                                static_cast<unsigned>(height), 0, 0, 0xFFFFFF);
        XSelectInput(display_, window, ButtonPressMask);
        XMapWindow(display_, window);
        XSync(display_, False);
        return window;
    }

    // An override-redirect window (no window manager moves it) filled with the background
    // colour when one is given, mapped. None when it is not viewable within 5 s.
    Window showCover(int x, int y, int width, int height,
                     std::optional<unsigned long> background = std::nullopt) {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        unsigned long mask = CWOverrideRedirect;
        if (background) {
            attributes.background_pixel = *background;
            mask |= CWBackPixel;
        }
        const Window window = XCreateWindow(display_, root_, x, y, static_cast<unsigned>(width),
                                            static_cast<unsigned>(height), 0, CopyFromParent,
                                            InputOutput, CopyFromParent, mask, &attributes);
        XMapWindow(display_, window);
        XSync(display_, False);
        return waitUntil([&] { return viewable(window); }, std::chrono::seconds(5)) ? window : None;
    }

    // Draws 32-bit pixels (B, G, R, unused; `width` of them a row) at the window's origin.
    void putPixels(Window window, const std::uint8_t* bgrx, int width, int height) {
        XImage* image = XCreateImage(
            display_, DefaultVisual(display_, DefaultScreen(display_)), 24, ZPixmap, 0,
            reinterpret_cast<char*>(const_cast<std::uint8_t*>(bgrx)), static_cast<unsigned>(width),
            static_cast<unsigned>(height), 32, width * 4);
        GC gc = XCreateGC(display_, window, 0, nullptr);
        XPutImage(display_, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width),
                  static_cast<unsigned>(height));
        XSync(display_, False);
        XFreeGC(display_, gc);
        image->data = nullptr;  // the caller's pixels
        XDestroyImage(image);
    }

    // The screen's pixels in a rectangle of the root window, 32 bits each (B, G, R, unused),
    // row by row; empty when the server refused.
    std::vector<std::uint8_t> screenPixels(int x, int y, int width, int height) {
        XImage* image = XGetImage(display_, root_, x, y, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
        std::vector<std::uint8_t> pixels;
        if (!image)
            return pixels;
        for (int row = 0; row < height; ++row) {
            const auto* line = reinterpret_cast<const std::uint8_t*>(image->data) +
                               static_cast<std::ptrdiff_t>(row) * image->bytes_per_line;
            pixels.insert(pixels.end(), line, line + width * 4);
        }
        XDestroyImage(image);
        return pixels;
    }

    int buttonPresses(Window window) {
        XSync(display_, False);
        int count = 0;
        XEvent event;
        while (XCheckWindowEvent(display_, window, ButtonPressMask, &event))
            ++count;
        return count;
    }

    void setRootCardinals(const char* name, const std::vector<long>& values) {
        setItems(root_, name, XA_CARDINAL, values);
    }

    // Sets a property of 32-bit items of the type (XA_CARDINAL, XA_WINDOW).
    void setItems(Window window, const char* name, Atom type, const std::vector<long>& values) {
        const Atom atom = XInternAtom(display_, name, False);
        XChangeProperty(display_, window, atom, type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(values.data()),
                        static_cast<int>(values.size()));
        XSync(display_, False);
    }

    void setResources(const std::string& text) {
        XChangeProperty(display_, root_, XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
        XSync(display_, False);
    }

    std::optional<unsigned long> cardinal(Window window, const char* name) {
        const Atom atom = XInternAtom(display_, name, False);
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::optional<unsigned long> value;
        if (XGetWindowProperty(display_, window, atom, 0, 1, False, XA_CARDINAL, &type, &format,
                               &count, &after, &data) == Success &&
            data && count == 1)
            value = *reinterpret_cast<unsigned long*>(data) & 0xFFFFFFFFul;
        if (data)
            XFree(data);
        return value;
    }

    // The 32-bit items of a window property (windows, atoms); empty when there is none.
    std::vector<unsigned long> items(Window window, const char* name) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> values;
        if (XGetWindowProperty(display_, window, XInternAtom(display_, name, False), 0, 1024, False,
                               AnyPropertyType, &type, &format, &count, &after, &data) == Success &&
            data && format == 32)
            values.assign(reinterpret_cast<unsigned long*>(data),
                          reinterpret_cast<unsigned long*>(data) + count);
        if (data)
            XFree(data);
        return values;
    }

    // The window manager's clients, bottom first, as the X server stacks their frames: not every
    // window manager keeps _NET_CLIENT_LIST_STACKING in that order (fluxbox lists its layers
    // apart from it).
    std::vector<unsigned long> stacking() {
        std::vector<unsigned long> clients = items(root(), "_NET_CLIENT_LIST_STACKING");
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display_, root_, &rootReturn, &parent, &children, &count))
            return clients;
        std::vector<Window> order(children, children + count);
        if (children)
            XFree(children);
        std::vector<std::pair<long, unsigned long>> placed;
        for (const unsigned long client : clients)
            placed.emplace_back(
                std::find(order.begin(), order.end(), topLevelOf(client)) - order.begin(), client);
        std::stable_sort(placed.begin(), placed.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t i = 0; i < placed.size(); ++i)
            clients[i] = placed[i].second;
        return clients;
    }

    // The window manager's client that is a dialog of `owner` (WM_TRANSIENT_FOR); None while
    // there is none.
    Window dialogOf(Window owner) {
        for (const Window client : stacking()) {
            Window parent = None;
            if (XGetTransientForHint(display_, client, &parent) && parent == owner)
                return client;
        }
        return None;
    }

    // Both are the window manager's clients, `upper` stacked above `lower`.
    bool stackedAbove(Window upper, Window lower) {
        const auto order = stacking();
        const auto upperAt = std::find(order.begin(), order.end(), upper);
        return upperAt != order.end() && std::find(order.begin(), upperAt, lower) != upperAt;
    }

    // The window's list property `name` ("_NET_SUPPORTED") holds the atom `item`.
    bool lists(Window window, const char* name, const char* item) {
        const auto atoms = items(window, name);
        return std::find(atoms.begin(), atoms.end(), XInternAtom(display_, item, False)) !=
               atoms.end();
    }

    // The window's _NET_WM_STATE holds the state ("_NET_WM_STATE_ABOVE").
    bool hasState(Window window, const char* state) {
        return lists(window, "_NET_WM_STATE", state);
    }

    // The window is the window manager's topmost client and asks to stay above the others.
    bool onTopAndAbove(Window window) {
        const auto order = stacking();
        return !order.empty() && order.back() == window && hasState(window, "_NET_WM_STATE_ABOVE");
    }

    // Returns once the window manager has handled everything the X server had sent it before
    // this call: it reads its events in order, and carries out a configure request for a
    // window it does not manage as asked (clients size their windows before mapping them),
    // which moves our unmapped probe to a place it has not been. Not every window manager
    // answers _NET_REQUEST_FRAME_EXTENTS (fluxbox and awesome do not). The caller makes sure
    // what it waits for has reached the server (the other client's XSync). `whileWaiting` runs
    // between looks (a window under test pumping its events). False when the window manager
    // did not answer within the timeout.
    bool syncWithWindowManager(std::chrono::milliseconds timeout = std::chrono::seconds(20),
                               const std::function<void()>& whileWaiting = {}) {
        if (probe_ == None)
            probe_ = XCreateSimpleWindow(display_, root_, -10, -10, 1, 1, 0, 0, 0);
        const int x = -100 - static_cast<int>(++echoes_ % 10000);
        XMoveWindow(display_, probe_, x, -10);
        XSync(display_, False);
        return waitUntil(
            [&] {
                if (whileWaiting)
                    whileWaiting();
                Window rootReturn = None;
                int probeX = 0, probeY = 0;
                unsigned width = 0, height = 0, border = 0, depth = 0;
                return XGetGeometry(display_, probe_, &rootReturn, &probeX, &probeY, &width,
                                    &height, &border, &depth) &&
                       probeX == x;
            },
            timeout);
    }

    // The window's ancestor just below the root window: the window manager's frame around a
    // client it manages, the window itself otherwise.
    Window topLevelOf(Window window) {
        for (;;) {
            Window rootReturn = None, parent = None;
            Window* children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(display_, window, &rootReturn, &parent, &children, &count))
                return window;
            if (children)
                XFree(children);
            if (parent == root_ || parent == None)
                return window;
            window = parent;
        }
    }

    // The window takes no clicks: its input shape is empty.
    bool inputShapeEmpty(Window window) {
        int count = -1, ordering = 0;
        XRectangle* rectangles =
            XShapeGetRectangles(display_, window, ShapeInput, &count, &ordering);
        if (rectangles)
            XFree(rectangles);
        return count == 0;
    }

    // The window the window manager says is active (_NET_ACTIVE_WINDOW); None when none is.
    Window activeWindow() {
        const auto active = items(root_, "_NET_ACTIVE_WINDOW");
        return active.empty() ? None : active.front();
    }

    // Asks the window manager to activate the window, as a taskbar does.
    void activate(Window window) {
        askWindowManager(window, "_NET_ACTIVE_WINDOW", {2, CurrentTime});  // 2: from a pager
    }

    // Asks the window manager to add or remove one of the window's states
    // ("_NET_WM_STATE_ABOVE"), as a pager does.
    void changeState(Window window, bool add, const char* state) {
        askWindowManager(
            window, "_NET_WM_STATE",
            {add ? 1 : 0, static_cast<long>(XInternAtom(display_, state, False)), 0, 2});
    }

    // A client message about `window` to the window manager, as the window manager protocol
    // has them sent (to the root window).
    void askWindowManager(Window window, const char* message, const std::vector<long>& data) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display_, message, False);
        event.xclient.format = 32;
        std::copy_n(data.begin(), std::min<std::size_t>(data.size(), 5), event.xclient.data.l);
        XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask,
                   &event);
        XSync(display_, False);
    }

    // The byte the opacity property stands for (it is that byte repeated four times).
    std::optional<int> opacityByte(Window window) {
        const auto value = cardinal(window, "_NET_WM_WINDOW_OPACITY");
        if (!value)
            return std::nullopt;
        return static_cast<int>(std::lround(static_cast<double>(*value) / 0x01010101));
    }

    Window focus() {
        Window focus = None;
        int revert = 0;
        XGetInputFocus(display_, &focus, &revert);
        return focus;
    }

    void setFocus(Window window) {
        XSetInputFocus(display_, window, RevertToPointerRoot, CurrentTime);
        XSync(display_, False);
    }

    bool viewable(Window window) {
        XWindowAttributes attributes;
        return XGetWindowAttributes(display_, window, &attributes) &&
               attributes.map_state == IsViewable;
    }

    struct Geometry {
        int x, y, width, height;
        bool operator==(const Geometry&) const = default;
    };
    Geometry geometry(Window window) {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display_, window, &attributes);
        int x = 0, y = 0;
        Window child;
        XTranslateCoordinates(display_, window, root_, 0, 0, &x, &y, &child);
        return {x, y, attributes.width, attributes.height};
    }

    // Top-level windows whose WM_CLASS class is the given one.
    std::vector<Window> windowsOfClass(const std::string& className) {
        std::vector<Window> found;
        Window rootReturn, parent;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display_, root_, &rootReturn, &parent, &children, &count))
            return found;
        for (unsigned i = 0; i < count; ++i) {
            XClassHint hint{};
            if (XGetClassHint(display_, children[i], &hint)) {
                if (hint.res_class && className == hint.res_class)
                    found.push_back(children[i]);
                if (hint.res_name)
                    XFree(hint.res_name);
                if (hint.res_class)
                    XFree(hint.res_class);
            }
        }
        if (children)
            XFree(children);
        return found;
    }

    // The one top-level window of the class, when it is viewable; None while there is none,
    // more than one, or it is not viewable.
    Window shownWindowOfClass(const std::string& className) {
        const auto windows = windowsOfClass(className);
        return windows.size() == 1 && viewable(windows[0]) ? windows[0] : None;
    }

    // Waits up to the timeout for shownWindowOfClass to find the window; None when it did not.
    Window waitForShownWindowOfClass(const std::string& className,
                                     std::chrono::milliseconds timeout) {
        Window shown = None;
        waitUntil(
            [&] {
                shown = shownWindowOfClass(className);
                return shown != None;
            },
            timeout);
        return shown;
    }

    // Asks the window to close the way a window manager's close button does.
    void sendDeleteWindow(Window window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] =
            static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, window, False, NoEventMask, &event);
        XSync(display_, False);
    }

private:
    Display* display_;
    Window root_;
    Window probe_ = None;  // the window manager's echo for syncWithWindowManager
    unsigned echoes_ = 0;
    static inline bool failed_ = false;
};

// xdotool on the test's display.
inline void xdotool(const std::string& display, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    runCommand(argv, std::chrono::seconds(10), {{"DISPLAY", display}});
}

}  // namespace halvenor::test
