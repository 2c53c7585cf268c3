#pragma once

#include <memory>

#include "RideZav/integrations/RideZavIntegration.h"

namespace ridezav {

// Turns every screen name the process's screen-view publisher announces into a "$screen" event
// of the facade it is installed on. Only one facade per process holds it at a time.
// Thread contract: install and uninstall are serialised by the facade; names arrive on the
// thread of whoever publishes them.
class RideZavScreenViewIntegration : public RideZavIntegration {
public:
    RideZavScreenViewIntegration();
    ~RideZavScreenViewIntegration() override;

    bool requiresSwizzling() const override { return true; }
    // Throws InternalRideZavError while another facade holds the integration.
    void install(RideZavSDK& rideZav) override;
    void uninstall(RideZavSDK& rideZav) override;

    struct State;

private:
    std::shared_ptr<State> state_;  // the subscription holds it weakly
};

}  // namespace ridezav
