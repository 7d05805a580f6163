// Screen capture costs: the whole captureScreenshot at 1920x1080 on a private X server
// (target: well under 200 ms), and its parts on pixels in memory.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "platform/screen_capture.h"
#include "tests/support/x11_test_client.h"
#include "tests/support/xvfb_server.h"

namespace {

// Something like a desktop: soft gradients, flat panels and lines of text-sized noise, which
// compresses about as well (or badly) as a real screen.
std::vector<std::uint8_t> desktopLike(int width, int height) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    std::mt19937 random(7);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
            p[0] = static_cast<std::uint8_t>(40 + x * 60 / width);
            p[1] = static_cast<std::uint8_t>(30 + y * 50 / height);
            p[2] = 35;
        }
    }
    for (int panel = 0; panel < 12; ++panel) {
        const int x0 = static_cast<int>(random() % (width - 500)),
                  y0 = static_cast<int>(random() % (height - 400));
        const std::uint8_t shade = static_cast<std::uint8_t>(200 + random() % 55);
        for (int y = y0; y < y0 + 400; ++y) {
            for (int x = x0; x < x0 + 500; ++x) {
                std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
                p[0] = p[1] = p[2] = shade;
                // Text lines: 14-pixel rows, glyph-sized speckles.
                if ((y - y0) % 18 < 12 && (x - x0) > 10 && random() % 3 == 0)
                    p[0] = p[1] = p[2] = 30;
            }
        }
    }
    return pixels;
}

// One Xvfb for the whole run, showing the desktop-like picture in a window over the root.
class Screen {
public:
    Screen() : xvfb_(1920, 1080), client_(xvfb_.display()) {
        setenv("DISPLAY", xvfb_.display().c_str(), 1);
        pixels_ = desktopLike(1920, 1080);
        client_.putPixels(client_.showCover(0, 0, 1920, 1080), pixels_.data(), 1920, 1080);
    }

private:
    halvenor::test::XvfbServer xvfb_;
    halvenor::test::X11TestClient client_;
    std::vector<std::uint8_t> pixels_;
};

void BM_CaptureScreenshot1080p(benchmark::State& state) {
    static Screen screen;
    std::size_t base64Size = 0;
    for (auto _ : state) {
        const auto result = morvelin::captureScreenshot({1920, 320});
        if (!result.shot) {
            state.SkipWithError(result.error.c_str());
            return;
        }
        base64Size = result.shot->pngBase64.size();
    }
    state.counters["base64_KB"] = static_cast<double>(base64Size / 1024);
}
BENCHMARK(BM_CaptureScreenshot1080p)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_EncodePng(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = width * 9 / 16;
    const auto pixels = desktopLike(width, height);
    int outWidth = 0, outHeight = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            morvelin::encodePng(pixels.data(), width, height, 1920, outWidth, outHeight));
}
// 1920: encoded as is; 2560: scaled to 1920 first.
BENCHMARK(BM_EncodePng)->Arg(1920)->Arg(2560)->Unit(benchmark::kMillisecond);

void BM_MakeThumbnail(benchmark::State& state) {
    const auto pixels = desktopLike(1920, 1080);
    for (auto _ : state) {
        morvelin::Screenshot shot;
        benchmark::DoNotOptimize(morvelin::makeThumbnail(pixels.data(), 1920, 1080, 320, shot));
    }
}
BENCHMARK(BM_MakeThumbnail)->Unit(benchmark::kMillisecond);

}  // namespace
