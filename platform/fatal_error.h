#pragma once

#include <string>

namespace morvelin {

// Reports a failure that ends the program: the text goes to stderr and the session log and
// into a message box captioned "Halvenor", which this waits for the user to close. Without a
// display there is no box; stderr and the log still have it.
void showFatalError(const std::string& text);

}  // namespace morvelin
