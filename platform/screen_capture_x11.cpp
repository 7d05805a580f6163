// Screen capture on X11: the primary monitor's part of the root window through MIT-SHM (a few
// milliseconds at 1920x1080), falling back to a plain XGetImage when shared memory is not
// available (a remote display). Pixels are read as 32-bit BGRX, the layout of every common
// 24-bit TrueColor visual; other layouts are converted pixel by pixel.

#include "platform/screen_capture.h"

#include <memory>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <fmt/format.h>

#include "base/base64.h"
#include "base/error_text.h"
#include "platform/error_trap_x11.h"
#include "platform/primary_monitor_x11.h"
#include "platform/x11_handles.h"

namespace morvelin {
namespace {

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
    const XDisplayPtr display(XOpenDisplay(nullptr));
    if (!display) {
        const char* name = XDisplayName(nullptr);
        result.error = describeFailure("XOpenDisplay",
                                       fmt::format("cannot open display \"{}\"", name ? name : ""));
        return result;
    }
    Display* const d = display.get();
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    const MonitorBounds bounds = primaryMonitor(d);
    const int width = bounds.width;
    const int height = bounds.height;
    if (width < 1 || height < 1) {
        result.error = "Could not determine primary monitor size";
        return result;
    }

    std::unique_ptr<XSharedImage> shared;
    XImage* image = nullptr;
    if (XShmQueryExtension(d)) {
        shared = std::make_unique<XSharedImage>(d, DefaultVisual(d, screen),
                                                DefaultDepth(d, screen), width, height);
        image = shared->read(root, bounds.x, bounds.y);
    }
    XImagePtr plain;
    if (!image) {
        ErrorTrapX11 trap(d);
        plain.reset(XGetImage(d, root, bounds.x, bounds.y, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap));
        const int error = trap.finish();
        if (!plain) {
            result.error = describeFailure("XGetImage",
                                           error ? xErrorText(d, error) : std::string("no image"));
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
