#pragma once
// The window managers the tests run beside: HALVENOR_TEST_WM names one (openbox when unset).
// Each runs in a folder of its own as its home, configuration, data, cache and runtime folder,
// so no user's settings are read or written, with a configuration that reserves no screen
// space (no toolbar, panel or bar) and grabs none of the program's hotkeys. Those that want a
// session bus get a private one.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace halvenor::test {

// The names HALVENOR_TEST_WM may hold, the default first.
std::vector<std::string> knownWindowManagers();

// HALVENOR_TEST_WM, or "openbox" when it is unset or empty.
std::string windowManagerName();

class WindowManager {
public:
    WindowManager() = default;
    // Starts the window manager `name` on the display, each event it reads handled `delayMs`
    // late when that is above 0 (tests/support/late_window_manager.c), and returns once it
    // runs; whether it is ready is the caller's to wait for (startWindowManager). Throws
    // std::runtime_error for a name it does not know (listing those it knows) or when the
    // program or its bus cannot be started.
    WindowManager(const std::string& name, const std::string& display, long delayMs);
    ~WindowManager();
    WindowManager(WindowManager&&) noexcept = default;
    WindowManager& operator=(WindowManager&& other) noexcept;

    const std::string& name() const { return name_; }
    pid_t pid() const { return process_.pid(); }
    bool running() { return process_.running(); }
    // How long it may take to be ready: a compositing window manager compiles its shaders on
    // the software rasteriser first.
    std::chrono::milliseconds startLimit() const { return startLimit_; }
    // Whether it publishes _NET_WORKAREA when nothing reserves space; some announce a work
    // area only once a panel cuts it.
    bool publishesWholeWorkArea() const { return publishesWholeWorkArea_; }

    // Stops the window manager, then its bus.
    void stop();

private:
    std::string name_;
    std::chrono::milliseconds startLimit_{0};
    bool publishesWholeWorkArea_ = true;
    std::unique_ptr<TempDir> folder_;
    Subprocess bus_;
    Subprocess process_;
};

// How late the window manager handles each event it reads, in ms: HALVENOR_TEST_WM_DELAY_MS,
// 0 when unset. A late window manager is what a loaded desktop has; the suite must pass with it.
long windowManagerDelayMs();

// What a start waits for before its probe window.
enum class WindowManagerReady {
    Announced,          // _NET_SUPPORTING_WM_CHECK on the root window
    WorkAreaPublished,  // and _NET_WORKAREA, from those that publish one with nothing reserved
};

// Starts the window manager HALVENOR_TEST_WM names on the display, handling every event it reads
// `delayMs` late, and returns it once it is `ready` and then a probe window does get mapped.
// Throws std::runtime_error otherwise, and when the running test's name lacks "WindowManager".
WindowManager startWindowManager(const std::string& display, WindowManagerReady ready,
                                 long delayMs = windowManagerDelayMs());

}  // namespace halvenor::test
