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
    windowManager_ =
        halvenor::test::startWindowManager(display_, WindowManagerReady::Announced, delayMs);
}

}  // namespace halvenor::test
