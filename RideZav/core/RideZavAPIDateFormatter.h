#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "RideZav/core/RideZavValue.h"

namespace ridezav {

// The ingestion protocol's date texts, always UTC: "2024-05-06T07:08:09.123Z" (milliseconds,
// rounded down) and, when reading, also "2024-05-06T07:08:09Z". Immutable, usable from any thread.
class RideZavAPIDateFormatter {
public:
    static const RideZavAPIDateFormatter& shared();

    std::string string(Date date) const;
    // The millisecond form first, then the seconds form; none when neither matches exactly.
    std::optional<Date> date(std::string_view text) const;

private:
    RideZavAPIDateFormatter() = default;
};

// ISO 8601 with whole seconds in UTC ("2024-05-06T07:08:09Z"), seconds rounded down.
std::string iso8601String(Date date);

}  // namespace ridezav
