// Two monitors side by side (Xephyr with two Xinerama heads): the HUD and the screenshot
// belong to the primary monitor, although the X screen spans both, and so does the
// _NET_WORKAREA of most window managers.

#include <gtest/gtest.h>

#include <png.h>

#include "platform/overlay_window.h"
#include "platform/screen_capture.h"
#include "tests/platform/hud_x_window.h"
#include "tests/support/text.h"
#include "tests/support/two_head_x_server.h"
#include "tests/support/window_fixture.h"

namespace morvelin {
namespace {

using halvenor::test::decodeBase64;
using halvenor::test::PrivateDisplayTest;
using halvenor::test::TwoHeadXServer;
using halvenor::test::waitUntil;
using namespace std::chrono_literals;
using platform_test::xWindow;

class TwoMonitors : public PrivateDisplayTest<TwoHeadXServer> {
protected:
    // An override-redirect window of one colour over one monitor.
    void paint(int x, unsigned long rgb) {
        ASSERT_NE(client_.showCover(x, 0, 1600, 1200, rgb), None);
    }
};

TEST_F(TwoMonitors, TheServerReallySpansBothHeads) {
    Display* d = client_.display();
    ASSERT_EQ(DisplayWidth(d, DefaultScreen(d)), 3200);
    ASSERT_EQ(DisplayHeight(d, DefaultScreen(d)), 1200);
}

TEST_F(TwoMonitors, HudOpensOnThePrimaryMonitorUnderAWindowManager) {
    server_.startWindowManager();
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    const auto rect = hud.windowRect();
    EXPECT_EQ(rect.left, 224);
    EXPECT_EQ(rect.top, 0);
    EXPECT_EQ(rect.right - rect.left, 1152);
    EXPECT_EQ(rect.bottom - rect.top, 1200 - 32);
    EXPECT_EQ(hud.workAreaBottom(), 1200);

    hud.show();
    const Window window = xWindow(hud);
    ASSERT_TRUE(waitUntil(
        [&] {
            hud.pumpMessages();
            return client_.viewable(window);
        },
        20s));
    ASSERT_TRUE(platform_test::pumpUntilTheWindowManagerCaughtUp(hud, client_));
    const auto geometry = client_.geometry(window);
    EXPECT_EQ(geometry.x, 224);
    EXPECT_EQ(geometry.width, 1152);
    EXPECT_LE(geometry.x + geometry.width, 1600) << "straddles the second monitor";
}

TEST_F(TwoMonitors, WorkAreaIsThePrimaryMonitorLessWhatPanelsReserve) {
    // A panel along the bottom of both monitors: the desktop-wide work area ends at 1160.
    client_.setRootCardinals("_NET_WORKAREA", {0, 0, 3200, 1160});
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    const auto rect = hud.windowRect();
    EXPECT_EQ(rect.left, 224);
    EXPECT_EQ(rect.right - rect.left, 1152);
    EXPECT_EQ(rect.bottom - rect.top, 1128);
    EXPECT_EQ(hud.workAreaBottom(), 1160);
}

TEST_F(TwoMonitors, ScreenshotIsThePrimaryMonitorOnly) {
    paint(0, 0xC02010);     // primary: red
    paint(1600, 0x1040E0);  // second monitor: blue
    const auto result = captureScreenshot({0, 320});
    ASSERT_TRUE(result.shot) << result.error;
    EXPECT_EQ(result.shot->thumbWidth, 320);
    EXPECT_EQ(result.shot->thumbHeight, 240);

    const auto png = decodeBase64(result.shot->pngBase64);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size()));
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    ASSERT_EQ(image.width, 1600u);
    ASSERT_EQ(image.height, 1200u);
    for (std::size_t i = 0; i < rgb.size(); i += 3 * 997) {
        ASSERT_EQ(rgb[i], 0xC0) << "pixel " << i / 3;
        ASSERT_EQ(rgb[i + 1], 0x20);
        ASSERT_EQ(rgb[i + 2], 0x10);
    }
}

}  // namespace
}  // namespace morvelin
