#include "platform/screen_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <png.h>

#include "tests/support/temp_dir.h"
#include "tests/support/text.h"
#include "tests/support/window_fixture.h"

namespace morvelin {
namespace {

using halvenor::test::decodeBase64;
using halvenor::test::PrivateDisplayTest;
using halvenor::test::ScopedEnv;

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bgr;  // 3 bytes per pixel
};

Image decodePng(const std::vector<std::uint8_t>& png) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Image out;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size()))
        return out;
    image.format = PNG_FORMAT_BGR;
    out.bgr.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.bgr.data(), 0, nullptr))
        return {};
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    return out;
}

// 160-pixel blocks of distinct colours with a little per-pixel detail in blue.
void patternPixel(int x, int y, std::uint8_t* bgrx) {
    const int bx = x / 160, by = y / 160;
    bgrx[0] = static_cast<std::uint8_t>(((bx + by) * 71 % 240) + ((x ^ y) & 7));
    bgrx[1] = static_cast<std::uint8_t>(by * 53 % 256);
    bgrx[2] = static_cast<std::uint8_t>(bx * 37 % 256);
    bgrx[3] = 0;
}

std::vector<std::uint8_t> pattern(int width, int height) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            patternPixel(x, y, &pixels[(static_cast<std::size_t>(y) * width + x) * 4]);
    return pixels;
}

std::vector<std::uint8_t> solid(int width, int height, std::uint8_t b, std::uint8_t g,
                                std::uint8_t r) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = b;
        pixels[i + 1] = g;
        pixels[i + 2] = r;
        pixels[i + 3] = 0x5A;  // the unused byte must not leak into the PNG
    }
    return pixels;
}

TEST(ScreenCaptureSizes, MulDivRoundsHalvesAwayFromZero) {
    EXPECT_EQ(mulDiv(1440, 1920, 2560), 1080);
    EXPECT_EQ(mulDiv(5, 1, 2), 3);
    EXPECT_EQ(mulDiv(-5, 1, 2), -3);
    EXPECT_EQ(mulDiv(4, 1, 3), 1);
    EXPECT_EQ(mulDiv(1, 1000, 4000), 0);
    EXPECT_EQ(mulDiv(7, 3, 0), -1);
    EXPECT_EQ(mulDiv(2'000'000'000, 3, 4), 1'500'000'000);  // no 32-bit overflow
}

TEST(ScreenCaptureSizes, WideScreensAreScaledDownNeverUp) {
    const auto big = solid(2560, 1440, 1, 2, 3);
    int w = 0, h = 0;
    auto png = encodePng(big.data(), 2560, 1440, 1920, w, h);
    ASSERT_TRUE(png.png) << png.error;
    EXPECT_EQ(w, 1920);
    EXPECT_EQ(h, 1080);
    EXPECT_EQ(decodePng(*png.png).width, 1920);

    const auto exact = solid(1920, 1080, 1, 2, 3);
    ASSERT_TRUE(encodePng(exact.data(), 1920, 1080, 1920, w, h).png);
    EXPECT_EQ(w, 1920);
    EXPECT_EQ(h, 1080);
    ASSERT_TRUE(encodePng(big.data(), 2560, 1440, 0, w, h).png);
    EXPECT_EQ(w, 2560);
    ASSERT_TRUE(encodePng(big.data(), 2560, 1440, -5, w, h).png);
    EXPECT_EQ(w, 2560);

    const auto stripe = solid(4000, 1, 9, 9, 9);
    png = encodePng(stripe.data(), 4000, 1, 1000, w, h);
    ASSERT_TRUE(png.png);
    EXPECT_EQ(w, 1000);
    EXPECT_EQ(h, 1);  // 0.25 rounds to 0, kept at one row
}

TEST(ScreenCaptureEncoding, PixelsSurviveThePngRoundTrip) {
    const auto pixels = pattern(333, 211);
    int w = 0, h = 0;
    const auto png = encodePng(pixels.data(), 333, 211, 0, w, h);
    ASSERT_TRUE(png.png) << png.error;
    ASSERT_EQ(std::memcmp(png.png->data(), "\x89PNG\r\n\x1a\n", 8), 0);
    EXPECT_EQ(png.png->at(25), 2) << "colour type RGB, no alpha";
    const Image image = decodePng(*png.png);
    ASSERT_EQ(image.width, 333);
    ASSERT_EQ(image.height, 211);
    for (std::size_t i = 0, j = 0; i < pixels.size(); i += 4, j += 3) {
        ASSERT_EQ(image.bgr[j], pixels[i]) << "pixel " << i / 4;
        ASSERT_EQ(image.bgr[j + 1], pixels[i + 1]);
        ASSERT_EQ(image.bgr[j + 2], pixels[i + 2]);
    }
}

TEST(ScreenCaptureEncoding, ScalingAveragesTheCoveredArea) {
    // Alternating black and white columns halve to mid grey; a solid colour stays itself.
    std::vector<std::uint8_t> stripes(8 * 2 * 4, 0);
    for (int y = 0; y < 2; ++y)
        for (int x = 1; x < 8; x += 2)
            std::memset(&stripes[(y * 8 + x) * 4], 255, 3);
    int w = 0, h = 0;
    auto png = encodePng(stripes.data(), 8, 2, 4, w, h);
    ASSERT_TRUE(png.png);
    const Image grey = decodePng(*png.png);
    ASSERT_EQ(grey.width, 4);
    ASSERT_EQ(grey.height, 1);
    for (std::uint8_t value : grey.bgr)
        EXPECT_NEAR(value, 128, 1);

    const auto teal = solid(1000, 600, 200, 150, 10);
    png = encodePng(teal.data(), 1000, 600, 333, w, h);
    ASSERT_TRUE(png.png);
    const Image small = decodePng(*png.png);
    ASSERT_EQ(small.width, 333);
    ASSERT_EQ(small.height, 200);
    for (std::size_t j = 0; j < small.bgr.size(); j += 3) {
        ASSERT_EQ(small.bgr[j], 200);
        ASSERT_EQ(small.bgr[j + 1], 150);
        ASSERT_EQ(small.bgr[j + 2], 10);
    }
}

TEST(ScreenCaptureThumbnail, IsAtMostTheMaximumWideOpaqueBgra) {
    Screenshot shot;
    const auto pixels = pattern(2560, 1440);
    ASSERT_TRUE(makeThumbnail(pixels.data(), 2560, 1440, 320, shot));
    EXPECT_EQ(shot.thumbWidth, 320);
    EXPECT_EQ(shot.thumbHeight, 180);
    ASSERT_EQ(shot.thumbBgra.size(), 320u * 180 * 4);
    // Each thumbnail pixel lies inside one 160-pixel block: its colour, blue detail averaged.
    const auto at = [&](int x, int y) {
        return &shot.thumbBgra[(static_cast<std::size_t>(y) * 320 + x) * 4];
    };
    std::uint8_t expected[4];
    patternPixel(5 * 160 + 80, 3 * 160 + 80, expected);
    const std::uint8_t* p = at(5 * 20 + 10, 3 * 20 + 10);
    EXPECT_NEAR(p[0], expected[0], 4);
    EXPECT_EQ(p[1], expected[1]);
    EXPECT_EQ(p[2], expected[2]);
    EXPECT_EQ(p[3], 255);

    // Narrower than the maximum: full size, the same pixels.
    Screenshot narrow;
    const auto little = pattern(200, 100);
    ASSERT_TRUE(makeThumbnail(little.data(), 200, 100, 320, narrow));
    EXPECT_EQ(narrow.thumbWidth, 200);
    EXPECT_EQ(narrow.thumbHeight, 100);
    EXPECT_EQ(narrow.thumbBgra[(57 * 200 + 31) * 4], little[(57 * 200 + 31) * 4]);

    Screenshot none;
    EXPECT_FALSE(makeThumbnail(little.data(), 200, 100, 0, none));
    EXPECT_TRUE(none.thumbBgra.empty());
    EXPECT_EQ(none.thumbWidth, 0);
    EXPECT_EQ(none.thumbHeight, 0);
}

// A 2560x1440 screen showing the test pattern in a window that covers it.
class ScreenCaptureOnX : public PrivateDisplayTest<> {
protected:
    ScreenCaptureOnX() : PrivateDisplayTest(2560, 1440) {}

    void showPattern() {
        const Window window = client_.showCover(0, 0, 2560, 1440);
        ASSERT_NE(window, None);
        pixels_ = pattern(2560, 1440);
        client_.putPixels(window, pixels_.data(), 2560, 1440);
    }

    std::vector<std::uint8_t> pixels_;
};

TEST_F(ScreenCaptureOnX, CapturesTheScreenScaledWithThumbnail) {
    showPattern();
    const auto result = captureScreenshot({1920, 320});
    ASSERT_TRUE(result.shot) << result.error;
    const Screenshot& shot = *result.shot;
    EXPECT_EQ(shot.width, 1920);
    EXPECT_EQ(shot.height, 1080);
    EXPECT_EQ(shot.thumbWidth, 320);
    EXPECT_EQ(shot.thumbHeight, 180);
    EXPECT_EQ(shot.thumbBgra.size(), 320u * 180 * 4);

    const Image image = decodePng(decodeBase64(shot.pngBase64));
    ASSERT_EQ(image.width, 1920);
    ASSERT_EQ(image.height, 1080);
    // Block centres keep their colour: each 160-pixel block became 120 pixels.
    for (int by = 0; by < 9; ++by) {
        for (int bx = 0; bx < 16; ++bx) {
            std::uint8_t expected[4];
            patternPixel(bx * 160 + 80, by * 160 + 80, expected);
            const std::uint8_t* p =
                &image.bgr[(static_cast<std::size_t>(by * 120 + 60) * 1920 + bx * 120 + 60) * 3];
            ASSERT_NEAR(p[0], expected[0], 5) << bx << "," << by;
            ASSERT_EQ(p[1], expected[1]) << bx << "," << by;
            ASSERT_EQ(p[2], expected[2]) << bx << "," << by;
        }
    }
}

TEST_F(ScreenCaptureOnX, UnscaledCaptureIsExact) {
    showPattern();
    const auto result = captureScreenshot({0, 0});
    ASSERT_TRUE(result.shot) << result.error;
    EXPECT_EQ(result.shot->thumbWidth, 0);
    EXPECT_TRUE(result.shot->thumbBgra.empty());
    const Image image = decodePng(decodeBase64(result.shot->pngBase64));
    ASSERT_EQ(image.width, 2560);
    ASSERT_EQ(image.height, 1440);
    for (std::size_t i = 0, j = 0; i < pixels_.size(); i += 4, j += 3) {
        ASSERT_EQ(image.bgr[j], pixels_[i]) << "pixel " << i / 4;
        ASSERT_EQ(image.bgr[j + 1], pixels_[i + 1]);
        ASSERT_EQ(image.bgr[j + 2], pixels_[i + 2]);
    }
}

TEST(ScreenCaptureWithoutDisplay, ReportsTheFailedStep) {
    ScopedEnv noDisplay("DISPLAY", nullptr);
    const auto result = captureScreenshot({});
    EXPECT_FALSE(result.shot);
    EXPECT_EQ(result.error, "XOpenDisplay failed (cannot open display \"\")");
}

}  // namespace
}  // namespace morvelin
