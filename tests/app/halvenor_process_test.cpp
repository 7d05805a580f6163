// The real program under a private X server without a window manager.

#include <gtest/gtest.h>

#include <unistd.h>
#include <fstream>
#include <sstream>

#include "platform/screen_capture.h"
#include "platform/single_instance.h"
#include "tests/support/window_fixture.h"

namespace {

using halvenor::test::kHudClass;
using halvenor::test::ProgramTest;
using halvenor::test::runCommand;
using halvenor::test::ScopedEnv;
using halvenor::test::waitUntil;
using namespace std::chrono_literals;

// CPU time (user + system, all threads) of a process in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class HalvenorProcess : public ProgramTest {
protected:
    // Starts the program and waits for its HUD to be on screen.
    Window start(const std::map<std::string, std::string>& extra = {}) {
        const Window hud = launch(HALVENOR_BINARY, extra);
        EXPECT_NE(hud, None) << "the HUD did not appear";
        return hud;
    }
};

TEST_F(HalvenorProcess, ShowsTheHudAtTheTopWithoutTakingTheFocusAndEndsOnSigterm) {
    const Window hud = start();
    ASSERT_NE(hud, None);
    const auto geometry = client_.geometry(hud);
    EXPECT_EQ(geometry.x, 269);
    EXPECT_EQ(geometry.y, 0);
    EXPECT_EQ(geometry.width, 1382);
    EXPECT_EQ(geometry.height, 1048);
    EXPECT_EQ(client_.opacityByte(hud), 247);
    // Without a window manager SDL focuses the window it maps; the HUD gives the focus back
    // right after, which a test that sees the HUD mapped can still be ahead of.
    EXPECT_TRUE(waitUntil([&] { return client_.focus() != hud; }, 5s));
    const auto wmClass =
        runCommand({"xprop", "-display", xvfb_.display(), "-id", std::to_string(hud), "WM_CLASS"});
    EXPECT_NE(wmClass.output.find("\"MorvelinDeskOverlay\""), std::string::npos) << wmClass.output;
    EXPECT_NE(
        log().find(
            "SetWindowDisplayAffinity(0x11) failed: capture exclusion is not supported on X11"),
        std::string::npos);

    EXPECT_EQ(program_.stop(SIGTERM, 10s), 0);
}

TEST_F(HalvenorProcess, FramesFillTheHudWithItsBackgroundColour) {
    const Window hud = start();
    ASSERT_NE(hud, None);
    ScopedEnv display("DISPLAY", xvfb_.display().c_str());
    // The first frames may still be on their way, and the idle HUD shrinks to fit its empty
    // answer card: wait until the HUD's padding is painted and its height has settled.
    morvelin::Screenshot shot;
    int height = 0;
    const bool painted = waitUntil(
        [&] {
            const auto result = morvelin::captureScreenshot({0, 1920});
            if (!result.shot)
                return false;
            shot = *result.shot;
            const int now = client_.geometry(hud).height;
            const bool settled = now == height;
            height = now;
            const std::uint8_t* corner = &shot.thumbBgra[(3 * 1920 + 272) * 4];
            return settled && corner[2] == 17 && corner[1] == 19 && corner[0] == 23;
        },
        10s);
    EXPECT_TRUE(painted);
    EXPECT_GT(height, 300);
    EXPECT_LT(height, 1048);
    const auto pixel = [&](int x, int y) {
        return &shot.thumbBgra[(static_cast<std::size_t>(y) * 1920 + x) * 4];
    };
    // Inside the HUD (x 269..1650): the window colour (0.067, 0.075, 0.090) at its corners.
    for (const auto& [x, y] : {std::pair{269, 0}, {1650, height - 1}, {269, height - 1}}) {
        EXPECT_EQ(pixel(x, y)[2], 17) << x << "," << y;
        EXPECT_EQ(pixel(x, y)[1], 19);
        EXPECT_EQ(pixel(x, y)[0], 23);
    }
    // Outside it: the bare root window.
    for (const auto& [x, y] : {std::pair{268, 0}, {1651, 200}, {960, height}})
        EXPECT_EQ(pixel(x, y)[2], 0) << x << "," << y;
}

TEST_F(HalvenorProcess, CloseRequestEndsTheProgramNormally) {
    const Window hud = start();
    ASSERT_NE(hud, None);
    client_.sendDeleteWindow(hud);
    EXPECT_EQ(program_.wait(10s), 0);
}

TEST_F(HalvenorProcess, CtrlAltHHidesAndShowsTheHud) {
    const Window hud = start();
    ASSERT_NE(hud, None);
    xdotool({"key", "ctrl+alt+h"});
    EXPECT_TRUE(waitUntil([&] { return !client_.viewable(hud); }, 5s));
    xdotool({"key", "ctrl+alt+h"});
    EXPECT_TRUE(waitUntil([&] { return client_.viewable(hud); }, 5s));
    EXPECT_NE(client_.focus(), hud);
}

TEST_F(HalvenorProcess, SecondStartShowsTheFirstAndExits) {
    const Window hud = start();
    ASSERT_NE(hud, None);
    xdotool({"key", "ctrl+alt+h"});
    ASSERT_TRUE(waitUntil([&] { return !client_.viewable(hud); }, 5s));

    const auto second = runCommand({HALVENOR_BINARY}, 10s, env());
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return client_.viewable(hud); }, 5s));
    EXPECT_EQ(client_.windowsOfClass(kHudClass).size(), 1u);
    EXPECT_NE(client_.focus(), hud);
    EXPECT_TRUE(program_.running());
}

TEST_F(HalvenorProcess, SecondStartExitsWhenTheFirstDoesNotAnswer) {
    // This test holds the lock itself and never serves it, like a first instance that hangs.
    ScopedEnv display("DISPLAY", xvfb_.display().c_str());
    morvelin::SingleInstance holder;
    ASSERT_TRUE(holder.acquired());
    const auto second = runCommand({HALVENOR_BINARY}, 10s, env());
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(client_.windowsOfClass(kHudClass).empty());
}

TEST_F(HalvenorProcess, TakenShowHideHotkeyIsLoggedAndStartUpGoesOn) {
    ASSERT_TRUE(client_.grabKey(XK_h, ControlMask | Mod1Mask));
    const Window hud = start();
    ASSERT_NE(hud, None);
    const std::string text = log();
    EXPECT_NE(text.find("RegisterHotKey(id 20546) failed (0x0000000A: BadAccess"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Ctrl+Alt+H is taken by another app: hiding the HUD is disabled"),
              std::string::npos);
    xdotool({"key", "ctrl+alt+h"});
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(client_.viewable(hud));
}

TEST_F(HalvenorProcess, WithoutADisplayTheFailureIsReportedAndTheExitCodeIsOne) {
    std::map<std::string, std::string> noDisplay = env();
    noDisplay.erase("DISPLAY");
    const auto result =
        runCommand({"sh", "-c", "unset DISPLAY WAYLAND_DISPLAY; exec \"$0\" 2>&1", HALVENOR_BINARY},
                   10s, noDisplay);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("SDL_InitSubSystem(SDL_INIT_VIDEO) failed ("), std::string::npos)
        << result.output;
    EXPECT_NE(log().find("SDL_InitSubSystem(SDL_INIT_VIDEO) failed ("), std::string::npos);
}

TEST_F(HalvenorProcess, CaptureProtectionIsSwitchedOffOnlyByShortValuesStartingWithZero) {
    const auto switchedOff = [&](const char* value) {
        const auto result = [&] {
            start({{"MORVELIN_CAPTURE_PROTECTION", value}});
            const bool off = log().find("capture protection off") != std::string::npos;
            program_.stop(SIGTERM, 10s);
            return off;
        }();
        return result;
    };
    EXPECT_TRUE(switchedOff("0"));
    EXPECT_TRUE(switchedOff("07"));
    EXPECT_TRUE(switchedOff("0abc"));
    EXPECT_FALSE(switchedOff("1"));
    EXPECT_FALSE(switchedOff(""));
    EXPECT_FALSE(switchedOff("00000000"));
}

TEST_F(HalvenorProcess, IdleCostIsSmallWhileVisibleAndNearZeroWhileHidden) {
    const Window hud = start();
    ASSERT_NE(hud, None);
    std::this_thread::sleep_for(500ms);
    double before = cpuSeconds(program_.pid());
    std::this_thread::sleep_for(5s);
    const double visible = (cpuSeconds(program_.pid()) - before) / 5.0;
    // An idle HUD draws the same frame again and again; none of them is rasterised again.
    EXPECT_LT(visible, 0.35) << "cores used while visible";

    xdotool({"key", "ctrl+alt+h"});
    ASSERT_TRUE(waitUntil([&] { return !client_.viewable(hud); }, 5s));
    std::this_thread::sleep_for(300ms);
    before = cpuSeconds(program_.pid());
    std::this_thread::sleep_for(5s);
    const double hidden = (cpuSeconds(program_.pid()) - before) / 5.0;
    EXPECT_LT(hidden, 0.03) << "cores used while hidden";
    RecordProperty("visible_cores", std::to_string(visible));
    RecordProperty("hidden_cores", std::to_string(hidden));
    std::printf("idle cost: visible %.3f cores, hidden %.4f cores\n", visible, hidden);
}

}  // namespace
