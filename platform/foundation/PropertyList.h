#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/base/Error.h"

namespace velmo {

// A point in time as property lists store it, kept as seconds since 1970-01-01 UTC.
struct PlistDate {
    double secondsSince1970 = 0;
    bool operator==(const PlistDate&) const = default;
};

// One value of a property list: none (absent), a Boolean, a signed 64-bit integer, a real, a
// UTF-8 string, bytes, a date, an array or a dictionary with string keys.
class PlistValue {
public:
    using Data = std::vector<std::uint8_t>;
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;
    enum class Type { none, boolean, integer, real, string, data, date, array, dictionary };

    PlistValue() = default;
    PlistValue(bool value)
        : value_(value) {}
    // Any integer type; unsigned values above the signed 64-bit range wrap.
    template <std::integral T>
    requires(!std::same_as<T, bool>) PlistValue(T value)
        : value_(static_cast<std::int64_t>(value)) {}
    PlistValue(double value)
        : value_(value) {}
    PlistValue(std::string value)
        : value_(std::move(value)) {}
    PlistValue(const char* value)
        : value_(std::string(value)) {}
    PlistValue(Data value)
        : value_(std::move(value)) {}
    PlistValue(PlistDate value)
        : value_(value) {}
    PlistValue(Array value)
        : value_(std::move(value)) {}
    PlistValue(Dictionary value)
        : value_(std::move(value)) {}

    Type type() const { return static_cast<Type>(value_.index()); }
    bool isNone() const { return type() == Type::none; }

    // The value when it has that type, else null. Refused on temporaries, where it would dangle.
    const bool* asBool() const& { return std::get_if<bool>(&value_); }
    const std::int64_t* asInteger() const& { return std::get_if<std::int64_t>(&value_); }
    const double* asReal() const& { return std::get_if<double>(&value_); }
    const std::string* asString() const& { return std::get_if<std::string>(&value_); }
    const Data* asData() const& { return std::get_if<Data>(&value_); }
    const PlistDate* asDate() const& { return std::get_if<PlistDate>(&value_); }
    const Array* asArray() const& { return std::get_if<Array>(&value_); }
    const Dictionary* asDictionary() const& { return std::get_if<Dictionary>(&value_); }
    const bool* asBool() const&& = delete;
    const std::int64_t* asInteger() const&& = delete;
    const double* asReal() const&& = delete;
    const std::string* asString() const&& = delete;
    const Data* asData() const&& = delete;
    const PlistDate* asDate() const&& = delete;
    const Array* asArray() const&& = delete;
    const Dictionary* asDictionary() const&& = delete;

    bool operator==(const PlistValue&) const = default;

private:
    std::variant<std::monostate, bool, std::int64_t, double, std::string, Data, PlistDate, Array, Dictionary> value_;
};

// Malformed or unrepresentable property lists (domain "PropertyList").
class PropertyListError : public Error {
public:
    explicit PropertyListError(std::string message);
};

// Reading (XML or binary) and writing (XML) of property lists.
class PropertyList {
public:
    // Containers nested deeper than this are refused rather than risking the stack.
    static constexpr int maximumDepth = 512;
    // Binary lists share values by reference; one that expands to more values than this is
    // refused rather than copied out without end.
    static constexpr std::uint64_t maximumNodes = 100000;

    // Throws PropertyListError for anything that is not a well-formed property list, and for one
    // that could not be written back: a NUL in a string or key, a date out of range.
    static PlistValue parse(std::string_view bytes);
    // Throws PropertyListError when the file cannot be read or does not parse.
    static PlistValue readFile(const std::string& path);
    // Throws PropertyListError for a none value anywhere, a string or key holding a NUL character,
    // or a date the format cannot hold. Dates are kept to the second.
    static std::string toXML(const PlistValue& value);
};

}  // namespace velmo
