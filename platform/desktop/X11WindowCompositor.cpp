#include "platform/desktop/X11WindowCompositor.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "platform/desktop/X11ErrorTrap.h"
#include "platform/desktop/X11WindowStack.h"

namespace velmo {

namespace {

struct TopLevel {
    Window id = 0;
    X11Rect outer;  // border included, root coordinates
    int depth = 0;
    Visual* visual = nullptr;
    std::vector<X11Rect> shape;  // bounding shape in root coordinates, clipped to the area
    bool excluded = false;
    bool translucent = false;  // drawn over what lies beneath rather than on it
};

}  // namespace

X11WindowCompositor::X11WindowCompositor(Display* display)
    : display_(display) {
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

namespace {

// The server alone shows 32-bit windows as they are; only a compositing manager blends them.
bool compositingManagerRuns(Display* display) {
    std::string managerSelection = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display));
    return XGetSelectionOwner(display, XInternAtom(display, managerSelection.c_str(), False)) != None;
}

// Top-level windows bottom to top, as far as they reach into the area; `blends`, whether a
// compositing manager runs.
std::vector<TopLevel> topLevelsIn(Display* display, bool hasShape, bool blends, X11Rect area, const std::vector<Window>& excluded) {
    const std::set<Window> excludedSet(excluded.begin(), excluded.end());
    std::vector<TopLevel> windows;
    // The root is always there, and the other queries take their errors with their replies: no
    // trap, whose syncs would cost two more round trips.
    for (X11StackedWindow& a : x11TopLevelStack(display, hasShape)) {
        if (a.mapState != IsViewable || a.inputOnly) continue;
        TopLevel w;
        w.id = a.id;
        w.outer = {a.x, a.y, a.width + 2 * a.borderWidth, a.height + 2 * a.borderWidth};
        w.depth = a.depth;
        w.visual = a.visual;
        w.excluded = excludedSet.count(a.id) > 0;
        w.translucent = blends && a.depth == 32;
        for (const X11Rect& r : a.shape) {
            X11Rect clipped = r.intersection(area).intersection(w.outer);
            if (!clipped.isEmpty()) w.shape.push_back(clipped);
        }
        if (!w.shape.empty()) windows.push_back(std::move(w));
    }
    return windows;
}

// The bounds of what the excluded windows cover: only that part is composed again. Empty when
// they cover nothing of the area.
X11Rect excludedBounds(const std::vector<TopLevel>& windows, X11Rect area) {
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
    if (right <= left || bottom <= top) return {};
    return {left, top, right - left, bottom - top};
}

// Per pixel of the box: target, the pixel shows an excluded window; owner, the index of the
// topmost opaque window on the pixel (-1 for none).
struct Coverage {
    X11Rect box;
    std::vector<std::uint8_t> target;
    std::vector<int> owner;

    std::size_t index(int x, int y) const { return std::size_t(y - box.y) * std::size_t(box.width) + std::size_t(x - box.x); }
    // Whether window `i` shows through where the excluded ones are taken away.
    bool shows(std::size_t pixel, std::size_t i, const TopLevel& w) const {
        if (!target[pixel]) return false;
        return w.translucent ? int(i) > owner[pixel] : owner[pixel] == int(i);
    }
};

Coverage coverageOf(const std::vector<TopLevel>& windows, X11Rect box) {
    const std::size_t boxPixels = std::size_t(box.width) * std::size_t(box.height);
    Coverage coverage{box, std::vector<std::uint8_t>(boxPixels, 0), std::vector<int>(boxPixels, -1)};
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const TopLevel& w = windows[i];
        if (!w.excluded && w.translucent) continue;
        for (const X11Rect& shape : w.shape) {
            X11Rect r = shape.intersection(box);
            for (int y = r.y; y < r.y + r.height; ++y) {
                for (int x = r.x; x < r.x + r.width; ++x) {
                    if (w.excluded) {
                        coverage.target[coverage.index(x, y)] = 1;
                    } else {
                        coverage.owner[coverage.index(x, y)] = int(i);
                    }
                }
            }
        }
    }
    return coverage;
}

// The pixels of a screenshot of `area`, addressed in root coordinates.
struct ScreenPixels {
    std::uint8_t* pixels;
    std::size_t stride;
    X11Rect area;

    std::uint8_t* at(int x, int y) const { return pixels + std::size_t(y - area.y) * stride + std::size_t(x - area.x) * 4; }
};

// Nothing known beneath yet: black.
void blackenTargets(const ScreenPixels& screen, const Coverage& coverage) {
    const X11Rect& box = coverage.box;
    for (int y = box.y; y < box.y + box.height; ++y) {
        for (int x = box.x; x < box.x + box.width; ++x) {
            if (coverage.target[coverage.index(x, y)]) std::memset(screen.at(x, y), 0, 4);
        }
    }
}

// The wallpaper pixmap that desktop setters leave on the root window, when it still exists
// and has the root's depth.
struct Wallpaper {
    Pixmap pixmap = None;
    int width = 0, height = 0;
};

std::optional<Wallpaper> rootWallpaper(Display* display) {
    const Window root = DefaultRootWindow(display);
    const int rootDepth = DefaultDepth(display, DefaultScreen(display));
    X11ErrorTrap trap(display);
    // Both names in one round trip; a name never interned names no property.
    char* names[] = {const_cast<char*>("_XROOTPMAP_ID"), const_cast<char*>("ESETROOT_PMAP_ID")};
    Atom atoms[2] = {None, None};
    XInternAtoms(display, names, 2, True, atoms);
    for (Atom atom : atoms) {
        if (atom == None) continue;
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, root, atom, 0, 1, False, XA_PIXMAP, &type, &format, &items, &after, &data) != Success) {
            continue;
        }
        Pixmap pixmap = None;
        if (type == XA_PIXMAP && format == 32 && items == 1 && data) pixmap = Pixmap(*reinterpret_cast<const unsigned long*>(data));
        if (data) XFree(data);
        if (pixmap == None) continue;
        Window geometryRoot = 0;
        int x = 0, y = 0;
        unsigned width = 0, height = 0, border = 0, depth = 0;
        if (!XGetGeometry(display, pixmap, &geometryRoot, &x, &y, &width, &height, &border, &depth)) continue;  // freed
        if (int(depth) != rootDepth || width == 0 || height == 0) continue;
        return Wallpaper{pixmap, int(width), int(height)};
    }
    return std::nullopt;
}

// Paints the root's wallpaper where the excluded windows were: the server tiles it from the
// root's origin. False when there is none, or it could not be read.
bool paintWallpaper(Display* display, X11FrameGrabber& grabber, const ScreenPixels& screen, const Coverage& coverage) {
    const std::optional<Wallpaper> wallpaper = rootWallpaper(display);
    if (!wallpaper) return false;
    const X11Rect& box = coverage.box;
    // The box in tiles of the wallpaper, each read once.
    const int firstColumn = box.x >= 0 ? box.x / wallpaper->width : -((-box.x + wallpaper->width - 1) / wallpaper->width);
    const int firstRow = box.y >= 0 ? box.y / wallpaper->height : -((-box.y + wallpaper->height - 1) / wallpaper->height);
    for (int ty = firstRow * wallpaper->height; ty < box.y + box.height; ty += wallpaper->height) {
        for (int tx = firstColumn * wallpaper->width; tx < box.x + box.width; tx += wallpaper->width) {
            const X11Rect part = X11Rect{tx, ty, wallpaper->width, wallpaper->height}.intersection(box);
            if (part.isEmpty()) continue;
            X11FrameGrabber::Pixels source;
            try {
                source = grabber.grab(wallpaper->pixmap, part.x - tx, part.y - ty, part.width, part.height);
            } catch (const std::exception&) {
                return false;  // freed meanwhile
            }
            for (int y = part.y; y < part.y + part.height; ++y) {
                const std::uint8_t* src = source.data + std::size_t(y - part.y) * source.stride;
                for (int x = part.x; x < part.x + part.width; ++x, src += 4) {
                    if (coverage.target[coverage.index(x, y)]) std::memcpy(screen.at(x, y), src, 4);
                }
            }
        }
    }
    return true;
}

// The bounds of the pixels where window `i` shows through; empty when it shows nowhere.
X11Rect showingBounds(const TopLevel& w, std::size_t i, const Coverage& coverage) {
    const X11Rect& box = coverage.box;
    int l = box.x + box.width, t = box.y + box.height, r = box.x, b = box.y;
    for (const X11Rect& s : w.shape) {
        X11Rect c = s.intersection(box);
        for (int y = c.y; y < c.y + c.height; ++y) {
            for (int x = c.x; x < c.x + c.width; ++x) {
                if (coverage.shows(coverage.index(x, y), i, w)) {
                    l = std::min(l, x);
                    r = std::max(r, x + 1);
                    t = std::min(t, y);
                    b = std::max(b, y + 1);
                }
            }
        }
    }
    if (r <= l || b <= t) return {};
    return {l, t, r - l, b - t};
}

// The window's own contents within `bounds` (root coordinates), or nothing when the window is
// not redirected or gone: its part then stays black.
std::optional<X11FrameGrabber::Pixels> grabWindow(Display* display, X11FrameGrabber& grabber, const TopLevel& w, X11Rect bounds) {
    X11ErrorTrap trap(display);
    Pixmap pixmap = XCompositeNameWindowPixmap(display, w.id);
    if (trap.failed()) return std::nullopt;
    std::optional<X11FrameGrabber::Pixels> source;
    try {
        source = grabber.grab(pixmap, bounds.x - w.outer.x, bounds.y - w.outer.y, bounds.width, bounds.height, w.depth, w.visual);
    } catch (const std::exception&) {
        source = std::nullopt;
    }
    XFreePixmap(display, pixmap);
    return source;
}

// Paints `source` (the window's contents within `bounds`) where window `i` shows through.
void paintWindow(const ScreenPixels& screen, const Coverage& coverage, const TopLevel& w, std::size_t i, X11Rect bounds,
                 const X11FrameGrabber::Pixels& source) {
    for (const X11Rect& s : w.shape) {
        X11Rect c = s.intersection(bounds);
        for (int y = c.y; y < c.y + c.height; ++y) {
            const std::uint8_t* src = source.data + std::size_t(y - bounds.y) * source.stride + std::size_t(c.x - bounds.x) * 4;
            for (int x = c.x; x < c.x + c.width; ++x, src += 4) {
                if (!coverage.shows(coverage.index(x, y), i, w)) continue;
                std::uint8_t* d = screen.at(x, y);
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

// Paints the root's own background where the excluded windows were, when no property names a
// wallpaper (a solid colour, or a pixmap set without telling anyone). The server keeps it
// nowhere readable, so a window that takes its parent's background is put at the bottom of the
// stack for a moment: redirected, its pixmap holds that background, and where it shows it looks
// exactly as the root beneath it. A compositing manager paints its own background instead and
// would show the window, so not then. False when the background could not be read.
bool paintRootBackground(Display* display, X11FrameGrabber& grabber, const ScreenPixels& screen, const Coverage& coverage) {
    const X11Rect& box = coverage.box;
    const Window root = DefaultRootWindow(display);
    X11ErrorTrap trap(display);
    XSetWindowAttributes attributes{};
    attributes.background_pixmap = ParentRelative;
    attributes.override_redirect = True;
    const Window window = XCreateWindow(display, root, box.x, box.y, unsigned(box.width), unsigned(box.height), 0, CopyFromParent,
                                        InputOutput, CopyFromParent, CWBackPixmap | CWOverrideRedirect, &attributes);
    XLowerWindow(display, window);
    XMapWindow(display, window);
    const Pixmap pixmap = XCompositeNameWindowPixmap(display, window);
    bool painted = false;
    if (!trap.failed()) {
        try {
            X11FrameGrabber::Pixels source = grabber.grab(pixmap, 0, 0, box.width, box.height);
            for (int y = box.y; y < box.y + box.height; ++y) {
                const std::uint8_t* src = source.data + std::size_t(y - box.y) * source.stride;
                for (int x = box.x; x < box.x + box.width; ++x, src += 4) {
                    if (coverage.target[coverage.index(x, y)]) std::memcpy(screen.at(x, y), src, 4);
                }
            }
            painted = true;
        } catch (const std::exception&) {
        }
        XFreePixmap(display, pixmap);
    }
    XDestroyWindow(display, window);
    return painted && !trap.failed();
}

}  // namespace

struct X11WindowCompositor::Removal::Stack {
    std::vector<TopLevel> windows;
    Coverage coverage;
    bool blends = false;  // a compositing manager ran when the stack was read
};

X11WindowCompositor::Removal X11WindowCompositor::planRemoval(X11Rect area, const std::vector<Window>& excluded) {
    Removal removal;
    removal.area_ = area;
    if (excluded.empty() || area.isEmpty()) return removal;
    const bool blends = compositingManagerRuns(display_);
    std::vector<TopLevel> windows = topLevelsIn(display_, hasShape_, blends, area, excluded);
    const X11Rect box = excludedBounds(windows, area);
    if (box.isEmpty()) return removal;
    Coverage coverage = coverageOf(windows, box);
    removal.box_ = box;
    removal.stack_ = std::make_shared<const Removal::Stack>(Removal::Stack{std::move(windows), std::move(coverage), blends});
    return removal;
}

void X11WindowCompositor::removeWindows(const Removal& removal, std::uint8_t* pixels, std::size_t stride) {
    if (!removal.stack_) return;
    const std::vector<TopLevel>& windows = removal.stack_->windows;
    const Coverage& coverage = removal.stack_->coverage;
    const ScreenPixels screen{pixels, stride, removal.area_};
    // What lies beneath everything: the root's wallpaper or background, else black.
    bool beneath = paintWallpaper(display_, *grabber_, screen, coverage);
    if (!beneath && available_ && !removal.stack_->blends) beneath = paintRootBackground(display_, *grabber_, screen, coverage);
    if (!beneath) blackenTargets(screen, coverage);
    if (!available_) return;

    // The other windows back to front where they show through.
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const TopLevel& w = windows[i];
        if (w.excluded) continue;
        const X11Rect bounds = showingBounds(w, i, coverage);
        if (bounds.isEmpty()) continue;
        if (auto source = grabWindow(display_, *grabber_, w, bounds)) paintWindow(screen, coverage, w, i, bounds, *source);
    }
}

}  // namespace velmo
