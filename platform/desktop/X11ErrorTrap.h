#pragma once

#include <X11/Xlib.h>

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

}  // namespace velmo
