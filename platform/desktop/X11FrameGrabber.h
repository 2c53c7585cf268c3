#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace velmo {

// Reads rectangles of a drawable's pixels as blue-green-red-x, 4 bytes a pixel: through shared
// memory (MIT-SHM) where the server offers it and shares memory with this process, else with
// plain XGetImage. One grabber serves one connection on one thread.
class X11FrameGrabber {
public:
    X11FrameGrabber(Display* display, bool preferSharedMemory);
    ~X11FrameGrabber();
    X11FrameGrabber(const X11FrameGrabber&) = delete;
    X11FrameGrabber& operator=(const X11FrameGrabber&) = delete;

    bool usesSharedMemory() const { return useShm_; }

    struct Pixels {
        std::uint8_t* data = nullptr;  // the grabber's own buffer, valid until the next grab
        std::size_t stride = 0;
        int width = 0;
        int height = 0;
    };
    // Throws velmo::Error when the server refuses (a rectangle outside the drawable, a
    // drawable gone). Rectangles of the root window or of pixmaps of the screen's depth.
    Pixels grab(Drawable drawable, int x, int y, int width, int height);
    // The same for a drawable of another depth and visual (a window's own pixmap).
    Pixels grab(Drawable drawable, int x, int y, int width, int height, int depth, Visual* visual);

    // A rectangle of the screen's depth read in parts through shared memory: `beginRows` says
    // where its pixels will be, `requestRows` asks for rows [from, to) of it without waiting, and
    // `awaitRows` waits until the oldest part asked for has arrived, so the server fills the next
    // part while the caller works on the last one. Nothing when shared memory is not used or the
    // pixels would need converting; then use `grab`. Parts are asked for and awaited on the thread
    // that began them; parts still outstanding when the grabber is used again are dropped.
    std::optional<Pixels> beginRows(Drawable drawable, int x, int y, int width, int height);
    void requestRows(int from, int to);
    // Throws velmo::Error when the server refused the part.
    void awaitRows();

private:
    bool ensureShmImage(int width, int height, int depth, Visual* visual);
    void releaseShmImage();
    Pixels convert(XImage* image);

    Display* display_;
    bool useShm_ = false;
    XShmSegmentInfo shm_{};
    XImage* shmImage_ = nullptr;
    int shmDepth_ = 0;
    Visual* shmVisual_ = nullptr;
    XImage* plainImage_ = nullptr;
    std::vector<std::uint8_t> converted_;
    void dropRequestedRows();
    std::deque<unsigned> requestedRows_;  // sequence numbers of the parts asked for, oldest first
    Drawable rowsDrawable_ = 0;
    int rowsX_ = 0, rowsY_ = 0;
};

}  // namespace velmo
