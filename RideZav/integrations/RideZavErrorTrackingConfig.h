#pragma once

#include <string>
#include <vector>

namespace ridezav {

// Error-tracking settings of the configuration; read each time a crash report is converted.
class RideZavErrorTrackingConfig {
public:
    // Includes the main bundle's identifier (or "com.ridezav.unknown"), then its executable name.
    RideZavErrorTrackingConfig();

    bool autoCapture = false;
    std::vector<std::string> inAppIncludes;
    std::vector<std::string> inAppExcludes;
    bool inAppByDefault = true;
};

}  // namespace ridezav
