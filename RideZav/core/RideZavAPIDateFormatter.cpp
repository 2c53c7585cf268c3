#include "RideZav/core/RideZavAPIDateFormatter.h"

#include <chrono>
#include <cstdio>

namespace ridezav {

namespace {

using namespace std::chrono;

std::string format(Date date, bool withMilliseconds) {
    const auto ms = floor<milliseconds>(date);
    const auto day = floor<days>(ms);
    const year_month_day ymd{day};
    const hh_mm_ss<milliseconds> time{ms - day};
    char buffer[48];
    const int year = int(ymd.year());
    if (withMilliseconds)
        std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", year, unsigned(ymd.month()), unsigned(ymd.day()),
                      int(time.hours().count()), int(time.minutes().count()), int(time.seconds().count()), int(time.subseconds().count()));
    else
        std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", year, unsigned(ymd.month()), unsigned(ymd.day()),
                      int(time.hours().count()), int(time.minutes().count()), int(time.seconds().count()));
    return buffer;
}

// Reads exactly `count` decimal digits at `pos`.
bool digits(std::string_view text, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > text.size()) return false;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

// "yyyy-MM-dd'T'HH:mm:ss" then ".SSS" when asked, then "Z", and nothing after.
std::optional<Date> parse(std::string_view text, bool withMilliseconds) {
    const std::size_t expected = withMilliseconds ? 24 : 20;
    if (text.size() != expected) return std::nullopt;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    if (!digits(text, 0, 4, y) || text[4] != '-' || !digits(text, 5, 2, mo) || text[7] != '-' || !digits(text, 8, 2, d) ||
        text[10] != 'T' || !digits(text, 11, 2, h) || text[13] != ':' || !digits(text, 14, 2, mi) || text[16] != ':' ||
        !digits(text, 17, 2, s))
        return std::nullopt;
    std::size_t pos = 19;
    if (withMilliseconds) {
        if (text[19] != '.' || !digits(text, 20, 3, ms)) return std::nullopt;
        pos = 23;
    }
    if (text[pos] != 'Z') return std::nullopt;
    const year_month_day ymd{year{y}, month{unsigned(mo)}, day{unsigned(d)}};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
    const auto when = sys_days{ymd} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
    // A clock tick is a nanosecond, so only about 1678 to 2262 can be held; a stored event from
    // outside that span is refused rather than wrapped around.
    constexpr auto earliest = ceil<milliseconds>(system_clock::duration::min());
    constexpr auto latest = floor<milliseconds>(system_clock::duration::max());
    if (when.time_since_epoch() < earliest || when.time_since_epoch() > latest) return std::nullopt;
    return time_point_cast<system_clock::duration>(when);
}

}  // namespace

const RideZavAPIDateFormatter& RideZavAPIDateFormatter::shared() {
    static const RideZavAPIDateFormatter* instance = new RideZavAPIDateFormatter();  // never released
    return *instance;
}

std::string RideZavAPIDateFormatter::string(Date date) const { return format(date, true); }

std::optional<Date> RideZavAPIDateFormatter::date(std::string_view text) const {
    if (auto date = parse(text, true)) return date;
    return parse(text, false);
}

std::string iso8601String(Date date) { return format(date, false); }

}  // namespace ridezav
