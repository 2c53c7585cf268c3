#include "platform/desktop/X11FrameGrabber.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <xcb/shm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <string>

#include "platform/desktop/X11ErrorTrap.h"
#include "platform/base/Error.h"

namespace velmo {

namespace {

Error grabError(const std::string& what) { return Error("X11ScreenLayer", 3, "Could not read the screen's pixels: " + what); }

int shiftOf(unsigned long mask) {
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

std::uint8_t channel(unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    unsigned long value = (pixel & mask) >> shiftOf(mask);
    unsigned long max = mask >> shiftOf(mask);
    return std::uint8_t(value * 255 / max);
}

}  // namespace

X11FrameGrabber::X11FrameGrabber(Display* display, bool preferSharedMemory)
    : display_(display) {
    int major = 0, minor = 0;
    Bool pixmaps = False;
    useShm_ = preferSharedMemory && XShmQueryExtension(display_) && XShmQueryVersion(display_, &major, &minor, &pixmaps);
}

X11FrameGrabber::~X11FrameGrabber() {
    dropRequestedRows();
    releaseShmImage();
    if (plainImage_) XDestroyImage(plainImage_);
}

void X11FrameGrabber::releaseShmImage() {
    if (shmImage_) {
        XDestroyImage(shmImage_);  // frees the header only; the segment is ours
        shmImage_ = nullptr;
    }
    if (shm_.shmaddr) {
        XShmDetach(display_, &shm_);
        XSync(display_, False);
        shmdt(shm_.shmaddr);
        shm_ = {};
    }
}

bool X11FrameGrabber::ensureShmImage(int width, int height, int depth, Visual* visual) {
    if (shmImage_ && shmImage_->width == width && shmImage_->height == height && shmDepth_ == depth && shmVisual_ == visual) {
        return true;
    }
    if (shmImage_) {
        XDestroyImage(shmImage_);
        shmImage_ = nullptr;
    }
    XShmSegmentInfo probe{};
    XImage* image = XShmCreateImage(display_, visual, unsigned(depth), ZPixmap, nullptr, &probe, unsigned(width), unsigned(height));
    if (!image) return false;
    std::size_t bytes = std::size_t(image->bytes_per_line) * std::size_t(height);
    // The segment grows when needed and is kept for later grabs of the same or smaller size.
    std::size_t have = 0;
    if (shm_.shmaddr) {
        shmid_ds info{};
        if (shmctl(shm_.shmid, IPC_STAT, &info) == 0) have = info.shm_segsz;
    }
    if (!shm_.shmaddr || have < bytes) {
        if (shm_.shmaddr) {
            XShmDetach(display_, &shm_);
            XSync(display_, False);
            shmdt(shm_.shmaddr);
            shm_ = {};
        }
        int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0) {
            XDestroyImage(image);
            return false;
        }
        void* address = shmat(id, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            XDestroyImage(image);
            return false;
        }
        shm_.shmid = id;
        shm_.shmaddr = static_cast<char*>(address);
        shm_.readOnly = False;
        bool attached;
        {
            X11ErrorTrap trap(display_);
            attached = XShmAttach(display_, &shm_) && !trap.failed();
        }
        // Marked for removal now: it goes away once both sides have let go, even after a crash.
        shmctl(id, IPC_RMID, nullptr);
        if (!attached) {
            shmdt(shm_.shmaddr);
            shm_ = {};
            XDestroyImage(image);
            return false;
        }
    }
    image->data = shm_.shmaddr;
    image->obdata = reinterpret_cast<char*>(&shm_);
    shmImage_ = image;
    shmDepth_ = depth;
    shmVisual_ = visual;
    return true;
}

X11FrameGrabber::Pixels X11FrameGrabber::grab(Drawable drawable, int x, int y, int width, int height) {
    int screen = DefaultScreen(display_);
    return grab(drawable, x, y, width, height, DefaultDepth(display_, screen), DefaultVisual(display_, screen));
}

X11FrameGrabber::Pixels X11FrameGrabber::grab(Drawable drawable, int x, int y, int width, int height, int depth, Visual* visual) {
    if (width <= 0 || height <= 0) throw grabError("empty rectangle");
    dropRequestedRows();
    if (plainImage_) {
        XDestroyImage(plainImage_);
        plainImage_ = nullptr;
    }
    if (useShm_) {
        if (!ensureShmImage(width, height, depth, visual)) {
            // The server cannot share memory with us (another machine, or no segments left).
            releaseShmImage();
            useShm_ = false;
        } else {
            bool ok;
            {
                X11ErrorTrap trap(display_);
                ok = XShmGetImage(display_, drawable, shmImage_, x, y, AllPlanes) && !trap.failed();
            }
            if (!ok) throw grabError("the server refused the rectangle");
            shmImage_->red_mask = visual->red_mask;
            shmImage_->green_mask = visual->green_mask;
            shmImage_->blue_mask = visual->blue_mask;
            return convert(shmImage_);
        }
    }
    XImage* image;
    {
        X11ErrorTrap trap(display_);
        image = XGetImage(display_, drawable, x, y, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
        if (trap.failed() && image) {
            XDestroyImage(image);
            image = nullptr;
        }
    }
    if (!image) throw grabError("the server refused the rectangle");
    // Pixmaps carry no visual: the masks come from the visual of what they belong to.
    image->red_mask = visual->red_mask;
    image->green_mask = visual->green_mask;
    image->blue_mask = visual->blue_mask;
    plainImage_ = image;
    return convert(image);
}

std::optional<X11FrameGrabber::Pixels> X11FrameGrabber::beginRows(Drawable drawable, int x, int y, int width, int height) {
    dropRequestedRows();
    if (!useShm_ || width <= 0 || height <= 0) return std::nullopt;
    int screen = DefaultScreen(display_);
    Visual* visual = DefaultVisual(display_, screen);
    if (!ensureShmImage(width, height, DefaultDepth(display_, screen), visual)) return std::nullopt;
    if (shmImage_->bits_per_pixel != 32 || shmImage_->byte_order != LSBFirst || visual->red_mask != 0xff0000 ||
        visual->green_mask != 0xff00 || visual->blue_mask != 0xff) {
        return std::nullopt;
    }
    rowsDrawable_ = drawable;
    rowsX_ = x;
    rowsY_ = y;
    Pixels pixels;
    pixels.data = reinterpret_cast<std::uint8_t*>(shmImage_->data);
    pixels.stride = std::size_t(shmImage_->bytes_per_line);
    pixels.width = width;
    pixels.height = height;
    return pixels;
}

void X11FrameGrabber::requestRows(int from, int to) {
    if (!shmImage_ || from < 0 || to > shmImage_->height || to <= from) throw grabError("no such rows");
    // Sent on the connection's XCB side: Xlib's XShmGetImage would wait for each part's reply.
    // The server answers errors in the reply, so Xlib's error handler never hears of them.
    xcb_connection_t* connection = XGetXCBConnection(display_);
    const xcb_shm_get_image_cookie_t cookie =
        xcb_shm_get_image(connection, xcb_drawable_t(rowsDrawable_), std::int16_t(rowsX_), std::int16_t(rowsY_ + from),
                          std::uint16_t(shmImage_->width), std::uint16_t(to - from), 0xffffffffu, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          xcb_shm_seg_t(shm_.shmseg), std::uint32_t(std::size_t(from) * std::size_t(shmImage_->bytes_per_line)));
    xcb_flush(connection);
    requestedRows_.push_back(cookie.sequence);
}

void X11FrameGrabber::awaitRows() {
    if (requestedRows_.empty()) throw grabError("no rows asked for");
    const xcb_shm_get_image_cookie_t cookie{requestedRows_.front()};
    requestedRows_.pop_front();
    xcb_generic_error_t* error = nullptr;
    xcb_shm_get_image_reply_t* reply = xcb_shm_get_image_reply(XGetXCBConnection(display_), cookie, &error);
    const bool ok = reply && !error;
    std::free(reply);
    std::free(error);
    if (!ok) throw grabError("the server refused the rectangle");
}

void X11FrameGrabber::dropRequestedRows() {
    if (requestedRows_.empty()) return;
    xcb_connection_t* connection = XGetXCBConnection(display_);
    for (unsigned sequence : requestedRows_) xcb_discard_reply(connection, sequence);
    requestedRows_.clear();
}

X11FrameGrabber::Pixels X11FrameGrabber::convert(XImage* image) {
    Pixels pixels;
    pixels.width = image->width;
    pixels.height = image->height;
    if (image->bits_per_pixel == 32 && image->byte_order == LSBFirst && image->red_mask == 0xff0000 && image->green_mask == 0xff00 &&
        image->blue_mask == 0xff) {
        pixels.data = reinterpret_cast<std::uint8_t*>(image->data);
        pixels.stride = std::size_t(image->bytes_per_line);
        return pixels;
    }
    // Any other layout, pixel by pixel.
    pixels.stride = std::size_t(image->width) * 4;
    converted_.resize(pixels.stride * std::size_t(image->height));
    for (int y = 0; y < image->height; ++y) {
        std::uint8_t* d = converted_.data() + std::size_t(y) * pixels.stride;
        for (int x = 0; x < image->width; ++x, d += 4) {
            unsigned long p = XGetPixel(image, x, y);
            d[0] = channel(p, image->blue_mask);
            d[1] = channel(p, image->green_mask);
            d[2] = channel(p, image->red_mask);
            d[3] = 0xff;
        }
    }
    pixels.data = converted_.data();
    return pixels;
}

}  // namespace velmo
