#pragma once

#include <memory>

#include "RideZav/integrations/RideZavIntegration.h"

namespace ridezav {

// Records the application's lifecycle: "Application Installed" or "Application Updated" once
// per process (against the version and build last recorded in the user defaults), "Application
// Opened" on every return to the foreground and "Application Backgrounded" on every departure;
// the last two strictly alternate. Only one facade per process holds it at a time.
// Thread contract: install and uninstall are serialised by the facade; the lifecycle handlers
// run on the thread that posts the application's notifications (the main thread).
class RideZavAppLifeCycleIntegration : public RideZavIntegration {
public:
    RideZavAppLifeCycleIntegration();
    ~RideZavAppLifeCycleIntegration() override;

    bool requiresSwizzling() const override { return false; }
    // Throws InternalRideZavError while another facade holds the integration.
    void install(RideZavSDK& rideZav) override;
    void uninstall(RideZavSDK& rideZav) override;

    bool isFreshAppLaunch() const;
    bool isAppBackgrounded() const;

    // Lets a test run the once-per-process install-or-update check again.
    static void resetInstallOrUpdateCheckForTesting();

    struct State;

private:
    std::shared_ptr<State> state_;  // the subscriptions hold it weakly
};

}  // namespace ridezav
