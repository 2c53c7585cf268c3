#include "RideZav/integrations/RideZavViewModifier.h"

#include "RideZav/RideZavSDK.h"

namespace ridezav {

void RideZavViewModifier::onAppear() const {
    RideZavSDK& target = rideZav ? *rideZav : RideZavSDK::shared();
    if (screenEvent)
        target.screen(viewEventName, properties);
    else
        target.capture(viewEventName, properties, std::nullopt);
}

}  // namespace ridezav
