// The bytes of a stored crash report file: the reader answers a report or an error, and the
// formatter renders whatever it accepts.
#include <cstddef>
#include <cstdint>

#include "crashreporter/report/ZVCrashReport.h"
#include "crashreporter/report/ZVCrashReportTextFormatter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::optional<velmo::Error> error;
    auto report = zvcrash::ZVCrashReport::fromData(std::span<const uint8_t>(data, size), &error);
    if (report) {
        zvcrash::ZVCrashReportTextFormatter formatter(zvcrash::ZVCrashReportTextFormat::iOS, zvcrash::ZVCrashReportStringEncoding::UTF8);
        (void)formatter.formatReport(*report);
    } else if (!error) {
        __builtin_trap();
    }
    return 0;
}
