#pragma once

#include <string>

struct _XDisplay;

namespace velmo::test {

// Presses and releases keys on an X display through XTest, as a user at its keyboard would.
class XTestKeyboard {
public:
    explicit XTestKeyboard(const std::string& display);
    ~XTestKeyboard();
    XTestKeyboard(const XTestKeyboard&) = delete;
    XTestKeyboard& operator=(const XTestKeyboard&) = delete;

    bool isOpen() const { return display_ != nullptr; }
    // The key carrying the named keysym ("Control_L", "a") goes down or up; returns once the
    // server has handled it. False when the display has no such key or XTest refused.
    bool press(const std::string& keysymName) { return send(keysymName, true); }
    bool release(const std::string& keysymName) { return send(keysymName, false); }

private:
    bool send(const std::string& keysymName, bool down);
    _XDisplay* display_ = nullptr;
};

}  // namespace velmo::test
