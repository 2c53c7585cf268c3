#include "RideZav/core/RideZavUtils.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include "RideZav/core/RideZavAPIDateFormatter.h"
#include "RideZav/core/RideZavLog.h"
#include "platform/base/UTF8.h"

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

namespace {

// Escapes as the document writer does: quote, backslash, the short escapes, other control
// characters as \u00xx, everything else as it is.
bool writeString(std::string& out, std::string_view text) {
    if (!velmo::isValidUTF8(text)) return false;  // the document writer throws on anything else
    out.push_back('"');
    std::size_t plain = 0;  // start of the run not yet copied
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, plain, i - plain);
        plain = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default: {
                static constexpr char hex[] = "0123456789abcdef";
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 0xF]);
            }
        }
    }
    out.append(text, plain, text.size() - plain);
    out.push_back('"');
    return true;
}

bool writeValue(std::string& out, const Value& value);

struct ValueWriter {
    std::string& out;

    bool operator()(std::nullptr_t) const {
        out += "null";
        return true;
    }
    bool operator()(bool b) const {
        out += b ? "true" : "false";
        return true;
    }
    bool operator()(std::int64_t i) const { return integer(i); }
    bool operator()(std::uint64_t u) const { return integer(u); }
    bool operator()(double d) const { return number(d); }
    bool operator()(float f) const { return number(f); }
    bool operator()(const std::string& s) const { return writeString(out, s); }
    bool operator()(const Array& array) const {
        out.push_back('[');
        for (std::size_t i = 0; i < array.size(); ++i) {
            if (i) out.push_back(',');
            if (!writeValue(out, array[i])) return false;
        }
        out.push_back(']');
        return true;
    }
    bool operator()(const Object& object) const {
        out.push_back('{');
        bool first = true;
        for (const auto& [key, element] : object) {
            if (!first) out.push_back(',');
            first = false;
            if (!writeString(out, key)) return false;
            out.push_back(':');
            if (!writeValue(out, element)) return false;
        }
        out.push_back('}');
        return true;
    }
    bool operator()(const Date&) const { return false; }
    bool operator()(const URL&) const { return false; }
    bool operator()(const OpaqueValue&) const { return false; }

    template <typename Integer>
    bool integer(Integer n) const {
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
        out.append(buffer, result.ptr);
        return true;
    }
    // Numbers with a fraction keep the document writer's digits exactly.
    bool number(const Value& value) const {
        const auto json = toOrderedJSON(value);
        if (!json) return false;
        out += json->dump();
        return true;
    }
};

// False for anything the document writer should handle (or refuse) itself.
bool writeValue(std::string& out, const Value& value) { return std::visit(ValueWriter{out}, value.storage()); }

}  // namespace

std::optional<std::string> jsonData(const Object& dictionary, JSONWritingOptions options) {
    // Events are written on the capturing thread: plain valid entries go straight to text,
    // without the sanitised copy and the document tree. The direct writer refuses exactly what
    // the sanitiser converts or drops (and what the document writer refuses), which then goes
    // that way.
    if (!options.sortedKeys && !dictionary.empty()) {
        std::string out;
        out.reserve(1024);
        if (ValueWriter{out}(dictionary)) return out;
    }
    return jsonDataThroughDocument(dictionary, options);
}

std::optional<std::string> jsonDataThroughDocument(const Object& dictionary, JSONWritingOptions options) {
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
