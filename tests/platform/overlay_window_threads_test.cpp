// The setters documented for any thread, called from a second thread while the UI thread
// pumps: with the HUD hidden, shown, and being destroyed. Built for ThreadSanitizer too,
// where any plain window member read on the second thread is a report.

#include "platform/overlay_window.h"
#include "platform/window_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include <SDL.h>

#include "tests/platform/hud_x_window.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb_server.h"

namespace morvelin {
namespace {

using halvenor::test::ScopedEnv;
using halvenor::test::TempDir;
using halvenor::test::waitUntil;
using halvenor::test::XvfbServer;
using namespace std::chrono_literals;
using platform_test::pumpUntil;

class OverlayWindowFromAnotherThread : public ::testing::Test {
protected:
    OverlayWindowFromAnotherThread()
        : display_("DISPLAY", xvfb_.display().c_str()),
          appData_("LOCALAPPDATA", logDir_.path().c_str()) {}

    // Runs `work` on a second thread and pumps the HUD's events until it has finished.
    template <typename Work>
    auto whilePumping(Work&& work) {
        auto done = std::async(std::launch::async, std::forward<Work>(work));
        while (done.wait_for(1ms) != std::future_status::ready)
            hud_.pumpMessages();
        hud_.pumpMessages();
        return done.get();
    }

    XvfbServer xvfb_;
    TempDir logDir_;
    ScopedEnv display_;
    ScopedEnv appData_;
    OverlayWindow hud_;
};

TEST_F(OverlayWindowFromAnotherThread, SettersArriveInOrderWhileHiddenAndShown) {
    ASSERT_EQ(hud_.create("Halvenor"), "");
    ASSERT_TRUE(hud_.clickThroughHotkeyRegistered());

    // Hidden: nothing changes until the UI thread pumps.
    std::thread([&] { hud_.show(); }).join();
    EXPECT_FALSE(hud_.isVisible());
    ASSERT_TRUE(pumpUntil(hud_, [&] { return hud_.isVisible(); }));

    // Shown: a burst of requests, interleaved with the UI thread's own calls; the last of
    // each kind wins and every sent request gets its answer.
    constexpr int kRounds = 200;
    const int answered = whilePumping([&] {
        int yes = 0;
        for (int i = 0; i < kRounds; ++i) {
            hud_.setClickThrough(i % 2 == 0);
            hud_.setVisible(i % 3 != 1);
            hud_.postShowRequest();
            if (hud_.exists() && hud_.setCaptureProtection(false))
                ++yes;
            (void)hud_.clickThrough();
            (void)hud_.captureProtected();
        }
        hud_.setVisible(true);
        return yes;
    });
    EXPECT_EQ(answered, kRounds);
    EXPECT_FALSE(hud_.clickThrough());  // round 199 asked for off
    EXPECT_TRUE(hud_.isVisible());
    EXPECT_EQ(hud_.lastError(), "");

    // Hidden again, click-through on: both requested from the other thread.
    whilePumping([&] {
        hud_.setVisible(false);
        hud_.setClickThrough(true);
    });
    EXPECT_FALSE(hud_.isVisible());
    EXPECT_TRUE(hud_.clickThrough());
    // Capture exclusion stays unavailable, whichever thread asks.
    EXPECT_FALSE(whilePumping([&] { return hud_.setCaptureProtection(true); }));
    EXPECT_EQ(hud_.lastError(), "capture exclusion is not supported on X11");
}

TEST_F(OverlayWindowFromAnotherThread, DestroyingTheWindowReleasesAWaitingSenderAndDropsTheRest) {
    ASSERT_EQ(hud_.create("Halvenor"), "");
    hud_.show();
    ASSERT_TRUE(pumpUntil(hud_, [&] { return hud_.isVisible(); }));

    // The UI thread closes the window instead of answering the request it is holding.
    std::atomic<bool> heldOne{false};
    std::atomic<int> carried{0};  // requests the UI thread has taken up
    hud_.setMessageHook([&](const SDL_Event& event) {
        const int captureRequest = static_cast<int>(WindowMessages::Message::SetCaptureProtection);
        if (event.type >= SDL_USEREVENT)
            ++carried;
        if (event.type < SDL_USEREVENT || event.user.code != captureRequest ||
            heldOne.exchange(true))
            return false;
        hud_.requestClose();
        return true;
    });
    // Meanwhile another thread keeps asking for changes, through the destruction and after.
    // Never more than a few dozen ahead of what the UI thread has taken up (each show or hide
    // waits for X), so the held request is not queued behind an ever longer backlog on a
    // slow machine.
    std::atomic<int> requests{0};
    std::jthread hammer([&](std::stop_token stop) {
        for (int i = 0; !stop.stop_requested(); ++i, ++requests) {
            while (!stop.stop_requested() && hud_.exists() && 3 * i - carried > 60)
                std::this_thread::sleep_for(1ms);
            hud_.setClickThrough(i % 2 == 0);
            hud_.setVisible(i % 2 == 1);
            hud_.show();
            (void)hud_.exists();
            std::this_thread::sleep_for(2ms);
        }
    });
    ASSERT_TRUE(pumpUntil(hud_, [&] { return requests > 50; }));
    auto sent = std::async(std::launch::async, [&] { return hud_.setCaptureProtection(false); });
    // Should a check below fail, keep pumping until the sender is released rather than hang
    // in the future's destructor.
    struct ReleaseSender {
        OverlayWindow& hud;
        std::future<bool>& sent;
        std::jthread& hammer;
        ~ReleaseSender() {
            hammer.request_stop();
            waitUntil(
                [&] {
                    hud.pumpMessages();
                    return !sent.valid() || sent.wait_for(0ms) == std::future_status::ready;
                },
                30s);
        }
    } releaseSender{hud_, sent, hammer};
    bool quit = false;
    ASSERT_TRUE(waitUntil(
        [&] {
            quit = quit || !hud_.pumpMessages();
            return quit && sent.wait_for(0ms) == std::future_status::ready;
        },
        10s));
    EXPECT_TRUE(heldOne);
    EXPECT_FALSE(sent.get());
    EXPECT_FALSE(hud_.exists());
    const int atClose = requests;
    ASSERT_TRUE(waitUntil([&] { return requests > atClose + 50; }, 5s));
    hammer.request_stop();
    hammer.join();
    hud_.setMessageHook({});
    const bool clickThroughAtClose = hud_.clickThrough();

    // Gone: every setter from the other thread is a no-op, and a send does not wait.
    const auto started = std::chrono::steady_clock::now();
    const bool protectedAfter = whilePumping([&] {
        hud_.show();
        hud_.setVisible(true);
        hud_.setClickThrough(!clickThroughAtClose);
        hud_.postShowRequest();
        return hud_.setCaptureProtection(false);
    });
    EXPECT_FALSE(protectedAfter);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_FALSE(hud_.isVisible());
    EXPECT_EQ(hud_.clickThrough(), clickThroughAtClose);
    EXPECT_FALSE(hud_.exists());
}

TEST_F(OverlayWindowFromAnotherThread, BeforeCreateNothingIsQueued) {
    // A listener thread may start before the window exists; its requests are dropped, not
    // carried out later on a window that never asked for them.
    std::thread([&] {
        hud_.show();
        hud_.postShowRequest();
        EXPECT_FALSE(hud_.setCaptureProtection(false));
    }).join();
    ASSERT_EQ(hud_.create("Halvenor"), "");
    const auto until = std::chrono::steady_clock::now() + 200ms;
    while (std::chrono::steady_clock::now() < until)
        hud_.pumpMessages();
    EXPECT_FALSE(hud_.isVisible());
}

}  // namespace
}  // namespace morvelin
