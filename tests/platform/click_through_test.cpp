// Click-through where the window manager puts the HUD in frames of its own: clicks on the HUD
// reach the window below whatever the frames do, the frames get back what they had, and a
// press just after click-through ends reaches the HUD under a compositing window manager.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include <SDL.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include "platform/overlay_window.h"
#include "tests/platform/hud_x_window.h"
#include "tests/support/window_fixture.h"

namespace morvelin {
namespace {

using halvenor::test::PrivateDisplayTest;
using halvenor::test::waitUntil;
using namespace std::chrono_literals;
using platform_test::pumpUntil;
using platform_test::xWindow;

using Rectangles = std::vector<std::vector<int>>;

class ClickThroughTest : public PrivateDisplayTest<> {
protected:
    void SetUp() override {
        below_ = client_.createWindow(0, 0, 1920, 1080);
        ASSERT_EQ(hud_.create("Halvenor"), "");
        hud_.setMessageHook([&](const SDL_Event& event) {
            if (event.type == SDL_MOUSEBUTTONDOWN)
                ++hudClicks_;
            return false;
        });
        hud_.show();
        window_ = xWindow(hud_);
        ASSERT_TRUE(pumpUntil(hud_, [&] { return client_.viewable(window_); }));
    }

    // The input shape of a window as the X server has it: x, y, width, height of each
    // rectangle (a window without one of its own has its bounding rectangle).
    Rectangles inputShape(Window window) {
        int count = 0, ordering = 0;
        XRectangle* rectangles =
            XShapeGetRectangles(client_.display(), window, ShapeInput, &count, &ordering);
        Rectangles shape;
        for (int i = 0; i < count; ++i)
            shape.push_back(
                {rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height});
        if (rectangles)
            XFree(rectangles);
        return shape;
    }

    // What a window manager that leaves its frames' input shape alone does on a map: a frame
    // where the HUD is, the HUD inside it.
    Window frameTheHud() {
        const auto at = client_.geometry(window_);
        const Window frame = XCreateSimpleWindow(client_.display(), client_.root(), at.x, at.y,
                                                 static_cast<unsigned>(at.width),
                                                 static_cast<unsigned>(at.height), 0, 0, 0);
        XSelectInput(client_.display(), frame, ButtonPressMask);
        XMapWindow(client_.display(), frame);
        XReparentWindow(client_.display(), window_, frame, 0, 0);
        XSync(client_.display(), False);
        EXPECT_TRUE(pumpUntil(hud_, [&] {
            return client_.topLevelOf(window_) == frame && client_.viewable(window_);
        }));
        frames_.push_back(frame);
        return frame;
    }

    // Where a click at a point of the screen lands.
    enum class Landed { OnHud, OnFrame, OnWindowBelow, Nowhere };
    Landed clickAt(int x, int y) {
        const auto pressedOn = [&](Window window) { return client_.buttonPresses(window) > 0; };
        pressedOn(below_);
        std::for_each(frames_.begin(), frames_.end(), pressedOn);
        hud_.pumpMessages();
        const int hudBefore = hudClicks_;
        xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", "1"});
        Landed landed = Landed::Nowhere;
        pumpUntil(hud_, [&] {
            if (hudClicks_ > hudBefore)
                landed = Landed::OnHud;
            else if (pressedOn(below_))
                landed = Landed::OnWindowBelow;
            else if (std::any_of(frames_.begin(), frames_.end(), pressedOn))
                landed = Landed::OnFrame;
            return landed != Landed::Nowhere;
        });
        return landed;
    }

    OverlayWindow hud_;
    Window window_ = None;
    Window below_ = None;
    std::vector<Window> frames_;
    std::atomic<int> hudClicks_{0};
};

TEST_F(ClickThroughTest, FramesThatStillTakeClicksAreEmptiedAndGetBackWhatTheyHad) {
    const Window frame = frameTheHud();
    // The window manager's own shape for it: all but a strip down its left edge.
    const auto at = client_.geometry(frame);
    XRectangle own{8, 0, static_cast<unsigned short>(at.width - 8),
                   static_cast<unsigned short>(at.height)};
    XShapeCombineRectangles(client_.display(), frame, ShapeInput, 0, 0, &own, 1, ShapeSet,
                            Unsorted);
    XSync(client_.display(), False);
    const Rectangles frameShape = inputShape(frame);
    EXPECT_EQ(clickAt(960, 500), Landed::OnHud);

    hud_.setClickThrough(true);
    EXPECT_TRUE(inputShape(frame).empty());
    EXPECT_EQ(hud_.clickThroughError(), "");
    EXPECT_EQ(clickAt(960, 500), Landed::OnWindowBelow);

    // The HUD grows, and the window manager gives the grown frame a new shape of its own.
    XResizeWindow(client_.display(), frame, static_cast<unsigned>(at.width), 1075);
    XResizeWindow(client_.display(), window_, static_cast<unsigned>(at.width), 1075);
    XShapeCombineMask(client_.display(), frame, ShapeInput, 0, 0, None, ShapeSet);
    XSync(client_.display(), False);
    EXPECT_TRUE(pumpUntil(hud_, [&] { return inputShape(frame).empty(); }));
    EXPECT_EQ(clickAt(960, 1070), Landed::OnWindowBelow);

    // A new frame, as after a hide and show: the old one gets its own shape back at once, and
    // its window manager keeps it for later.
    const Window second = frameTheHud();
    EXPECT_TRUE(pumpUntil(hud_, [&] { return inputShape(second).empty(); }));
    EXPECT_EQ(inputShape(frame), (Rectangles{{0, 0, at.width, 1075}}));
    XUnmapWindow(client_.display(), frame);
    EXPECT_EQ(clickAt(960, 500), Landed::OnWindowBelow);
    EXPECT_EQ(hud_.clickThroughError(), "");

    // Off: the frame takes clicks as before, its default shape following its size.
    hud_.setClickThrough(false);
    EXPECT_EQ(inputShape(second), (Rectangles{{0, 0, at.width, 1075}}));
    XResizeWindow(client_.display(), second, static_cast<unsigned>(at.width), 900);
    XSync(client_.display(), False);
    EXPECT_EQ(inputShape(second), (Rectangles{{0, 0, at.width, 900}}));
    EXPECT_EQ(clickAt(960, 500), Landed::OnHud);

    // The first frame's own shape was given back once: the HUD does not touch it again.
    XShapeCombineRectangles(client_.display(), frame, ShapeInput, 0, 0, &own, 1, ShapeSet,
                            Unsorted);
    hud_.setClickThrough(true);
    hud_.setClickThrough(false);
    EXPECT_EQ(inputShape(frame), frameShape);
}

// A window manager that gives its frame the input back each time the HUD empties it: the HUD
// stops after a few rounds and says that clicks do not pass, instead of looking click-through.
TEST_F(ClickThroughTest, AFrameTakenBackAgainAndAgainIsReported) {
    const Window frame = frameTheHud();
    XShapeSelectInput(client_.display(), frame, ShapeNotifyMask);
    int givenBack = 0;
    const auto takeItBack = [&] {
        XSync(client_.display(), False);
        while (XPending(client_.display())) {
            XEvent event;
            XNextEvent(client_.display(), &event);
        }
        if (inputShape(frame).empty()) {
            ++givenBack;
            XShapeCombineMask(client_.display(), frame, ShapeInput, 0, 0, None, ShapeSet);
            XSync(client_.display(), False);
        }
    };
    hud_.setClickThrough(true);
    const auto until = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < until) {
        hud_.pumpMessages();
        takeItBack();
    }
    EXPECT_GE(givenBack, 2);
    EXPECT_LE(givenBack, 6);
    EXPECT_TRUE(hud_.clickThrough());
    EXPECT_EQ(hud_.clickThroughError(),
              "the window manager's frame around the HUD still takes the clicks");
    EXPECT_NE(log().find("click-through: clicks do not reach the window below: the window "
                         "manager's frame around the HUD still takes the clicks"),
              std::string::npos)
        << log();
    EXPECT_EQ(clickAt(960, 500), Landed::OnFrame);

    hud_.setClickThrough(false);
    EXPECT_EQ(hud_.clickThroughError(), "");
    EXPECT_FALSE(inputShape(frame).empty());
    EXPECT_EQ(clickAt(960, 500), Landed::OnHud);
}

// Under a real window manager, with a plain application window below the HUD whose title bar
// lies under the HUD's top. The pointer crosses that title bar while clicks pass; once
// click-through ends, a press there and the drag it starts are the HUD's, and the window below
// stays where it is (a compositing window manager that still saw its title bar there would
// move it).
class ClickThroughUnderWindowManager : public PrivateDisplayTest<> {
protected:
    ClickThroughUnderWindowManager() { server_.startWindowManager(); }
};

TEST_F(ClickThroughUnderWindowManager, APressJustAfterClickThroughEndsIsTheHuds) {
    Display* display = client_.display();
    const Window below =
        XCreateSimpleWindow(display, client_.root(), 400, 0, 1000, 600, 0, 0, 0xFFFFFF);
    XSizeHints hints{};
    hints.flags = USPosition | USSize;
    hints.x = 400;
    hints.width = 1000;
    hints.height = 600;
    XSetWMNormalHints(display, below, &hints);
    XMapWindow(display, below);
    XSync(display, False);
    ASSERT_TRUE(waitUntil([&] { return client_.viewable(below); }, 20s));

    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    std::atomic<int> presses{0}, releases{0}, motions{0};
    hud.setMessageHook([&](const SDL_Event& event) {
        presses += event.type == SDL_MOUSEBUTTONDOWN;
        releases += event.type == SDL_MOUSEBUTTONUP;
        motions += event.type == SDL_MOUSEMOTION && (event.motion.state & SDL_BUTTON_LMASK);
        return false;
    });
    ASSERT_TRUE(platform_test::showUnderTheWindowManager(hud, client_));
    const Window window = xWindow(hud);

    // The middle of the window's title bar (the part of its frame above it), under the HUD;
    // near the window's top under a window manager that gives it none.
    const auto frame = client_.geometry(client_.topLevelOf(below));
    const auto inside = client_.geometry(below);
    const int x = inside.x + inside.width / 2;
    const int y = inside.y > frame.y ? (frame.y + inside.y) / 2 : inside.y + 8;
    const auto hudAt = client_.geometry(window);
    ASSERT_TRUE(x > hudAt.x && x < hudAt.x + hudAt.width && y >= hudAt.y);

    // A compositing window manager takes a new input shape when it next paints: each change
    // of click-through waits until the screen shows the HUD's new opacity there.
    const bool composited =
        XGetSelectionOwner(display, XInternAtom(display, "_NET_WM_CM_S0", False)) != None;
    // Nothing draws into the HUD here: it is filled black, which shows dimmed over the window.
    GC gc = XCreateGC(display, window, 0, nullptr);
    XFillRectangle(display, window, gc, 0, 0, static_cast<unsigned>(hudAt.width),
                   static_cast<unsigned>(hudAt.height));
    XFreeGC(display, gc);
    XSync(display, False);
    const auto switchClickThrough = [&](bool on) {
        const auto before = client_.screenPixels(x - 16, y, 32, 4);
        hud.setClickThrough(on);
        return platform_test::pumpUntilTheWindowManagerCaughtUp(hud, client_) &&
               (!composited ||
                pumpUntil(hud, [&] { return client_.screenPixels(x - 16, y, 32, 4) != before; }));
    };

    xdotool({"mousemove", "100", "700"});
    ASSERT_TRUE(switchClickThrough(true));
    xdotool({"mousemove", std::to_string(x), std::to_string(y)});
    ASSERT_TRUE(platform_test::pumpUntilTheWindowManagerCaughtUp(hud, client_));
    ASSERT_TRUE(switchClickThrough(false));

    xdotool({"mousedown", "1"});
    for (int step = 1; step <= 6; ++step)
        xdotool({"mousemove", std::to_string(x + 10 * step), std::to_string(y + 8 * step)});
    xdotool({"mouseup", "1"});
    EXPECT_TRUE(pumpUntil(hud, [&] { return releases == 1; }));
    EXPECT_EQ(presses, 1);
    EXPECT_GE(motions, 1);
    ASSERT_TRUE(platform_test::pumpUntilTheWindowManagerCaughtUp(hud, client_));
    EXPECT_EQ(client_.geometry(below), inside);
}

}  // namespace
}  // namespace morvelin
