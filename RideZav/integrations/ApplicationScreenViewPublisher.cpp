#include "RideZav/integrations/ApplicationScreenViewPublisher.h"

namespace ridezav {

ApplicationScreenViewPublisher& ApplicationScreenViewPublisher::shared() {
    static ApplicationScreenViewPublisher* instance = new ApplicationScreenViewPublisher();  // never released
    return *instance;
}

RideZavMulticastCallback<const std::string&>& ApplicationScreenViewPublisher::onScreenView() {
    std::call_once(onScreenViewOnce_, [this] {
        onScreenView_ = std::make_unique<RideZavMulticastCallback<const std::string&>>();
        onScreenView_->setOnSubscriberCountChanged([](std::int64_t) {});
    });
    return *onScreenView_;
}

}  // namespace ridezav
