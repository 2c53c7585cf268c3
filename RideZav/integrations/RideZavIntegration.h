#pragma once

#include "RideZav/core/RideZavValue.h"

namespace ridezav {

class RideZavSDK;

// An installable part of the client. install binds it to one facade and starts it (throwing
// InternalRideZavError when it cannot); uninstall stops it. Called by the facade, which
// serialises them.
class RideZavIntegration {
public:
    virtual ~RideZavIntegration() = default;
    virtual bool requiresSwizzling() const = 0;
    virtual void install(RideZavSDK& rideZav) = 0;
    virtual void uninstall(RideZavSDK& rideZav) = 0;
    // The current {"distinct_id", "event_properties"}; only error tracking acts on it.
    virtual void eventContextDidChange(const Object& context) {}
};

// Keeps the facade an integration is installed on; install binds, uninstall releases.
class RideZavBoundIntegration : public RideZavIntegration {
public:
    void install(RideZavSDK& rideZav) override { rideZav_ = &rideZav; }
    void uninstall(RideZavSDK& rideZav) override {
        if (rideZav_ == &rideZav) rideZav_ = nullptr;
    }
    RideZavSDK* rideZav() const { return rideZav_; }

private:
    RideZavSDK* rideZav_ = nullptr;
};

}  // namespace ridezav
