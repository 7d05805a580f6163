#pragma once
// A desktop of two monitors side by side for one test process: Xephyr with two screens
// joined by Xinerama ("+xinerama -screen WxH -screen WxH"), shown inside a private Xvfb.
// Clients see one X screen twice as wide, with two Xinerama heads; Xephyr's RandR only
// describes the first head and names no primary output, as many real two-head setups do.

#include <map>
#include <string>

#include "tests/support/process.h"
#include "tests/support/window_manager.h"
#include "tests/support/xvfb_server.h"

namespace halvenor::test {

class TwoHeadXServer {
public:
    // Throws std::runtime_error when Xephyr does not come up within 10 s. Xephyr's RandR output
    // lists a fixed table of modes, 1600x1200 first, whatever size its heads are given; a
    // window manager that sets the monitors up itself (mutter) switches the output to that
    // first mode and the screen to its size, which leaves one head. Heads of that size are
    // left as they are.
    explicit TwoHeadXServer(int headWidth = 1600, int headHeight = 1200);
    ~TwoHeadXServer();
    TwoHeadXServer(const TwoHeadXServer&) = delete;
    TwoHeadXServer& operator=(const TwoHeadXServer&) = delete;

    // ":N" of the two-head server (not of the Xvfb that shows it).
    const std::string& display() const { return display_; }
    std::map<std::string, std::string> env() const { return {{"DISPLAY", display_}}; }

    // Starts the window manager HALVENOR_TEST_WM names on the two-head display and returns
    // once it has published its work area (which spans both heads; see
    // WindowManagerReady::WorkAreaPublished) and maps windows. Throws std::runtime_error
    // otherwise.
    void startWindowManager(long delayMs = windowManagerDelayMs());

private:
    XvfbServer host_;
    Subprocess xephyr_;
    WindowManager windowManager_;
    std::string display_;
};

}  // namespace halvenor::test
