#include "RideZav/integrations/ApplicationLifecyclePublisher.h"

#include "platform/desktop/ApplicationNotifications.h"
#include "platform/runtime/NotificationCenter.h"

namespace ridezav {

ApplicationLifecyclePublisher::ApplicationLifecyclePublisher() {
    // The publisher lives for the whole process, so its observers are never removed.
    auto& center = velmo::NotificationCenter::defaultCenter();
    namespace N = velmo::ApplicationNotification;
    center.addObserver(N::didFinishLaunching, [this](const velmo::Notification&) { appDidFinishLaunching(); });
    center.addObserver(N::didResignActive, [this](const velmo::Notification&) { appDidEnterBackground(); });
    center.addObserver(N::didBecomeActive, [this](const velmo::Notification&) { appDidBecomeActive(); });
}

ApplicationLifecyclePublisher& ApplicationLifecyclePublisher::shared() {
    static ApplicationLifecyclePublisher* instance = new ApplicationLifecyclePublisher();  // never released
    return *instance;
}

}  // namespace ridezav
