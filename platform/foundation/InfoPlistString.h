#pragma once

#include <optional>
#include <string>

namespace velmo {

// The bundle configuration value under `key`: the main bundle's Info dictionary string, trimmed
// of white space and line breaks; when that is missing, not a string or blank, the same lookup in
// the bundle's "Info.plist" resource. Blank or missing everywhere gives none. Any thread.
std::optional<std::string> infoPlistString(const std::string& key);

// The application version: the Info dictionary's "CFBundleShortVersionString" as stored, or
// "unknown" when it is missing or not a string.
std::string bundleShortVersionString();

}  // namespace velmo
