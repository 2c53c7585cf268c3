#include "crashreporter/ZVCrashReporterError.h"

#include <cstring>

namespace zvcrash {

const char* const ZVCrashPOSIXErrorDomain = "NSPOSIXErrorDomain";

ZVCrashReporterError::ZVCrashReporterError(long code, std::string description, std::optional<velmo::Error> underlying)
    : velmo::Error(ZVCrashReporterErrorDomain, code, std::move(description)),
      underlying_(std::move(underlying)) {}

ZVCrashReporterError ZVCrashReporterError::posix(std::string description, int errnoValue) {
    return ZVCrashReporterError(ZVCrashReporterErrorOperatingSystem, std::move(description),
                                velmo::Error(ZVCrashPOSIXErrorDomain, errnoValue, std::strerror(errnoValue)));
}

std::string ZVCrashReporterError::description() const {
    std::string text = velmo::Error::description();
    if (underlying_) text += " (" + underlying_->description() + ")";
    return text;
}

}  // namespace zvcrash
