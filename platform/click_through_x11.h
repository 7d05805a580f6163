#pragma once
// Click-through on X11: the HUD's input shape, and that of the frames the window manager has
// put it in. Part of the HUD window (overlay_window_x11.cpp); UI thread only.

#include <string>
#include <vector>

#include <X11/Xlib.h>

namespace morvelin {

class ClickThroughX11 {
public:
    ClickThroughX11(Display* display, Window window);
    ~ClickThroughX11();
    ClickThroughX11(const ClickThroughX11&) = delete;
    ClickThroughX11& operator=(const ClickThroughX11&) = delete;

    // On: the window and the frames around it that still take clicks take none; off: each gets
    // back the input shape it had. Nothing happens when it is already so.
    void set(bool on);
    // Follows the window manager while click-through is on: a new frame, a frame reshaped or
    // resized. True when the event was about one of the window's frames.
    bool handle(const XEvent& event);
    // After a batch of events: looks for the window's frames again where one of them said they
    // may have changed.
    void catchUp();
    // Why clicks on the HUD do not reach the window below although click-through is on; empty
    // while they do, and while click-through is off.
    const std::string& problem() const { return problem_; }

private:
    struct Frame {
        Window window = None;
        int width = 0;
        int height = 0;
        // The frame's input shape was emptied here and is owed back: the default (its bounding
        // shape) or these rectangles.
        bool emptied = false;
        bool wasDefault = false;
        std::vector<XRectangle> rectangles;
        // Times the window manager gave it input again without resizing it.
        int takenBack = 0;
    };

    void followFrames(const std::vector<Window>& around);
    void emptyFrame(Frame& frame, bool takenBack);
    void restoreFrame(const Frame& frame);
    void forgetFrame(const Frame& frame);
    Frame* frameOf(Window window);
    void checkClicksPass();
    void nudgeCompositor();

    Display* display_;
    Window window_;
    int shapeEventBase_ = -1;
    bool on_ = false;
    bool framesStale_ = false;
    std::vector<Frame> frames_;  // innermost first
    std::string problem_;
    std::string problemLogged_;  // said once a time click-through is on
    Window marker_ = None;
    bool markerShifted_ = false;
};

}  // namespace morvelin
