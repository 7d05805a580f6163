#include "tests/support/x_server_start.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include <X11/Xlib.h>

namespace halvenor::test {

std::string startXServer(Subprocess& server, std::vector<std::string> argv, SpawnOptions options) {
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error(argv.at(0) + ": pipe failed");
    const std::string program = argv.at(0);
    argv.insert(argv.begin() + 1, {"-displayfd", std::to_string(fds[1])});
    options.inheritFds.push_back(fds[1]);
    try {
        server = Subprocess(argv, options);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    // The server writes the display number once it accepts connections.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char c;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fds[0], POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        if (read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        server.stop();
        throw std::runtime_error(program + " did not start");
    }
    const std::string display = ":" + number;
    const bool answers = waitUntil(
        [&] {
            return runCommand({"xdpyinfo", "-display", display}).exitCode == 0;
        },
        std::chrono::seconds(10));
    if (!answers) {
        server.stop();
        throw std::runtime_error(program + ": display " + display + " does not answer");
    }
    return display;
}

long windowManagerDelayMs() {
    const char* text = std::getenv("HALVENOR_TEST_WM_DELAY_MS");
    return text ? std::max(0L, std::strtol(text, nullptr, 10)) : 0;
}

Subprocess startWindowManager(const std::string& display, const std::string& readyProperty,
                              const std::string& readyText, long delayMs) {
    SpawnOptions options;
    options.quiet = true;
    options.env = {{"DISPLAY", display}};
    if (delayMs > 0) {
        options.env["LD_PRELOAD"] = HALVENOR_LATE_WINDOW_MANAGER;
        options.env["HALVENOR_TEST_WM_DELAY_MS"] = std::to_string(delayMs);
    }
    Subprocess windowManager({"openbox", "--sm-disable"}, options);
    const bool ready = waitUntil(
        [&] {
            return runCommand({"xprop", "-display", display, "-root", readyProperty})
                       .output.find(readyText) != std::string::npos;
        },
        std::chrono::seconds(10));
    if (!ready)
        throw std::runtime_error("openbox on " + display + " did not set " + readyProperty);
    Display* connection = XOpenDisplay(display.c_str());
    if (!connection)
        throw std::runtime_error("openbox: cannot open " + display);
    const Window probe =
        XCreateSimpleWindow(connection, DefaultRootWindow(connection), 0, 0, 10, 10, 0, 0, 0);
    const auto viewable = [&] {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(connection, probe, &attributes) &&
               attributes.map_state == IsViewable;
    };
    const bool maps = waitUntil(
        [&] {
            XMapWindow(connection, probe);
            XSync(connection, False);
            return waitUntil(viewable, std::chrono::milliseconds(200));
        },
        std::chrono::seconds(10));
    XDestroyWindow(connection, probe);
    XCloseDisplay(connection);
    if (!maps)
        throw std::runtime_error("openbox on " + display + " does not map windows");
    return windowManager;
}

}  // namespace halvenor::test
