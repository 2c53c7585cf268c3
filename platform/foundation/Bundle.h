#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/PropertyList.h"

namespace velmo {

// A property-list dictionary read from a file. A file that exists but cannot be read, does not
// parse or is not a dictionary gives an empty dictionary and `problem` says why.
struct PropertyListFile {
    bool exists = false;
    PlistValue::Dictionary dictionary;
    std::optional<std::string> problem;
};
PropertyListFile readPropertyListDictionary(const std::string& path);

// The application bundle: a folder "Velmo.app" holding "Contents/Info.plist" and
// "Contents/Resources/". A bundle that is missing is not an error: it has an empty Info
// dictionary and no resources. Immutable once made, so it may be read from any thread.
class Bundle {
public:
    // The bundle at `bundlePath` (the Velmo.app folder). Its Info.plist is read once, here; one
    // that cannot be read or is not a dictionary is taken as empty (see infoProblem()).
    explicit Bundle(std::string bundlePath);

    // The process's bundle: $VELMO_BUNDLE when set, else Velmo.app beside the executable.
    static const Bundle& main();
    // Where main() looks, without reading anything.
    static std::string mainBundlePath();

    const std::string& bundlePath() const { return bundlePath_; }
    const PlistValue::Dictionary& infoDictionary() const { return info_; }
    // "Contents/Info.plist", and why it was taken as empty when it exists but could not be used.
    std::string infoPlistPath() const { return bundlePath_ + "/Contents/Info.plist"; }
    const std::optional<std::string>& infoProblem() const { return infoProblem_; }
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
    std::optional<std::string> infoProblem_;
};

}  // namespace velmo
