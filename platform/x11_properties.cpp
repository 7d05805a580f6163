#include "platform/x11_properties.h"

#include "platform/x11_handles.h"

namespace morvelin {

std::vector<unsigned long> longProperty(Display* display, Window window, Atom name, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const bool read = XGetWindowProperty(display, window, name, 0, 4096, False, type, &actualType,
                                         &format, &count, &after, &data) == Success;
    const XMemoryPtr<unsigned char> owned(data);
    if (!read || !data || format != 32)
        return {};
    const auto* items = reinterpret_cast<const unsigned long*>(data);
    return {items, items + count};
}

}  // namespace morvelin
