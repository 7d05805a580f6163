// A stand-in for the program's start: logs one line through the process-wide logger and
// reports where it went, so tests can see the logger as a fresh process sees it.
#include <unistd.h>
#include <cstdio>

#include "base/session_log.h"

int main() {
    morvelin::log("child pid {}", getpid());
    const auto& logger = morvelin::Logger::instance();
    std::printf("log path=[%s] enabled=%d\n", logger.path().c_str(), logger.enabled() ? 1 : 0);
    return 0;
}
