#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <string>

namespace velmo {

// Catches the X protocol errors of one connection while it lives, instead of Xlib's default
// handler, which ends the process. Errors of other connections go to the handler that was
// installed before. Traps on different connections may live on different threads at once.
class X11ErrorTrap {
public:
    explicit X11ErrorTrap(Display* display);
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    // Waits for the server to answer everything sent so far, then tells whether any of it
    // failed since the trap was set (or since the last `reset`).
    bool failed();
    // The error code of the first failure (0 when none).
    int errorCode();
    void reset();
    // The same without a round trip, for just after a request that waited for its reply (by
    // then every error of the requests before it has arrived). Call it last: the trap then
    // ends without waiting for the server either.
    bool failedAfterReply();

private:
    Display* display_;
    bool settled_ = false;
};

// Closes a connection whose server has gone and frees its memory. Closing waits for the server,
// and Xlib's handler for a lost connection ends the process; for this display alone the loss
// is let pass, so Xlib marks the connection dead and frees it without waiting.
void closeDisplayOfGoneServer(Display* display);

// What the process does when an X server it talks to goes away, in place of Xlib's default,
// which ends the process from inside whatever call noticed. The handler runs once per process,
// on the thread that noticed first; it must not call Xlib. Null: none.
struct X11ServerLoss {
    std::string displayName;
    // The connection that noticed is not watched (below): the process ends as soon as the
    // handler returns, so whatever must happen before the end has to happen inside it.
    bool processEndsOnReturn = false;
};
void setX11ServerLossHandler(std::function<void(const X11ServerLoss&)> handler);
// Lets the loss of this connection's server reach the handler and the process live on: Xlib
// marks the connection dead, every later call on it returns at once (failing), and closing it
// is safe. The loss of a connection not watched still ends the process once the handler ran.
void watchX11ServerLoss(Display* display);
// Whether this watched connection's server has gone.
bool x11ServerIsGone(Display* display);
// Closes a watched connection, its server alive or gone.
void closeWatchedDisplay(Display* display);

}  // namespace velmo
