#pragma once
// A private X server for one test process: Xvfb picks a free display number itself
// (-displayfd), so parallel test processes never share a display or its key grabs.

#include <string>

#include "tests/support/process.h"
#include "tests/support/window_manager.h"

namespace halvenor::test {

class XvfbServer {
public:
    // Starts "Xvfb -screen 0 {width}x{height}x24 -nolisten tcp" and waits until it answers.
    // Throws std::runtime_error when it does not come up within 10 s.
    explicit XvfbServer(int width = 1920, int height = 1080);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N"
    const std::string& display() const { return display_; }
    pid_t pid() const { return process_.pid(); }
    bool running() { return process_.running(); }
    // Environment for child processes that should use this display.
    std::map<std::string, std::string> env() const { return {{"DISPLAY", display_}}; }

    // Starts the window manager HALVENOR_TEST_WM names (openbox by default) on this display,
    // for tests that need stacking or focus, and returns once it maps windows. Throws
    // std::runtime_error when it does not (tests/support/window_manager.h).
    void startWindowManager(long delayMs = windowManagerDelayMs());
    const WindowManager& windowManager() const { return windowManager_; }

private:
    Subprocess process_;
    WindowManager windowManager_;
    std::string display_;
};

}  // namespace halvenor::test
