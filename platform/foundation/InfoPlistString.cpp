#include "platform/foundation/InfoPlistString.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Unicode.h"

namespace velmo {
namespace {

std::optional<std::string> trimmedString(const PlistValue& value) {
    const auto* text = value.asString();
    if (!text) return std::nullopt;
    std::string trimmed = trimWhitespaceAndNewlines(*text);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

}  // namespace

std::optional<std::string> infoPlistString(const std::string& key) {
    const Bundle& bundle = Bundle::main();
    if (auto value = trimmedString(bundle.objectForInfoDictionaryKey(key))) return value;
    const auto resource = bundle.pathForResource("Info", "plist");
    if (!resource) return std::nullopt;
    // An unreadable resource is the same as no resource.
    const PropertyListFile contents = readPropertyListDictionary(*resource);
    auto it = contents.dictionary.find(key);
    if (it == contents.dictionary.end()) return std::nullopt;
    return trimmedString(it->second);
}

std::string bundleShortVersionString() {
    const PlistValue version = Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    return version.asString() ? *version.asString() : "unknown";
}

}  // namespace velmo
