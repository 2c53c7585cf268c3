#pragma once

#include <string>
#include <sys/types.h>

namespace velmo::test {

// A D-Bus session bus of the test's own: dbus-daemon --session on a socket it picks, stopped
// when this object goes. `address()` is empty when it did not start.
class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace velmo::test
