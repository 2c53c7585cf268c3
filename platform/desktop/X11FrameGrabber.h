#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstddef>
#include <cstdint>
#include <memory>
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
    // where its pixels will be, then each `readRows` fills rows [from, to) of it. Nothing when
    // shared memory is not used or the pixels would need converting; then use `grab`. The
    // parts share one error trap, set by `beginRows` and ended by the last part, so each costs
    // one round trip; the rows must be read to the end on the thread that began them.
    std::optional<Pixels> beginRows(Drawable drawable, int x, int y, int width, int height);
    void readRows(int from, int to);

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
    std::unique_ptr<class X11ErrorTrap> rowsTrap_;
    Drawable rowsDrawable_ = 0;
    int rowsX_ = 0, rowsY_ = 0;
};

}  // namespace velmo
