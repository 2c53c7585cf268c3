#include "RideZav/model/RideZavEvent.h"

#include <array>

#include "RideZav/core/RideZavAPIDateFormatter.h"
#include "RideZav/core/TimeBasedEpochGenerator.h"
#include "RideZav/core/WallClock.h"

namespace ridezav {

RideZavEvent::RideZavEvent(std::string event, std::string distinctId, Object properties, Date timestamp, velmo::UUID uuid,
                           std::optional<std::string> apiKey)
    : event(std::move(event)),
      distinctId(std::move(distinctId)),
      properties(std::move(properties)),
      timestamp(timestamp),
      uuid(uuid),
      apiKey(std::move(apiKey)) {}

Object RideZavEvent::toJSON() const {
    Object json;
    json.reserve(6);
    json.append("event", event);
    json.append("distinct_id", distinctId);
    json.append("properties", properties);
    json.append("timestamp", RideZavAPIDateFormatter::shared().string(timestamp));
    json.append("uuid", uuid.uuidString());
    if (apiKey) json.append("api_key", *apiKey);
    return json;
}

namespace {
const std::string* stringAt(const Object& object, std::string_view key) {
    const Value* value = object.find(key);
    return value ? value->get<std::string>() : nullptr;
}
}  // namespace

std::optional<RideZavEvent> RideZavEvent::fromJSON(const Object& json) {
    if (json.empty()) return std::nullopt;
    const std::string* event = stringAt(json, "event");
    if (!event) return std::nullopt;

    const auto& formatter = RideZavAPIDateFormatter::shared();
    const Date now = WallClock::current()->now();
    const std::string* timestampText = stringAt(json, "timestamp");
    const std::string text = timestampText ? *timestampText : formatter.string(now);
    const Date timestamp = formatter.date(text).value_or(now);

    Object properties;
    if (const Value* value = json.find("properties"))
        if (const Object* object = value->get<Object>()) properties = *object;
    if (const Value* set = json.find("$set"))
        if (set->isObject()) properties.set("$set", *set);

    const std::string* distinctId = stringAt(json, "distinct_id");
    if (!distinctId) distinctId = stringAt(properties, "distinct_id");
    if (!distinctId) return std::nullopt;

    const std::string* idText = stringAt(json, "uuid");
    if (!idText) idText = stringAt(json, "message_id");
    std::optional<velmo::UUID> uuid = idText ? velmo::UUID::fromString(*idText) : std::nullopt;
    if (!uuid) uuid = TimeBasedEpochGenerator::shared().generateV7();

    std::optional<std::string> apiKey;
    if (const std::string* key = stringAt(json, "api_key")) apiKey = *key;

    std::string distinct = *distinctId;  // may point into `properties`, which moves below
    return RideZavEvent(*event, std::move(distinct), std::move(properties), timestamp, *uuid, std::move(apiKey));
}

namespace {
constexpr std::array<std::string_view, 10> systemEventNames = {
    "$snapshot",    "$screen",   "$set",           "survey dismissed", "survey sent",
    "survey shown", "$identify", "$groupidentify", "$create_alias",    "$feature_flag_called",
};
}

std::optional<RideZavSystemEvent> systemEventFromName(std::string_view name) {
    for (std::size_t i = 0; i < systemEventNames.size(); ++i)
        if (systemEventNames[i] == name) return RideZavSystemEvent(i);
    return std::nullopt;
}

std::string_view systemEventName(RideZavSystemEvent event) { return systemEventNames[std::size_t(event)]; }

}  // namespace ridezav
