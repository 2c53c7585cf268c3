#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/runtime/Published.h"

namespace velmo {

class X11Connection;

// The desktop permissions the assistant needs to watch the keyboard and capture the screens.
// Linux keeps no consent store: each check reports whether the facility works for this process
// right now, and a request cannot prompt, so it answers with the same check.
class DesktopPermissions {
public:
    virtual ~DesktopPermissions() = default;
    // The global chord needs an X display with the XInput2 extension.
    virtual bool isAccessibilityTrusted() = 0;
    virtual bool requestAccessibilityTrust() = 0;
    // Capturing needs an X display whose screen contents can be read.
    virtual bool preflightScreenCaptureAccess() = 0;
    virtual bool requestScreenCaptureAccess() = 0;

    // Calls `changed` (on any thread) when the answers may have changed, while the returned
    // subscription lives. Only where `announcesChanges()` holds does silence mean the answers
    // last given still stand; by default it never does, and the answers must be asked again.
    virtual Cancellable observeChanges(std::function<void()> changed) {
        (void)changed;
        return {};
    }
    virtual bool announcesChanges() { return false; }

    // The process-wide instance: the X11 checks main installed, or a test's; none is a fault.
    static std::shared_ptr<DesktopPermissions> current();
    static void install(std::shared_ptr<DesktopPermissions> permissions);
};

// The checks on one connection to $DISPLAY, kept while the server lives and $DISPLAY still
// names it. Neither answer can change while a server runs, so each is worked out once per
// connection; a later check costs one look at the socket. Any thread; calls take turns.
// While it is observed and a main loop runs, the loop watches the connection, and the loss of
// the server is announced as a change; a change of $DISPLAY is seen by the next check only.
class X11DesktopPermissions : public DesktopPermissions {
public:
    X11DesktopPermissions();
    // On the application's shared connection (main thread only): the loss of its server is the
    // one change, announced as the connection sees it.
    explicit X11DesktopPermissions(std::shared_ptr<X11Connection> connection);
    ~X11DesktopPermissions() override;
    bool isAccessibilityTrusted() override;
    bool requestAccessibilityTrust() override { return isAccessibilityTrusted(); }
    bool preflightScreenCaptureAccess() override;
    bool requestScreenCaptureAccess() override { return preflightScreenCaptureAccess(); }
    Cancellable observeChanges(std::function<void()> changed) override;
    // While a connection is open and watched.
    bool announcesChanges() override;
    // Connections opened so far (tests).
    int connectionsOpened() const;

private:
    struct Connection;
    Connection* connection();  // with mutex_ held; null without a display
    void watch(Connection& c);  // with mutex_ held
    void connectionReadable(std::uint64_t connectionId);  // on the loop's thread

    mutable std::mutex mutex_;
    std::unique_ptr<Connection> connection_;  // guarded by mutex_
    int opened_ = 0;  // guarded by mutex_
    std::uint64_t nextConnectionId_ = 0;  // guarded by mutex_
    Subject<bool> changes_;
    std::shared_ptr<X11Connection> shared_;
    std::uint64_t lossHandler_ = 0;
};

}  // namespace velmo
