#include "tests/support/two_head_x_server.h"

#include <string>

#include "tests/support/x_server_start.h"

namespace halvenor::test {

TwoHeadXServer::TwoHeadXServer(int headWidth, int headHeight) : host_(2 * headWidth, headHeight) {
    SpawnOptions options;
    options.quiet = true;
    options.env = host_.env();
    const std::string head = std::to_string(headWidth) + "x" + std::to_string(headHeight);
    display_ = startXServer(
        xephyr_,
        {"Xephyr", "+xinerama", "-screen", head, "-screen", head, "-nolisten", "tcp", "-noreset"},
        options);
}

TwoHeadXServer::~TwoHeadXServer() {
    windowManager_.stop();
    xephyr_.stop();
}

void TwoHeadXServer::startWindowManager(long delayMs) {
    // The spanning _NET_WORKAREA is what the test is about, so wait for it too.
    windowManager_ = halvenor::test::startWindowManager(
        display_, WindowManagerReady::WorkAreaPublished, delayMs);
}

}  // namespace halvenor::test
