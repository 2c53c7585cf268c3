#pragma once

#include "RideZav/core/RideZavMulticastCallback.h"

namespace ridezav {

// Re-publishes the application's launch, become-active and resign-active transitions to any
// number of subscribers inside the client. Subscribers keep the returned token.
class AppLifecyclePublishing {
public:
    virtual ~AppLifecyclePublishing() = default;
    virtual RideZavMulticastCallback<>& onDidBecomeActive() = 0;
    virtual RideZavMulticastCallback<>& onDidEnterBackground() = 0;
    virtual RideZavMulticastCallback<>& onDidFinishLaunching() = 0;
};

// The process-wide lifecycle publisher. It listens on the default notification centre for the
// application's "did finish launching", "did resign active" and "did become active"
// notifications, whose observers run on the main loop. Thread-safe: each message fires its
// callback on the thread that sends it.
class ApplicationLifecyclePublisher : public AppLifecyclePublishing {
public:
    static ApplicationLifecyclePublisher& shared();

    RideZavMulticastCallback<>& onDidBecomeActive() override { return onDidBecomeActive_; }
    RideZavMulticastCallback<>& onDidEnterBackground() override { return onDidEnterBackground_; }
    RideZavMulticastCallback<>& onDidFinishLaunching() override { return onDidFinishLaunching_; }

    void appDidFinishLaunching() { onDidFinishLaunching_.invoke(); }
    void appDidEnterBackground() { onDidEnterBackground_.invoke(); }
    void appDidBecomeActive() { onDidBecomeActive_.invoke(); }

private:
    ApplicationLifecyclePublisher();

    RideZavMulticastCallback<> onDidBecomeActive_;
    RideZavMulticastCallback<> onDidEnterBackground_;
    RideZavMulticastCallback<> onDidFinishLaunching_;
};

}  // namespace ridezav
