#include "platform/desktop/Permissions.h"

#include "platform/desktop/X11ErrorTrap.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/desktop/X11Connection.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {
ProcessWide<DesktopPermissions>& permissionSets() {
    static ProcessWide<DesktopPermissions> instance("desktop permission check");
    return instance;
}

// Far shorter than any poll interval, far longer than the checks of one refresh take.
constexpr std::chrono::milliseconds kLookAgainAfter{100};

}  // namespace

std::shared_ptr<DesktopPermissions> DesktopPermissions::current() { return permissionSets().current(); }

void DesktopPermissions::install(std::shared_ptr<DesktopPermissions> permissions) { permissionSets().exchange(std::move(permissions)); }

struct X11DesktopPermissions::Connection {
    std::uint64_t id = 0;
    std::string name;
    Display* display = nullptr;
    bool borrowed = false;  // the shared connection: not closed, not read here
    FdWatch watch;  // while observed; ended before the connection closes
    std::optional<bool> accessibility;
    std::optional<bool> capture;
    std::chrono::steady_clock::time_point lastLookedAt{};

    ~Connection() {
        watch.cancel();
        if (!display || borrowed) return;
        if (alive()) {
            XCloseDisplay(display);
        } else {
            closeDisplayOfGoneServer(display);
        }
    }

    // False once the server has closed the connection. Nothing is asked of it, so only
    // what it sends unasked (errors, events) is waiting; that is read and dropped.
    bool alive() {
        pollfd p{ConnectionNumber(display), POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return true;
        char byte;
        if ((p.revents & (POLLHUP | POLLERR)) || ::recv(p.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return false;
        while (XEventsQueued(display, QueuedAfterReading) > 0) {
            XEvent event;
            XNextEvent(display, &event);
        }
        return true;
    }
};

X11DesktopPermissions::X11DesktopPermissions() = default;

X11DesktopPermissions::X11DesktopPermissions(std::shared_ptr<X11Connection> connection)
    : shared_(std::move(connection)) {
    if (!shared_) return;
    connection_ = std::make_unique<Connection>();
    connection_->id = ++nextConnectionId_;
    connection_->name = shared_->displayName();
    connection_->display = shared_->display();
    connection_->borrowed = true;
    // The loss of the server ends the application; until then it is announced as a change.
    lossHandler_ = shared_->addLossHandler([this] { changes_.send(true); });
}

X11DesktopPermissions::~X11DesktopPermissions() {
    if (shared_) shared_->removeLossHandler(lossHandler_);
}

int X11DesktopPermissions::connectionsOpened() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

X11DesktopPermissions::Connection* X11DesktopPermissions::connection() {
    if (shared_) return connection_.get();
    const char* env = std::getenv("DISPLAY");
    const std::string name = env ? env : "";
    if (connection_ && connection_->name != name) connection_.reset();
    if (connection_) {
        // The checks of one refresh come together: one look at the socket serves them all.
        const auto now = std::chrono::steady_clock::now();
        if (now - connection_->lastLookedAt >= kLookAgainAfter) {
            if (connection_->alive()) {
                connection_->lastLookedAt = now;
            } else {
                connection_.reset();
            }
        }
    }
    if (!connection_ && !name.empty()) {
        if (Display* d = XOpenDisplay(name.c_str())) {
            connection_ = std::make_unique<Connection>();
            connection_->id = ++nextConnectionId_;
            connection_->name = name;
            connection_->display = d;
            connection_->lastLookedAt = std::chrono::steady_clock::now();
            ++opened_;
            if (changes_.subscriberCount() > 0) watch(*connection_);
        }
    }
    return connection_.get();
}

void X11DesktopPermissions::watch(Connection& c) {
    if (c.watch || c.borrowed) return;
    auto loop = MainLoop::current();
    if (!loop) return;
    // Nothing is asked of this connection between checks and it selects no events, so its
    // socket turns readable only when the server goes away (or sends an error unasked).
    const std::uint64_t id = c.id;
    try {
        c.watch = loop->watchFd(ConnectionNumber(c.display), FdReadable, [this, id](unsigned) { connectionReadable(id); });
    } catch (const std::exception&) {
        // Not watched: then changes are not announced, and the answers are asked for again.
    }
}

void X11DesktopPermissions::connectionReadable(std::uint64_t connectionId) {
    {
        std::lock_guard lock(mutex_);
        if (!connection_ || connection_->id != connectionId) return;
        if (connection_->alive()) {
            connection_->lastLookedAt = std::chrono::steady_clock::now();
            return;
        }
        connection_.reset();
    }
    changes_.send(true);
}

Cancellable X11DesktopPermissions::observeChanges(std::function<void()> changed) {
    auto subscription =
        std::make_shared<Cancellable>(changes_.publisher().sink([changed = std::move(changed)](const bool&) { changed(); }));
    {
        std::lock_guard lock(mutex_);
        if (connection_) watch(*connection_);
    }
    // The connection is watched while anyone listens.
    return Cancellable([this, subscription] {
        subscription->cancel();
        std::lock_guard lock(mutex_);
        if (changes_.subscriberCount() == 0 && connection_) connection_->watch.cancel();
    });
}

bool X11DesktopPermissions::announcesChanges() {
    std::lock_guard lock(mutex_);
    if (shared_) return changes_.subscriberCount() > 0;
    const char* env = std::getenv("DISPLAY");
    return connection_ && connection_->watch && changes_.subscriberCount() > 0 && connection_->name == (env ? env : "");
}

bool X11DesktopPermissions::isAccessibilityTrusted() {
    std::lock_guard lock(mutex_);
    Connection* c = connection();
    if (!c) return false;
    if (!c->accessibility) {
        int opcode, event, error;
        int major = 2, minor = 1;
        // The key tap listens for raw events, which need XInput 2.1.
        c->accessibility = XQueryExtension(c->display, "XInputExtension", &opcode, &event, &error) &&
                           XIQueryVersion(c->display, &major, &minor) == Success && (major > 2 || (major == 2 && minor >= 1));
    }
    return *c->accessibility;
}

bool X11DesktopPermissions::preflightScreenCaptureAccess() {
    std::lock_guard lock(mutex_);
    Connection* c = connection();
    if (!c) return false;
    if (!c->capture) {
        X11ErrorTrap trap(c->display);  // a refused read must not end the process
        XImage* image = XGetImage(c->display, DefaultRootWindow(c->display), 0, 0, 1, 1, AllPlanes, ZPixmap);
        c->capture = image && !trap.failed();
        if (image) XDestroyImage(image);
    }
    return *c->capture;
}

}  // namespace velmo
