#include "companion/ParsedPointTag.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "platform/foundation/Unicode.h"

namespace velmo {

namespace {
const char* const kPointTagPattern = R"(\[POINT:(?:none|(\d+)\s*,\s*(\d+)(?::([^\]]+))?)\]\s*$)";

std::string utf8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

// ICU's \d takes any decimal digit; only ASCII digits convert to a number here.
std::optional<double> toDouble(const std::string& digits) {
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    return std::strtod(digits.c_str(), nullptr);
}
}  // namespace

ParsedPointTag parsePointTag(const std::string& reply) {
    UErrorCode status = U_ZERO_ERROR;
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode s = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexPattern> p(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(kPointTagPattern), 0, s));
        return U_SUCCESS(s) ? std::move(p) : nullptr;
    }();
    if (!pattern) return {reply, std::nullopt, std::nullopt};

    icu::UnicodeString text = icu::UnicodeString::fromUTF8(reply);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
    if (U_FAILURE(status) || !matcher->find()) return {reply, std::nullopt, std::nullopt};

    int32_t matchStart = matcher->start(status);
    ParsedPointTag result;
    result.spokenText = trimWhitespaceAndNewlines(utf8(text.tempSubString(0, matchStart)));

    auto groupText = [&](int32_t group) -> std::optional<std::string> {
        UErrorCode s = U_ZERO_ERROR;
        if (matcher->start(group, s) < 0 || U_FAILURE(s)) return std::nullopt;
        return utf8(matcher->group(group, s));
    };
    auto xText = groupText(1);
    auto yText = groupText(2);
    std::optional<double> x = xText ? toDouble(*xText) : std::nullopt;
    std::optional<double> y = yText ? toDouble(*yText) : std::nullopt;
    if (!x || !y) {
        result.elementLabel = "none";
        return result;
    }
    result.coordinate = PixelPoint{*x, *y};
    if (auto label = groupText(3)) result.elementLabel = trimCharacters(*label, " \t");
    return result;
}

Point mapScreenshotPointToScreen(PixelPoint pixel, double pw, double ph, double w, double h, Rect frame) {
    double cx = std::min(pixel.x, pw);
    if (cx < 0) cx = 0;
    double cy = std::min(pixel.y, ph);
    if (cy < 0) cy = 0;
    double lx = (w / pw) * cx;
    double ly = h - (h / ph) * cy;
    return {frame.x + lx, frame.y + ly};
}

long long saturatedWholeNumber(double value) {
    constexpr double limit = 9223372036854775807.0;  // rounds to 2^63, the first value out of range
    if (std::isnan(value)) return 0;
    if (value >= limit) return std::numeric_limits<long long>::max();
    if (value <= -limit) return std::numeric_limits<long long>::min();
    return static_cast<long long>(value);
}

}  // namespace velmo
