#include "tests/support/xvfb_server.h"

#include <string>

#include "tests/support/x_server_start.h"

namespace halvenor::test {

XvfbServer::XvfbServer(int width, int height) {
    SpawnOptions options;
    options.quiet = true;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    display_ = startXServer(
        process_, {"Xvfb", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"}, options);
}

XvfbServer::~XvfbServer() {
    windowManager_.stop();
    process_.stop();
}

void XvfbServer::startWindowManager(long delayMs) {
    // openbox announces itself (_NET_SUPPORTING_WM_CHECK on the root window) before it
    // handles map requests, and a request in between is lost: ready means it has announced
    // itself and a probe window then does get mapped.
    windowManager_ = halvenor::test::startWindowManager(display_, "_NET_SUPPORTING_WM_CHECK",
                                                        "window id", delayMs);
}

}  // namespace halvenor::test
