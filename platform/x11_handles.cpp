#include "platform/x11_handles.h"

#include "platform/error_trap_x11.h"

namespace morvelin {

XSharedImage::XSharedImage(Display* display, Visual* visual, int depth, int width, int height)
    : display_(display) {
    image_ =
        XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &segment_,
                        static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (!image_)
        return;
    segment_.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image_->bytes_per_line) * height,
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
    shmctl(segment_.shmid, IPC_RMID, nullptr);
}

XSharedImage::~XSharedImage() {
    if (attached_) {
        XShmDetach(display_, &segment_);
        XSync(display_, False);
    }
    if (segment_.shmaddr)
        shmdt(segment_.shmaddr);
    if (image_) {
        image_->data = nullptr;  // the segment's, not Xlib's to free
        XDestroyImage(image_);
    }
}

XImage* XSharedImage::read(Drawable drawable, int x, int y) {
    if (!attached_)
        return nullptr;
    ErrorTrapX11 trap(display_);
    const Bool ok = XShmGetImage(display_, drawable, image_, x, y, AllPlanes);
    return trap.finish() == 0 && ok ? image_ : nullptr;
}

}  // namespace morvelin
