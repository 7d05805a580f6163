#include "platform/render_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include <SDL.h>
#include <SDL_opengl.h>

#include "platform/overlay_window.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb_server.h"

namespace morvelin {
namespace {

using halvenor::test::ScopedEnv;
using halvenor::test::XvfbServer;

class RenderDeviceTest : public ::testing::Test {
protected:
    RenderDeviceTest() : display_("DISPLAY", xvfb_.display().c_str()) {}

    void SetUp() override {
        ASSERT_EQ(window_.create("Halvenor"), "");
        ASSERT_EQ(device_.create(window_), "");
    }

    XvfbServer xvfb_;
    ScopedEnv display_;
    OverlayWindow window_;
    RenderDevice device_;
};

TEST_F(RenderDeviceTest, ThumbnailTexturesHoldTheirPixels) {
    const std::vector<std::uint8_t> bgra = {1, 2, 3, 255, 4,  5,  6,  255,
                                            7, 8, 9, 128, 10, 11, 12, 0};
    const RenderDevice::Texture texture = device_.createTexture(bgra, 2, 2);
    ASSERT_TRUE(texture);
    glBindTexture(GL_TEXTURE_2D,
                  static_cast<GLuint>(reinterpret_cast<std::uintptr_t>(texture.id())));
    std::vector<std::uint8_t> back(16);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_BGRA, GL_UNSIGNED_BYTE, back.data());
    EXPECT_EQ(back, bgra);

    EXPECT_FALSE(device_.createTexture(bgra, 0, 2));
    EXPECT_FALSE(device_.createTexture(bgra, 2, -1));
    EXPECT_FALSE(device_.createTexture(bgra, 3, 2)) << "fewer bytes than 3 x 2 pixels";
}

TEST_F(RenderDeviceTest, PresentHoldsTheLoopToTheDisplayRateWithoutVsync) {
    using Milliseconds = std::chrono::duration<double, std::milli>;
    window_.show();
    std::vector<double> periods;
    auto last = std::chrono::steady_clock::now();
    const auto start = last;
    for (int frame = 0; frame < 30; ++frame) {
        window_.pumpMessages();
        ASSERT_EQ(device_.present(), "");
        const auto now = std::chrono::steady_clock::now();
        periods.push_back(Milliseconds(now - last).count());
        last = now;
    }
    // Xvfb refuses vsync; 30 frames at its nominal 60 Hz take about half a second, never
    // less. A busy machine stretches some frames, not the quicker half of them: a loop held
    // longer than a period shows in every frame.
    EXPECT_GE(last - start, std::chrono::milliseconds(450));
    std::sort(periods.begin(), periods.end());
    EXPECT_LT(periods[periods.size() / 4], 25.0) << "the quickest quarter of the frames";
}

}  // namespace
}  // namespace morvelin
