#pragma once

#include <vector>

#include "RideZav/core/RideZavValue.h"
#include "RideZav/exceptions/RideZavStackFrame.h"

namespace zvcrash {
class ZVCrashReport;
class ZVCrashReportThreadInfo;
}  // namespace zvcrash

namespace ridezav {

class RideZavErrorTrackingConfig;

// The thread that crashed: the first one marked so, else the first; none without threads.
const zvcrash::ZVCrashReportThreadInfo* crashedThread(const zvcrash::ZVCrashReport& report);

// The uncaught exception's frames when it has any, else the crashed thread's, each placed in the
// report's images and judged in-app by the configuration.
std::vector<RideZavStackFrame> crashReportFrames(const zvcrash::ZVCrashReport& report, const RideZavErrorTrackingConfig& config);

// The one exception of the report: from the uncaught exception when there was one, else from
// the signal (with its name and code under "meta").
Object crashReportException(const zvcrash::ZVCrashReport& report, const std::vector<RideZavStackFrame>& frames);

// The named images of the report that the frames point into, in report order.
Array crashReportDebugImages(const zvcrash::ZVCrashReport& report, const std::vector<RideZavStackFrame>& frames);

// "$exception_level" "fatal", "$exception_list" with the report's exception and, when frames
// point into images, "$debug_images". The configuration is read now, at each conversion.
Object exceptionProperties(const zvcrash::ZVCrashReport& report, const RideZavErrorTrackingConfig& config);

}  // namespace ridezav
