#include "RideZav/core/RideZavValue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace ridezav {

Object::Object(std::initializer_list<Entry> entries) {
    entries_.reserve(entries.size());
    for (const auto& entry : entries) set(entry.first, entry.second);
}

const Value* Object::find(std::string_view key) const {
    for (const auto& entry : entries_)
        if (entry.first == key) return &entry.second;
    return nullptr;
}

Value* Object::find(std::string_view key) {
    for (auto& entry : entries_)
        if (entry.first == key) return &entry.second;
    return nullptr;
}

void Object::set(std::string key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
        return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
}

bool Object::insertIfAbsent(std::string key, Value value) {
    if (find(key)) return false;
    entries_.emplace_back(std::move(key), std::move(value));
    return true;
}

void Object::append(std::string key, Value value) { entries_.emplace_back(std::move(key), std::move(value)); }

bool Object::erase(std::string_view key) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->first == key) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

// Dictionaries compare as sets of entries: the order of keys does not make them differ.
bool Object::operator==(const Object& other) const {
    if (size() != other.size()) return false;
    for (const auto& entry : entries_) {
        const Value* theirs = other.find(entry.first);
        if (!theirs || !(*theirs == entry.second)) return false;
    }
    return true;
}

bool Value::isNumber() const {
    return std::holds_alternative<std::int64_t>(storage_) || std::holds_alternative<std::uint64_t>(storage_) ||
           std::holds_alternative<double>(storage_) || std::holds_alternative<float>(storage_);
}

bool Value::isInteger() const { return std::holds_alternative<std::int64_t>(storage_) || std::holds_alternative<std::uint64_t>(storage_); }

std::optional<std::string> Value::asString() const {
    if (auto s = get<std::string>()) return *s;
    return std::nullopt;
}

std::optional<std::int64_t> Value::asInt64() const {
    if (auto i = get<std::int64_t>()) return *i;
    if (auto u = get<std::uint64_t>()) {
        if (*u <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) return std::int64_t(*u);
        return std::nullopt;
    }
    std::optional<double> d = asDouble();
    if (!d || !std::isfinite(*d) || std::trunc(*d) != *d) return std::nullopt;
    if (*d < -9.2233720368547758e18 || *d >= 9.2233720368547758e18) return std::nullopt;
    return std::int64_t(*d);
}

std::optional<double> Value::asDouble() const {
    if (auto d = get<double>()) return *d;
    if (auto f = get<float>()) return double(*f);
    if (auto i = get<std::int64_t>()) return double(*i);
    if (auto u = get<std::uint64_t>()) return double(*u);
    return std::nullopt;
}

std::optional<bool> Value::asBool() const {
    if (auto b = get<bool>()) return *b;
    return std::nullopt;
}

namespace {

template <class Json>
Value fromJSON(const Json& json) {
    switch (json.type()) {
        case nlohmann::json::value_t::null:
            return Value(nullptr);
        case nlohmann::json::value_t::boolean:
            return Value(json.template get<bool>());
        case nlohmann::json::value_t::number_integer:
            return Value(json.template get<std::int64_t>());
        case nlohmann::json::value_t::number_unsigned: {
            const auto u = json.template get<std::uint64_t>();
            if (u <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) return Value(std::int64_t(u));
            return Value(u);
        }
        case nlohmann::json::value_t::number_float:
            return Value(json.template get<double>());
        case nlohmann::json::value_t::string:
            return Value(json.template get_ref<const std::string&>());
        case nlohmann::json::value_t::array: {
            Array array;
            array.reserve(json.size());
            for (const auto& element : json) array.push_back(fromJSON(element));
            return Value(std::move(array));
        }
        case nlohmann::json::value_t::object: {
            Object object;
            object.reserve(json.size());
            for (auto it = json.begin(); it != json.end(); ++it) object.set(it.key(), fromJSON(it.value()));
            return Value(std::move(object));
        }
        default:
            return Value(nullptr);  // binary and discarded values do not come out of the parser
    }
}

// A 32-bit float written with its own shortest digits ("0.1", not "0.10000000149011612").
double floatAsWritten(float f) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, f);
    *result.ptr = '\0';
    return std::strtod(buffer, nullptr);
}

}  // namespace

Value valueFromJSON(const OrderedJSON& json) { return fromJSON(json); }
Value valueFromJSON(const nlohmann::json& json) { return fromJSON(json); }

std::size_t jsonNestingDepth(std::string_view text) {
    std::size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::optional<OrderedJSON> parseOrderedJSON(std::string_view bytes) {
    if (jsonNestingDepth(bytes) > kMaximumJSONDepth) return std::nullopt;
    OrderedJSON json = OrderedJSON::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) return std::nullopt;
    return json;
}

std::optional<Value> parseJSON(std::string_view bytes) {
    auto json = parseOrderedJSON(bytes);
    if (!json) return std::nullopt;
    return fromJSON(*json);
}

std::optional<OrderedJSON> toOrderedJSON(const Value& value) {
    struct Visitor {
        std::optional<OrderedJSON> operator()(std::nullptr_t) const { return OrderedJSON(nullptr); }
        std::optional<OrderedJSON> operator()(bool b) const { return OrderedJSON(b); }
        std::optional<OrderedJSON> operator()(std::int64_t i) const { return OrderedJSON(i); }
        std::optional<OrderedJSON> operator()(std::uint64_t u) const { return OrderedJSON(u); }
        std::optional<OrderedJSON> operator()(double d) const {
            if (!std::isfinite(d)) return std::nullopt;
            return OrderedJSON(d);
        }
        std::optional<OrderedJSON> operator()(float f) const {
            if (!std::isfinite(f)) return std::nullopt;
            return OrderedJSON(floatAsWritten(f));
        }
        std::optional<OrderedJSON> operator()(const std::string& s) const { return OrderedJSON(s); }
        std::optional<OrderedJSON> operator()(const Array& array) const {
            OrderedJSON json = OrderedJSON::array();
            for (const auto& element : array) {
                auto converted = toOrderedJSON(element);
                if (!converted) return std::nullopt;
                json.push_back(std::move(*converted));
            }
            return json;
        }
        std::optional<OrderedJSON> operator()(const Object& object) const {
            OrderedJSON json = OrderedJSON::object();
            for (const auto& [key, element] : object) {
                auto converted = toOrderedJSON(element);
                if (!converted) return std::nullopt;
                json[key] = std::move(*converted);
            }
            return json;
        }
        std::optional<OrderedJSON> operator()(const Date&) const { return std::nullopt; }
        std::optional<OrderedJSON> operator()(const URL&) const { return std::nullopt; }
        std::optional<OrderedJSON> operator()(const OpaqueValue&) const { return std::nullopt; }
    };
    return std::visit(Visitor{}, value.storage());
}

}  // namespace ridezav
