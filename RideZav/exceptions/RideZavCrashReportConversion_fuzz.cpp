// A stored crash report from arbitrary bytes, decoded and turned into event properties that must
// serialise as JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "RideZav/core/RideZavUtils.h"
#include "RideZav/exceptions/RideZavCrashReportConversion.h"
#include "RideZav/integrations/RideZavErrorTrackingConfig.h"
#include "crashreporter/report/ZVCrashReport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto report = zvcrash::ZVCrashReport::fromData(std::span<const std::uint8_t>(data, size));
    if (!report) return 0;
    static const ridezav::RideZavErrorTrackingConfig config;
    const auto properties = ridezav::exceptionProperties(*report, config);
    if (!properties.find("$exception_list")) std::abort();
    (void)ridezav::jsonData(properties);
    return 0;
}
