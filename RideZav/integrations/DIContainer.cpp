#include "RideZav/integrations/DIContainer.h"

namespace ridezav::DI {

namespace {
// Fills the slot on first use; a racing second fill stores the same process-wide object.
template <class Interface, class Make>
Interface& lazily(std::atomic<Interface*>& slot, Make make) {
    Interface* value = slot.load(std::memory_order_acquire);
    if (!value) {
        value = make();
        slot.store(value, std::memory_order_release);
    }
    return *value;
}
}  // namespace

Container& Container::shared() {
    static Container* instance = new Container();  // never released
    return *instance;
}

AppLifecyclePublishing& Container::appLifecyclePublisher() {
    return lazily<AppLifecyclePublishing>(appLifecyclePublisher_,
                                          []() -> AppLifecyclePublishing* { return &ApplicationLifecyclePublisher::shared(); });
}

ScreenViewPublishing& Container::screenViewPublisher() {
    return lazily<ScreenViewPublishing>(screenViewPublisher_,
                                        []() -> ScreenViewPublishing* { return &ApplicationScreenViewPublisher::shared(); });
}

}  // namespace ridezav::DI
