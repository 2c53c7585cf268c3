#pragma once

#include <atomic>

#include "RideZav/integrations/ApplicationLifecyclePublisher.h"
#include "RideZav/integrations/ApplicationScreenViewPublisher.h"

namespace ridezav::DI {

// Hands out the library's process-wide publishers, each fetched on first use. Thread-safe:
// both publishers are process-wide, so concurrent first uses store the same object.
class Container {
public:
    static Container& shared();

    AppLifecyclePublishing& appLifecyclePublisher();
    ScreenViewPublishing& screenViewPublisher();

private:
    Container() = default;

    std::atomic<AppLifecyclePublishing*> appLifecyclePublisher_{nullptr};
    std::atomic<ScreenViewPublishing*> screenViewPublisher_{nullptr};
};

}  // namespace ridezav::DI
