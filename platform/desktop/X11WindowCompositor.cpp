#include "platform/desktop/X11WindowCompositor.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/shape.h>
#include <xcb/composite.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
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

namespace {

// A described top-level window as far as it shows in the area, or nothing when it does not;
// `blends`, whether a compositing manager runs.
std::optional<TopLevel> topLevelOf(const X11StackedWindow& a, bool blends, X11Rect area, bool excluded) {
    if (a.mapState != IsViewable || a.inputOnly) return std::nullopt;
    TopLevel w;
    w.id = a.id;
    w.outer = {a.x, a.y, a.width + 2 * a.borderWidth, a.height + 2 * a.borderWidth};
    w.depth = a.depth;
    w.visual = a.visual;
    w.excluded = excluded;
    w.translucent = blends && a.depth == 32;
    for (const X11Rect& r : a.shape) {
        X11Rect clipped = r.intersection(area).intersection(w.outer);
        if (!clipped.isEmpty()) w.shape.push_back(clipped);
    }
    if (w.shape.empty()) return std::nullopt;
    return w;
}

// Pixels as a read answered them: `data` valid while the answer is held.
struct SourcePixels {
    const std::uint8_t* data = nullptr;
    std::size_t stride = 0;
};

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

// Paints `source` (the window's contents within `bounds`) where window `i` shows through.
void paintWindow(const ScreenPixels& screen, const Coverage& coverage, const TopLevel& w, std::size_t i, X11Rect bounds,
                 const SourcePixels& source) {
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

// Copies `source` (the pixels of `part`) where the excluded windows were.
void paintTargets(const ScreenPixels& screen, const Coverage& coverage, X11Rect part, const SourcePixels& source) {
    for (int y = part.y; y < part.y + part.height; ++y) {
        const std::uint8_t* src = source.data + std::size_t(y - part.y) * source.stride;
        for (int x = part.x; x < part.x + part.width; ++x, src += 4) {
            if (coverage.target[coverage.index(x, y)]) std::memcpy(screen.at(x, y), src, 4);
        }
    }
}

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
    // Interned once, so every removal asks for all it needs in one go. Wallpaper setters use
    // these same names; interning them early only makes the atoms exist a little sooner.
    const std::string managerSelection = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display_));
    char* names[] = {const_cast<char*>(managerSelection.c_str()), const_cast<char*>("_XROOTPMAP_ID"),
                     const_cast<char*>("ESETROOT_PMAP_ID")};
    Atom atoms[3] = {None, None, None};
    XInternAtoms(display_, names, 3, False, atoms);
    managerSelection_ = atoms[0];
    wallpaperNames_[0] = atoms[1];
    wallpaperNames_[1] = atoms[2];
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

// A read of pixels asked for ahead. Where the server's image layout is already blue-green-red-x
// it is asked for at once and only its answer awaited later; any other layout is read and
// converted when it is needed.
struct PixelRead {
    Drawable drawable = None;
    int sourceX = 0, sourceY = 0;
    X11Rect rect;  // root coordinates
    int depth = 0;
    Visual* visual = nullptr;
    bool asked = false;
    xcb_get_image_cookie_t cookie{};
    Pixmap ownPixmap = None;  // a window's pixmap named for this read, freed once read
    std::size_t window = 0;  // for a window's read: its index in the stack
};

void discard(xcb_connection_t* connection, xcb_void_cookie_t cookie) { xcb_discard_reply(connection, cookie.sequence); }

// Whether images of this depth and visual come from the server as 4-byte blue-green-red-x.
bool readsDirectly(xcb_connection_t* connection, int depth, const Visual* visual) {
    if (!visual || visual->red_mask != 0xff0000 || visual->green_mask != 0xff00 || visual->blue_mask != 0xff) return false;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
        if (it.data->depth == depth) return it.data->bits_per_pixel == 32 && it.data->scanline_pad == 32;
    }
    return false;
}

}  // namespace

struct X11WindowCompositor::Removal::Plan {
    Display* display = nullptr;
    xcb_connection_t* connection = nullptr;
    X11Rect area;
    bool blends = false;  // a compositing manager ran when the stack was read
    std::vector<Window> children;  // the top-level windows bottom first
    std::set<Window> excludedIds;  // as the filter names them
    // What the box depends on, asked for by `planRemoval`; discarded unless awaited.
    struct Questions {
        bool pending = false;
        xcb_get_selection_owner_cookie_t owner{};
        xcb_query_tree_cookie_t tree{};
        xcb_get_property_cookie_t names[2]{};
        std::unique_ptr<X11WindowQueries> excluded;
    } questions;
    std::vector<TopLevel> excluded;  // those of them excluded that show in the area
    std::unique_ptr<X11WindowQueries> others;  // the rest of the stack, answers pending
    std::vector<Pixmap> wallpaperCandidates;  // what the root's wallpaper properties name, in order
    std::vector<xcb_get_geometry_cookie_t> wallpaperGeometry;  // pending while not empty

    bool prepared = false;
    std::vector<TopLevel> windows;  // the whole stack within the area, once prepared
    Coverage coverage;
    enum class Beneath { nothing, wallpaper, background } beneath = Beneath::nothing;
    std::vector<PixelRead> beneathReads;
    std::vector<PixelRead> windowReads;  // back to front

    ~Plan() {
        if (questions.pending) {
            xcb_discard_reply(connection, questions.owner.sequence);
            xcb_discard_reply(connection, questions.tree.sequence);
            for (const auto& cookie : questions.names) xcb_discard_reply(connection, cookie.sequence);
        }
        for (const auto& cookie : wallpaperGeometry) xcb_discard_reply(connection, cookie.sequence);
        for (auto* reads : {&beneathReads, &windowReads}) {
            for (const PixelRead& r : *reads) {
                if (r.asked) xcb_discard_reply(connection, r.cookie.sequence);
                if (r.ownPixmap != None) discard(connection, xcb_free_pixmap_checked(connection, xcb_pixmap_t(r.ownPixmap)));
            }
        }
        xcb_flush(connection);
    }

    PixelRead ask(Drawable drawable, int sourceX, int sourceY, X11Rect rect, int depth, Visual* visual) {
        PixelRead r;
        r.drawable = drawable;
        r.sourceX = sourceX;
        r.sourceY = sourceY;
        r.rect = rect;
        r.depth = depth;
        r.visual = visual;
        if (readsDirectly(connection, depth, visual)) {
            r.cookie = xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, xcb_drawable_t(drawable), std::int16_t(sourceX),
                                     std::int16_t(sourceY), std::uint16_t(rect.width), std::uint16_t(rect.height), ~0u);
            r.asked = true;
        }
        return r;
    }

    // Waits for a read's answer (or reads it now) and hands its pixels to `paint`; false when
    // the server refused it (a drawable gone meanwhile).
    template <typename Paint>
    bool take(PixelRead& r, X11FrameGrabber& grabber, const Paint& paint) {
        bool ok = false;
        if (r.asked) {
            r.asked = false;
            xcb_generic_error_t* error = nullptr;
            xcb_get_image_reply_t* reply = xcb_get_image_reply(connection, r.cookie, &error);
            const std::size_t stride = std::size_t(r.rect.width) * 4;
            if (reply && !error && std::size_t(xcb_get_image_data_length(reply)) >= stride * std::size_t(r.rect.height)) {
                paint(SourcePixels{xcb_get_image_data(reply), stride});
                ok = true;
            }
            std::free(reply);
            std::free(error);
        } else {
            try {
                const X11FrameGrabber::Pixels px =
                    grabber.grab(r.drawable, r.sourceX, r.sourceY, r.rect.width, r.rect.height, r.depth, r.visual);
                paint(SourcePixels{px.data, px.stride});
                ok = true;
            } catch (const std::exception&) {
            }
        }
        if (r.ownPixmap != None) {
            discard(connection, xcb_free_pixmap_checked(connection, xcb_pixmap_t(r.ownPixmap)));
            r.ownPixmap = None;
        }
        return ok;
    }

    // The first wallpaper pixmap named that still exists and has the root's depth.
    struct Wallpaper {
        Pixmap pixmap = None;
        int width = 0, height = 0;
    };
    std::optional<Wallpaper> wallpaper() {
        std::optional<Wallpaper> found;
        const int rootDepth = DefaultDepth(display, DefaultScreen(display));
        for (std::size_t i = 0; i < wallpaperGeometry.size(); ++i) {
            xcb_generic_error_t* error = nullptr;
            xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(connection, wallpaperGeometry[i], &error);
            if (!found && geometry && !error && geometry->depth == rootDepth && geometry->width > 0 && geometry->height > 0) {
                found = Wallpaper{wallpaperCandidates[i], geometry->width, geometry->height};
            }
            std::free(geometry);
            std::free(error);
        }
        wallpaperGeometry.clear();
        return found;
    }

    // The root's own background, when no property names a wallpaper (a solid colour, or a
    // pixmap set without telling anyone). The server keeps it nowhere readable, so a window that
    // takes its parent's background is put at the bottom of the stack for a moment: redirected,
    // its pixmap holds that background, and where it shows it looks exactly as the root beneath
    // it. All of it is sent at once; the window is gone again before the answer is awaited.
    void askBackground() {
        const X11Rect& box = coverage.box;
        const xcb_window_t root = xcb_window_t(DefaultRootWindow(display));
        const xcb_window_t window = xcb_generate_id(connection);
        const std::uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, 1};
        discard(connection,
                xcb_create_window_checked(connection, XCB_COPY_FROM_PARENT, window, root, std::int16_t(box.x), std::int16_t(box.y),
                                          std::uint16_t(box.width), std::uint16_t(box.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                                          XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values));
        const std::uint32_t below = XCB_STACK_MODE_BELOW;
        discard(connection, xcb_configure_window_checked(connection, window, XCB_CONFIG_WINDOW_STACK_MODE, &below));
        discard(connection, xcb_map_window_checked(connection, window));
        const xcb_pixmap_t pixmap = xcb_generate_id(connection);
        discard(connection, xcb_composite_name_window_pixmap_checked(connection, window, pixmap));
        const int screen = DefaultScreen(display);
        PixelRead r = ask(pixmap, 0, 0, box, DefaultDepth(display, screen), DefaultVisual(display, screen));
        r.ownPixmap = pixmap;
        beneathReads.push_back(r);
        beneath = Beneath::background;
        discard(connection, xcb_destroy_window_checked(connection, window));
    }
};

X11WindowCompositor::Removal::Removal() = default;
X11WindowCompositor::Removal::~Removal() = default;
X11WindowCompositor::Removal::Removal(Removal&&) noexcept = default;
X11WindowCompositor::Removal& X11WindowCompositor::Removal::operator=(Removal&&) noexcept = default;

X11WindowCompositor::Removal X11WindowCompositor::planRemoval(X11Rect area, const std::vector<Window>& excluded) {
    Removal removal;
    if (excluded.empty() || area.isEmpty()) return removal;
    auto plan = std::make_unique<Removal::Plan>();
    plan->display = display_;
    plan->connection = XGetXCBConnection(display_);
    plan->area = area;
    xcb_connection_t* connection = plan->connection;
    const xcb_window_t root = xcb_window_t(DefaultRootWindow(display_));

    // Everything the box depends on at once: whether a compositing manager runs, the stack, the
    // excluded windows themselves, and what names a wallpaper.
    Removal::Plan::Questions& q = plan->questions;
    q.owner = xcb_get_selection_owner(connection, xcb_atom_t(managerSelection_));
    q.tree = xcb_query_tree(connection, root);
    for (int i = 0; i < 2; ++i) q.names[i] = xcb_get_property(connection, 0, root, xcb_atom_t(wallpaperNames_[i]), XCB_ATOM_PIXMAP, 0, 1);
    plan->excludedIds.insert(excluded.begin(), excluded.end());
    q.excluded = std::make_unique<X11WindowQueries>(display_, hasShape_);
    for (Window w : plan->excludedIds) q.excluded->ask(w);
    q.pending = true;
    xcb_flush(connection);
    removal.plan_ = std::move(plan);
    return removal;
}

X11Rect X11WindowCompositor::awaitPlan(Removal& removal) {
    Removal::Plan* plan = removal.plan_.get();
    if (!plan || !plan->questions.pending) return removal.box_;
    Removal::Plan::Questions& q = plan->questions;
    q.pending = false;
    xcb_connection_t* connection = plan->connection;
    xcb_get_selection_owner_reply_t* ownerReply = xcb_get_selection_owner_reply(connection, q.owner, nullptr);
    plan->blends = ownerReply && ownerReply->owner != XCB_NONE;
    std::free(ownerReply);
    if (xcb_query_tree_reply_t* treeReply = xcb_query_tree_reply(connection, q.tree, nullptr)) {
        const xcb_window_t* children = xcb_query_tree_children(treeReply);
        plan->children.assign(children, children + xcb_query_tree_children_length(treeReply));
        std::free(treeReply);
    }
    for (auto& cookie : q.names) {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr);
        if (reply && reply->type == XCB_ATOM_PIXMAP && reply->format == 32 && xcb_get_property_value_length(reply) == 4) {
            const auto pixmap = *static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
            if (pixmap != XCB_NONE) plan->wallpaperCandidates.push_back(pixmap);
        }
        std::free(reply);
    }
    const std::set<Window> topLevels(plan->children.begin(), plan->children.end());
    for (auto& described : q.excluded->collect()) {
        if (!described || !topLevels.count(described->id)) continue;  // gone, or not a top-level window
        if (std::optional<TopLevel> w = topLevelOf(*described, plan->blends, plan->area, true)) plan->excluded.push_back(std::move(*w));
    }
    q.excluded.reset();
    const X11Rect box = excludedBounds(plan->excluded, plan->area);
    if (box.isEmpty()) {
        removal.plan_.reset();  // nothing to take out
        return removal.box_;
    }

    // The rest is needed only once the box's rows arrive.
    plan->others = std::make_unique<X11WindowQueries>(display_, hasShape_);
    for (Window w : plan->children) {
        if (!plan->excludedIds.count(w)) plan->others->ask(w);
    }
    for (Pixmap p : plan->wallpaperCandidates) plan->wallpaperGeometry.push_back(xcb_get_geometry(connection, xcb_drawable_t(p)));
    xcb_flush(connection);
    removal.box_ = box;
    return box;
}

void X11WindowCompositor::prepareRemoval(Removal& removal) {
    awaitPlan(removal);
    Removal::Plan* plan = removal.plan_.get();
    if (!plan || plan->prepared) return;
    plan->prepared = true;
    xcb_connection_t* connection = plan->connection;

    // The whole stack back to front, excluded windows in their places.
    std::vector<std::optional<X11StackedWindow>> others = plan->others->collect();
    std::size_t next = 0;
    for (Window id : plan->children) {
        if (plan->excludedIds.count(id)) {
            for (const TopLevel& w : plan->excluded)
                if (w.id == id) plan->windows.push_back(w);
        } else if (next < others.size()) {
            const std::optional<X11StackedWindow>& described = others[next++];
            if (!described) continue;  // gone meanwhile
            if (std::optional<TopLevel> w = topLevelOf(*described, plan->blends, plan->area, false)) plan->windows.push_back(std::move(*w));
        }
    }
    plan->coverage = coverageOf(plan->windows, removal.box_);

    // What lies beneath everything: the wallpaper, else the root's background.
    const int screen = DefaultScreen(display_);
    if (const auto wallpaper = plan->wallpaper()) {
        // The server tiles it from the root's origin; each tile the box touches is read once.
        const X11Rect& box = removal.box_;
        const int width = wallpaper->width, height = wallpaper->height;
        const int firstColumn = box.x >= 0 ? box.x / width : -((-box.x + width - 1) / width);
        const int firstRow = box.y >= 0 ? box.y / height : -((-box.y + height - 1) / height);
        for (int ty = firstRow * height; ty < box.y + box.height; ty += height) {
            for (int tx = firstColumn * width; tx < box.x + box.width; tx += width) {
                const X11Rect part = X11Rect{tx, ty, width, height}.intersection(box);
                if (part.isEmpty()) continue;
                plan->beneathReads.push_back(plan->ask(wallpaper->pixmap, part.x - tx, part.y - ty, part, DefaultDepth(display_, screen),
                                                       DefaultVisual(display_, screen)));
            }
        }
        plan->beneath = Removal::Plan::Beneath::wallpaper;
    } else if (available_ && !plan->blends) {
        // A compositing manager paints a background of its own and would show the window.
        plan->askBackground();
    }

    // The other windows' own contents where they show through, from the pixmaps the server
    // keeps for them; a window not redirected or gone meanwhile is not read.
    if (available_) {
        for (std::size_t i = 0; i < plan->windows.size(); ++i) {
            const TopLevel& w = plan->windows[i];
            if (w.excluded) continue;
            const X11Rect bounds = showingBounds(w, i, plan->coverage);
            if (bounds.isEmpty()) continue;
            const xcb_pixmap_t pixmap = xcb_generate_id(connection);
            discard(connection, xcb_composite_name_window_pixmap_checked(connection, xcb_window_t(w.id), pixmap));
            PixelRead r = plan->ask(pixmap, bounds.x - w.outer.x, bounds.y - w.outer.y, bounds, w.depth, w.visual);
            r.ownPixmap = pixmap;
            r.window = i;
            plan->windowReads.push_back(r);
        }
    }
    xcb_flush(connection);
}

void X11WindowCompositor::removeWindows(Removal& removal, std::uint8_t* pixels, std::size_t stride) {
    prepareRemoval(removal);
    Removal::Plan* plan = removal.plan_.get();
    if (!plan) return;
    const Coverage& coverage = plan->coverage;
    const ScreenPixels screen{pixels, stride, plan->area};
    using Beneath = Removal::Plan::Beneath;

    bool beneath = false;
    if (plan->beneath == Beneath::wallpaper) {
        beneath = true;
        for (PixelRead& r : plan->beneathReads) {
            beneath =
                plan->take(r, *grabber_, [&](const SourcePixels& source) { paintTargets(screen, coverage, r.rect, source); }) && beneath;
        }
        plan->beneathReads.clear();
        // Freed meanwhile: the root's background instead.
        if (!beneath && available_ && !plan->blends) plan->askBackground();
    }
    if (plan->beneath == Beneath::background) {
        for (PixelRead& r : plan->beneathReads) {
            beneath = plan->take(r, *grabber_, [&](const SourcePixels& source) { paintTargets(screen, coverage, r.rect, source); });
        }
        plan->beneathReads.clear();
    }
    if (!beneath) blackenTargets(screen, coverage);

    // The other windows back to front where they show through.
    for (PixelRead& r : plan->windowReads) {
        const TopLevel& w = plan->windows[r.window];
        plan->take(r, *grabber_, [&](const SourcePixels& source) { paintWindow(screen, coverage, w, r.window, r.rect, source); });
    }
    plan->windowReads.clear();
    xcb_flush(plan->connection);
}

}  // namespace velmo
