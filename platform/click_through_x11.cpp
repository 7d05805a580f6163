// Click-through on X11. The HUD lets clicks pass by emptying its input shape. A window manager
// that puts the HUD in frame windows of its own either gives those frames the HUD's input shape
// (openbox, xfwm4, kwin and others do) or leaves them taking every click over the HUD (fluxbox,
// icewm and awesome do). So while click-through is on, the HUD empties the input shape of every
// frame around it that still takes clicks, remembers what it replaced and puts exactly that back
// when click-through ends. It follows the window manager meanwhile: a new frame (after a hide and
// show, or a restart of the window manager), a frame it reshapes or resizes. Then it asks the X
// server where a click on the HUD would go; where that is still the HUD or its frame, problem()
// says so rather than letting the HUD look click-through when it is not.

#include "platform/click_through_x11.h"

#include <algorithm>

#include <X11/Xatom.h>
#include <X11/extensions/shape.h>

#include "base/session_log.h"
#include "platform/error_trap_x11.h"
#include "platform/x11_handles.h"
#include "platform/x11_properties.h"

namespace morvelin {
namespace {

// A window manager that gives a frame its input back more often than this without resizing it
// is not fought any longer; problem() tells the user.
constexpr int kFrameTakeBacks = 4;
// Frames are a few levels deep at most (icewm has two); a deeper chain is not one of frames.
constexpr int kMaxFrames = 4;

std::vector<XRectangle> shapeRectangles(Display* display, Window window, int kind) {
    int count = 0, ordering = 0;
    const XMemoryPtr<XRectangle> rectangles(
        XShapeGetRectangles(display, window, kind, &count, &ordering));
    if (!rectangles || count <= 0)
        return {};
    return {rectangles.get(), rectangles.get() + count};
}

bool sameRectangles(const std::vector<XRectangle>& a, const std::vector<XRectangle>& b) {
    return std::equal(
        a.begin(), a.end(), b.begin(), b.end(), [](const XRectangle& l, const XRectangle& r) {
            return l.x == r.x && l.y == r.y && l.width == r.width && l.height == r.height;
        });
}

void emptyInputShape(Display* display, Window window) {
    XShapeCombineRectangles(display, window, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
}

// The windows between `window` and the root, innermost first: the window manager's frames.
// A virtual root (a window standing in for the root under some window managers) ends them.
std::vector<Window> framesAround(Display* display, Window window) {
    const Window screenRoot = DefaultRootWindow(display);
    const std::vector<unsigned long> virtualRoots = longProperty(
        display, screenRoot, XInternAtom(display, "_NET_VIRTUAL_ROOTS", False), XA_WINDOW);
    std::vector<Window> frames;
    Window current = window;
    while (static_cast<int>(frames.size()) <= kMaxFrames) {
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, current, &root, &parent, &children, &count))
            return {};
        const XMemoryPtr<Window> owned(children);
        if (parent == None || parent == root ||
            std::find(virtualRoots.begin(), virtualRoots.end(), parent) != virtualRoots.end())
            return frames;
        frames.push_back(parent);
        current = parent;
    }
    return {};
}

}  // namespace

ClickThroughX11::ClickThroughX11(Display* display, Window window)
    : display_(display), window_(window) {
    int errorBase = 0;
    if (!XShapeQueryExtension(display_, &shapeEventBase_, &errorBase))
        shapeEventBase_ = -1;
}

ClickThroughX11::~ClickThroughX11() {
    if (on_) {
        ErrorTrapX11 trap(display_);
        for (const Frame& frame : frames_) {
            restoreFrame(frame);
            forgetFrame(frame);
        }
    }
    if (marker_ != None)
        XDestroyWindow(display_, marker_);
    XFlush(display_);
}

void ClickThroughX11::set(bool on) {
    if (on == on_)
        return;
    on_ = on;
    if (on) {
        emptyInputShape(display_, window_);
        followFrames(framesAround(display_, window_));
        checkClicksPass();
    } else {
        XShapeCombineMask(display_, window_, ShapeInput, 0, 0, None, ShapeSet);
        ErrorTrapX11 trap(display_);  // a frame may be gone by now
        for (const Frame& frame : frames_) {
            restoreFrame(frame);
            forgetFrame(frame);
        }
        frames_.clear();
        problem_.clear();
        problemLogged_.clear();
    }
    nudgeCompositor();
}

bool ClickThroughX11::handle(const XEvent& event) {
    // SDL keeps the reparenting of a mapped window, and the map that follows it, to itself; but
    // a new frame always comes with an unmap, a map or an exposure of the window that does come
    // through. Any of them sends the HUD looking for its frames again in catchUp().
    const Window about = event.xany.window;
    if (about == window_ && (event.type == ReparentNotify || event.type == MapNotify ||
                             event.type == UnmapNotify || event.type == Expose)) {
        framesStale_ = true;
        return false;
    }
    Frame* frame = frameOf(about);
    if (!frame)
        return false;
    if (shapeEventBase_ >= 0 && event.type == shapeEventBase_ + ShapeNotify) {
        // An empty input shape is ours, or the window manager's copy of the HUD's; any other
        // is the window manager giving the frame its clicks back.
        const auto& shape = reinterpret_cast<const XShapeEvent&>(event);
        const bool takesInput = !shape.shaped || (shape.width > 0 && shape.height > 0);
        if (on_ && shape.kind == ShapeInput && takesInput) {
            {
                ErrorTrapX11 trap(display_);
                emptyFrame(*frame, true);
            }
            checkClicksPass();
        }
    } else if (event.type == ConfigureNotify) {
        if (event.xconfigure.width != frame->width || event.xconfigure.height != frame->height) {
            // A resized frame may get a new shape from its window manager: that is no fight.
            frame->width = event.xconfigure.width;
            frame->height = event.xconfigure.height;
            frame->takenBack = 0;
        }
    } else if (event.type == MapNotify) {
        framesStale_ = true;
    } else if (event.type == DestroyNotify) {
        std::erase_if(frames_, [&](const Frame& f) { return f.window == about; });
    }
    return true;
}

void ClickThroughX11::catchUp() {
    if (!on_ || !framesStale_)
        return;
    framesStale_ = false;
    const std::vector<Window> around = framesAround(display_, window_);
    const bool same =
        std::equal(around.begin(), around.end(), frames_.begin(), frames_.end(),
                   [](Window window, const Frame& frame) { return window == frame.window; });
    if (!same) {
        followFrames(around);
        nudgeCompositor();
    }
    checkClicksPass();
}

void ClickThroughX11::followFrames(const std::vector<Window>& around) {
    ErrorTrapX11 trap(display_);  // frames come and go between two requests
    // A frame the window manager has taken the HUD out of gets its shape back, if it is still
    // there (a window manager may keep frames for reuse).
    std::erase_if(frames_, [&](const Frame& frame) {
        if (std::find(around.begin(), around.end(), frame.window) != around.end())
            return false;
        restoreFrame(frame);
        forgetFrame(frame);
        return true;
    });
    for (const Window window : around) {
        if (frameOf(window))
            continue;
        Frame frame;
        frame.window = window;
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display_, window, &attributes)) {
            frame.width = attributes.width;
            frame.height = attributes.height;
        }
        XSelectInput(display_, window, StructureNotifyMask);
        XShapeSelectInput(display_, window, ShapeNotifyMask);
        frames_.push_back(frame);
    }
    for (Frame& frame : frames_)
        emptyFrame(frame, false);
}

void ClickThroughX11::emptyFrame(Frame& frame, bool takenBack) {
    const std::vector<XRectangle> input = shapeRectangles(display_, frame.window, ShapeInput);
    if (input.empty())
        return;  // it takes no clicks: the window manager gave it the HUD's shape, or we did
    if (frame.takenBack > kFrameTakeBacks)
        return;
    if (frame.emptied && takenBack && ++frame.takenBack > kFrameTakeBacks) {
        frame.emptied = false;  // its window manager's shape stands, and nothing is owed back
        return;
    }
    // What the frame has now is what it gets back: the window manager's latest word on it.
    frame.wasDefault =
        sameRectangles(input, shapeRectangles(display_, frame.window, ShapeBounding));
    frame.rectangles = frame.wasDefault ? std::vector<XRectangle>{} : input;
    frame.emptied = true;
    emptyInputShape(display_, frame.window);
}

void ClickThroughX11::restoreFrame(const Frame& frame) {
    if (!frame.emptied)
        return;
    // The default follows the frame's size and bounding shape; rectangles would not.
    if (frame.wasDefault) {
        XShapeCombineMask(display_, frame.window, ShapeInput, 0, 0, None, ShapeSet);
    } else {
        XShapeCombineRectangles(display_, frame.window, ShapeInput, 0, 0,
                                const_cast<XRectangle*>(frame.rectangles.data()),
                                static_cast<int>(frame.rectangles.size()), ShapeSet, Unsorted);
    }
}

void ClickThroughX11::forgetFrame(const Frame& frame) {
    XSelectInput(display_, frame.window, NoEventMask);
    XShapeSelectInput(display_, frame.window, 0);
}

ClickThroughX11::Frame* ClickThroughX11::frameOf(Window window) {
    const auto found = std::find_if(frames_.begin(), frames_.end(),
                                    [&](const Frame& frame) { return frame.window == window; });
    return found == frames_.end() ? nullptr : &*found;
}

// The X server answers which top-level window contains a point as a click there would find it,
// input shapes included: a click on the HUD passes when that is not the HUD's own top level (its
// outermost frame, or the HUD itself without one). Looked at in the middle, along the top bar
// and near the corners.
void ClickThroughX11::checkClicksPass() {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display_, window_, &attributes) || attributes.map_state != IsViewable)
        return;
    const Window root = DefaultRootWindow(display_);
    const Window topLevel = frames_.empty() ? window_ : frames_.back().window;
    int originX = 0, originY = 0;
    Window child = None;
    XTranslateCoordinates(display_, window_, root, 0, 0, &originX, &originY, &child);
    const int w = attributes.width;
    const int h = attributes.height;
    const int inset = std::min({4, w / 2, h / 2});
    const int points[][2] = {{w / 2, h / 2},         {w / 2, inset},
                             {inset, inset},         {w - 1 - inset, inset},
                             {inset, h - 1 - inset}, {w - 1 - inset, h - 1 - inset}};
    bool pass = true;
    for (const auto& point : points) {
        int x = 0, y = 0;
        Window hit = None;
        if (XTranslateCoordinates(display_, root, root, originX + point[0], originY + point[1], &x,
                                  &y, &hit) &&
            hit == topLevel) {
            pass = false;
            break;
        }
    }
    const std::string problem =
        pass
            ? std::string()
            : std::string(frames_.empty()
                              ? "the HUD still takes the clicks"
                              : "the window manager's frame around the HUD still takes the clicks");
    if (!problem.empty() && problem != problemLogged_) {
        log("click-through: clicks do not reach the window below: {}", problem);
        problemLogged_ = problem;
    }
    problem_ = problem;
}

// A compositing window manager (mutter) keeps the window it last found under the pointer until
// something on its stage is laid out anew, even when the window there changes its input shape.
// Left alone, a click on the HUD just after click-through ends goes to the window that was under
// the HUD (a press on that window's title bar starts moving it) or, finding none, is swallowed
// with the drag it starts. A 1x1 window of ours outside the screen, moved by a pixel on every
// change of the input shapes, is such a new layout; other window managers take no notice of it.
void ClickThroughX11::nudgeCompositor() {
    if (marker_ == None) {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        marker_ =
            XCreateWindow(display_, DefaultRootWindow(display_), -1, -1, 1, 1, 0, CopyFromParent,
                          InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
        XMapWindow(display_, marker_);
    }
    markerShifted_ = !markerShifted_;
    XMoveWindow(display_, marker_, markerShifted_ ? -2 : -1, -1);
    XFlush(display_);
}

}  // namespace morvelin
