#pragma once
// Turns X protocol errors of a few calls into values. Xlib reports errors through one
// process-wide handler (whose default ends the process), so the trap swaps it in for the
// calls in its scope, on the UI thread only.

#include <string>

#include <X11/Xlib.h>

namespace morvelin {

class ErrorTrapX11 {
public:
    explicit ErrorTrapX11(Display* display);
    ~ErrorTrapX11() { finish(); }
    ErrorTrapX11(const ErrorTrapX11&) = delete;
    ErrorTrapX11& operator=(const ErrorTrapX11&) = delete;

    // Waits for the server to answer the calls made so far, restores the previous handler
    // and returns the first error code (0 for none).
    int finish();

private:
    static int record(Display*, XErrorEvent* event);

    Display* display_;
    XErrorHandler previous_ = nullptr;
    bool active_ = true;
    static inline int error_ = 0;
};

// "0x{:08X}: {}" of an X error code and the server's text for it.
std::string xErrorText(Display* display, int code);

}  // namespace morvelin
