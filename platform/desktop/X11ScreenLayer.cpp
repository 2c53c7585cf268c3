#include "platform/desktop/X11ScreenLayer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "platform/desktop/ImageScaler.h"
#include "platform/desktop/X11Connection.h"
#include "platform/desktop/JpegEncoder.h"
#include "platform/desktop/X11ErrorTrap.h"
#include "platform/desktop/X11FrameGrabber.h"
#include "platform/desktop/X11WindowCompositor.h"
#include "platform/desktop/X11WindowTree.h"
#include "platform/base/Error.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/SerialQueue.h"

namespace velmo {

namespace {

constexpr const char* kDomain = "X11ScreenLayer";
constexpr const char* kBundleProperty = "_VELMO_BUNDLE_IDENTIFIER";
constexpr std::int64_t kLargestOutputSide = 16384;
// Shared-memory reads of a whole monitor: the scaler starts on a band as soon as it arrives,
// while the server fills the next ones asked for.
constexpr int kGrabBands = 12;
constexpr std::size_t kBandsAhead = 2;

struct Atoms {
    Atom wmState = 0, netWmPid = 0, windowType = 0, typeDesktop = 0, bundle = 0, utf8 = 0;
    explicit Atoms(Display* d) {
        wmState = XInternAtom(d, "WM_STATE", False);
        netWmPid = XInternAtom(d, "_NET_WM_PID", False);
        windowType = XInternAtom(d, "_NET_WM_WINDOW_TYPE", False);
        typeDesktop = XInternAtom(d, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
        bundle = XInternAtom(d, kBundleProperty, False);
        utf8 = XInternAtom(d, "UTF8_STRING", False);
    }
};

// Monitor names by atom; an atom keeps its name for the life of the server.
using MonitorNames = std::map<Atom, std::string>;

bool hasRandRMonitors(Display* d) {
    int event = 0, error = 0, major = 0, minor = 0;
    X11ErrorTrap trap(d);
    return XRRQueryExtension(d, &event, &error) && XRRQueryVersion(d, &major, &minor) && (major > 1 || (major == 1 && minor >= 5));
}

// One round trip when the server has RandR monitors.
std::vector<X11Monitor> queryMonitors(Display* d, bool randrMonitors, MonitorNames& names) {
    std::vector<X11Monitor> monitors;
    Window root = DefaultRootWindow(d);
    if (randrMonitors) {
        int count = 0;
        XRRMonitorInfo* list = XRRGetMonitors(d, root, True, &count);
        for (int i = 0; list && i < count; ++i) {
            X11Monitor m;
            m.identifier = std::uint32_t(list[i].name);
            auto known = names.find(list[i].name);
            if (known == names.end()) {
                std::string name;
                if (char* text = XGetAtomName(d, list[i].name)) {
                    name = text;
                    XFree(text);
                }
                known = names.emplace(list[i].name, std::move(name)).first;
            }
            m.name = known->second;
            m.rect = {list[i].x, list[i].y, list[i].width, list[i].height};
            m.primary = list[i].primary;
            monitors.push_back(std::move(m));
        }
        if (list) XRRFreeMonitors(list);
    }
    if (monitors.empty()) {
        // No monitors to ask for: the whole X screen is the one display.
        int screen = DefaultScreen(d);
        monitors.push_back({std::uint32_t(root), "screen", {0, 0, DisplayWidth(d, screen), DisplayHeight(d, screen)}, true});
    }
    std::stable_partition(monitors.begin(), monitors.end(), [](const X11Monitor& m) { return m.primary; });
    bool onePrimary = false;
    for (auto& m : monitors) {
        m.primary = m.primary && !onePrimary;
        onePrimary = onePrimary || m.primary;
    }
    if (!onePrimary) monitors.front().primary = true;
    return monitors;
}

// The monitors of one connection, asked for again only after the server said something changed:
// RandR's screen, CRTC and output notifications, and the root window's ConfigureNotify, which
// the server also sends when RandR 1.5 monitors are set or deleted. The names of their atoms
// are kept, and RandR's screen notifications keep the screen size Xlib reports current. Used
// on one thread at a time.
class MonitorCache {
public:
    ~MonitorCache() {
        if (shared_) shared_->removeEventHandler(handler_);
    }
    void watch(Display* d) {
        display_ = d;
        randrMonitors_ = hasRandRMonitors(d);
        Window root = DefaultRootWindow(d);
        XSelectInput(d, root, StructureNotifyMask);
        int error = 0;
        if (XRRQueryExtension(d, &randrEventBase_, &error)) {
            XRRSelectInput(d, root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        }
        stale_ = true;
    }
    // On a shared connection the events come from its reader; the cache only looks at them.
    void watch(const std::shared_ptr<X11Connection>& connection) {
        shared_ = connection;
        display_ = connection->display();
        randrMonitors_ = hasRandRMonitors(display_);
        const Window root = DefaultRootWindow(display_);
        connection->selectRootInput(StructureNotifyMask);
        int error = 0;
        if (XRRQueryExtension(display_, &randrEventBase_, &error)) {
            XRRSelectInput(display_, root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        } else {
            randrEventBase_ = -1;
        }
        root_ = root;
        handler_ = connection->addEventHandler([this](XEvent& event) {
            if (!changesMonitors(event)) return;
            XRRUpdateConfiguration(&event);
            stale_ = true;
        });
        stale_ = true;
    }
    const std::vector<X11Monitor>& monitors() {
        // A change the shared connection has not handed out yet counts already.
        if (shared_)
            shared_->peekEvents([this](const XEvent& event) {
                if (changesMonitors(event)) stale_ = true;
            });
        while (!shared_ && XEventsQueued(display_, QueuedAfterReading) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            XRRUpdateConfiguration(&event);
            stale_ = true;
        }
        if (stale_) {
            list_ = queryMonitors(display_, randrMonitors_, names_);
            stale_ = false;
        }
        return list_;
    }

private:
    bool changesMonitors(const XEvent& event) const {
        const bool randr = randrEventBase_ >= 0 && event.type >= randrEventBase_ && event.type < randrEventBase_ + RRNumberEvents;
        return randr || (event.type == ConfigureNotify && event.xconfigure.window == root_);
    }

    Display* display_ = nullptr;
    Window root_ = 0;
    std::shared_ptr<X11Connection> shared_;
    X11Connection::HandlerToken handler_ = 0;
    int randrEventBase_ = -1;
    bool randrMonitors_ = false;
    bool stale_ = true;
    std::vector<X11Monitor> list_;
    MonitorNames names_;
};

X11GlobalSpace spaceOf(const std::vector<X11Monitor>& monitors) { return X11GlobalSpace(monitors.front().rect); }

bool hasProperty(Display* d, Window w, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, property, 0, 0, False, AnyPropertyType, &type, &format, &items, &after, &data) != Success) {
        return false;
    }
    if (data) XFree(data);
    return type != None;
}

std::optional<std::string> stringProperty(Display* d, Window w, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, property, 0, 1024, False, AnyPropertyType, &type, &format, &items, &after, &data) != Success ||
        type == None) {
        return std::nullopt;
    }
    std::optional<std::string> value;
    if (format == 8 && data) value = std::string(reinterpret_cast<char*>(data), items);
    if (data) XFree(data);
    return value;
}

std::vector<long> cardinalProperty(Display* d, Window w, Atom property, Atom wanted) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<long> values;
    if (XGetWindowProperty(d, w, property, 0, 64, False, wanted, &type, &format, &items, &after, &data) == Success && type == wanted &&
        format == 32 && data) {
        const long* longs = reinterpret_cast<const long*>(data);  // Xlib hands 32-bit items as longs
        values.assign(longs, longs + items);
    }
    if (data) XFree(data);
    return values;
}

// The client window inside a top-level window: the top-level itself, or the descendant the
// window manager marked with WM_STATE when it reparented the client into a frame.
Window clientOf(Display* d, const Atoms& atoms, Window top) {
    if (hasProperty(d, top, atoms.wmState)) return top;
    std::deque<std::pair<Window, int>> queue{{top, 0}};
    while (!queue.empty()) {
        auto [w, depth] = queue.front();
        queue.pop_front();
        for (Window child : x11ChildWindows(d, w)) {
            if (hasProperty(d, child, atoms.wmState)) return child;
            if (depth < 2) queue.push_back({child, depth + 1});
        }
    }
    return top;
}

std::optional<RunningApplication> ownerOf(Display* d, const Atoms& atoms, Window client, Window top) {
    std::optional<std::string> bundle = stringProperty(d, client, atoms.bundle);
    if (!bundle && client != top) bundle = stringProperty(d, top, atoms.bundle);
    std::optional<std::string> className, instanceName;
    XClassHint hint{};
    if (XGetClassHint(d, client, &hint) || (client != top && XGetClassHint(d, top, &hint))) {
        if (hint.res_class) className = hint.res_class;
        if (hint.res_name) instanceName = hint.res_name;
        if (hint.res_class) XFree(hint.res_class);
        if (hint.res_name) XFree(hint.res_name);
    }
    std::vector<long> pid = cardinalProperty(d, client, atoms.netWmPid, XA_CARDINAL);
    if (!bundle && !className && !instanceName && pid.empty()) return std::nullopt;
    RunningApplication app;
    // Windows of other programs name their application by their X11 class.
    app.bundleIdentifier = bundle ? *bundle : className.value_or("");
    app.applicationName = className ? *className : instanceName.value_or("");
    app.processID = pid.empty() ? 0 : std::int64_t(std::uint32_t(pid[0]));
    return app;
}

Error noDisplayError(const std::string& failure) { return Error(kDomain, 1, failure); }

// XInput2 raw motion on the root window, read on the main loop while anyone listens: on the
// shared connection when there is one, else on one of its own. Raw events reach the root whichever
// window has the pointer, even under a grab. Main thread only.
class PointerMotion : public std::enable_shared_from_this<PointerMotion> {
public:
    PointerMotion(std::string displayName, std::shared_ptr<X11Connection> shared)
        : displayName_(std::move(displayName)),
          shared_(std::move(shared)) {}
    ~PointerMotion() { close(); }

    Cancellable observe(std::function<void()> moved) {
        auto subscription = std::make_shared<Cancellable>(moves_.publisher().sink([moved = std::move(moved)](const bool&) { moved(); }));
        open();
        return Cancellable([weak = weak_from_this(), subscription] {
            subscription->cancel();
            auto self = weak.lock();
            if (self && self->moves_.subscriberCount() == 0) self->close();
        });
    }
    bool announces() const { return connection_ != nullptr && !gone_ && moves_.subscriberCount() > 0; }

private:
    void open() {
        if (connection_) return;
        if (!MainLoop::current() || displayName_.empty()) return;
        auto connection = shared_ ? shared_ : X11Connection::open(displayName_);
        if (!connection || connection->xinputOpcode() < 0) return;
        connection_ = std::move(connection);
        gone_ = false;
        connection_->selectRootRawEvent(XI_RawMotion, true);
        const int opcode = connection_->xinputOpcode();
        handler_ = connection_->addEventHandler([this, opcode](XEvent& event) {
            XGenericEventCookie* cookie = &event.xcookie;
            if (cookie->type == GenericEvent && cookie->extension == opcode && cookie->evtype == XI_RawMotion) moved_ = true;
        });
        // A dead connection is no longer read: motion is not announced, and the pointer is asked for on every tick.
        loss_ = connection_->addLossHandler([this] { gone_ = true; });
        connection_->watchOnMainLoop();
        // Every event of one read is looked at first; one announcement serves them all.
        readEnd_ = connection_->addReadEndHandler([this] {
            if (!moved_) return;
            moved_ = false;
            moves_.send(true);
        });
    }
    void close() {
        if (!connection_) return;
        connection_->removeEventHandler(handler_);
        connection_->removeReadEndHandler(readEnd_);
        connection_->removeLossHandler(loss_);
        connection_->selectRootRawEvent(XI_RawMotion, false);
        connection_.reset();
        moved_ = false;
    }

    std::string displayName_;
    std::shared_ptr<X11Connection> shared_;
    std::shared_ptr<X11Connection> connection_;  // while anyone listens
    X11Connection::HandlerToken handler_ = 0, readEnd_ = 0, loss_ = 0;
    bool moved_ = false;
    bool gone_ = false;
    Subject<bool> moves_;
};

}  // namespace

struct X11ScreenLayer::Impl {
    Options options;
    std::string failure;
    std::string displayName;

    // Answers the main thread's synchronous questions (screens, mouse): the shared connection
    // when one was given, else one of its own.
    std::mutex queryMutex;
    std::shared_ptr<X11Connection> shared;
    Display* query = nullptr;
    MonitorCache queryMonitorList;  // guarded by queryMutex

    // Used only on `worker`: shareable content and screenshots.
    Display* capture = nullptr;
    MonitorCache captureMonitors;
    std::unique_ptr<Atoms> atoms;
    std::unique_ptr<X11FrameGrabber> grabber;
    std::unique_ptr<X11WindowCompositor> compositor;
    ImageScaler scaler;
    std::vector<std::uint8_t> padded;

    JpegScanlineEncoder jpegRows;

    JpegEncoder jpeg;  // images that come without a prepared JPEG
    std::unique_ptr<SerialQueue> worker;

    std::shared_ptr<PointerMotion> pointerMotion;  // made on the main thread with the first listener

    ~Impl() {
        pointerMotion.reset();
        worker.reset();  // runs what is queued, then joins
        compositor.reset();
        grabber.reset();
        if (capture) XCloseDisplay(capture);
        if (query && !shared) XCloseDisplay(query);
    }

    ShareableContent content(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
        ShareableContent result;
        const std::vector<X11Monitor>& monitors = captureMonitors.monitors();
        X11GlobalSpace space = spaceOf(monitors);
        for (const auto& m : monitors) {
            result.displays.push_back({m.identifier, m.rect.width, m.rect.height, space.rectFromX11(m.rect)});
        }
        X11ErrorTrap trap(capture);
        const std::vector<Window> children = x11TopLevelWindows(capture);
        for (std::size_t i = 0; i < children.size(); ++i) {
            XWindowAttributes a;
            if (!XGetWindowAttributes(capture, children[i], &a) || a.c_class == InputOnly) continue;
            bool viewable = a.map_state == IsViewable;
            if (onScreenWindowsOnly && !viewable) continue;
            Window client = clientOf(capture, *atoms, children[i]);
            if (excludingDesktopWindows) {
                std::vector<long> types = cardinalProperty(capture, client, atoms->windowType, XA_ATOM);
                if (std::find(types.begin(), types.end(), long(atoms->typeDesktop)) != types.end()) continue;
            }
            ShareableWindow w;
            w.windowID = std::uint32_t(children[i]);
            w.frame = space.rectFromX11({a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width});
            w.owningApplication = ownerOf(capture, *atoms, client, children[i]);
            w.isOnScreen = viewable;
            result.windows.push_back(std::move(w));
        }
        return result;
    }

    Image screenshot(const ContentFilter& filter, const StreamConfiguration& configuration) {
        const std::vector<X11Monitor>& monitors = captureMonitors.monitors();
        auto it =
            std::find_if(monitors.begin(), monitors.end(), [&](const X11Monitor& m) { return m.identifier == filter.display.displayID; });
        if (it == monitors.end()) {
            throw Error(kDomain, 2, "The display " + std::to_string(filter.display.displayID) + " is not available");
        }
        const X11Rect monitor = it->rect;
        if (configuration.width < 0 || configuration.height < 0 || configuration.width > kLargestOutputSide ||
            configuration.height > kLargestOutputSide) {
            throw Error(
                kDomain, 4,
                "The output size " + std::to_string(configuration.width) + "x" + std::to_string(configuration.height) + " is not valid");
        }
        int screen = DefaultScreen(capture);
        X11Rect rootRect{0, 0, DisplayWidth(capture, screen), DisplayHeight(capture, screen)};
        X11Rect visible = monitor.intersection(rootRect);
        if (monitor.isEmpty() || visible.isEmpty()) {
            throw Error(kDomain, 3, "The display " + std::to_string(filter.display.displayID) + " shows no pixels");
        }
        Image image;
        image.width = int(configuration.width > 0 ? configuration.width : monitor.width);
        image.height = int(configuration.height > 0 ? configuration.height : monitor.height);
        image.displayID = filter.display.displayID;
        image.pixels.resize(image.stride() * std::size_t(image.height));
        Window root = DefaultRootWindow(capture);

        // Where windows are taken out, the stack is looked at before any pixel is read, so the
        // rows can be read in bands all the same.
        std::vector<Window> excluded;
        for (const auto& w : filter.excludedWindows) excluded.push_back(Window(w.windowID));
        X11WindowCompositor::Removal removal = compositor->planRemoval(visible, excluded);

        // The usual case: the monitor's rows are read straight into shared memory in bands, the
        // first ones already being scaled while the rest arrive.
        if (visible == monitor) {
            if (auto px = grabber->beginRows(root, monitor.x, monitor.y, monitor.width, monitor.height)) {
                // Even bands, each asked for before the one before it is scaled, so the server
                // copies rows while the band thread scales the last ones it sent. The first are
                // asked for here, before the stack's answers are awaited and while the band
                // thread wakes up.
                std::vector<int> ends;
                for (int b = 1; b <= kGrabBands; ++b) {
                    const int to = int(std::int64_t(monitor.height) * b / kGrabBands);
                    if (to > (ends.empty() ? 0 : ends.back())) ends.push_back(to);
                }
                X11Rect box;
                int boxBottom = 0;
                bool planned = false;
                std::size_t asked = 0;
                auto ask = [&] {
                    grabber->requestRows(asked ? ends[asked - 1] : 0, ends[asked]);
                    ++asked;
                    // Once every row of the box is asked for, what replaces the windows can be
                    // asked for too, and arrives by the time those rows do.
                    if (planned && !box.isEmpty() && ends[asked - 1] >= boxBottom) compositor->prepareRemoval(removal);
                };
                while (asked < ends.size() && asked < kBandsAhead) ask();
                const ImageScaler::Producer produce = [&](const ImageScaler::RowsReady& ready) {
                    box = compositor->awaitPlan(removal);
                    boxBottom = box.isEmpty() ? 0 : box.y + box.height - monitor.y;
                    planned = true;
                    if (!box.isEmpty() && ends[asked - 1] >= boxBottom) compositor->prepareRemoval(removal);
                    bool composed = box.isEmpty();
                    for (int to : ends) {
                        grabber->awaitRows();
                        if (asked < ends.size()) ask();
                        if (!composed && to >= boxBottom) {
                            compositor->removeWindows(removal, px->data, px->stride);
                            composed = true;
                        }
                        // Rows the removal will still change are not scaled yet.
                        ready(composed ? to : std::min(to, box.y - monitor.y));
                    }
                };
                scaleAndEncode(px->data, monitor.width, monitor.height, px->stride, image, &produce);
                return image;
            }
        }

        X11FrameGrabber::Pixels px = grabber->grab(root, visible.x, visible.y, visible.width, visible.height);
        compositor->removeWindows(removal, px.data, px.stride);
        const std::uint8_t* source = px.data;
        std::size_t stride = px.stride;
        if (!(visible == monitor)) {
            // A monitor that reaches past the root window: the part beyond it is black.
            stride = std::size_t(monitor.width) * 4;
            padded.assign(stride * std::size_t(monitor.height), 0);
            for (int y = 0; y < visible.height; ++y) {
                std::memcpy(padded.data() + std::size_t(visible.y - monitor.y + y) * stride + std::size_t(visible.x - monitor.x) * 4,
                            px.data + std::size_t(y) * px.stride, std::size_t(visible.width) * 4);
            }
            source = padded.data();
        }
        scaleAndEncode(source, monitor.width, monitor.height, stride, image, nullptr);
        return image;
    }

    // Scales into the image and encodes its finished rows as JPEG meanwhile, at the factor
    // callers are expected to ask for; the JPEG rides along with the image.
    void scaleAndEncode(const std::uint8_t* source, int width, int height, std::size_t stride, Image& image,
                        const ImageScaler::Producer* produce) {
        const int quality = JpegEncoder::qualityForCompressionFactor(options.preparedCompressionFactor);
        bool encoding = jpegRows.begin(image.width, image.height, quality);
        scaler.scale(source, width, height, stride, image.pixels.data(), image.width, image.height, image.stride(), produce,
                     [&](int from, int to) {
                         if (encoding) {
                             encoding = jpegRows.write(image.pixels.data() + std::size_t(from) * image.stride(), image.stride(), to - from);
                         }
                     });
        std::optional<std::vector<std::uint8_t>> bytes = encoding ? jpegRows.finish() : std::nullopt;
        if (!bytes) return;  // encoded again on request
        auto prepared = std::make_shared<PreparedJpeg>();
        prepared->quality = quality;
        prepared->pixels = image.pixels.data();
        prepared->pixelBytes = image.pixels.size();
        prepared->bytes = std::move(*bytes);
        image.preparedJpeg = std::move(prepared);
    }
};

X11ScreenLayer::X11ScreenLayer()
    : X11ScreenLayer(Options{}) {}

X11ScreenLayer::X11ScreenLayer(Options options)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    const char* env = std::getenv("DISPLAY");
    std::string name = impl_->options.connection             ? impl_->options.connection->displayName()
                       : !impl_->options.displayName.empty() ? impl_->options.displayName
                                                             : (env ? env : "");
    if (name.empty()) {
        impl_->failure = "No X display to capture: DISPLAY is not set";
        return;
    }
    impl_->displayName = name;
    impl_->shared = impl_->options.connection;
    impl_->query = impl_->shared ? impl_->shared->display() : XOpenDisplay(name.c_str());
    // The worker thread's own.
    impl_->capture = impl_->query ? XOpenDisplay(name.c_str()) : nullptr;
    if (!impl_->query || !impl_->capture) {
        if (impl_->query && !impl_->shared) XCloseDisplay(impl_->query);
        impl_->query = nullptr;
        impl_->shared.reset();
        impl_->failure = "Cannot open the X display \"" + name + "\"";
        return;
    }
    if (impl_->shared) {
        impl_->queryMonitorList.watch(impl_->shared);
    } else {
        impl_->queryMonitorList.watch(impl_->query);
    }
    impl_->captureMonitors.watch(impl_->capture);
    impl_->atoms = std::make_unique<Atoms>(impl_->capture);
    impl_->grabber = std::make_unique<X11FrameGrabber>(impl_->capture, impl_->options.useSharedMemory);
    impl_->compositor = std::make_unique<X11WindowCompositor>(impl_->capture);
    XSync(impl_->capture, False);
    impl_->worker = std::make_unique<SerialQueue>("velmo.screen.capture");
}

X11ScreenLayer::~X11ScreenLayer() = default;

bool X11ScreenLayer::isConnected() const { return impl_->query != nullptr; }
const std::string& X11ScreenLayer::failure() const { return impl_->failure; }

bool X11ScreenLayer::usesSharedMemory() const {
    if (!impl_->worker) return false;
    bool shm = false;
    impl_->worker->sync([&] { shm = impl_->grabber->usesSharedMemory(); });
    return shm;
}

bool X11ScreenLayer::canComposeExcludedWindows() const { return impl_->compositor && impl_->compositor->isAvailable(); }

Task<ShareableContent> X11ScreenLayer::shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
    Impl* impl = impl_.get();
    if (!impl->worker) throw noDisplayError(impl->failure);
    Completion<ShareableContent> done;
    impl->worker->async([impl, done, excludingDesktopWindows, onScreenWindowsOnly] {
        try {
            done.resolve(impl->content(excludingDesktopWindows, onScreenWindowsOnly));
        } catch (...) {
            done.fail(std::current_exception());
        }
    });
    co_return co_await done;
}

Task<Image> X11ScreenLayer::captureImage(ContentFilter filter, StreamConfiguration configuration) {
    Impl* impl = impl_.get();
    if (!impl->worker) throw noDisplayError(impl->failure);
    Completion<Image> done;
    impl->worker->async([impl, done, filter = std::move(filter), configuration] {
        try {
            done.resolve(impl->screenshot(filter, configuration));
        } catch (...) {
            done.fail(std::current_exception());
        }
    });
    co_return co_await done;
}

std::vector<X11Monitor> X11ScreenLayer::monitors() {
    if (!impl_->query) return {};
    std::lock_guard lock(impl_->queryMutex);
    return impl_->queryMonitorList.monitors();
}

X11GlobalSpace X11ScreenLayer::globalSpace() {
    std::vector<X11Monitor> list = monitors();
    return list.empty() ? X11GlobalSpace(X11Rect{}) : spaceOf(list);
}

std::vector<Screen> X11ScreenLayer::screens() {
    std::vector<Screen> screens;
    std::vector<X11Monitor> list = monitors();
    if (list.empty()) return screens;
    X11GlobalSpace space = spaceOf(list);
    for (const auto& m : list) {
        Screen s;
        s.frame = space.rectFromX11(m.rect);
        s.localizedName = m.name;
        s.deviceDescription[kScreenNumberKey] = std::int64_t(m.identifier);
        screens.push_back(std::move(s));
    }
    return screens;
}

Point X11ScreenLayer::mouseLocation() {
    if (!impl_->query) return {};
    std::lock_guard lock(impl_->queryMutex);
    Display* d = impl_->query;
    const std::vector<X11Monitor>& list = impl_->queryMonitorList.monitors();
    Window rootReturn = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned mask = 0;
    if (!XQueryPointer(d, DefaultRootWindow(d), &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask)) {
        return {};  // the pointer is on another X screen
    }
    return spaceOf(list).pointFromX11Pixel(rootX, rootY);
}

Cancellable X11ScreenLayer::observePointerMotion(std::function<void()> moved) {
    if (!impl_->query) return {};
    if (!impl_->pointerMotion) impl_->pointerMotion = std::make_shared<PointerMotion>(impl_->displayName, impl_->shared);
    return impl_->pointerMotion->observe(std::move(moved));
}

bool X11ScreenLayer::announcesPointerMotion() { return impl_->pointerMotion && impl_->pointerMotion->announces(); }

std::optional<std::vector<std::uint8_t>> X11ScreenLayer::jpegRepresentation(const Image& image, double compressionFactor) {
    if (const auto* prepared = image.preparedJpegAt(JpegEncoder::qualityForCompressionFactor(compressionFactor))) {
        return *prepared;
    }
    return impl_->jpeg.encode(image, compressionFactor);
}

void X11ScreenLayer::setOwningBundleIdentifier(_XDisplay* display, unsigned long window, const std::string& bundleIdentifier) {
    Atom property = XInternAtom(display, kBundleProperty, False);
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, Window(window), property, utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(bundleIdentifier.data()), int(bundleIdentifier.size()));
}

const char* X11ScreenLayer::bundleIdentifierProperty() { return kBundleProperty; }

}  // namespace velmo
