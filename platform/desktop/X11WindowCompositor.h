#pragma once

#include <X11/Xlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/desktop/X11FrameGrabber.h"
#include "platform/desktop/X11GlobalSpace.h"

namespace velmo {

// Takes windows out of a screenshot honestly. X11 keeps no pixels beneath a window, so this
// asks the server to keep every top-level window's contents in its own pixmap (automatic
// Composite redirection: the screen looks the same, and a compositing manager that is already
// running keeps its own redirection). Where an excluded window lies, the screenshot is then
// composed again from the other windows' pixmaps in stacking order, over the root's wallpaper:
// the pixmap that `_XROOTPMAP_ID` or `ESETROOT_PMAP_ID` names, else the root's background as
// the server paints it (not while a compositing manager runs, which paints a background of its
// own). What was drawn straight onto the root is not kept anywhere; the root then shows its
// background there, as it would once the excluded windows were gone.
// 32-bit windows are blended over what lies beneath only while a compositing manager runs;
// otherwise the server shows them opaque, and so does this.
// Without the Composite extension every excluded window's area shows the wallpaper or black.
class X11WindowCompositor {
public:
    explicit X11WindowCompositor(Display* display);
    ~X11WindowCompositor();
    X11WindowCompositor(const X11WindowCompositor&) = delete;
    X11WindowCompositor& operator=(const X11WindowCompositor&) = delete;

    // Whether windows can be composed from their pixmaps (else their areas become black).
    bool isAvailable() const { return available_; }

    // What taking windows out of a screenshot of `area` (root coordinates) needs to know of the
    // window stack, found before the screenshot's pixels are read, so they can be read in bands
    // and only the band that completes `box` waits for the windows to be composed.
    class Removal {
    public:
        Removal();
        ~Removal();
        Removal(Removal&&) noexcept;
        Removal& operator=(Removal&&) noexcept;

        // The part that is composed again, once the plan was awaited; empty when the excluded
        // windows show nowhere in the area.
        X11Rect box() const { return box_; }

    private:
        friend class X11WindowCompositor;
        struct Plan;
        X11Rect box_;
        std::unique_ptr<Plan> plan_;  // null when nothing is to be removed
    };
    // Asks what the box depends on (the excluded windows, the stack) without waiting, so the
    // first reads of the screen can be asked for before the answers are awaited.
    Removal planRemoval(X11Rect area, const std::vector<Window>& excluded);
    // Waits for those answers (one round trip at most) and returns the box; the rest of the
    // stack is then asked for without waiting, its answers arriving while the pixels are read.
    X11Rect awaitPlan(Removal& removal);
    // Asks for the pixels that will show where the excluded windows were, without waiting for
    // them. Call it once the reads of the screen rows the box covers have been asked for: the
    // root's background is read through a window put beneath all others for a moment, which
    // those reads must not see. Once per removal; `removeWindows` calls it when it was not.
    void prepareRemoval(Removal& removal);
    // `pixels` shows the removal's area, 4 bytes a pixel, at least the rows of its box already
    // read. Every pixel of an excluded top-level window is replaced by what lies beneath it.
    void removeWindows(Removal& removal, std::uint8_t* pixels, std::size_t stride);

private:
    Display* display_;
    bool available_ = false;
    bool hasShape_ = false;
    unsigned long managerSelection_ = 0;  // _NET_WM_CM_Sn of the default screen
    unsigned long wallpaperNames_[2] = {0, 0};  // _XROOTPMAP_ID, ESETROOT_PMAP_ID
    std::unique_ptr<X11FrameGrabber> grabber_;  // for pixels that need converting
};

}  // namespace velmo
