#include "tests/support/two_head_x_server.h"

#include <poll.h>
#include <unistd.h>

#include <stdexcept>

#include <X11/Xlib.h>

namespace halvenor::test {

TwoHeadXServer::TwoHeadXServer(int headWidth, int headHeight) : host_(2 * headWidth, headHeight) {
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("TwoHeadXServer: pipe failed");
    SpawnOptions options;
    options.quiet = true;
    options.env = host_.env();
    options.inheritFds = {fds[1]};
    const std::string head = std::to_string(headWidth) + "x" + std::to_string(headHeight);
    try {
        xephyr_ = Subprocess({"Xephyr", "-displayfd", std::to_string(fds[1]), "+xinerama",
                              "-screen", head, "-screen", head, "-nolisten", "tcp", "-noreset"},
                             options);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
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
        xephyr_.stop();
        throw std::runtime_error("TwoHeadXServer: Xephyr did not start");
    }
    display_ = ":" + number;
    const bool answers = waitUntil(
        [&] {
            return runCommand({"xdpyinfo", "-display", display_}).exitCode == 0;
        },
        std::chrono::seconds(10));
    if (!answers) {
        xephyr_.stop();
        throw std::runtime_error("TwoHeadXServer: display " + display_ + " does not answer");
    }
}

TwoHeadXServer::~TwoHeadXServer() {
    windowManager_.stop();
    xephyr_.stop();
}

void TwoHeadXServer::startWindowManager() {
    SpawnOptions options;
    options.quiet = true;
    options.env = env();
    windowManager_ = Subprocess({"openbox", "--sm-disable"}, options);
    // The spanning _NET_WORKAREA is what the test is about, so wait for it rather than for
    // openbox's announcement alone; then, as for Xvfb, until a probe window really maps.
    const bool published = waitUntil(
        [&] {
            return runCommand({"xprop", "-display", display_, "-root", "_NET_WORKAREA"})
                       .output.find(" = ") != std::string::npos;
        },
        std::chrono::seconds(10));
    if (!published)
        throw std::runtime_error("TwoHeadXServer: openbox did not publish a work area");
    Display* display = XOpenDisplay(display_.c_str());
    if (!display)
        throw std::runtime_error("TwoHeadXServer: cannot open " + display_);
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
        throw std::runtime_error("TwoHeadXServer: openbox does not map windows");
}

}  // namespace halvenor::test
