#pragma once

#include <string>
#include <sys/types.h>

namespace velmo::testing {

// A private X server for one test: Xvfb on a display number it picks itself (-displayfd),
// started with -noreset and stopped when this object goes. `display()` is the DISPLAY string.
class XvfbServer {
public:
    // `screen` is the Xvfb screen geometry, for example "1920x1080x24".
    explicit XvfbServer(const std::string& screen = "1920x1080x24");
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool isRunning() const { return pid_ > 0 && !display_.empty(); }
    const std::string& display() const { return display_; }
    // Why it did not start, when it did not.
    const std::string& failure() const { return failure_; }
    // Runs a command with DISPLAY set to this server; returns its exit status.
    int run(const std::string& command) const;

private:
    pid_t pid_ = -1;
    std::string display_;
    std::string failure_;
};

}  // namespace velmo::testing
