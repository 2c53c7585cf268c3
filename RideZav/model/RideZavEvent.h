#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "RideZav/core/RideZavValue.h"
#include "platform/base/UUID.h"

namespace ridezav {

// One analytics event as it travels through the library; its JSON form is the event format of
// stored files and upload bodies. Not locked: one owner at a time (the caller, then the queue).
class RideZavEvent {
public:
    RideZavEvent(std::string event, std::string distinctId, Object properties, Date timestamp, velmo::UUID uuid,
                 std::optional<std::string> apiKey = std::nullopt);

    std::string event;
    std::string distinctId;
    Object properties;
    Date timestamp;
    velmo::UUID uuid;
    std::optional<std::string> apiKey;  // only stored events carry one

    // {"event", "distinct_id", "properties", "timestamp", "uuid"[, "api_key"]}, in that order.
    Object toJSON() const;
    // Reads a stored event; none for an empty dictionary, a missing or non-text "event", or no
    // distinct id at the top level or in the properties. Wrong-typed values count as absent.
    static std::optional<RideZavEvent> fromJSON(const Object& json);
    // Whether `json` is an event's JSON form as toJSON writes it (the top-level keys above, each
    // once, of their types, a timestamp and a uuid that read back), so that sending these bytes
    // sends what reading them as an event and writing it again would. Checked without building
    // a document.
    static bool isJSONForm(std::string_view json);

    bool operator==(const RideZavEvent&) const = default;
};

// The library's own event names.
enum class RideZavSystemEvent {
    snapshot,
    screen,
    set,
    surveyDismissed,
    surveySent,
    surveyShown,
    identify,
    groupIdentify,
    createAlias,
    featureFlagCalled,
};

std::optional<RideZavSystemEvent> systemEventFromName(std::string_view name);
std::string_view systemEventName(RideZavSystemEvent event);

}  // namespace ridezav
