#include "platform/desktop_session.h"

#include <cstdlib>
#include <string_view>

namespace morvelin {

std::string desktopSessionNotice() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((type && std::string_view(type) == "wayland") || (wayland && *wayland))
        return "Wayland session: an X11 session is needed for global hotkeys and "
               "full-screen screenshots.";
    return {};
}

}  // namespace morvelin
