#pragma once
// What the private X servers of the tests share: starting a server that picks its own display
// number (-displayfd) and waiting until it answers, and starting openbox on a display and
// waiting until it really maps windows.

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace halvenor::test {

// Starts the X server `argv` (its program first) with "-displayfd N" added after the program
// name, into `server`, and returns its display (":N") once it answers xdpyinfo. Throws
// std::runtime_error when it does not come up within 10 s (the server is stopped then).
std::string startXServer(Subprocess& server, std::vector<std::string> argv, SpawnOptions options);

// How late the window manager handles each event it reads, in ms: HALVENOR_TEST_WM_DELAY_MS,
// 0 when unset. A late window manager is what a loaded desktop has; the suite must pass with it.
long windowManagerDelayMs();

// Starts openbox (found on PATH), handling every event it reads `delayMs` late, on the display and
// returns it once the root window's `readyProperty`, as xprop prints it, holds `readyText`, and
// then a probe window does get mapped. Throws std::runtime_error otherwise.
Subprocess startWindowManager(const std::string& display, const std::string& readyProperty,
                              const std::string& readyText, long delayMs = windowManagerDelayMs());

}  // namespace halvenor::test
