#pragma once
// Owners of the Xlib resources the window and the screen capture hold: a display
// connection, an image, memory Xlib hands back from a query (property data, hints, lists)
// and a shared-memory segment attached to the server. Each is released exactly once, on
// every path, in the order the members are declared in reverse.

#include <sys/ipc.h>
#include <sys/shm.h>

#include <memory>
#include <type_traits>

#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

namespace morvelin {

struct XDisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using XDisplayPtr = std::unique_ptr<Display, XDisplayCloser>;

struct XImageDestroyer {
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using XImagePtr = std::unique_ptr<XImage, XImageDestroyer>;

// Whatever Xlib allocated for a reply (XGetWindowProperty data, XGetWMHints, XGetWMProtocols,
// XineramaQueryScreens) and expects back through XFree.
struct XFreeDeleter {
    void operator()(void* data) const {
        if (data)
            XFree(data);
    }
};
template <typename T>
using XMemoryPtr = std::unique_ptr<T, XFreeDeleter>;

struct XModifierKeymapDeleter {
    void operator()(XModifierKeymap* map) const { XFreeModifiermap(map); }
};
using XModifierKeymapPtr = std::unique_ptr<XModifierKeymap, XModifierKeymapDeleter>;

struct XrmDatabaseDeleter {
    void operator()(XrmDatabase database) const { XrmDestroyDatabase(database); }
};
using XrmDatabasePtr = std::unique_ptr<std::remove_pointer_t<XrmDatabase>, XrmDatabaseDeleter>;

// A ZPixmap image whose pixels live in a System V shared-memory segment attached to the
// X server, so XShmGetImage copies the screen without a trip through the socket. The
// segment is marked for removal as soon as both sides have it, so it goes away with its last
// user even after a crash.
class XSharedImage {
public:
    // usable() is false when any step failed; the caller then falls back to XGetImage.
    XSharedImage(Display* display, Visual* visual, int depth, int width, int height);
    ~XSharedImage();
    XSharedImage(const XSharedImage&) = delete;
    XSharedImage& operator=(const XSharedImage&) = delete;

    bool usable() const { return attached_; }
    // Reads the area of `drawable` at (x, y) into the image; nullptr when that failed.
    XImage* read(Drawable drawable, int x, int y);

private:
    Display* display_;
    XShmSegmentInfo segment_{};
    XImage* image_ = nullptr;
    bool attached_ = false;
};

}  // namespace morvelin
