#include "platform/desktop/X11Connection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <cstdlib>
#include <vector>

#include "platform/desktop/X11ErrorTrap.h"

namespace velmo {

std::shared_ptr<X11Connection> X11Connection::open(const std::optional<std::string>& displayName) {
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
    std::shared_ptr<X11Connection> connection(new X11Connection(display, std::move(name)));
    int opcode = 0, event = 0, error = 0, major = 2, minor = 1;
    if (XQueryExtension(display, "XInputExtension", &opcode, &event, &error) && XIQueryVersion(display, &major, &minor) == Success &&
        (major > 2 || (major == 2 && minor >= 1)))
        connection->xinputOpcode_ = opcode;
    connection->watchOnMainLoop();
    return connection;
}

void X11Connection::watchOnMainLoop() {
    if (watch_ || gone_) return;
    auto loop = MainLoop::current();
    if (!loop) return;
    std::weak_ptr<X11Connection> weak = weak_from_this();
    auto read = [weak] {
        if (auto self = weak.lock()) self->readEvents();
    };
    watch_ = loop->watchFd(ConnectionNumber(display_), FdReadable, [read](unsigned) { read(); });
    // Xlib may hold events it read while waiting for a reply; the descriptor does not announce those.
    loop->post(read);
}

X11Connection::X11Connection(Display* display, std::string name)
    : display_(display),
      name_(std::move(name)) {}

X11Connection::~X11Connection() {
    watch_.cancel();
    closeWatchedDisplay(display_);
}

X11Connection::HandlerToken X11Connection::addEventHandler(EventHandler handler) {
    handlers_[++lastToken_] = std::make_shared<EventHandler>(std::move(handler));
    ++handlersVersion_;
    return lastToken_;
}

void X11Connection::removeEventHandler(HandlerToken token) {
    handlers_.erase(token);
    ++handlersVersion_;
}

X11Connection::HandlerToken X11Connection::addLossHandler(std::function<void()> handler) {
    lossHandlers_[++lastToken_] = std::make_shared<std::function<void()>>(std::move(handler));
    return lastToken_;
}

void X11Connection::removeLossHandler(HandlerToken token) { lossHandlers_.erase(token); }

X11Connection::HandlerToken X11Connection::addReadEndHandler(std::function<void()> handler) {
    readEndHandlers_[++lastToken_] = std::make_shared<std::function<void()>>(std::move(handler));
    return lastToken_;
}

void X11Connection::removeReadEndHandler(HandlerToken token) { readEndHandlers_.erase(token); }

void X11Connection::selectRootInput(long mask) {
    if ((rootMask_ | mask) == rootMask_) return;
    rootMask_ |= mask;
    XSelectInput(display_, DefaultRootWindow(display_), rootMask_);
    XFlush(display_);
}

void X11Connection::selectRootRawEvent(int xiEventType, bool wanted) {
    if (xinputOpcode_ < 0) return;
    int& count = rawEventWanted_[xiEventType];
    const bool before = count > 0;
    count = wanted ? count + 1 : (count > 0 ? count - 1 : 0);
    if ((count > 0) == before) return;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    for (const auto& [type, n] : rawEventWanted_)
        if (n > 0) XISetMask(bits, type);
    XIEventMask selection{XIAllMasterDevices, int(sizeof bits), bits};
    XISelectEvents(display_, DefaultRootWindow(display_), &selection, 1);
    XSync(display_, False);  // selected before the caller goes on, so no later event is missed
}

void X11Connection::peekEvents(const std::function<void(const XEvent&)>& look) {
    if (gone_ || XEventsQueued(display_, QueuedAfterReading) == 0) return;
    XEvent unused;
    // A predicate that matches nothing sees every queued event and leaves them all in place.
    XCheckIfEvent(
        display_, &unused,
        [](Display*, XEvent* event, XPointer arg) -> Bool {
            (*reinterpret_cast<const std::function<void(const XEvent&)>*>(arg))(*event);
            return False;
        },
        reinterpret_cast<XPointer>(const_cast<std::function<void(const XEvent&)>*>(&look)));
    // Read off the socket now, so its descriptor will not announce them.
    MainLoop::postToMain([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->readEvents();
    });
}

void X11Connection::readEvents() {
    if (reading_ || gone_) return;
    if (x11ServerIsGone(display_)) {
        gone_ = true;
        watch_.cancel();
        auto copy = lossHandlers_;
        for (auto& [token, handler] : copy)
            if (lossHandlers_.count(token)) (*handler)();
        return;
    }
    auto keep = shared_from_this();  // a handler may let go of the last part that holds the connection
    reading_ = true;
    bool any = false;
    // Copied again only when a handler came or went, not for every event (pointer motion is many).
    std::vector<std::pair<HandlerToken, std::shared_ptr<EventHandler>>> handlers;
    std::uint64_t copied = handlersVersion_ - 1;
    while (XPending(display_) > 0) {
        any = true;
        XEvent event;
        XNextEvent(display_, &event);
        XGenericEventCookie* cookie = &event.xcookie;
        const bool hasData = cookie->type == GenericEvent && XGetEventData(display_, cookie);
        if (copied != handlersVersion_) {
            handlers.assign(handlers_.begin(), handlers_.end());
            copied = handlersVersion_;
        }
        // A handler may let go of another, or of itself.
        for (auto& [token, handler] : handlers)
            if (handlers_.count(token)) (*handler)(event);
        if (hasData) XFreeEventData(display_, cookie);
    }
    reading_ = false;
    if (!any) return;
    auto copy = readEndHandlers_;
    for (auto& [token, handler] : copy)
        if (readEndHandlers_.count(token)) (*handler)();
}

}  // namespace velmo
