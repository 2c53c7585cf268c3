#include "RideZav/integrations/ApplicationLifecyclePublisher.h"

namespace ridezav {

ApplicationLifecyclePublisher& ApplicationLifecyclePublisher::shared() {
    static ApplicationLifecyclePublisher* instance = new ApplicationLifecyclePublisher();  // never released
    return *instance;
}

}  // namespace ridezav
