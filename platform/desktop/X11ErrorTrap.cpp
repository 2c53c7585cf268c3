#include "platform/desktop/X11ErrorTrap.h"

#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include "platform/runtime/MainLoop.h"

namespace velmo {

namespace {

struct Trapped {
    int depth = 0;
    int firstError = 0;
};

std::mutex& trapMutex() {
    static std::mutex mutex;
    return mutex;
}
std::map<Display*, Trapped>& trapped() {
    static std::map<Display*, Trapped> map;
    return map;
}
XErrorHandler& previousHandler() {
    static XErrorHandler handler = nullptr;
    return handler;
}

int handleError(Display* display, XErrorEvent* event) {
    XErrorHandler previous;
    {
        std::lock_guard lock(trapMutex());
        auto it = trapped().find(display);
        if (it != trapped().end()) {
            if (it->second.firstError == 0) it->second.firstError = event->error_code;
            return 0;
        }
        previous = previousHandler();
    }
    return previous ? previous(display, event) : 0;
}

std::set<Display*>& closingGone() {
    static std::set<Display*> set;
    return set;
}
XIOErrorHandler& previousIOHandler() {
    static XIOErrorHandler handler = nullptr;
    return handler;
}

std::set<Display*>& watchedForLoss() {
    static std::set<Display*> set;
    return set;
}
std::set<Display*>& goneServers() {
    static std::set<Display*> set;
    return set;
}
std::function<void(const X11ServerLoss&)>& lossHandler() {
    static std::function<void(const X11ServerLoss&)> handler;
    return handler;
}
std::atomic<bool> lossReported{false};

// Without a handler every connection keeps the one it had, which reports the loss and ends the
// process. With one, the handler hears of the first loss; a watched connection then lives on
// dead, while the loss of one not watched still ends the process when this returns: off the
// main thread it first gives the main loop's stop path a moment to end the process itself.
int handleIOError(Display* display) {
    XIOErrorHandler previous;
    std::function<void(const X11ServerLoss&)> handler;
    bool watched = false;
    {
        std::lock_guard lock(trapMutex());
        if (closingGone().count(display)) return 0;
        watched = watchedForLoss().count(display) > 0;
        if (watched) goneServers().insert(display);
        previous = previousIOHandler();
        handler = lossHandler();
    }
    if (!handler) return previous ? previous(display) : 0;
    const bool onMainThread = MainLoop::isMainThread();
    if (!lossReported.exchange(true)) handler({DisplayString(display), !watched && onMainThread});
    if (!watched && !onMainThread)
        for (int i = 0; i < 50; ++i) ::usleep(100000);
    return 0;
}

void letLossPass(Display*, void*) {}

// Waits for the server to answer everything sent so far. When the last request sent has been
// answered already (a reply was read for it), every error it or an earlier one caused has
// arrived too, so there is nothing to wait for and no round trip is made.
void settle(Display* display) {
    if (LastKnownRequestProcessed(display) == NextRequest(display) - 1) return;
    XSync(display, False);
}

void installOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        XErrorHandler before = XSetErrorHandler(handleError);
        std::lock_guard lock(trapMutex());
        previousHandler() = before;
    });
}

void installIOOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        XIOErrorHandler before = XSetIOErrorHandler(handleIOError);
        std::lock_guard lock(trapMutex());
        previousIOHandler() = before;
    });
}

}  // namespace

void closeDisplayOfGoneServer(Display* display) {
    installIOOnce();
    {
        std::lock_guard lock(trapMutex());
        closingGone().insert(display);
    }
    XSetIOErrorExitHandler(display, letLossPass, nullptr);
    XCloseDisplay(display);
    std::lock_guard lock(trapMutex());
    closingGone().erase(display);
}

void setX11ServerLossHandler(std::function<void(const X11ServerLoss&)> handler) {
    installIOOnce();
    std::lock_guard lock(trapMutex());
    lossHandler() = std::move(handler);
    lossReported = false;
}

void watchX11ServerLoss(Display* display) {
    installIOOnce();
    {
        std::lock_guard lock(trapMutex());
        watchedForLoss().insert(display);
    }
    XSetIOErrorExitHandler(display, letLossPass, nullptr);
}

bool x11ServerIsGone(Display* display) {
    std::lock_guard lock(trapMutex());
    return goneServers().count(display) > 0;
}

void closeWatchedDisplay(Display* display) {
    XCloseDisplay(display);
    std::lock_guard lock(trapMutex());
    watchedForLoss().erase(display);  // the address may come back for another connection
    goneServers().erase(display);
}

X11ErrorTrap::X11ErrorTrap(Display* display)
    : display_(display) {
    installOnce();
    settle(display_);  // errors of earlier requests are not ours
    std::lock_guard lock(trapMutex());
    ++trapped()[display_].depth;
}

X11ErrorTrap::~X11ErrorTrap() {
    if (!settled_) settle(display_);
    std::lock_guard lock(trapMutex());
    auto it = trapped().find(display_);
    if (it != trapped().end() && --it->second.depth == 0) trapped().erase(it);
}

bool X11ErrorTrap::failed() { return errorCode() != 0; }

int X11ErrorTrap::errorCode() {
    settle(display_);
    std::lock_guard lock(trapMutex());
    auto it = trapped().find(display_);
    return it == trapped().end() ? 0 : it->second.firstError;
}

bool X11ErrorTrap::failedAfterReply() {
    settled_ = true;
    std::lock_guard lock(trapMutex());
    auto it = trapped().find(display_);
    return it != trapped().end() && it->second.firstError != 0;
}

void X11ErrorTrap::reset() {
    settle(display_);
    std::lock_guard lock(trapMutex());
    auto it = trapped().find(display_);
    if (it != trapped().end()) it->second.firstError = 0;
}

}  // namespace velmo
