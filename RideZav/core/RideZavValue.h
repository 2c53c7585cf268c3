#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace ridezav {

// A point in time (the platform's date): system clock, nanosecond resolution.
using Date = std::chrono::system_clock::time_point;

// A URL property value; it travels as its absolute string.
struct URL {
    std::string absoluteString;
    bool operator==(const URL&) const = default;
};

// A value the JSON writer cannot take as it is (a caller's object of some other kind).
struct OpaqueValue {
    std::string typeName;
    bool operator==(const OpaqueValue&) const = default;
};

class Value;

// String keys to values, kept in insertion order; replacing a value keeps its place.
class Object {
public:
    using Entry = std::pair<std::string, Value>;
    using const_iterator = std::vector<Entry>::const_iterator;
    using iterator = std::vector<Entry>::iterator;

    Object() = default;
    Object(std::initializer_list<Entry> entries);

    // Defined below Value: the entries' type is complete only there.
    std::size_t size() const;
    bool empty() const;
    const_iterator begin() const;
    const_iterator end() const;
    iterator begin();
    iterator end();

    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const;
    // Sets the value of `key`: in place when present, else appended.
    void set(std::string key, Value value);
    // Adds the entry only when `key` is absent (an existing value wins); true when added.
    bool insertIfAbsent(std::string key, Value value);
    // Appends without looking for the key (the caller knows it is new).
    void append(std::string key, Value value);
    bool erase(std::string_view key);
    void reserve(std::size_t n);

    bool operator==(const Object& other) const;

private:
    std::vector<Entry> entries_;
};

using Array = std::vector<Value>;

// Any property value of the analytics client: the JSON kinds (Booleans apart from numbers,
// signed 64-bit integers apart from doubles, 32-bit floats), plus the non-JSON kinds that the
// sanitiser converts or drops (date, URL, opaque).
class Value {
public:
    using Storage =
        std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, float, std::string, Array, Object, Date, URL, OpaqueValue>;

    Value()
        : storage_(nullptr) {}
    Value(std::nullptr_t)
        : storage_(nullptr) {}
    Value(bool b)
        : storage_(b) {}
    Value(int i)
        : storage_(std::int64_t(i)) {}
    Value(long i)
        : storage_(std::int64_t(i)) {}
    Value(long long i)
        : storage_(std::int64_t(i)) {}
    Value(unsigned u)
        : storage_(std::int64_t(u)) {}
    Value(unsigned long u)
        : storage_(std::uint64_t(u)) {}
    Value(unsigned long long u)
        : storage_(std::uint64_t(u)) {}
    Value(double d)
        : storage_(d) {}
    Value(float f)
        : storage_(f) {}
    Value(const char* s)
        : storage_(std::string(s)) {}
    Value(std::string s)
        : storage_(std::move(s)) {}
    Value(std::string_view s)
        : storage_(std::string(s)) {}
    Value(Array a)
        : storage_(std::move(a)) {}
    Value(Object o)
        : storage_(std::move(o)) {}
    Value(Date d)
        : storage_(d) {}
    Value(URL u)
        : storage_(std::move(u)) {}
    Value(OpaqueValue o)
        : storage_(std::move(o)) {}

    const Storage& storage() const { return storage_; }

    bool isNull() const { return std::holds_alternative<std::nullptr_t>(storage_); }
    bool isBool() const { return std::holds_alternative<bool>(storage_); }
    bool isString() const { return std::holds_alternative<std::string>(storage_); }
    bool isArray() const { return std::holds_alternative<Array>(storage_); }
    bool isObject() const { return std::holds_alternative<Object>(storage_); }
    // Integers of either signedness, doubles and floats; never a Boolean.
    bool isNumber() const;
    bool isInteger() const;

    template <class T>
    const T* get() const {
        return std::get_if<T>(&storage_);
    }
    template <class T>
    T* get() {
        return std::get_if<T>(&storage_);
    }

    // The text when this is a string; none otherwise.
    std::optional<std::string> asString() const;
    // An integer, or a double/float with no fractional part in range.
    std::optional<std::int64_t> asInt64() const;
    std::optional<double> asDouble() const;
    std::optional<bool> asBool() const;

    bool operator==(const Value& other) const { return storage_ == other.storage_; }

private:
    Storage storage_;
};

inline std::size_t Object::size() const { return entries_.size(); }
inline bool Object::empty() const { return entries_.empty(); }
inline Object::const_iterator Object::begin() const { return entries_.begin(); }
inline Object::const_iterator Object::end() const { return entries_.end(); }
inline Object::iterator Object::begin() { return entries_.begin(); }
inline Object::iterator Object::end() { return entries_.end(); }
inline bool Object::contains(std::string_view key) const { return find(key) != nullptr; }
inline void Object::reserve(std::size_t n) { entries_.reserve(n); }

// Kinds of JSON reading and writing.
using OrderedJSON = nlohmann::ordered_json;

// The value of a parsed JSON document (numbers keep their integer or floating kind).
Value valueFromJSON(const OrderedJSON& json);
Value valueFromJSON(const nlohmann::json& json);
// Stored files and answers can nest arbitrarily, and converting, dumping and destroying values
// recurse: documents nested deeper than this are refused rather than allowed to overflow the stack.
inline constexpr std::size_t kMaximumJSONDepth = 512;
// Deepest nesting of arrays and objects in JSON text (strings skipped), without parsing it.
std::size_t jsonNestingDepth(std::string_view text);
// Reads JSON bytes; top-level fragments ("3", "\"text\"", "null") are accepted. None on error
// or past kMaximumJSONDepth.
std::optional<Value> parseJSON(std::string_view bytes);
// The same as a JSON document, in the order it was written.
std::optional<OrderedJSON> parseOrderedJSON(std::string_view bytes);
// The JSON document of a value that isValidJSONValue accepts; none for any other.
std::optional<OrderedJSON> toOrderedJSON(const Value& value);

}  // namespace ridezav
