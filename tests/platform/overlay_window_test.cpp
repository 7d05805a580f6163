#include "platform/overlay_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include <SDL.h>

#include "base/session_log.h"
#include "tests/platform/hud_x_window.h"
#include "tests/support/window_fixture.h"

namespace morvelin {
namespace {

using halvenor::test::PrivateDisplayTest;
using halvenor::test::waitUntil;
using halvenor::test::X11TestClient;
using namespace std::chrono_literals;
using platform_test::pumpUntil;
using platform_test::xWindow;

// Each test runs in its own process with its own X server and log folder.
class OverlayWindowTest : public PrivateDisplayTest<> {
protected:
    explicit OverlayWindowTest(int width = 1920, int height = 1080)
        : PrivateDisplayTest(width, height) {}
};

class OverlayWindowAtHighDpi : public OverlayWindowTest {
protected:
    OverlayWindowAtHighDpi() : OverlayWindowTest(2560, 1440) {}
};

TEST_F(OverlayWindowTest, SitsAcrossTheTopOfTheWorkArea) {
    client_.setRootCardinals("_NET_WORKAREA", {0, 0, 1920, 1040});
    // The test plays a window manager that holds every move and resize it is asked for: the
    // HUD is created where it goes, so none of them asks for a change (which would wait on the
    // window manager).
    Display* wm = client_.display();
    XSelectInput(wm, client_.root(), SubstructureRedirectMask);
    XSync(wm, False);
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    XSync(wm, False);
    const auto has = client_.geometry(xWindow(hud));
    while (XPending(wm)) {
        XEvent event;
        XNextEvent(wm, &event);
        if (event.type != ConfigureRequest)
            continue;
        const XConfigureRequestEvent& asked = event.xconfigurerequest;
        EXPECT_TRUE(!(asked.value_mask & CWX) || asked.x == has.x);
        EXPECT_TRUE(!(asked.value_mask & CWY) || asked.y == has.y);
        EXPECT_TRUE(!(asked.value_mask & CWWidth) || asked.width == has.width);
        EXPECT_TRUE(!(asked.value_mask & CWHeight) || asked.height == has.height);
    }
    XSelectInput(wm, client_.root(), NoEventMask);
    XSync(wm, False);
    EXPECT_FLOAT_EQ(hud.dpiScale(), 1.0f);
    const auto rect = hud.windowRect();
    EXPECT_EQ(rect.left, 269);
    EXPECT_EQ(rect.top, 0);
    EXPECT_EQ(rect.right - rect.left, 1382);
    EXPECT_EQ(rect.bottom - rect.top, 1008);
    EXPECT_EQ(hud.workAreaBottom(), 1040);

    hud.show();
    const Window window = xWindow(hud);
    ASSERT_TRUE(waitUntil([&] { return client_.viewable(window); }, 5s));
    const auto geometry = client_.geometry(window);
    EXPECT_EQ(geometry.x, 269);
    EXPECT_EQ(geometry.y, 0);
    EXPECT_EQ(geometry.width, 1382);
    EXPECT_EQ(geometry.height, 1008);
    EXPECT_EQ(client_.windowsOfClass("MorvelinDeskOverlay"), std::vector<Window>{window});
}

TEST_F(OverlayWindowAtHighDpi, ScalesMarginsAndMinimumHeightWithXftDpi) {
    client_.setRootCardinals("_NET_WORKAREA", {0, 0, 2560, 1400});
    client_.setResources("Xft.dpi:\t144\n");
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    EXPECT_FLOAT_EQ(hud.dpiScale(), 1.5f);
    const auto rect = hud.windowRect();
    EXPECT_EQ(rect.left, 358);
    EXPECT_EQ(rect.right - rect.left, 1843);
    EXPECT_EQ(rect.bottom - rect.top, 1352);
}

TEST_F(OverlayWindowTest, ShowingNeverTakesTheFocusAndInteractiveModeHandsItBack) {
    const Window editor = client_.createWindow(0, 600, 400, 300);
    client_.setFocus(editor);
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    hud.show();
    const Window window = xWindow(hud);
    ASSERT_TRUE(pumpUntil(hud, [&] { return client_.viewable(window); }));
    EXPECT_EQ(client_.focus(), editor);

    hud.setInteractive(true);
    EXPECT_TRUE(waitUntil([&] { return client_.focus() == window; }, 2s));
    // Hiding ends interactive mode and the editor gets its focus back.
    hud.setVisible(false);
    EXPECT_FALSE(hud.interactive());
    EXPECT_FALSE(hud.isVisible());
    EXPECT_EQ(client_.focus(), editor);

    // A second instance's request shows the HUD again, still without the focus.
    hud.postShowRequest();
    ASSERT_TRUE(pumpUntil(hud, [&] { return hud.isVisible(); }));
    EXPECT_TRUE(client_.viewable(window));
    EXPECT_EQ(client_.focus(), editor);
}

TEST_F(OverlayWindowTest, ClickThroughHotkeyLetsClicksReachTheWindowBelow) {
    const Window below = client_.createWindow(0, 0, 1920, 1080);
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    ASSERT_TRUE(hud.clickThroughHotkeyRegistered());
    std::atomic<int> hudClicks{0};
    hud.setMessageHook([&](const SDL_Event& event) {
        if (event.type == SDL_MOUSEBUTTONDOWN)
            ++hudClicks;
        return false;
    });
    hud.show();
    const Window window = xWindow(hud);
    ASSERT_TRUE(pumpUntil(hud, [&] { return client_.viewable(window); }));
    EXPECT_EQ(client_.opacityByte(window), 247);

    xdotool({"mousemove", "960", "400", "click", "1"});
    EXPECT_TRUE(pumpUntil(hud, [&] { return hudClicks == 1; }));
    EXPECT_EQ(client_.buttonPresses(below), 0);

    xdotool({"key", "ctrl+shift+space"});
    ASSERT_TRUE(pumpUntil(hud, [&] { return hud.clickThrough(); }));
    EXPECT_EQ(client_.opacityByte(window), 140);
    xdotool({"click", "1"});
    EXPECT_TRUE(waitUntil([&] { return client_.buttonPresses(below) == 1; }, 5s));
    hud.pumpMessages();
    EXPECT_EQ(hudClicks, 1);

    xdotool({"key", "ctrl+shift+space"});
    ASSERT_TRUE(pumpUntil(hud, [&] { return !hud.clickThrough(); }));
    EXPECT_EQ(client_.opacityByte(window), 247);
    xdotool({"click", "1"});
    EXPECT_TRUE(pumpUntil(hud, [&] { return hudClicks == 2; }));
    EXPECT_EQ(client_.buttonPresses(below), 0);
}

TEST_F(OverlayWindowTest, ClickThroughIsRefusedWhileItsHotkeyIsTaken) {
    ASSERT_TRUE(client_.grabKey(XK_space, ControlMask | ShiftMask));
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    EXPECT_FALSE(hud.clickThroughHotkeyRegistered());
    hud.setClickThrough(true);
    EXPECT_FALSE(hud.clickThrough());
    hud.setClickThrough(false);
    EXPECT_FALSE(hud.clickThrough());
}

TEST_F(OverlayWindowTest, OpacitiesAreClampedAndRoundedToAByte) {
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    const Window window = xWindow(hud);
    hud.setOpacity(0.2f, 0.05f);
    EXPECT_FLOAT_EQ(hud.opacity(), 0.3f);
    EXPECT_FLOAT_EQ(hud.clickThroughOpacity(), 0.1f);
    EXPECT_EQ(client_.opacityByte(window), 77);  // 0.3 * 255 = 76.5, halves away from zero
    hud.setClickThrough(true);
    ASSERT_TRUE(hud.clickThrough());
    EXPECT_EQ(client_.opacityByte(window), 26);  // 25.5
    hud.setOpacity(1.5f, 2.0f);
    EXPECT_FLOAT_EQ(hud.opacity(), 1.0f);
    EXPECT_FLOAT_EQ(hud.clickThroughOpacity(), 1.0f);
}

TEST_F(OverlayWindowTest, VisibilityHotkeyHidesAndShowsAndIgnoresAutoRepeat) {
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    ASSERT_TRUE(
        hud.registerVisibilityHotkey(OverlayWindow::ModControl | OverlayWindow::ModAlt, 'H'));
    EXPECT_TRUE(hud.visibilityHotkeyRegistered());
    int presses = 0;
    ASSERT_TRUE(hud.registerHotkey(3, OverlayWindow::ModControl | OverlayWindow::ModShift, 'A',
                                   [&] { ++presses; }));
    hud.show();
    ASSERT_TRUE(pumpUntil(hud, [&] { return hud.isVisible(); }));

    xdotool({"key", "ctrl+alt+h"});
    EXPECT_TRUE(pumpUntil(hud, [&] { return !hud.isVisible(); }));
    xdotool({"key", "ctrl+alt+h"});
    EXPECT_TRUE(pumpUntil(hud, [&] { return hud.isVisible(); }));

    // Held past the server's auto-repeat delay: still one press.
    xdotool({"keydown", "ctrl+shift+a"});
    const auto until = std::chrono::steady_clock::now() + 900ms;
    while (std::chrono::steady_clock::now() < until)
        hud.pumpMessages();
    xdotool({"keyup", "ctrl+shift+a"});
    EXPECT_TRUE(pumpUntil(hud, [&] { return presses >= 1; }));
    EXPECT_EQ(presses, 1);
    xdotool({"key", "ctrl+shift+a"});
    EXPECT_TRUE(pumpUntil(hud, [&] { return presses == 2; }));
}

TEST_F(OverlayWindowTest, AHotkeyLeavesNoModifierHeldInTheHud) {
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    int presses = 0;
    ASSERT_TRUE(hud.registerHotkey(4, OverlayWindow::ModControl | OverlayWindow::ModShift, 'S',
                                   [&] { ++presses; }));
    hud.show();
    ASSERT_TRUE(pumpUntil(hud, [&] { return hud.isVisible(); }));
    // The pointer rests on the HUD, as when the user has just clicked it.
    const auto geometry = client_.geometry(xWindow(hud));
    xdotool({"mousemove", std::to_string(geometry.x + 100), std::to_string(geometry.y + 20)});

    xdotool({"key", "ctrl+shift+s"});
    ASSERT_TRUE(pumpUntil(hud, [&] { return presses == 1; }));
    // Let every event of the key's release arrive; then nothing may still count as held, or
    // the next click would be a Ctrl+Shift click.
    const auto until = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < until)
        hud.pumpMessages();
    EXPECT_EQ(SDL_GetModState() & (KMOD_CTRL | KMOD_SHIFT), 0);
}

TEST_F(OverlayWindowTest, TakenHotkeyIsLoggedAndAReRegistrationDropsTheOldOne) {
    ASSERT_TRUE(client_.grabKey(XK_h, ControlMask | Mod1Mask));
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    EXPECT_FALSE(
        hud.registerVisibilityHotkey(OverlayWindow::ModControl | OverlayWindow::ModAlt, 'H'));
    EXPECT_FALSE(hud.visibilityHotkeyRegistered());
    EXPECT_NE(log().find("RegisterHotKey(id 20546) failed (0x0000000A: BadAccess"),
              std::string::npos)
        << log();

    int calls = 0;
    ASSERT_TRUE(hud.registerHotkey(2, OverlayWindow::ModControl | OverlayWindow::ModShift, 'L',
                                   [&] { ++calls; }));
    EXPECT_FALSE(client_.grabKey(XK_l, ControlMask | ShiftMask));  // ours now
    // Moving id 2 onto the taken key fails and leaves nothing behind.
    EXPECT_FALSE(hud.registerHotkey(2, OverlayWindow::ModControl | OverlayWindow::ModAlt, 'H',
                                    [&] { ++calls; }));
    EXPECT_NE(log().find("RegisterHotKey(id 2) failed"), std::string::npos);
    EXPECT_TRUE(client_.grabKey(XK_l, ControlMask | ShiftMask));
    xdotool({"key", "ctrl+shift+l"});
    const auto until = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < until)
        hud.pumpMessages();
    EXPECT_EQ(calls, 0);
}

TEST_F(OverlayWindowTest, CaptureProtectionIsReportedUnavailableFromAnyThread) {
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    EXPECT_FALSE(hud.captureProtected());
    EXPECT_EQ(hud.lastError(), "capture exclusion is not supported on X11");
    EXPECT_NE(
        log().find(
            "SetWindowDisplayAffinity(0x11) failed: capture exclusion is not supported on X11"),
        std::string::npos);

    EXPECT_TRUE(hud.setCaptureProtection(false));
    EXPECT_EQ(hud.lastError(), "");
    EXPECT_NE(log().find("capture protection off (display affinity 0x0)"), std::string::npos);

    // From another thread the call waits until the UI thread has answered.
    auto answer = std::async(std::launch::async, [&] { return hud.setCaptureProtection(true); });
    EXPECT_EQ(answer.wait_for(200ms), std::future_status::timeout);
    ASSERT_TRUE(pumpUntil(hud, [&] { return answer.wait_for(0ms) == std::future_status::ready; }));
    EXPECT_FALSE(answer.get());
    EXPECT_EQ(hud.lastError(), "capture exclusion is not supported on X11");
}

TEST_F(OverlayWindowTest, SettersFromOtherThreadsRunOnTheUiThread) {
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    std::thread([&] { hud.show(); }).join();
    EXPECT_FALSE(hud.isVisible());  // nothing happens until the UI thread pumps
    ASSERT_TRUE(pumpUntil(hud, [&] { return hud.isVisible(); }));
    std::thread([&] { hud.setClickThrough(true); }).join();
    ASSERT_TRUE(pumpUntil(hud, [&] { return hud.clickThrough(); }));
    std::thread([&] { hud.setVisible(false); }).join();
    ASSERT_TRUE(pumpUntil(hud, [&] { return !hud.isVisible(); }));
}

// A window manager played by the test: it manages the HUD (WM_STATE) and answers every
// request for its states by writing them without the above layer.
TEST_F(OverlayWindowTest, ALayerRefusedOnEveryRequestIsAskedForAFewTimesNotForever) {
    Display* wm = client_.display();
    XSelectInput(wm, client_.root(), SubstructureNotifyMask);
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    hud.show();
    const Window window = xWindow(hud);
    ASSERT_TRUE(pumpUntil(hud, [&] { return client_.viewable(window); }));
    const Atom wmState = XInternAtom(wm, "WM_STATE", False);
    const long normal[] = {1, 0};
    XChangeProperty(wm, window, wmState, wmState, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(normal), 2);
    const auto refuse = [&](bool above) {
        std::vector<long> states = {
            static_cast<long>(XInternAtom(wm, "_NET_WM_STATE_SKIP_TASKBAR", False)),
            static_cast<long>(XInternAtom(wm, "_NET_WM_STATE_SKIP_PAGER", False))};
        if (above)
            states.push_back(static_cast<long>(XInternAtom(wm, "_NET_WM_STATE_ABOVE", False)));
        client_.setItems(window, "_NET_WM_STATE", XA_ATOM, states);
    };
    int requests = 0;
    const auto answer = [&](bool above) {
        while (XPending(wm)) {
            XEvent event;
            XNextEvent(wm, &event);
            if (event.type == ClientMessage && event.xclient.window == window &&
                event.xclient.message_type == XInternAtom(wm, "_NET_WM_STATE", False)) {
                ++requests;
                refuse(above);
            }
        }
    };
    const auto pumpFor = [&](std::chrono::milliseconds time, bool above) {
        const auto until = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < until) {
            hud.pumpMessages();
            XSync(wm, False);
            answer(above);
        }
    };

    refuse(false);
    pumpFor(1s, false);
    EXPECT_EQ(requests, 4);
    EXPECT_TRUE(hud.aboveOthers());

    // Once it agrees, a later drop is asked for again.
    requests = 0;
    refuse(true);
    pumpFor(200ms, true);
    refuse(false);
    EXPECT_TRUE(pumpUntil(hud, [&] {
        XSync(wm, False);
        answer(true);
        return client_.hasState(window, "_NET_WM_STATE_ABOVE");
    }));
    EXPECT_EQ(requests, 1);
}

TEST_F(OverlayWindowTest, ResizesArePendingUntilTakenAndCloseEndsThePump) {
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    hud.show();
    std::uint32_t width = 0, height = 0;
    hud.setHeight(500);
    ASSERT_TRUE(pumpUntil(hud, [&] { return hud.takePendingResize(width, height); }));
    EXPECT_EQ(width, 1382u);
    EXPECT_EQ(height, 500u);
    EXPECT_FALSE(hud.takePendingResize(width, height));
    hud.moveTo(100, 40);
    EXPECT_EQ(hud.position().x, 100);
    EXPECT_EQ(hud.position().y, 40);

    hud.requestClose();
    bool ended = waitUntil([&] { return !hud.pumpMessages(); }, 5s);
    EXPECT_TRUE(ended);
    EXPECT_FALSE(hud.exists());
    EXPECT_FALSE(hud.clickThroughHotkeyRegistered());
    // Its hotkeys are free again for other programs.
    EXPECT_TRUE(client_.grabKey(XK_space, ControlMask | ShiftMask));
    EXPECT_FALSE(hud.setCaptureProtection(false));
}

// Under a reparenting window manager (openbox), where the HUD sits inside a frame window.
class OverlayWindowUnderWindowManager : public OverlayWindowTest {
protected:
    OverlayWindowUnderWindowManager() { server_.startWindowManager(); }
};

TEST_F(OverlayWindowUnderWindowManager, NeverTakesTheFocusAndLetsClicksThrough) {
    const Window below = client_.createWindow(0, 0, 1920, 1080);
    ASSERT_TRUE(waitUntil([&] { return client_.viewable(below); }, 5s));
    client_.setFocus(below);
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    std::atomic<int> hudClicks{0};
    hud.setMessageHook([&](const SDL_Event& event) {
        if (event.type == SDL_MOUSEBUTTONDOWN)
            ++hudClicks;
        return false;
    });
    ASSERT_TRUE(platform_test::showUnderTheWindowManager(hud, client_));
    const Window window = xWindow(hud);
    EXPECT_EQ(client_.focus(), below);

    const auto at = client_.geometry(window);
    const std::string x = std::to_string(at.x + at.width / 2);
    const std::string y = std::to_string(at.y + at.height / 2);
    xdotool({"mousemove", x, y, "click", "1"});
    EXPECT_TRUE(pumpUntil(hud, [&] { return hudClicks == 1; }));
    client_.buttonPresses(below);

    // Clicks pass once the outermost window around the HUD (the window manager's frame, the
    // HUD itself where there is none) takes no input.
    hud.setClickThrough(true);
    const Window outermost = client_.topLevelOf(window);
    ASSERT_TRUE(pumpUntil(
        hud, [&] { return client_.inputShapeEmpty(outermost); }, 20s));
    xdotool({"click", "1"});
    EXPECT_TRUE(waitUntil([&] { return client_.buttonPresses(below) == 1; }, 5s));
    hud.pumpMessages();
    EXPECT_EQ(hudClicks, 1);
}

TEST_F(OverlayWindowUnderWindowManager, MinimisingHidesWhileTheShowHotkeyExists) {
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    ASSERT_TRUE(
        hud.registerVisibilityHotkey(OverlayWindow::ModControl | OverlayWindow::ModAlt, 'H'));
    // Only a window the window manager has taken over can be minimised, and only where it
    // lets a tool window be minimised at all (mutter does not).
    ASSERT_TRUE(platform_test::showUnderTheWindowManager(hud, client_));
    const Window window = xWindow(hud);
    if (!client_.items(window, "_NET_WM_ALLOWED_ACTIONS").empty() &&
        !client_.lists(window, "_NET_WM_ALLOWED_ACTIONS", "_NET_WM_ACTION_MINIMIZE"))
        GTEST_SKIP() << "the window manager does not minimise the HUD";
    xdotool({"windowminimize", std::to_string(window)});
    EXPECT_TRUE(pumpUntil(
        hud, [&] { return !hud.isVisible(); }, 20s));
    xdotool({"key", "ctrl+alt+h"});
    EXPECT_TRUE(pumpUntil(hud, [&] { return hud.isVisible() && !hud.isMinimized(); }));
    EXPECT_TRUE(pumpUntil(
        hud, [&] { return client_.onTopAndAbove(window); }, 20s));
    EXPECT_TRUE(client_.viewable(window));
}

// A window manager played by the test that sits on the HUD's moves and resizes until told to
// answer: the HUD neither waits for it nor floods it, and ends where it last asked to be.
TEST_F(OverlayWindowTest, MovesAndResizesNeitherWaitForAnswersNorPileUp) {
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    hud.show();
    const Window window = xWindow(hud);
    ASSERT_TRUE(pumpUntil(hud, [&] { return client_.viewable(window); }));
    Display* wm = client_.display();
    XSelectInput(wm, client_.root(), SubstructureRedirectMask);
    XSync(wm, False);
    std::vector<XConfigureRequestEvent> held;
    const auto take = [&] {
        XSync(wm, False);
        while (XPending(wm)) {
            XEvent event;
            XNextEvent(wm, &event);
            if (event.type == ConfigureRequest && event.xconfigurerequest.window == window)
                held.push_back(event.xconfigurerequest);
        }
    };
    const auto grant = [&] {
        for (const XConfigureRequestEvent& request : held)
            XMoveResizeWindow(wm, window, request.x, request.y, request.width, request.height);
        held.clear();
        XSync(wm, False);
    };
    const X11TestClient::Geometry start = client_.geometry(window);
    const int width = start.width;
    const int height = start.height;

    // A drag of 40 frames while the window manager answers nothing.
    std::chrono::steady_clock::duration inCalls{};
    int requests = 0;
    const auto dragStart = std::chrono::steady_clock::now();
    for (int frame = 1; frame <= 40; ++frame) {
        const auto before = std::chrono::steady_clock::now();
        hud.moveTo(100 + 5 * frame, 40 + 2 * frame);
        inCalls += std::chrono::steady_clock::now() - before;
        EXPECT_EQ(hud.position().x, 100 + 5 * frame);
        EXPECT_EQ(hud.position().y, 40 + 2 * frame);
        pumpUntil(
            hud, [] { return false; }, 16ms);
        take();
        requests += static_cast<int>(held.size());
        held.clear();
    }
    const auto dragTime = std::chrono::steady_clock::now() - dragStart;
    EXPECT_LT(inCalls, 100ms);  // SDL's own move waits up to 100 ms each
    // Unanswered for 640 ms or more: asked again with the newest wish, once every 100 ms.
    EXPECT_GE(requests, 2);
    EXPECT_LE(requests, 1 + static_cast<int>(dragTime / 100ms));
    EXPECT_EQ(client_.geometry(window), start);

    // Answered: the HUD ends where it last asked to be, at the size it has.
    hud.moveTo(320, 130);
    EXPECT_TRUE(pumpUntil(hud, [&] {
        take();
        grant();
        return client_.geometry(window) == X11TestClient::Geometry{320, 130, width, height};
    }));
    EXPECT_TRUE(pumpUntil(hud, [&] { return hud.windowRect().left == 320; }));

    // A resize: the frame is laid out at the window's size until the window has the new one.
    hud.setHeight(500);
    EXPECT_EQ(hud.windowRect().bottom - hud.windowRect().top, height);
    ASSERT_TRUE(pumpUntil(hud, [&] {
        take();
        return !held.empty();
    }));
    EXPECT_EQ(held.back().height, 500);
    grant();
    std::uint32_t takenWidth = 0, takenHeight = 0;
    EXPECT_TRUE(pumpUntil(hud, [&] { return hud.takePendingResize(takenWidth, takenHeight); }));
    EXPECT_EQ(takenHeight, 500u);
    EXPECT_EQ(hud.windowRect().bottom - hud.windowRect().top, 500);

    // A move the window manager refuses (it answers, leaving the window where it was): the
    // HUD's position is where the window is, and the same move is not asked again.
    hud.moveTo(600, 300);
    ASSERT_TRUE(pumpUntil(hud, [&] {
        take();
        return !held.empty();
    }));
    held.clear();
    XEvent answer{};
    answer.xconfigure.type = ConfigureNotify;
    answer.xconfigure.event = window;
    answer.xconfigure.window = window;
    answer.xconfigure.x = 320;
    answer.xconfigure.y = 130;
    answer.xconfigure.width = width;
    answer.xconfigure.height = 500;
    XSendEvent(wm, window, False, StructureNotifyMask, &answer);
    XSync(wm, False);
    EXPECT_TRUE(pumpUntil(hud, [&] { return hud.position().x == 320; }));
    EXPECT_EQ(hud.position().y, 130);
    hud.moveTo(600, 300);  // what a drag asks again on every frame
    pumpUntil(
        hud, [] { return false; }, 300ms);
    take();
    EXPECT_TRUE(held.empty());
}

// Under openbox that handles every event it reads 30 ms late, as on a loaded desktop: it
// takes the HUD's requests after the HUD has moved on, and it erases the states of a window
// it lets go (_NET_WM_STATE) when it gets round to it.
class OverlayWindowUnderLateWindowManager : public OverlayWindowTest {
protected:
    OverlayWindowUnderLateWindowManager() {
        server_.startWindowManager(30);
        EXPECT_EQ(hud_.create("Halvenor"), "");
        window_ = xWindow(hud_);
    }

    bool has(const char* state) { return client_.hasState(window_, state); }
    bool managed() {
        const auto clients = client_.stacking();
        return std::find(clients.begin(), clients.end(), window_) != clients.end();
    }
    // Shown, the window manager's topmost client, in the above layer and out of the taskbar
    // and the pager, as the HUD asks to be.
    // (A state the window manager does not support is not asked of it: fluxbox has no pager.)
    bool onTopAsAToolWindow() {
        return client_.onTopAndAbove(window_) && has("_NET_WM_STATE_SKIP_TASKBAR") &&
               (has("_NET_WM_STATE_SKIP_PAGER") ||
                !client_.lists(client_.root(), "_NET_SUPPORTED", "_NET_WM_STATE_SKIP_PAGER"));
    }
    template <typename Predicate>
    bool pumpUntil(Predicate&& predicate) {
        return platform_test::pumpUntil(hud_, predicate, 20s);
    }
    bool caughtUp() { return platform_test::pumpUntilTheWindowManagerCaughtUp(hud_, client_); }

    OverlayWindow hud_;
    Window window_ = None;
};

TEST_F(OverlayWindowUnderLateWindowManager, StaysAboveWhenShownAgainAndOverAWindowActivatedLater) {
    hud_.show();
    ASSERT_TRUE(pumpUntil([&] { return onTopAsAToolWindow(); }));

    // Hidden and shown again before the window manager has handled the hide.
    hud_.setVisible(false);
    hud_.show();
    EXPECT_TRUE(pumpUntil([&] { return onTopAsAToolWindow(); }));

    // Hidden long enough for the window manager to let the window go, then shown.
    hud_.setVisible(false);
    ASSERT_TRUE(pumpUntil([&] { return !managed(); }));
    hud_.show();
    EXPECT_TRUE(pumpUntil([&] { return onTopAsAToolWindow(); }));

    const Window editor = client_.createWindow(0, 0, 800, 600);
    ASSERT_TRUE(pumpUntil([&] { return client_.viewable(editor); }));
    client_.activate(editor);
    ASSERT_TRUE(pumpUntil([&] { return client_.activeWindow() == editor; }));
    ASSERT_TRUE(caughtUp());
    EXPECT_TRUE(client_.stackedAbove(window_, editor));
    EXPECT_TRUE(onTopAsAToolWindow());
}

TEST_F(OverlayWindowUnderLateWindowManager, LayerAskedForWhileHiddenHoldsOnceShown) {
    hud_.show();
    ASSERT_TRUE(pumpUntil([&] { return onTopAsAToolWindow(); }));
    hud_.setAboveOthers(false);
    ASSERT_TRUE(pumpUntil([&] { return !has("_NET_WM_STATE_ABOVE"); }));

    // What a dialog that ends while the HUD is hidden does: back to the above layer before
    // the window manager has handled the hide.
    hud_.setVisible(false);
    hud_.setAboveOthers(true);
    EXPECT_TRUE(hud_.aboveOthers());
    ASSERT_TRUE(pumpUntil([&] { return !managed(); }));
    ASSERT_TRUE(caughtUp());
    EXPECT_FALSE(hud_.isVisible());
    EXPECT_FALSE(client_.viewable(window_));

    hud_.show();
    EXPECT_TRUE(pumpUntil([&] { return onTopAsAToolWindow(); }));
}

TEST_F(OverlayWindowUnderLateWindowManager, ALayerDroppedIsAskedForAgainAndItsOwnStepDownIsKept) {
    hud_.show();
    ASSERT_TRUE(pumpUntil([&] { return onTopAsAToolWindow(); }));

    // Another program takes the HUD out of the above layer: the HUD asks to be back.
    client_.changeState(window_, false, "_NET_WM_STATE_ABOVE");
    ASSERT_TRUE(pumpUntil([&] { return !has("_NET_WM_STATE_ABOVE"); }));
    EXPECT_TRUE(pumpUntil([&] { return onTopAsAToolWindow(); }));

    // The HUD's own step down (for another program's dialog) is not undone: a window
    // activated afterwards goes over it.
    hud_.setAboveOthers(false);
    EXPECT_FALSE(hud_.aboveOthers());
    ASSERT_TRUE(pumpUntil([&] { return !has("_NET_WM_STATE_ABOVE"); }));
    const Window editor = client_.createWindow(0, 0, 800, 600);
    ASSERT_TRUE(pumpUntil([&] { return client_.viewable(editor); }));
    client_.activate(editor);
    ASSERT_TRUE(pumpUntil([&] { return client_.activeWindow() == editor; }));
    ASSERT_TRUE(caughtUp());
    EXPECT_FALSE(has("_NET_WM_STATE_ABOVE"));
    EXPECT_TRUE(client_.stackedAbove(editor, window_));
    EXPECT_TRUE(has("_NET_WM_STATE_SKIP_TASKBAR"));
}

}  // namespace
}  // namespace morvelin
