#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "RideZav/core/RideZavValue.h"

namespace ridezav {

struct JSONWritingOptions {
    bool sortedKeys = false;  // equal dictionaries give equal bytes
};

// True when the value can be written as JSON without conversion: strings, Booleans, finite
// numbers, null, and arrays and dictionaries made only of those.
bool isValidJSONValue(const Value& value);

// The caller's properties made ready for JSON: valid entries stay, a URL becomes its absolute
// string, a date its ISO 8601 text, anything else is dropped (one debug line each). Nested
// containers are kept or dropped whole. A missing or empty dictionary yields none.
std::optional<Object> sanitize(const std::optional<Object>& properties);

// The JSON bytes of the sanitised dictionary; none for an empty one or a write failure.
std::optional<std::string> jsonData(const Object& dictionary, JSONWritingOptions options = {});
// The same through a JSON document tree: what jsonData falls back to for anything but plain
// valid entries, and what its output is checked against.
std::optional<std::string> jsonDataThroughDocument(const Object& dictionary, JSONWritingOptions options = {});

// Removes the file or folder when something exists there; failures are debug lines.
void deleteSafely(const std::filesystem::path& path);
// Creates the folder with its missing parents when nothing exists there; failures are debug lines.
void createDirectoryIfNeeded(const std::filesystem::path& path);

}  // namespace ridezav
