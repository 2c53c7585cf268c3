#include "RideZav/core/RideZavUtils.h"

#include <cmath>
#include <system_error>

#include "RideZav/core/RideZavAPIDateFormatter.h"
#include "RideZav/core/RideZavLog.h"

namespace ridezav {

bool isValidJSONValue(const Value& value) {
    struct Visitor {
        bool operator()(std::nullptr_t) const { return true; }
        bool operator()(bool) const { return true; }
        bool operator()(std::int64_t) const { return true; }
        bool operator()(std::uint64_t) const { return true; }
        bool operator()(double d) const { return std::isfinite(d); }
        bool operator()(float f) const { return std::isfinite(f); }
        bool operator()(const std::string&) const { return true; }
        bool operator()(const Array& array) const {
            for (const auto& element : array)
                if (!isValidJSONValue(element)) return false;
            return true;
        }
        bool operator()(const Object& object) const {
            for (const auto& entry : object)
                if (!isValidJSONValue(entry.second)) return false;
            return true;
        }
        bool operator()(const Date&) const { return false; }
        bool operator()(const URL&) const { return false; }
        bool operator()(const OpaqueValue&) const { return false; }
    };
    return std::visit(Visitor{}, value.storage());
}

std::optional<Object> sanitize(const std::optional<Object>& properties) {
    if (!properties || properties->empty()) return std::nullopt;
    Object result;
    result.reserve(properties->size());
    for (const auto& [key, value] : *properties) {
        if (isValidJSONValue(value)) {
            result.append(key, value);
        } else if (const URL* url = value.get<URL>()) {
            result.append(key, url->absoluteString);
        } else if (const Date* date = value.get<Date>()) {
            result.append(key, iso8601String(*date));
        } else {
            ridezavLog("property: " + key + " isn't serializable, dropping the item");
        }
    }
    return result;
}

std::optional<std::string> jsonData(const Object& dictionary, JSONWritingOptions options) {
    std::optional<Object> sanitized = sanitize(dictionary);
    if (!sanitized) return std::nullopt;
    std::optional<OrderedJSON> json = toOrderedJSON(Value(std::move(*sanitized)));
    if (!json) return std::nullopt;  // sanitised values always convert
    try {
        if (options.sortedKeys) return nlohmann::json(*json).dump();
        return json->dump();
    } catch (const nlohmann::json::exception& error) {
        ridezavLog(std::string("Failed to serialize dictionary to JSON: ") + error.what());
        return std::nullopt;
    }
}

void deleteSafely(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return;
    std::filesystem::remove_all(path, error);
    if (error) ridezavLog("Error trying to delete file " + path.string() + " " + error.message());
}

void createDirectoryIfNeeded(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::exists(path, error)) return;
    std::filesystem::create_directories(path, error);
    if (error) ridezavLog("Error creating storage directory: " + error.message());
}

}  // namespace ridezav
