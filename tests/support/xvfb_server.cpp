#include "tests/support/xvfb_server.h"

#include <poll.h>
#include <unistd.h>
#include <stdexcept>
#include <string>

#include <X11/Xlib.h>

namespace halvenor::test {

XvfbServer::XvfbServer(int width, int height) {
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("XvfbServer: pipe failed");
    SpawnOptions options;
    options.quiet = true;
    options.inheritFds = {fds[1]};
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    try {
        process_ = Subprocess({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen,
                               "-nolisten", "tcp", "-noreset"},
                              options);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char c;
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd pfd {
            fds[0], POLLIN, 0
        };
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        if (read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        process_.stop();
        throw std::runtime_error("XvfbServer: Xvfb did not start");
    }
    display_ = ":" + number;
    const bool answers = waitUntil(
        [&] {
            return runCommand({"xdpyinfo", "-display", display_}).exitCode == 0;
        },
        std::chrono::seconds(10));
    if (!answers) {
        process_.stop();
        throw std::runtime_error("XvfbServer: display " + display_ + " does not answer");
    }
}

XvfbServer::~XvfbServer() {
    windowManager_.stop();
    process_.stop();
}

void XvfbServer::startWindowManager() {
    SpawnOptions options;
    options.quiet = true;
    options.env = env();
    windowManager_ = Subprocess({"openbox", "--sm-disable"}, options);
    // openbox announces itself (_NET_SUPPORTING_WM_CHECK on the root window) before it
    // handles map requests, and a request in between is lost: ready means it has announced
    // itself and a probe window then does get mapped.
    const bool announced = waitUntil(
        [&] {
            return runCommand({"xprop", "-display", display_, "-root", "_NET_SUPPORTING_WM_CHECK"})
                       .output.find("window id") != std::string::npos;
        },
        std::chrono::seconds(10));
    if (!announced)
        throw std::runtime_error("XvfbServer: openbox did not start");
    Display* display = XOpenDisplay(display_.c_str());
    if (!display)
        throw std::runtime_error("XvfbServer: cannot open " + display_);
    const Window probe =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
    const auto viewable = [&] {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(display, probe, &attributes) &&
               attributes.map_state == IsViewable;
    };
    const bool ready = waitUntil(
        [&] {
            XMapWindow(display, probe);
            XSync(display, False);
            return waitUntil(viewable, std::chrono::milliseconds(200));
        },
        std::chrono::seconds(10));
    XDestroyWindow(display, probe);
    XCloseDisplay(display);
    if (!ready)
        throw std::runtime_error("XvfbServer: openbox does not map windows");
}

}  // namespace halvenor::test
