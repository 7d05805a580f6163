#pragma once
// What the desktop session allows the HUD. Under Wayland the program runs through XWayland: the
// global hotkeys fire only while an X window has the keyboard focus and a screenshot shows only
// X windows, and nothing in the X protocol tells us so.

#include <string>

namespace morvelin {

// One sentence for the status line and the session log when the desktop session limits the
// HUD; empty when it does not.
std::string desktopSessionNotice();

}  // namespace morvelin
