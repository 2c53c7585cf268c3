#include "RideZav/model/RideZavEvent.h"

#include <algorithm>
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

// Follows the parse as events arrive; stops at the first thing toJSON would not have written.
class JSONFormCheck : public nlohmann::json_sax<OrderedJSON> {
public:
    bool null() override { return value(Kind::other); }
    bool boolean(bool) override { return value(Kind::other); }
    bool number_integer(number_integer_t) override { return value(Kind::other); }
    bool number_unsigned(number_unsigned_t) override { return value(Kind::other); }
    bool number_float(number_float_t, const string_t&) override { return value(Kind::other); }
    bool string(string_t& text) override {
        if (depth_ != 1) return true;
        switch (key_) {
            case Key::timestamp:
                if (!RideZavAPIDateFormatter::shared().date(text)) return false;
                break;
            case Key::uuid:
                if (!velmo::UUID::fromString(text)) return false;
                break;
            default:
                break;
        }
        return value(Kind::text);
    }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override {
        if (depth_ <= 1 && !value(Kind::object)) return false;
        return ++depth_ <= kMaximumJSONDepth;
    }
    bool key(string_t& name) override {
        if (depth_ != 1) return true;
        static constexpr std::array<std::string_view, 6> names = {"event", "distinct_id", "properties", "timestamp", "uuid", "api_key"};
        const auto it = std::find(names.begin(), names.end(), name);
        if (it == names.end()) return false;
        key_ = Key(it - names.begin());
        const unsigned bit = 1u << unsigned(key_);
        if (seen_ & bit) return false;
        seen_ |= bit;
        return true;
    }
    bool end_object() override {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        if (depth_ <= 1 && !value(Kind::other)) return false;
        return ++depth_ <= kMaximumJSONDepth;
    }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

    // Every key but "api_key" is there.
    bool complete() const { return seen_ == 0x1fu || seen_ == 0x3fu; }

private:
    enum class Key { event, distinctId, properties, timestamp, uuid, apiKey };
    enum class Kind { text, object, other };
    // A value of the top-level object must have its key's type; the top level must be an object.
    bool value(Kind kind) {
        if (depth_ == 0) return kind == Kind::object;
        if (depth_ != 1) return true;
        return key_ == Key::properties ? kind == Kind::object : kind == Kind::text;
    }

    std::size_t depth_ = 0;
    Key key_ = Key::event;
    unsigned seen_ = 0;
};

}  // namespace

bool RideZavEvent::isJSONForm(std::string_view json) {
    JSONFormCheck check;
    return OrderedJSON::sax_parse(json.begin(), json.end(), &check) && check.complete();
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
