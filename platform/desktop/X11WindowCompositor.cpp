#include "platform/desktop/X11WindowCompositor.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "platform/desktop/X11ErrorTrap.h"

namespace velmo {

namespace {

struct TopLevel {
    Window id = 0;
    X11Rect outer;                  // border included, root coordinates
    int depth = 0;
    Visual* visual = nullptr;
    std::vector<X11Rect> shape;     // bounding shape in root coordinates, clipped to the area
    bool excluded = false;
    bool translucent = false;  // drawn over what lies beneath rather than on it
};

std::vector<X11Rect> boundingShape(Display* display, bool hasShape, Window window, const XWindowAttributes& a) {
    int originX = a.x + a.border_width;
    int originY = a.y + a.border_width;
    std::vector<X11Rect> rects;
    if (hasShape) {
        int count = 0, ordering = 0;
        XRectangle* list = XShapeGetRectangles(display, window, ShapeBounding, &count, &ordering);
        if (list) {
            for (int i = 0; i < count; ++i) {
                rects.push_back({originX + list[i].x, originY + list[i].y, list[i].width, list[i].height});
            }
            XFree(list);
            return rects;
        }
    }
    rects.push_back({a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width});
    return rects;
}

}  // namespace

X11WindowCompositor::X11WindowCompositor(Display* display) : display_(display) {
    int event = 0, error = 0;
    hasShape_ = XShapeQueryExtension(display_, &event, &error);
    int major = 0, minor = 2;
    if (XCompositeQueryExtension(display_, &event, &error) && XCompositeQueryVersion(display_, &major, &minor) &&
        (major > 0 || minor >= 2)) {
        X11ErrorTrap trap(display_);
        XCompositeRedirectSubwindows(display_, DefaultRootWindow(display_), CompositeRedirectAutomatic);
        available_ = !trap.failed();
    }
    // Window pixmaps come in all sizes; plain reads keep the screen grab's shared segment alone.
    grabber_ = std::make_unique<X11FrameGrabber>(display_, false);
}

X11WindowCompositor::~X11WindowCompositor() {
    if (available_) {
        X11ErrorTrap trap(display_);
        XCompositeUnredirectSubwindows(display_, DefaultRootWindow(display_), CompositeRedirectAutomatic);
    }
}

void X11WindowCompositor::removeWindows(std::uint8_t* pixels, std::size_t stride, X11Rect area,
                                        const std::vector<Window>& excluded) {
    if (excluded.empty() || area.isEmpty()) return;
    const std::set<Window> excludedSet(excluded.begin(), excluded.end());
    Window root = DefaultRootWindow(display_);
    // The server alone shows 32-bit windows as they are; only a compositing manager blends them.
    std::string managerSelection = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display_));
    const bool blends = XGetSelectionOwner(display_, XInternAtom(display_, managerSelection.c_str(), False)) != None;

    // Top-level windows bottom to top, as far as they reach into the area.
    std::vector<TopLevel> windows;
    {
        X11ErrorTrap trap(display_);
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display_, root, &rootReturn, &parent, &children, &count)) return;
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes a;
            if (!XGetWindowAttributes(display_, children[i], &a)) continue;  // gone meanwhile
            if (a.map_state != IsViewable || a.c_class == InputOnly) continue;
            TopLevel w;
            w.id = children[i];
            w.outer = {a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width};
            w.depth = a.depth;
            w.visual = a.visual;
            w.excluded = excludedSet.count(children[i]) > 0;
            w.translucent = blends && a.depth == 32;
            for (const X11Rect& r : boundingShape(display_, hasShape_, children[i], a)) {
                X11Rect clipped = r.intersection(area).intersection(w.outer);
                if (!clipped.isEmpty()) w.shape.push_back(clipped);
            }
            if (!w.shape.empty()) windows.push_back(std::move(w));
        }
        if (children) XFree(children);
    }

    // Only the part the excluded windows cover is composed again.
    int left = area.x + area.width, top = area.y + area.height, right = area.x, bottom = area.y;
    for (const auto& w : windows) {
        if (!w.excluded) continue;
        for (const X11Rect& r : w.shape) {
            left = std::min(left, r.x);
            top = std::min(top, r.y);
            right = std::max(right, r.x + r.width);
            bottom = std::max(bottom, r.y + r.height);
        }
    }
    if (right <= left || bottom <= top) return;
    const X11Rect box{left, top, right - left, bottom - top};
    const std::size_t boxPixels = std::size_t(box.width) * std::size_t(box.height);

    // target: the pixel shows an excluded window; owner: the topmost opaque window on the pixel.
    std::vector<std::uint8_t> target(boxPixels, 0);
    std::vector<int> owner(boxPixels, -1);
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const TopLevel& w = windows[i];
        if (!w.excluded && w.translucent) continue;
        for (const X11Rect& shape : w.shape) {
            X11Rect r = shape.intersection(box);
            for (int y = r.y; y < r.y + r.height; ++y) {
                std::size_t row = std::size_t(y - box.y) * std::size_t(box.width);
                for (int x = r.x; x < r.x + r.width; ++x) {
                    if (w.excluded) {
                        target[row + std::size_t(x - box.x)] = 1;
                    } else {
                        owner[row + std::size_t(x - box.x)] = int(i);
                    }
                }
            }
        }
    }
    // Nothing known beneath yet: black.
    auto at = [&](int x, int y) { return pixels + std::size_t(y - area.y) * stride + std::size_t(x - area.x) * 4; };
    for (int y = box.y; y < box.y + box.height; ++y) {
        std::size_t row = std::size_t(y - box.y) * std::size_t(box.width);
        for (int x = box.x; x < box.x + box.width; ++x) {
            if (target[row + std::size_t(x - box.x)]) std::memset(at(x, y), 0, 4);
        }
    }
    if (!available_) return;

    // Paint the other windows back to front where they show through.
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const TopLevel& w = windows[i];
        if (w.excluded) continue;
        auto shows = [&](std::size_t index) {
            if (!target[index]) return false;
            return w.translucent ? int(i) > owner[index] : owner[index] == int(i);
        };
        int l = box.x + box.width, t = box.y + box.height, r = box.x, b = box.y;
        for (const X11Rect& s : w.shape) {
            X11Rect c = s.intersection(box);
            for (int y = c.y; y < c.y + c.height; ++y) {
                std::size_t row = std::size_t(y - box.y) * std::size_t(box.width);
                for (int x = c.x; x < c.x + c.width; ++x) {
                    if (shows(row + std::size_t(x - box.x))) {
                        l = std::min(l, x);
                        r = std::max(r, x + 1);
                        t = std::min(t, y);
                        b = std::max(b, y + 1);
                    }
                }
            }
        }
        if (r <= l || b <= t) continue;

        X11FrameGrabber::Pixels source;
        {
            X11ErrorTrap trap(display_);
            Pixmap pixmap = XCompositeNameWindowPixmap(display_, w.id);
            if (trap.failed()) continue;  // not redirected or gone: its part stays black
            try {
                source = grabber_->grab(pixmap, l - w.outer.x, t - w.outer.y, r - l, b - t, w.depth, w.visual);
            } catch (const std::exception&) {
                XFreePixmap(display_, pixmap);
                continue;
            }
            XFreePixmap(display_, pixmap);
        }
        for (const X11Rect& s : w.shape) {
            X11Rect c = s.intersection({l, t, r - l, b - t});
            for (int y = c.y; y < c.y + c.height; ++y) {
                std::size_t row = std::size_t(y - box.y) * std::size_t(box.width);
                const std::uint8_t* src = source.data + std::size_t(y - t) * source.stride + std::size_t(c.x - l) * 4;
                for (int x = c.x; x < c.x + c.width; ++x, src += 4) {
                    if (!shows(row + std::size_t(x - box.x))) continue;
                    std::uint8_t* d = at(x, y);
                    if (w.translucent) {
                        // Premultiplied alpha, drawn over what lies beneath.
                        unsigned inverse = 255u - src[3];
                        for (int k = 0; k < 3; ++k) d[k] = std::uint8_t(std::min(255u, src[k] + (d[k] * inverse + 127) / 255));
                    } else {
                        std::memcpy(d, src, 4);
                    }
                }
            }
        }
    }
}

}  // namespace velmo
