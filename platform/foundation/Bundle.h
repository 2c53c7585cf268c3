#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/PropertyList.h"

namespace velmo {

// The application bundle: a folder "Velmo.app" holding "Contents/Info.plist" and
// "Contents/Resources/". A bundle that is missing is not an error: it has an empty Info
// dictionary and no resources. Immutable once made, so it may be read from any thread.
class Bundle {
public:
    // The bundle at `bundlePath` (the Velmo.app folder). Its Info.plist is read once, here; one
    // that cannot be read or is not a dictionary is logged and taken as empty.
    explicit Bundle(std::string bundlePath);

    // The process's bundle: $VELMO_BUNDLE when set, else Velmo.app beside the executable.
    static const Bundle& main();
    // Where main() looks, without reading anything.
    static std::string mainBundlePath();

    const std::string& bundlePath() const { return bundlePath_; }
    const PlistValue::Dictionary& infoDictionary() const { return info_; }
    // The Info dictionary's value under `key`, or none.
    PlistValue objectForInfoDictionaryKey(const std::string& key) const;
    // "Contents/Resources/<name>.<type>" (no dot when `type` is empty) when it exists.
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type) const;
    // "CFBundleIdentifier" when it is a non-empty string.
    std::optional<std::string> bundleIdentifier() const;

    // Makes main() the bundle at `bundlePath` while it lives (tests); scopes nest.
    class Scope {
    public:
        explicit Scope(std::string bundlePath);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        const Bundle& bundle() const { return *bundle_; }

    private:
        std::unique_ptr<Bundle> bundle_;
        const Bundle* previous_;
    };

private:
    std::string bundlePath_;
    PlistValue::Dictionary info_;
};

}  // namespace velmo
