#include "RideZav/integrations/RideZavErrorTrackingConfig.h"

#include "platform/foundation/Bundle.h"

namespace ridezav {

RideZavErrorTrackingConfig::RideZavErrorTrackingConfig() {
    const velmo::Bundle& bundle = velmo::Bundle::main();
    inAppIncludes.push_back(bundle.bundleIdentifier().value_or("com.ridezav.unknown"));
    const auto executable = bundle.objectForInfoDictionaryKey("CFBundleExecutable");
    if (const std::string* name = executable.asString()) inAppIncludes.push_back(*name);
}

}  // namespace ridezav
