#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "RideZav/core/RideZavUtils.h"
#include "RideZav/core/RideZavValue.h"

namespace ridezav {

// The answer for one feature flag. Immutable, so safe to share between threads.
class RideZavFeatureFlagResult {
public:
    RideZavFeatureFlagResult(std::string key, bool enabled, std::optional<std::string> variant, std::optional<Value> payload)
        : key_(std::move(key)),
          enabled_(enabled),
          variant_(std::move(variant)),
          payload_(std::move(payload)) {}

    const std::string& key() const { return key_; }
    bool enabled() const { return enabled_; }
    const std::optional<std::string>& variant() const { return variant_; }
    const std::optional<Value>& payload() const { return payload_; }

    // The payload as a `T`: itself when it already is one, else decoded from its JSON when it is a
    // JSON array or object (T read through nlohmann's from_json); none otherwise.
    template <class T>
    std::optional<T> decodedPayload() const {
        if (!payload_) return std::nullopt;
        if constexpr (std::is_same_v<T, Value>) {
            return *payload_;
        } else {
            if constexpr (isAlternative<T>()) {
                if (const T* same = payload_->get<T>()) return *same;
            }
            if (!payload_->isArray() && !payload_->isObject()) return std::nullopt;
            if (!isValidJSONValue(*payload_)) return std::nullopt;
            const std::optional<OrderedJSON> json = toOrderedJSON(*payload_);
            if (!json) return std::nullopt;
            try {
                return json->template get<T>();
            } catch (const nlohmann::json::exception&) {
                return std::nullopt;
            }
        }
    }

private:
    template <class T, std::size_t I = 0>
    static constexpr bool isAlternative() {
        if constexpr (I == std::variant_size_v<Value::Storage>)
            return false;
        else if constexpr (std::is_same_v<T, std::variant_alternative_t<I, Value::Storage>>)
            return true;
        else
            return isAlternative<T, I + 1>();
    }

    std::string key_;
    bool enabled_;
    std::optional<std::string> variant_;
    std::optional<Value> payload_;
};

}  // namespace ridezav
