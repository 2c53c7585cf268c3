#include "platform/desktop/X11StatusBarDesktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/shape.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <optional>
#include <set>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <map>

#include "platform/desktop/StatusNotifierItem.h"
#include "platform/foundation/Bundle.h"
#include "platform/desktop/X11ErrorTrap.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/runtime/MainLoop.h"

namespace velmo {

namespace {
constexpr long systemTrayRequestDock = 0;
constexpr long xembedMapped = 1;
constexpr int iconSize = 22;

// The bounding shape last given to a window; the server hears only of changes.
class BoundingShape {
public:
    // Shapes the window to `region`, rows of bands as opaqueRegion gives them.
    void set(Display* display, Window window, std::vector<WindowPixelRect> region) {
        if (region_ == region) return;
        std::vector<XRectangle> rects;
        rects.reserve(region.size());
        for (const auto& r : region)
            rects.push_back({short(r.x), short(r.y), static_cast<unsigned short>(r.width), static_cast<unsigned short>(r.height)});
        XShapeCombineRectangles(display, window, ShapeBounding, 0, 0, rects.data(), int(rects.size()), ShapeSet, YXBanded);
        region_ = std::move(region);
    }
    // Leaves the window unshaped.
    void clear(Display* display, Window window) {
        if (!region_) return;
        XShapeCombineMask(display, window, ShapeBounding, 0, 0, None, ShapeSet);
        region_.reset();
    }
    bool isSet() const { return region_.has_value(); }

private:
    std::optional<std::vector<WindowPixelRect>> region_;  // none: unshaped
};
}  // namespace

struct X11StatusBarDesktop::Impl {
    Display* display = nullptr;
    int xiOpcode = 0;
    Window root = 0;
    X11ScreenLayer screenLayer;
    FdWatch watch;
    std::map<MonitorToken, std::pair<unsigned, std::function<void()>>> monitors;
    std::map<MonitorToken, std::pair<unsigned, std::function<void()>>> localMonitors;  // our own windows' clicks
    MonitorToken lastToken = 0;
    // Events of our own windows go to these.
    std::map<Window, std::function<void(const XEvent&)>> windowHandlers;
    std::function<void(const XEvent&)> rootHandler;
    std::function<bool(Point)> isOverStatusItem;
    // Overlays on screen, raised again when another top-level window comes up or is restacked.
    std::set<Window> shownOverlays;
    std::set<Window> overlays;
    // The panels: kept above the overlays (and the onboarding video they draw).
    std::set<Window> panels;
    std::set<Window> shownPanels;
    bool watchesStacking = false;
    // Whether the user pressed on the status item or a panel since one came up: the application
    // counts as active only then, as its windows never take the focus.
    bool ownPressSinceShown = false;
    bool selectsRawPresses = false;
    // Overlays and panels re-set their look when a compositing manager comes or goes.
    int xfixesEventBase = -1;
    std::map<Window, std::function<void(bool)>> compositorListeners;

    struct FloatingWindow {
        Window window = 0;
        int depth = 0;
        Visual* visual = nullptr;
        Colormap colormap = 0;
    };
    // An override-redirect window that never takes the focus and, for a window manager that
    // looks, floats above on every workspace; 32-bit when the screen has such a visual (or
    // none at all when `argbOnly`).
    std::optional<FloatingWindow> createFloatingWindow(const X11Rect& r, long eventMask, const char* windowType, bool argbOnly) {
        Display* d = display;
        const int screen = DefaultScreen(d);
        XVisualInfo info{};
        FloatingWindow f{0, DefaultDepth(d, screen), DefaultVisual(d, screen), 0};
        XSetWindowAttributes attributes{};
        unsigned long valueMask = CWOverrideRedirect | CWEventMask | CWBorderPixel | CWBackPixel;
        if (XMatchVisualInfo(d, screen, 32, TrueColor, &info)) {
            f.depth = 32;
            f.visual = info.visual;
            f.colormap = XCreateColormap(d, root, f.visual, AllocNone);
            attributes.colormap = f.colormap;
            valueMask |= CWColormap;
        } else if (argbOnly) {
            return std::nullopt;
        }
        attributes.override_redirect = True;
        attributes.border_pixel = 0;
        attributes.background_pixel = 0;
        attributes.event_mask = eventMask;
        f.window = XCreateWindow(d, root, r.x, r.y, unsigned(std::max(1, r.width)), unsigned(std::max(1, r.height)), 0, f.depth,
                                 InputOutput, f.visual, valueMask, &attributes);
        XWMHints hints{};
        hints.flags = InputHint;
        hints.input = False;
        XSetWMHints(d, f.window, &hints);
        Atom type = atom(windowType);
        XChangeProperty(d, f.window, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&type), 1);
        Atom states[3] = {atom("_NET_WM_STATE_ABOVE"), atom("_NET_WM_STATE_STICKY"), atom("_NET_WM_STATE_SKIP_TASKBAR")};
        XChangeProperty(d, f.window, atom("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char*>(states), 3);
        long allDesktops = 0xFFFFFFFF;
        XChangeProperty(d, f.window, atom("_NET_WM_DESKTOP"), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&allDesktops), 1);
        // Named as the application's, so screenshots leave it out.
        if (auto identifier = Bundle::main().bundleIdentifier()) X11ScreenLayer::setOwningBundleIdentifier(d, f.window, *identifier);
        return f;
    }

    void stackingChanged(const XEvent& event) {
        Window subject = event.type == MapNotify ? event.xmap.window : event.type == ConfigureNotify ? event.xconfigure.window : 0;
        if (!subject || subject == root || overlays.count(subject) || panels.count(subject) || shownOverlays.empty()) return;
        for (Window w : shownOverlays) XRaiseWindow(display, w);
        raisePanels();
        XFlush(display);
    }
    void raisePanels() {
        for (Window w : shownPanels) XRaiseWindow(display, w);
    }

    Atom compositorSelection() {
        char name[32];
        std::snprintf(name, sizeof name, "_NET_WM_CM_S%d", DefaultScreen(display));
        return atom(name);
    }
    bool hasCompositingManager() { return XGetSelectionOwner(display, compositorSelection()) != 0; }

    void compositorChanged() {
        const bool compositing = hasCompositingManager();
        auto copy = compositorListeners;
        for (auto& [window, listener] : copy)
            if (compositorListeners.count(window)) listener(compositing);
    }

    // Raw presses are read only while someone watches them.
    void updateRawPressSelection() {
        const bool wanted = !monitors.empty() || !localMonitors.empty();
        if (wanted == selectsRawPresses) return;
        selectsRawPresses = wanted;
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        if (wanted) XISetMask(bits, XI_RawButtonPress);
        XIEventMask selection{XIAllMasterDevices, int(sizeof bits), bits};
        XISelectEvents(display, root, &selection, 1);
        XFlush(display);
    }

    // Work areas are in root pixels, one per virtual desktop; the current one counts.
    std::optional<X11Rect> workArea() {
        long desktop = 0;
        if (auto current = cardinals(root, "_NET_CURRENT_DESKTOP", 1); current.size() == 1) desktop = current[0];
        auto areas = cardinals(root, "_NET_WORKAREA", 4 * (desktop + 1));
        if (areas.size() < std::size_t(4 * (desktop + 1))) {
            if (areas.size() < 4) return std::nullopt;
            desktop = 0;
        }
        const long* a = areas.data() + 4 * desktop;
        return X11Rect{int(a[0]), int(a[1]), int(a[2]), int(a[3])};
    }
    std::vector<long> cardinals(Window window, const char* name, long count) {
        Atom type = 0;
        int format = 0;
        unsigned long n = 0, after = 0;
        unsigned char* data = nullptr;
        std::vector<long> values;
        if (XGetWindowProperty(display, window, atom(name), 0, count, False, XA_CARDINAL, &type, &format, &n, &after, &data) == Success &&
            data && format == 32)
            values.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + n);
        if (data) XFree(data);
        return values;
    }

    Impl(Display* d, int opcode, const std::string& name)
        : display(d),
          xiOpcode(opcode),
          root(DefaultRootWindow(d)),
          screenLayer(X11ScreenLayer::Options{name}) {}

    Atom atom(const char* name) { return XInternAtom(display, name, False); }

    void readEvents() {
        // A dead connection stays readable for ever; the loss handler ends the process.
        if (display && x11ServerIsGone(display)) {
            watch.cancel();
            return;
        }
        while (display && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            XGenericEventCookie* cookie = &event.xcookie;
            if (cookie->type == GenericEvent && cookie->extension == xiOpcode) {
                if (!XGetEventData(display, cookie)) continue;
                const int type = cookie->evtype;
                const int button = static_cast<XIRawEvent*>(cookie->data)->detail;
                XFreeEventData(display, cookie);
                if (type == XI_RawButtonPress) mouseDown(button);
                continue;
            }
            if (xfixesEventBase >= 0 && event.type == xfixesEventBase + XFixesSelectionNotify) {
                compositorChanged();
                continue;
            }
            auto handler = windowHandlers.find(event.xany.window);
            if (handler != windowHandlers.end()) {
                auto call = handler->second;
                call(event);
            } else if (event.xany.window == root) {
                if (event.type == MapNotify || event.type == ConfigureNotify) stackingChanged(event);
                if (rootHandler) {
                    auto call = rootHandler;
                    call(event);
                }
            }
        }
    }

    void mouseDown(int button) {
        unsigned bit = button == 1 ? MouseEventMask::leftMouseDown : button == 3 ? MouseEventMask::rightMouseDown : 0;
        if (bit == 0 || (monitors.empty() && localMonitors.empty())) return;
        // A click of the status item or of a panel is the application's own, not a click elsewhere.
        const bool own = (isOverStatusItem && isOverStatusItem(screenLayer.mouseLocation())) || isOverOwnWindow();
        if (own) ownPressSinceShown = true;
        auto& chosen = own ? localMonitors : monitors;
        auto copy = chosen;
        for (auto& [token, monitor] : copy)
            if ((monitor.first & bit) && chosen.count(token)) monitor.second();
    }

    // Whether the top-level window under the pointer is one of ours that takes clicks (the
    // overlays let every click through).
    bool isOverOwnWindow() {
        Window rootReturn = 0, child = 0;
        int rootX = 0, rootY = 0, x = 0, y = 0;
        unsigned mask = 0;
        if (!XQueryPointer(display, root, &rootReturn, &child, &rootX, &rootY, &x, &y, &mask)) return false;
        return child != 0 && windowHandlers.count(child) > 0 && overlays.count(child) == 0;
    }

    // Xlib may hold events it read while waiting for a reply; the descriptor does not announce those.
    void scheduleRead(const std::weak_ptr<X11StatusBarDesktop>& weak) {
        MainLoop::postToMain([weak] {
            if (auto self = weak.lock()) self->impl_->readEvents();
        });
    }

    std::optional<X11Rect> rootRectOf(Window window) {
        X11ErrorTrap trap(display);
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable) return std::nullopt;
        int x = 0, y = 0;
        Window child = 0;
        if (!XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child)) return std::nullopt;
        if (trap.failed()) return std::nullopt;
        return X11Rect{x, y, attributes.width, attributes.height};
    }

    // Whether any of `r` lies on a monitor (a tray may park an icon it cannot show far off).
    bool isOnScreen(const X11Rect& r) {
        for (const X11Monitor& monitor : screenLayer.monitors())
            if (!monitor.rect.intersection(r).isEmpty()) return true;
        return false;
    }
};

namespace {

// The icon's window belongs to the tray once docked: a tray that goes without a save-set entry
// takes it along, so every request on it runs under the error trap, and the icon makes a new
// window for the next tray.
class X11TrayIcon final : public StatusItem, public std::enable_shared_from_this<X11TrayIcon> {
public:
    X11TrayIcon(std::shared_ptr<X11StatusBarDesktop> owner, X11StatusBarDesktop::Impl& impl)
        : owner_(std::move(owner)),
          impl_(impl) {}
    ~X11TrayIcon() override {
        impl_.isOverStatusItem = nullptr;
        impl_.rootHandler = nullptr;
        forgetWindow();
    }

    // Makes the icon's window and asks the tray to dock it; false when the tray refused.
    bool dockWith(Window manager) {
        Display* d = impl_.display;
        if (!window_) {
            XSetWindowAttributes attributes{};
            attributes.background_pixmap = ParentRelative;
            attributes.event_mask = ExposureMask | ButtonPressMask | StructureNotifyMask;
            window_ = XCreateWindow(d, impl_.root, 0, 0, iconSize, iconSize, 0, CopyFromParent, InputOutput, CopyFromParent,
                                    CWBackPixmap | CWEventMask, &attributes);
            // Without a minimum size trays shrink the icon to a sliver or park it off screen.
            XSizeHints* size = XAllocSizeHints();
            size->flags = PSize | PMinSize | PBaseSize;
            size->width = size->min_width = size->base_width = iconSize;
            size->height = size->min_height = size->base_height = iconSize;
            XSetWMNormalHints(d, window_, size);
            XFree(size);
            long info[2] = {0, xembedMapped};
            Atom xembedInfo = impl_.atom("_XEMBED_INFO");
            XChangeProperty(d, window_, xembedInfo, xembedInfo, 32, PropModeReplace, reinterpret_cast<unsigned char*>(info), 2);
            if (!toolTip_.empty()) XStoreName(d, window_, toolTip_.c_str());
            std::weak_ptr<X11TrayIcon> weak = weak_from_this();
            impl_.windowHandlers[window_] = [weak](const XEvent& event) {
                if (auto self = weak.lock()) self->handle(event);
            };
        }
        if (!requestDock(manager)) return false;
        setTint(trayForeground(manager));
        return true;
    }

    void setTemplateIcon(StatusItemIcon icon) override {
        icon_ = std::move(icon);
        draw();
    }
    void setToolTip(const std::string& text) override {
        toolTip_ = text;
        if (!window_) return;
        X11ErrorTrap trap(impl_.display);
        XStoreName(impl_.display, window_, text.c_str());
        XFlush(impl_.display);
    }
    void setAction(std::function<void()> action) override { action_ = std::move(action); }
    void setTint(unsigned long pixel) {
        tint_ = pixel;
        draw();
    }
    std::optional<Rect> buttonWindowFrame() const override {
        if (!window_) return std::nullopt;
        auto rect = impl_.rootRectOf(window_);
        impl_.scheduleRead(owner_);
        if (!rect || !impl_.isOnScreen(*rect)) return std::nullopt;
        return impl_.screenLayer.globalSpace().rectFromX11(*rect);
    }

    void handle(const XEvent& event) {
        if (event.type == DestroyNotify && event.xdestroywindow.window == window_) {
            impl_.windowHandlers.erase(window_);
            window_ = 0;
            return;
        }
        if (event.type == Expose && event.xexpose.count == 0) draw();
        if (event.type == ConfigureNotify) draw();
        if (event.type == ButtonPress) impl_.ownPressSinceShown = true;
        if (event.type == ButtonPress && event.xbutton.button == Button1 && action_) {
            auto action = action_;
            action();
        }
    }
    Window window() const { return window_; }

private:
    void forgetWindow() {
        if (!window_) return;
        impl_.windowHandlers.erase(window_);
        X11ErrorTrap trap(impl_.display);
        XDestroyWindow(impl_.display, window_);
        trap.failed();
        window_ = 0;
    }

    bool requestDock(Window manager) {
        XEvent dock{};
        dock.xclient.type = ClientMessage;
        dock.xclient.window = manager;
        dock.xclient.message_type = impl_.atom("_NET_SYSTEM_TRAY_OPCODE");
        dock.xclient.format = 32;
        dock.xclient.data.l[0] = CurrentTime;
        dock.xclient.data.l[1] = systemTrayRequestDock;
        dock.xclient.data.l[2] = long(window_);
        X11ErrorTrap trap(impl_.display);
        XSendEvent(impl_.display, manager, False, NoEventMask, &dock);
        return !trap.failed();
    }

    // The tray's own foreground colour (_NET_SYSTEM_TRAY_COLORS), else white for a dark panel.
    unsigned long trayForeground(Window manager) {
        Display* d = impl_.display;
        unsigned long pixel = WhitePixel(d, DefaultScreen(d));
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        X11ErrorTrap trap(d);
        if (XGetWindowProperty(d, manager, impl_.atom("_NET_SYSTEM_TRAY_COLORS"), 0, 12, False, XA_CARDINAL, &type, &format, &count, &after,
                               &data) == Success &&
            data && format == 32 && count >= 3) {
            const auto* values = reinterpret_cast<const unsigned long*>(data);
            XColor colour{};
            colour.red = static_cast<unsigned short>(values[0]);
            colour.green = static_cast<unsigned short>(values[1]);
            colour.blue = static_cast<unsigned short>(values[2]);
            if (XAllocColor(d, DefaultColormap(d, DefaultScreen(d)), &colour)) pixel = colour.pixel;
        }
        if (data) XFree(data);
        trap.failedAfterReply();
        return pixel;
    }

    // The template drawn in the panel's light tint, outlined, over the tray's own background.
    void draw() {
        if (!window_) return;
        Display* d = impl_.display;
        X11ErrorTrap trap(d);
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(d, window_, &attributes)) return;
        XClearWindow(d, window_);
        if (icon_.width > 0) {
            const int left = (attributes.width - icon_.width) / 2, top = (attributes.height - icon_.height) / 2;
            // The tray's window may have no alpha: the outlined icon in its two colours, each
            // pixel the one that covers it most.
            XColor tint{};
            tint.pixel = tint_;
            XQueryColor(d, attributes.colormap ? attributes.colormap : DefaultColormap(d, DefaultScreen(d)), &tint);
            const std::uint32_t tintRGB = (std::uint32_t(tint.red >> 8) << 16) | (std::uint32_t(tint.green >> 8) << 8) | (tint.blue >> 8);
            const StatusItemIcon shown = tintedOutlinedIcon(icon_, tintRGB);
            std::vector<XPoint> glyph, outline;
            for (int y = 0; y < icon_.height; ++y)
                for (int x = 0; x < icon_.width; ++x) {
                    const std::size_t i = std::size_t(y) * icon_.width + x;
                    if ((icon_.argb[i] >> 24) >= 128)
                        glyph.push_back({short(left + x), short(top + y)});
                    else if ((shown.argb[i] >> 24) >= 96)
                        outline.push_back({short(left + x), short(top + y)});
                }
            const bool lightTint = 0.2126 * (tint.red >> 8) + 0.7152 * (tint.green >> 8) + 0.0722 * (tint.blue >> 8) > 127.5;
            GC gc = XCreateGC(d, window_, 0, nullptr);
            XSetForeground(d, gc, lightTint ? BlackPixel(d, DefaultScreen(d)) : WhitePixel(d, DefaultScreen(d)));
            XDrawPoints(d, window_, gc, outline.data(), int(outline.size()), CoordModeOrigin);
            XSetForeground(d, gc, tint_);
            XDrawPoints(d, window_, gc, glyph.data(), int(glyph.size()), CoordModeOrigin);
            XFreeGC(d, gc);
        }
        trap.failed();
    }

    std::shared_ptr<X11StatusBarDesktop> owner_;  // the connection outlives its windows
    X11StatusBarDesktop::Impl& impl_;
    Window window_ = 0;  // 0: gone with the tray that had it
    StatusItemIcon icon_;
    std::string toolTip_;
    std::function<void()> action_;
    unsigned long tint_ = 0xFFFFFF;
};

class X11Panel final : public PanelWindow {
public:
    X11Panel(std::shared_ptr<X11StatusBarDesktop> owner, X11StatusBarDesktop::Impl& impl, Window window, int depth, Visual* visual,
             Colormap colormap, Rect frame)
        : owner_(std::move(owner)),
          impl_(impl),
          window_(window),
          depth_(depth),
          visual_(visual),
          colormap_(colormap),
          frame_(frame) {
        impl_.compositorListeners[window_] = [this](bool) {
            if (!visible_ || pixels_.empty()) return;
            shapeToWhatIsDrawn();
            draw();
        };
    }
    ~X11Panel() override {
        impl_.compositorListeners.erase(window_);
        impl_.windowHandlers.erase(window_);
        impl_.panels.erase(window_);
        impl_.shownPanels.erase(window_);
        if (hand_) XFreeCursor(impl_.display, hand_);
        XDestroyWindow(impl_.display, window_);
        if (colormap_) XFreeColormap(impl_.display, colormap_);
        XFlush(impl_.display);
    }

    void setFrame(const Rect& frame) override {
        frame_ = frame;
        X11Rect r = impl_.screenLayer.globalSpace().rectToX11(frame);
        XMoveResizeWindow(impl_.display, window_, r.x, r.y, unsigned(std::max(1, r.width)), unsigned(std::max(1, r.height)));
        XFlush(impl_.display);
    }
    Rect frame() const override { return frame_; }
    void display(const std::uint8_t* pixels, int width, int height, int stride) override {
        pixels_.assign(pixels, pixels + std::size_t(stride) * height);
        width_ = width;
        height_ = height;
        stride_ = stride;
        shapeToWhatIsDrawn();
        draw();
    }
    // Presses in the shadow's room go to the windows beneath, as if the panel were not there.
    void setContentRect(const Rect& rect) override {
        const WindowPixelRect r{int(std::lround(rect.minX())), int(std::lround(rect.minY())), int(std::lround(rect.width)),
                                int(std::lround(rect.height))};
        if (contentRect_ == r) return;
        contentRect_ = r;
        XRectangle input{short(r.x), short(r.y), static_cast<unsigned short>(std::max(0, r.width)),
                         static_cast<unsigned short>(std::max(0, r.height))};
        XShapeCombineRectangles(impl_.display, window_, ShapeInput, 0, 0, &input, 1, ShapeSet, Unsorted);
        if (!pixels_.empty()) shapeToWhatIsDrawn();
        XFlush(impl_.display);
    }
    void orderFront() override {
        impl_.shownPanels.insert(window_);
        XMapRaised(impl_.display, window_);
        // The panel is override-redirect, so it is viewable from here on; what display() drew
        // while it was unmapped was lost, and the Expose may sit unseen in Xlib's queue (read
        // there while some later call waited for a reply) until other traffic comes.
        draw();
        XFlush(impl_.display);
        visible_ = true;
    }
    void orderOut() override {
        impl_.shownPanels.erase(window_);
        XUnmapWindow(impl_.display, window_);
        XFlush(impl_.display);
        visible_ = false;
        if (impl_.shownPanels.empty()) impl_.ownPressSinceShown = false;
    }
    bool isVisible() const override { return visible_; }

    // InputOnly children with the hand cursor and no event mask: the cursor changes over them
    // and their clicks go on to the panel.
    void setPointingHandRegions(const std::vector<Rect>& regions) override {
        if (!hand_) hand_ = XCreateFontCursor(impl_.display, XC_hand2);
        while (regionWindows_.size() > regions.size()) {
            XDestroyWindow(impl_.display, regionWindows_.back());
            regionWindows_.pop_back();
        }
        for (std::size_t i = 0; i < regions.size(); ++i) {
            const Rect& r = regions[i];
            const int x = int(std::lround(r.minX())), y = int(std::lround(r.minY()));
            const unsigned w = unsigned(std::max(1L, std::lround(r.width))), h = unsigned(std::max(1L, std::lround(r.height)));
            if (i < regionWindows_.size()) {
                XMoveResizeWindow(impl_.display, regionWindows_[i], x, y, w, h);
                continue;
            }
            XSetWindowAttributes attributes{};
            attributes.cursor = hand_;
            Window region = XCreateWindow(impl_.display, window_, x, y, w, h, 0, 0, InputOnly, CopyFromParent, CWCursor, &attributes);
            XMapWindow(impl_.display, region);
            regionWindows_.push_back(region);
        }
        XFlush(impl_.display);
    }

    void setClickHandler(std::function<void(Point)> handler) override { clickHandler_ = std::move(handler); }

    // Without a compositing manager (or a visual with alpha) the server shows alpha as black:
    // the card's rounded corners and its shadow, with the room around the card, are shaped out.
    void shapeToWhatIsDrawn() {
        if (depth_ == 32 && impl_.hasCompositingManager()) {
            shape_.clear(impl_.display, window_);
        } else {
            const WindowPixelRect card = contentRect_.value_or(WindowPixelRect{0, 0, width_, height_});
            shape_.set(impl_.display, window_, opaqueRegion(pixels_.data(), width_, height_, stride_, {card}));
        }
    }

    void handle(const XEvent& event) {
        if (event.type == Expose && event.xexpose.count == 0) draw();
        // A click is a press and a release of the left button, both in the panel.
        if (event.type == ButtonPress) impl_.ownPressSinceShown = true;
        if (event.type == ButtonPress && event.xbutton.button == Button1) pressed_ = true;
        if (event.type == ButtonRelease && event.xbutton.button == Button1 && pressed_) {
            pressed_ = false;
            const XButtonEvent& b = event.xbutton;
            if (b.x < 0 || b.y < 0 || b.x >= width_ || b.y >= height_ || !clickHandler_) return;
            auto handler = clickHandler_;  // it may replace itself
            handler({b.x + 0.5, b.y + 0.5});
        }
    }
    Window window() const { return window_; }

private:
    void draw() {
        if (pixels_.empty()) return;
        XImage* image = XCreateImage(impl_.display, visual_, unsigned(depth_), ZPixmap, 0, reinterpret_cast<char*>(pixels_.data()),
                                     unsigned(width_), unsigned(height_), 32, stride_);
        if (!image) return;
        GC gc = XCreateGC(impl_.display, window_, 0, nullptr);
        XPutImage(impl_.display, window_, gc, image, 0, 0, 0, 0, unsigned(width_), unsigned(height_));
        XFreeGC(impl_.display, gc);
        image->data = nullptr;  // ours
        XDestroyImage(image);
        XFlush(impl_.display);
    }

    std::shared_ptr<X11StatusBarDesktop> owner_;  // the connection outlives its windows
    X11StatusBarDesktop::Impl& impl_;
    Window window_;
    int depth_;
    Visual* visual_;
    Colormap colormap_;
    Rect frame_;
    std::vector<std::uint8_t> pixels_;
    int width_ = 0, height_ = 0, stride_ = 0;
    Cursor hand_ = 0;
    std::vector<Window> regionWindows_;
    bool visible_ = false;
    bool pressed_ = false;
    std::function<void(Point)> clickHandler_;
    BoundingShape shape_;
    std::optional<WindowPixelRect> contentRect_;  // none: the whole window
};

// A click-through window of the overlay. Frames are copied out as their damaged rectangles:
// through a shared-memory image of the window's size where the server takes one, else with
// XPutImage straight from the caller's pixels.
class X11OverlayWindow final : public OverlayPlatformWindow {
public:
    X11OverlayWindow(std::shared_ptr<X11StatusBarDesktop> owner, X11StatusBarDesktop::Impl& impl,
                     X11StatusBarDesktop::Impl::FloatingWindow f, Rect frame)
        : owner_(std::move(owner)),
          impl_(impl),
          f_(f),
          frame_(frame) {
        impl_.overlays.insert(f_.window);
        gc_ = XCreateGC(impl_.display, f_.window, 0, nullptr);
        impl_.compositorListeners[f_.window] = [this](bool compositing) { compositorChanged(compositing); };
    }
    ~X11OverlayWindow() override {
        impl_.compositorListeners.erase(f_.window);
        impl_.overlays.erase(f_.window);
        impl_.shownOverlays.erase(f_.window);
        releaseShm();
        XFreeGC(impl_.display, gc_);
        XDestroyWindow(impl_.display, f_.window);
        if (f_.colormap) XFreeColormap(impl_.display, f_.colormap);
        XFlush(impl_.display);
    }

    void present(const std::uint8_t* pixels, int width, int height, int stride, const std::vector<WindowPixelRect>& damaged,
                 const std::vector<WindowPixelRect>& drawn) override {
        Display* d = impl_.display;
        const bool drawnChanged = drawn != drawn_;
        drawn_ = drawn;
        if (!compositing_ && (!damaged.empty() || drawnChanged))
            shape_.set(d, f_.window, opaqueRegion(pixels, width, height, stride, drawn));
        width_ = width;
        height_ = height;
        if (ensureShm(width, height)) {
            for (const auto& r : damaged) {
                for (int y = r.y; y < r.y + r.height; ++y)
                    std::memcpy(shmImage_->data + std::size_t(y) * shmImage_->bytes_per_line + std::size_t(r.x) * 4,
                                pixels + std::size_t(y) * stride + std::size_t(r.x) * 4, std::size_t(r.width) * 4);
                XShmPutImage(d, f_.window, gc_, shmImage_, r.x, r.y, r.x, r.y, unsigned(r.width), unsigned(r.height), False);
            }
            // The next frame writes into the same memory: the server must be done with this one.
            XSync(d, False);
            return;
        }
        // A copy, for putting the whole frame back when the compositing manager comes or goes.
        const std::size_t rowBytes = std::size_t(width) * 4;
        if (copy_.size() != rowBytes * std::size_t(height)) copy_.assign(rowBytes * std::size_t(height), 0);
        for (const auto& r : damaged)
            for (int y = r.y; y < r.y + r.height; ++y)
                std::memcpy(copy_.data() + std::size_t(y) * rowBytes + std::size_t(r.x) * 4,
                            pixels + std::size_t(y) * stride + std::size_t(r.x) * 4, std::size_t(r.width) * 4);
        putImage(pixels, stride, damaged);
    }

    // A compositing manager came or went: the window's alpha is blended, or shown as black
    // where the window is not shaped out, and the server may have dropped its contents.
    void compositorChanged(bool compositing) {
        if (compositing == compositing_) return;
        compositing_ = compositing;
        if (!isVisible() || width_ == 0) {
            if (compositing_) shape_.clear(impl_.display, f_.window);
            return;
        }
        const std::uint8_t* pixels = shmImage_ ? reinterpret_cast<const std::uint8_t*>(shmImage_->data) : copy_.data();
        const int stride = shmImage_ ? shmImage_->bytes_per_line : width_ * 4;
        if (compositing_) {
            shape_.clear(impl_.display, f_.window);
        } else {
            shape_.set(impl_.display, f_.window, opaqueRegion(pixels, width_, height_, stride, drawn_));
        }
        const std::vector<WindowPixelRect> whole{{0, 0, width_, height_}};
        if (shmImage_) {
            XShmPutImage(impl_.display, f_.window, gc_, shmImage_, 0, 0, 0, 0, unsigned(width_), unsigned(height_), False);
            XSync(impl_.display, False);
        } else {
            putImage(pixels, stride, whole);
        }
    }
    void orderFrontRegardless() override {
        compositing_ = impl_.hasCompositingManager();
        if (compositing_) {
            shape_.clear(impl_.display, f_.window);
        } else if (!shape_.isSet()) {
            shape_.set(impl_.display, f_.window, {});  // nothing drawn yet: an unshaped window would cover the screen in black
        }
        impl_.shownOverlays.insert(f_.window);
        XMapRaised(impl_.display, f_.window);
        impl_.raisePanels();
        XFlush(impl_.display);
    }
    void orderOut() override {
        impl_.shownOverlays.erase(f_.window);
        XUnmapWindow(impl_.display, f_.window);
        XFlush(impl_.display);
    }
    bool isVisible() const override { return impl_.shownOverlays.count(f_.window) > 0; }
    Rect frame() const override { return frame_; }
    Window window() const { return f_.window; }

private:
    bool ensureShm(int width, int height) {
        if (shmFailed_) return false;
        if (shmImage_ && shmImage_->width == width && shmImage_->height == height) return true;
        releaseShm();
        Display* d = impl_.display;
        if (!XShmQueryExtension(d)) return !(shmFailed_ = true);
        shmImage_ = XShmCreateImage(d, f_.visual, 32, ZPixmap, nullptr, &shm_, unsigned(width), unsigned(height));
        if (!shmImage_) return !(shmFailed_ = true);
        shm_.shmid = shmget(IPC_PRIVATE, std::size_t(shmImage_->bytes_per_line) * height, IPC_CREAT | 0600);
        if (shm_.shmid < 0) {
            XDestroyImage(shmImage_);
            shmImage_ = nullptr;
            return !(shmFailed_ = true);
        }
        shm_.shmaddr = shmImage_->data = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
        shm_.readOnly = False;
        X11ErrorTrap trap(d);
        XShmAttach(d, &shm_);
        const bool failed = trap.failed();
        shmctl(shm_.shmid, IPC_RMID, nullptr);  // gone once both sides detach
        if (failed) {  // a server on another machine
            shmdt(shm_.shmaddr);
            XDestroyImage(shmImage_);
            shmImage_ = nullptr;
            return !(shmFailed_ = true);
        }
        std::memset(shmImage_->data, 0, std::size_t(shmImage_->bytes_per_line) * height);
        return true;
    }
    void releaseShm() {
        if (!shmImage_) return;
        XShmDetach(impl_.display, &shm_);
        XSync(impl_.display, False);
        shmdt(shm_.shmaddr);
        XDestroyImage(shmImage_);
        shmImage_ = nullptr;
    }

    std::shared_ptr<X11StatusBarDesktop> owner_;  // the connection outlives its windows
    X11StatusBarDesktop::Impl& impl_;
    X11StatusBarDesktop::Impl::FloatingWindow f_;
    Rect frame_;
    GC gc_ = nullptr;
    void putImage(const std::uint8_t* pixels, int stride, const std::vector<WindowPixelRect>& rects) {
        Display* d = impl_.display;
        XImage* image = XCreateImage(d, f_.visual, 32, ZPixmap, 0, reinterpret_cast<char*>(const_cast<std::uint8_t*>(pixels)),
                                     unsigned(width_), unsigned(height_), 32, stride);
        if (!image) return;
        for (const auto& r : rects) XPutImage(d, f_.window, gc_, image, r.x, r.y, r.x, r.y, unsigned(r.width), unsigned(r.height));
        image->data = nullptr;  // not the image's
        XDestroyImage(image);
        XFlush(d);
    }

    bool compositing_ = false;
    BoundingShape shape_;
    std::vector<WindowPixelRect> drawn_;
    int width_ = 0, height_ = 0;
    std::vector<std::uint8_t> copy_;  // without shared memory
    XShmSegmentInfo shm_{};
    XImage* shmImage_ = nullptr;
    bool shmFailed_ = false;
};

}  // namespace

std::shared_ptr<X11StatusBarDesktop> X11StatusBarDesktop::open(const std::optional<std::string>& displayName) {
    std::string name;
    if (displayName) {
        name = *displayName;
    } else {
        const char* env = std::getenv("DISPLAY");
        if (!env || !*env) return nullptr;
        name = env;
    }
    Display* display = XOpenDisplay(name.c_str());
    if (!display) return nullptr;
    watchX11ServerLoss(display);
    int opcode = 0, event = 0, error = 0, major = 2, minor = 1;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error) || XIQueryVersion(display, &major, &minor) != Success ||
        major < 2 || (major == 2 && minor < 1)) {
        closeWatchedDisplay(display);
        return nullptr;
    }
    XSelectInput(display, DefaultRootWindow(display), StructureNotifyMask | PropertyChangeMask);
    auto desktop = std::make_shared<X11StatusBarDesktop>(std::make_unique<Impl>(display, opcode, name));
    int fixesError = 0;
    if (XFixesQueryExtension(display, &desktop->impl_->xfixesEventBase, &fixesError)) {
        XFixesSelectSelectionInput(
            display, DefaultRootWindow(display), desktop->impl_->compositorSelection(),
            XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask | XFixesSelectionClientCloseNotifyMask);
    } else {
        desktop->impl_->xfixesEventBase = -1;
    }
    XSync(display, False);
    std::weak_ptr<X11StatusBarDesktop> weak = desktop;
    if (auto loop = MainLoop::current()) {
        desktop->impl_->watch = loop->watchFd(ConnectionNumber(display), FdReadable, [weak](unsigned) {
            if (auto self = weak.lock()) self->impl_->readEvents();
        });
        desktop->impl_->scheduleRead(weak);
    }
    return desktop;
}

X11StatusBarDesktop::X11StatusBarDesktop(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)) {}

X11StatusBarDesktop::~X11StatusBarDesktop() {
    impl_->watch.cancel();
    closeWatchedDisplay(impl_->display);
}

std::shared_ptr<StatusItem> X11StatusBarDesktop::makeStatusItem() {
    // Current desktops show StatusNotifierItems; an XEmbed tray is the older way.
    std::weak_ptr<X11StatusBarDesktop> weakSelf = weak_from_this();
    auto notifierItem = makeStatusNotifierItem({"",
                                                [weakSelf](int x, int y) {
                                                    auto self = weakSelf.lock();
                                                    if (!self) return Point{};
                                                    // A point off the root would hang the panel off screen.
                                                    Display* d = self->impl_->display;
                                                    x = std::clamp(x, 0, std::max(0, DisplayWidth(d, DefaultScreen(d)) - 1));
                                                    y = std::clamp(y, 0, std::max(0, DisplayHeight(d, DefaultScreen(d)) - 1));
                                                    return self->impl_->screenLayer.globalSpace().pointFromX11Pixel(x, y);
                                                },
                                                [weakSelf] {
                                                    // A click on the item in the desktop's own panel.
                                                    if (auto self = weakSelf.lock()) self->impl_->ownPressSinceShown = true;
                                                }});
    if (notifierItem) {
        std::weak_ptr<StatusItem> weakItem = notifierItem;
        impl_->isOverStatusItem = [weakItem](Point p) {
            auto item = weakItem.lock();
            auto frame = item ? item->buttonWindowFrame() : std::nullopt;
            return frame && frame->contains(p);
        };
        return notifierItem;
    }
    Display* d = impl_->display;
    const int screen = DefaultScreen(d);
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    Window manager = XGetSelectionOwner(d, impl_->atom(selection.c_str()));
    if (manager == None) return nullptr;
    auto icon = std::make_shared<X11TrayIcon>(shared_from_this(), *impl_);
    if (!icon->dockWith(manager)) return nullptr;
    std::weak_ptr<X11TrayIcon> weakIcon = icon;
    // A tray manager that starts later (or again) announces itself on the root: dock with it.
    const Atom selectionAtom = impl_->atom(selection.c_str()), managerAtom = impl_->atom("MANAGER");
    impl_->rootHandler = [weakIcon, selectionAtom, managerAtom](const XEvent& event) {
        auto self = weakIcon.lock();
        if (!self || event.type != ClientMessage || event.xclient.message_type != managerAtom ||
            Atom(event.xclient.data.l[1]) != selectionAtom)
            return;
        self->dockWith(Window(event.xclient.data.l[2]));
    };
    impl_->isOverStatusItem = [weakIcon](Point p) {
        auto self = weakIcon.lock();
        auto frame = self ? self->buttonWindowFrame() : std::nullopt;
        return frame && frame->contains(p);
    };
    impl_->scheduleRead(weak_from_this());
    return icon;
}

std::shared_ptr<PanelWindow> X11StatusBarDesktop::makePanel(const Rect& contentRect) {
    Display* d = impl_->display;
    X11Rect r = impl_->screenLayer.globalSpace().rectToX11(contentRect);
    auto f = *impl_->createFloatingWindow(r, ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                                          "_NET_WM_WINDOW_TYPE_UTILITY", false);
    Window window = f.window;
    const int depth = f.depth;
    Visual* visual = f.visual;
    Colormap colormap = f.colormap;
    XFlush(d);
    impl_->panels.insert(window);
    auto panel = std::make_shared<X11Panel>(shared_from_this(), *impl_, window, depth, visual, colormap, contentRect);
    std::weak_ptr<X11Panel> weakPanel = panel;
    impl_->windowHandlers[window] = [weakPanel](const XEvent& event) {
        if (auto self = weakPanel.lock()) self->handle(event);
    };
    return panel;
}

bool X11StatusBarDesktop::hasArgbVisual() const {
    XVisualInfo info{};
    return XMatchVisualInfo(impl_->display, DefaultScreen(impl_->display), 32, TrueColor, &info) != 0;
}

std::shared_ptr<OverlayPlatformWindow> X11StatusBarDesktop::makeOverlayWindow(const Rect& frame) {
    Display* d = impl_->display;
    if (!impl_->watchesStacking) {
        // Other top-level windows coming up or restacking, to raise the overlays above them.
        impl_->watchesStacking = true;
        XSelectInput(d, impl_->root, StructureNotifyMask | PropertyChangeMask | SubstructureNotifyMask);
    }
    X11Rect r = impl_->screenLayer.globalSpace().rectToX11(frame);
    auto f = impl_->createFloatingWindow(r, 0, "_NET_WM_WINDOW_TYPE_NOTIFICATION", true);
    if (!f) return nullptr;
    // An empty input region: clicks, drags and scrolls go to whatever lies beneath.
    XserverRegion empty = XFixesCreateRegion(d, nullptr, 0);
    XFixesSetWindowShapeRegion(d, f->window, ShapeInput, 0, 0, empty);
    XFixesDestroyRegion(d, empty);
    XFlush(d);
    return std::make_shared<X11OverlayWindow>(shared_from_this(), *impl_, *f, frame);
}

StatusBarDesktop::MonitorToken X11StatusBarDesktop::addGlobalMonitorForEvents(unsigned mask, std::function<void()> handler) {
    impl_->monitors[++impl_->lastToken] = {mask, std::move(handler)};
    impl_->updateRawPressSelection();
    return impl_->lastToken;
}

StatusBarDesktop::MonitorToken X11StatusBarDesktop::addLocalMonitorForEvents(unsigned mask, std::function<void()> handler) {
    impl_->localMonitors[++impl_->lastToken] = {mask, std::move(handler)};
    impl_->updateRawPressSelection();
    return impl_->lastToken;
}

void X11StatusBarDesktop::removeMonitor(MonitorToken token) {
    impl_->monitors.erase(token);
    impl_->localMonitors.erase(token);
    impl_->updateRawPressSelection();
}

Point X11StatusBarDesktop::mouseLocation() { return impl_->screenLayer.mouseLocation(); }

std::vector<Rect> X11StatusBarDesktop::screenFrames() {
    std::vector<Rect> frames;
    for (const Screen& screen : impl_->screenLayer.screens()) frames.push_back(screen.frame);
    return frames;
}

std::vector<Rect> X11StatusBarDesktop::workAreas() {
    const X11GlobalSpace space = impl_->screenLayer.globalSpace();
    const std::optional<X11Rect> area = impl_->workArea();
    impl_->scheduleRead(weak_from_this());
    std::vector<Rect> areas;
    for (const X11Monitor& monitor : impl_->screenLayer.monitors()) {
        X11Rect r = area ? monitor.rect.intersection(*area) : monitor.rect;
        areas.push_back(space.rectFromX11(r.isEmpty() ? monitor.rect : r));
    }
    return areas;
}

bool X11StatusBarDesktop::isApplicationActive() {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    Window active = 0;
    if (XGetWindowProperty(impl_->display, impl_->root, impl_->atom("_NET_ACTIVE_WINDOW"), 0, 1, False, XA_WINDOW, &type, &format, &count,
                           &after, &data) == Success &&
        data && count == 1 && format == 32)
        active = Window(*reinterpret_cast<unsigned long*>(data));
    if (data) XFree(data);
    impl_->scheduleRead(weak_from_this());
    if (impl_->shownPanels.empty()) return false;
    return impl_->ownPressSinceShown || (active != 0 && impl_->windowHandlers.count(active) > 0);
}

unsigned long X11StatusBarDesktop::windowOf(const PanelWindow& panel) {
    auto* p = dynamic_cast<const X11Panel*>(&panel);
    return p ? p->window() : 0;
}

unsigned long X11StatusBarDesktop::windowOf(const OverlayPlatformWindow& window) {
    auto* w = dynamic_cast<const X11OverlayWindow*>(&window);
    return w ? w->window() : 0;
}

unsigned long X11StatusBarDesktop::windowOf(const StatusItem& item) {
    auto* i = dynamic_cast<const X11TrayIcon*>(&item);
    return i ? i->window() : 0;
}

}  // namespace velmo
