#include "platform/error_trap_x11.h"

#include <cstdint>

#include "base/error_text.h"

namespace morvelin {

ErrorTrapX11::ErrorTrapX11(Display* display) : display_(display) {
    XSync(display_, False);
    error_ = 0;
    previous_ = XSetErrorHandler(&record);
}

int ErrorTrapX11::finish() {
    if (active_) {
        XSync(display_, False);
        XSetErrorHandler(previous_);
        active_ = false;
    }
    return error_;
}

int ErrorTrapX11::record(Display*, XErrorEvent* event) {
    if (error_ == 0)
        error_ = event->error_code;
    return 0;
}

std::string xErrorText(Display* display, int code) {
    char text[256] = {};
    XGetErrorText(display, code, text, sizeof text);
    return formatErrorCode(static_cast<std::uint32_t>(code), text);
}

}  // namespace morvelin
