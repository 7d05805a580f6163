#pragma once
// What the private X servers of the tests share: starting a server that picks its own display
// number (-displayfd) and waiting until it answers. Their window managers are in
// tests/support/window_manager.h.

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace halvenor::test {

// Starts the X server `argv` (its program first) with "-displayfd N" added after the program
// name, into `server`, and returns its display (":N") once it answers xdpyinfo. Throws
// std::runtime_error when it does not come up within 10 s (the server is stopped then).
std::string startXServer(Subprocess& server, std::vector<std::string> argv, SpawnOptions options);

}  // namespace halvenor::test
