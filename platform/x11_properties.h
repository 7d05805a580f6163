#pragma once
// Reading a window property of 32-bit items (windows, atoms, cardinals) in one request.

#include <vector>

#include <X11/Xlib.h>

namespace morvelin {

// The property's items, as Xlib returns them (longs); empty when the window has no such
// property of that type (AnyPropertyType for any) or is gone.
std::vector<unsigned long> longProperty(Display* display, Window window, Atom name, Atom type);

}  // namespace morvelin
