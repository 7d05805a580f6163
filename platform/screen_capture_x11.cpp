// Screen capture on X11: the primary monitor's part of the root window through MIT-SHM (a few
// milliseconds at 1920x1080), falling back to a plain XGetImage when shared memory is not
// available (a remote display). Pixels are read as 32-bit BGRX, the layout of every common
// 24-bit TrueColor visual; other layouts are converted pixel by pixel.

#include "platform/screen_capture.h"

#include <memory>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <fmt/format.h>

#include "base/base64.h"
#include "base/error_text.h"
#include "platform/error_trap_x11.h"

namespace morvelin {
namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct ImageDestroyer {
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDestroyer>;

// An XImage whose pixels live in a shared-memory segment attached to the X server.
class SharedImage {
public:
    SharedImage(Display* display, int width, int height) : display_(display) {
        const int screen = DefaultScreen(display);
        image_ = XShmCreateImage(display, DefaultVisual(display, screen),
                                 DefaultDepth(display, screen), ZPixmap, nullptr, &segment_,
                                 static_cast<unsigned>(width), static_cast<unsigned>(height));
        if (!image_)
            return;
        segment_.shmid =
            shmget(IPC_PRIVATE, static_cast<std::size_t>(image_->bytes_per_line) * height,
                   IPC_CREAT | 0600);
        if (segment_.shmid < 0)
            return;
        void* address = shmat(segment_.shmid, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1)) {
            shmctl(segment_.shmid, IPC_RMID, nullptr);
            return;
        }
        segment_.shmaddr = image_->data = static_cast<char*>(address);
        segment_.readOnly = False;
        ErrorTrapX11 trap(display);
        XShmAttach(display, &segment_);
        attached_ = trap.finish() == 0;
        // Marked for removal now: the segment goes away with its last user, even after a crash.
        shmctl(segment_.shmid, IPC_RMID, nullptr);
    }
    ~SharedImage() {
        if (attached_) {
            XShmDetach(display_, &segment_);
            XSync(display_, False);
        }
        if (segment_.shmaddr)
            shmdt(segment_.shmaddr);
        if (image_) {
            image_->data = nullptr;  // not ours to free
            XDestroyImage(image_);
        }
    }
    SharedImage(const SharedImage&) = delete;
    SharedImage& operator=(const SharedImage&) = delete;

    // Reads the whole root window; nullptr when that did not work.
    XImage* read(Window root, int x, int y) {
        if (!attached_)
            return nullptr;
        ErrorTrapX11 trap(display_);
        const Bool ok = XShmGetImage(display_, root, image_, x, y, AllPlanes);
        return trap.finish() == 0 && ok ? image_ : nullptr;
    }

private:
    Display* display_;
    XShmSegmentInfo segment_{};
    XImage* image_ = nullptr;
    bool attached_ = false;
};

struct Bounds {
    int x = 0, y = 0, width = 0, height = 0;
};

// The RandR primary monitor; the whole screen when the server names none (or has no RandR
// 1.5), which is also what a single-monitor desktop gives.
Bounds primaryMonitor(Display* display, Window root, int screen) {
    Bounds bounds{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) ||
        !XRRQueryVersion(display, &major, &minor) || major * 100 + minor < 105)
        return bounds;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    if (!monitors)
        return bounds;
    for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& m = monitors[i];
        const bool inside = m.x >= 0 && m.y >= 0 && m.x + m.width <= bounds.width &&
                            m.y + m.height <= bounds.height;
        if (m.primary && inside && m.width > 0 && m.height > 0) {
            bounds = {m.x, m.y, m.width, m.height};
            break;
        }
    }
    XRRFreeMonitors(monitors);
    return bounds;
}

bool isPackedBgrx(const XImage& image, int width) {
    return image.bits_per_pixel == 32 && image.byte_order == LSBFirst &&
           image.red_mask == 0xFF0000 && image.green_mask == 0x00FF00 &&
           image.blue_mask == 0x0000FF && image.bytes_per_line == width * 4;
}

int maskShift(unsigned long mask) {
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

// Any other layout (padded rows, other masks or byte order) into packed BGRX.
std::vector<std::uint8_t> toBgrx(XImage& image, int width, int height) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * 4);
    const unsigned long masks[3] = {image.blue_mask, image.green_mask, image.red_mask};
    int shifts[3];
    unsigned long maxima[3];
    for (int c = 0; c < 3; ++c) {
        shifts[c] = maskShift(masks[c]);
        maxima[c] = masks[c] >> shifts[c];
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const unsigned long pixel = XGetPixel(&image, x, y);
            std::uint8_t* p = out.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            for (int c = 0; c < 3; ++c) {
                const unsigned long value = (pixel & masks[c]) >> shifts[c];
                p[c] = static_cast<std::uint8_t>(maxima[c] ? value * 255 / maxima[c] : 0);
            }
            p[3] = 0;
        }
    }
    return out;
}

}  // namespace

ScreenshotResult captureScreenshot(const ScreenshotOptions& options) {
    ScreenshotResult result;
    const DisplayPtr display(XOpenDisplay(nullptr));
    if (!display) {
        const char* name = XDisplayName(nullptr);
        result.error = describeFailure("XOpenDisplay",
                                       fmt::format("cannot open display \"{}\"", name ? name : ""));
        return result;
    }
    const int screen = DefaultScreen(display.get());
    const Window root = RootWindow(display.get(), screen);
    const Bounds bounds = primaryMonitor(display.get(), root, screen);
    const int width = bounds.width;
    const int height = bounds.height;
    if (width < 1 || height < 1) {
        result.error = "Could not determine primary monitor size";
        return result;
    }

    std::unique_ptr<SharedImage> shared;
    XImage* image = nullptr;
    if (XShmQueryExtension(display.get())) {
        shared = std::make_unique<SharedImage>(display.get(), width, height);
        image = shared->read(root, bounds.x, bounds.y);
    }
    ImagePtr plain;
    if (!image) {
        ErrorTrapX11 trap(display.get());
        plain.reset(XGetImage(display.get(), root, bounds.x, bounds.y, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap));
        const int error = trap.finish();
        if (!plain) {
            result.error = describeFailure(
                "XGetImage", error ? xErrorText(display.get(), error) : std::string("no image"));
            return result;
        }
        image = plain.get();
    }

    std::vector<std::uint8_t> converted;
    const std::uint8_t* pixels = reinterpret_cast<const std::uint8_t*>(image->data);
    if (!isPackedBgrx(*image, width)) {
        converted = toBgrx(*image, width, height);
        pixels = converted.data();
    }

    Screenshot shot;
    const EncodedPng encoded =
        encodePng(pixels, width, height, options.maxWidth, shot.width, shot.height);
    if (!encoded.png) {
        result.error = encoded.error;
        return result;
    }
    shot.pngBase64 = base64Encode(*encoded.png);
    makeThumbnail(pixels, width, height, options.thumbMaxWidth, shot);
    result.shot = std::move(shot);
    return result;
}

}  // namespace morvelin
