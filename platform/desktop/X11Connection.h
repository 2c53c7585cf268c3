#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/MainLoop.h"

struct _XDisplay;
union _XEvent;

namespace velmo {

// The one connection to the X server that the parts on the main thread share (the key tap, the
// screen layer's questions, the permission checks, the status-bar desktop). Its events are read
// once, on the main loop, and each is handed to every handler in turn (an XInput event with its
// data already fetched). X keeps one event mask and one XInput selection per client and window,
// so the root window's are the union of what the parts ask for. Main thread only: a worker
// thread that talks to the server opens a connection of its own.
class X11Connection : public std::enable_shared_from_this<X11Connection> {
public:
    using EventHandler = std::function<void(_XEvent&)>;
    using HandlerToken = std::uint64_t;

    // Null when the display cannot be opened. Without a name, $DISPLAY (none when it is unset).
    // Read on the installed main loop from then on.
    static std::shared_ptr<X11Connection> open(const std::optional<std::string>& displayName = std::nullopt);
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    _XDisplay* display() const { return display_; }
    const std::string& displayName() const { return name_; }
    // The XInput opcode when the server has XInput 2.1 or later (raw events on the root), else -1.
    int xinputOpcode() const { return xinputOpcode_; }

    HandlerToken addEventHandler(EventHandler handler);
    void removeEventHandler(HandlerToken token);
    // Adds bits to the root window's event mask; they stay (another part may want them too).
    void selectRootInput(long mask);
    // Selects (or lets go of) one XInput raw event type on the root for all master devices,
    // counted: the type stays selected while anyone wants it.
    void selectRootRawEvent(int xiEventType, bool wanted);
    // Has the installed main loop read it, when it does not yet (open does where a loop is installed).
    void watchOnMainLoop();
    // Reads and hands out what is waiting. Does nothing when called from a handler.
    void readEvents();
    // Shows `look` what the server has sent without handing it out: the handlers get it on a
    // later turn of the main loop, never inside the caller's own call.
    void peekEvents(const std::function<void(const _XEvent&)>& look);
    // Called after each read that handed out events.
    HandlerToken addReadEndHandler(std::function<void()> handler);
    void removeReadEndHandler(HandlerToken token);
    // Called once the server is gone (its descriptor stays readable for ever).
    HandlerToken addLossHandler(std::function<void()> handler);
    void removeLossHandler(HandlerToken token);

private:
    X11Connection(_XDisplay* display, std::string name);

    _XDisplay* display_;
    std::string name_;
    int xinputOpcode_ = -1;
    FdWatch watch_;
    HandlerToken lastToken_ = 0;
    std::map<HandlerToken, std::shared_ptr<EventHandler>> handlers_;
    std::uint64_t handlersVersion_ = 0;  // counts the changes to handlers_
    std::map<HandlerToken, std::shared_ptr<std::function<void()>>> lossHandlers_;
    std::map<HandlerToken, std::shared_ptr<std::function<void()>>> readEndHandlers_;
    long rootMask_ = 0;
    std::map<int, int> rawEventWanted_;  // XInput event type -> how many want it
    bool reading_ = false;
    bool gone_ = false;
};

}  // namespace velmo
