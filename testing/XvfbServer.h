#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace velmo::test {

// A private X server for one test: Xvfb on a display number it picks itself (-displayfd),
// started with -noreset and stopped when this object goes. `display()` is the DISPLAY string.
class XvfbServer {
public:
    // `screen` is the Xvfb screen geometry, for example "1920x1080x24"; `extraArguments` go
    // on Xvfb's command line after the usual ones (for example {"-extension", "MIT-SHM"}).
    explicit XvfbServer(const std::string& screen = "1920x1080x24", const std::vector<std::string>& extraArguments = {});
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool isRunning() const { return pid_ > 0 && !display_.empty(); }
    const std::string& display() const { return display_; }
    pid_t pid() const { return pid_; }
    // Why it did not start, when it did not.
    const std::string& failure() const { return failure_; }
    // Runs a command with DISPLAY set to this server; returns its exit status.
    int run(const std::string& command) const;
    // Kills the server at once (SIGKILL), as a crash would, and waits for it to be gone.
    void kill();

private:
    pid_t pid_ = -1;
    std::string display_;
    std::string failure_;
};

}  // namespace velmo::test
