// Errors of the crash reporter: the domain "ZVCrashReporterErrorDomain", its codes, and the
// operating-system error underneath where a system call failed.
#pragma once

#include <optional>
#include <string>

#include "crashreporter/report/ZVCrashReport.h"
#include "platform/base/Error.h"

namespace zvcrash {

enum ZVCrashReporterErrorCode : long {
    // A live report could not be written or read back; a report object could not be made.
    ZVCrashReporterErrorUnknown = 0,
    // An operating-system call failed; the underlying error says which.
    ZVCrashReporterErrorOperatingSystem = 1,
    // ZVCrashReporterErrorCrashReportInvalid (2) is the reader's.
    // Another instance is already enabled.
    ZVCrashReporterErrorResourceBusy = 3,
};

// The domain of errors that carry errno.
extern const char* const ZVCrashPOSIXErrorDomain;

class ZVCrashReporterError : public velmo::Error {
public:
    ZVCrashReporterError(long code, std::string description, std::optional<velmo::Error> underlying = std::nullopt);

    // An operating-system failure (code 1) with errno as the underlying error.
    static ZVCrashReporterError posix(std::string description, int errnoValue);

    const std::optional<velmo::Error>& underlyingError() const { return underlying_; }
    std::string description() const override;

private:
    std::optional<velmo::Error> underlying_;
};

}  // namespace zvcrash
