#include "tests/support/x_server_start.h"

#include <poll.h>
#include <unistd.h>

#include <stdexcept>

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

}  // namespace halvenor::test
