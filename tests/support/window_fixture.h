#pragma once
// Fixtures for tests on a private X server, each test in its own process: windows opened in
// this process (PrivateDisplayTest), or the real program started on the display (ProgramTest).
// A second X client reads window state back in both.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_client.h"
#include "tests/support/xvfb_server.h"

namespace halvenor::test {

// The window class of the program's HUD.
inline constexpr const char* kHudClass = "MorvelinDeskOverlay";

// The session log the program keeps in its app-data folder (LOCALAPPDATA).
inline std::string sessionLog(const std::filesystem::path& appData) {
    return readFile(appData / "MorvelinDesk" / "session.log");
}

// Windows opened in this process: DISPLAY points at the private server (an XvfbServer, or
// another server with display() and startWindowManager()) and LOCALAPPDATA at a fresh folder,
// where the session log goes, while the fixture lives.
template <typename Server = XvfbServer>
class PrivateDisplayTest : public ::testing::Test {
protected:
    template <typename... ServerArgs>
    explicit PrivateDisplayTest(ServerArgs&&... serverArgs)
        : server_(std::forward<ServerArgs>(serverArgs)...),
          display_("DISPLAY", server_.display().c_str()),
          appData_("LOCALAPPDATA", logDir_.path().c_str()),
          client_(server_.display()) {}

    void xdotool(const std::vector<std::string>& args) {
        halvenor::test::xdotool(server_.display(), args);
    }

    std::string log() const { return sessionLog(logDir_.path()); }

    Server server_;
    TempDir logDir_;
    ScopedEnv display_;
    ScopedEnv appData_;
    X11TestClient client_;
};

// The HUD's place on screen and its pixels there, as the X server has them.
struct HudPicture {
    X11TestClient::Geometry at{};
    std::vector<std::uint8_t> pixels;
    bool operator==(const HudPicture&) const = default;
    // More than one colour: a frame has been drawn.
    bool painted() const {
        return std::any_of(pixels.begin(), pixels.end(),
                           [&](std::uint8_t byte) { return byte != pixels.front(); });
    }
};

// The real program on the private server, with an app-data folder of its own.
class ProgramTest : public ::testing::Test {
protected:
    explicit ProgramTest(const std::string& appDataPrefix = "halvenor-test")
        : appData_(appDataPrefix), client_(xvfb_.display()) {}

    // DISPLAY and LOCALAPPDATA for the program.
    std::map<std::string, std::string> env() const {
        return {{"DISPLAY", xvfb_.display()}, {"LOCALAPPDATA", appData_.path().string()}};
    }

    // Starts the program with env() and `extra` (which wins over it) and waits for its HUD to
    // be on screen: a sanitizer build started beside a dozen others compiles its shaders on a
    // machine with every core taken. Returns the HUD, or None when it did not appear. The
    // program's output goes nowhere: it must not hold the test's pipes open should the test
    // die before it.
    Window launch(const std::string& binary, const std::map<std::string, std::string>& extra,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        SpawnOptions options;
        options.quiet = true;
        options.env = env();
        for (const auto& [name, value] : extra)
            options.env[name] = value;
        program_ = Subprocess({binary}, options);
        return client_.waitForShownWindowOfClass(kHudClass, timeout);
    }

    void xdotool(const std::vector<std::string>& args) {
        halvenor::test::xdotool(xvfb_.display(), args);
    }

    // The HUD's picture on screen now.
    HudPicture hudPicture(Window hud) {
        const auto at = client_.geometry(hud);
        return {at, client_.screenPixels(at.x, at.y, at.width, at.height)};
    }

    // Waits until the HUD is drawn and holds still: its area shows more than one colour, and
    // its size and pixels are the same in three looks a quarter of a second apart (the first
    // frames choose the tab and the window's height). With `before`, the picture must also
    // differ from it: what a change on screen waits for.
    bool waitUntilDrawn(Window hud, const HudPicture& before = {},
                        std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        HudPicture last;
        int same = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            HudPicture picture = hudPicture(hud);
            same = picture.painted() && picture != before && picture == last ? same + 1 : 0;
            if (same == 2)
                return true;
            last = std::move(picture);
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        return false;
    }

    // Clicks at a point of the HUD (window coordinates) the way a hand does: the pointer rests
    // there for a few frames before the button goes down. SDL reads the pointer position from
    // the motion event, and Dear ImGui takes a click on a widget that the previous frame saw
    // another widget hovered for as a click on that other one's overlap.
    void clickHud(Window hud, int x, int y) {
        const auto origin = client_.geometry(hud);
        xdotool({"mousemove", std::to_string(origin.x + x), std::to_string(origin.y + y)});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        xdotool({"click", "1"});
    }

    // Taps a point of the HUD the way a touch screen or a remote desktop does: the pointer
    // jumps there and the button goes down and up at once.
    void tapHud(Window hud, int x, int y) {
        const auto origin = client_.geometry(hud);
        xdotool({"mousemove", std::to_string(origin.x + x), std::to_string(origin.y + y), "click",
                 "1"});
    }

    std::string log() const { return sessionLog(appData_.path()); }

    // A picture of the whole screen for a person to look at, `folder`/`name`.png (an earlier
    // one of that name removed first); the root window never goes away.
    std::filesystem::path saveScreen(const std::filesystem::path& folder, const std::string& name) {
        std::filesystem::create_directories(folder);
        const std::filesystem::path file = folder / (name + ".png");
        std::filesystem::remove(file);
        runCommand({"import", "-display", xvfb_.display(), "-window", "root", file.string()},
                   std::chrono::seconds(20));
        return file;
    }

    XvfbServer xvfb_;
    TempDir appData_;
    X11TestClient client_;
    Subprocess program_;
};

}  // namespace halvenor::test
