#include "RideZav/integrations/DIContainer.h"

namespace ridezav::DI {

Container& Container::shared() {
    static Container* instance = new Container();  // never released
    return *instance;
}

AppLifecyclePublishing& Container::appLifecyclePublisher() {
    AppLifecyclePublishing* publisher = appLifecyclePublisher_.load(std::memory_order_acquire);
    if (!publisher) {
        publisher = &ApplicationLifecyclePublisher::shared();
        appLifecyclePublisher_.store(publisher, std::memory_order_release);
    }
    return *publisher;
}

ScreenViewPublishing& Container::screenViewPublisher() {
    ScreenViewPublishing* publisher = screenViewPublisher_.load(std::memory_order_acquire);
    if (!publisher) {
        publisher = &ApplicationScreenViewPublisher::shared();
        screenViewPublisher_.store(publisher, std::memory_order_release);
    }
    return *publisher;
}

}  // namespace ridezav::DI
