// Renders a crash report as a plain-text crash log for people to read.
#pragma once

#include <cstdint>
#include <string>

#include "crashreporter/report/ZVCrashReport.h"

namespace zvcrash {

// Turns a report into bytes.
class ZVCrashReportFormatter {
public:
    virtual ~ZVCrashReportFormatter() = default;
    virtual std::string formatReport(const ZVCrashReport& report) const = 0;
};

enum class ZVCrashReportTextFormat : int32_t {
    // The one layout there is.
    iOS = 0,
};

enum class ZVCrashReportStringEncoding : uint64_t {
    UTF8 = 4,
};

class ZVCrashReportTextFormatter : public ZVCrashReportFormatter {
public:
    ZVCrashReportTextFormatter(ZVCrashReportTextFormat textFormat, ZVCrashReportStringEncoding stringEncoding)
        : textFormat_(textFormat),
          stringEncoding_(stringEncoding) {}

    // The text of stringValueForCrashReport in the formatter's encoding; bytes that are not
    // well-formed UTF-8 become U+FFFD.
    std::string formatReport(const ZVCrashReport& report) const override;

    ZVCrashReportTextFormat textFormat() const { return textFormat_; }
    ZVCrashReportStringEncoding stringEncoding() const { return stringEncoding_; }

    static std::string stringValueForCrashReport(const ZVCrashReport& report, ZVCrashReportTextFormat textFormat);
    // One backtrace line; logs the addresses that fall in no image.
    static std::string formatStackFrame(const ZVCrashReportStackFrameInfo& frame, int64_t frameIndex, const ZVCrashReport& report,
                                        bool lp64);

private:
    ZVCrashReportTextFormat textFormat_;
    ZVCrashReportStringEncoding stringEncoding_;
};

}  // namespace zvcrash
