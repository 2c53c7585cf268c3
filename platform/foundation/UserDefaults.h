#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/PropertyList.h"
#include "platform/runtime/Published.h"

namespace velmo {

// The user's defaults: values by key, over a registration layer of fallbacks that is never
// saved. The process instance keeps them in a property-list file that is rewritten atomically on
// every change (a temporary file in the same folder, flushed to disk, then renamed over the old
// one), so an interrupted write leaves the previous state. Thread-safe.
class UserDefaults {
public:
    // Kept in memory only.
    UserDefaults();
    // Backed by the file at `filePath`: read once here, written on every change. A file that
    // cannot be read or parsed is logged, set aside as "<file>.corrupt" and taken as empty.
    explicit UserDefaults(std::string filePath);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The process instance, backed by standardFilePath(), or the one a Scope installed.
    static UserDefaults& standard();
    // $XDG_CONFIG_HOME (else ~/.config) / <bundle identifier, else "velmo"> / "defaults.plist".
    static std::string standardFilePath();

    // Stored value, else registered value. Numbers and Booleans convert into each other; anything
    // else, or nothing, gives false / 0 / none.
    bool boolForKey(const std::string& key) const;
    std::int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    std::optional<PlistValue::Data> dataForKey(const std::string& key) const;
    PlistValue objectForKey(const std::string& key) const;

    void setBool(const std::string& key, bool value) { setObject(key, PlistValue(value)); }
    void setInteger(const std::string& key, std::int64_t value) { setObject(key, PlistValue(value)); }
    void setDouble(const std::string& key, double value) { setObject(key, PlistValue(value)); }
    void setString(const std::string& key, std::string value) { setObject(key, PlistValue(std::move(value))); }
    void setData(const std::string& key, PlistValue::Data value) { setObject(key, PlistValue(std::move(value))); }
    // Setting none removes the key. A value a property list cannot hold (a NUL inside a string, a
    // none inside a container) throws PropertyListError and changes nothing.
    void setObject(const std::string& key, PlistValue value);
    void removeObject(const std::string& key) { setObject(key, PlistValue()); }

    // Adds fallbacks under the stored values; kept in memory for the life of this object only.
    void registerDefaults(const PlistValue::Dictionary& defaults);

    // Calls `changed` with the key, on the changing thread once the change is made, each time
    // a stored value changes or a fallback is registered, while the subscription lives.
    Cancellable observeChanges(std::function<void(const std::string& key)> changed);

    const std::optional<std::string>& filePath() const { return filePath_; }

    // Makes standard() an in-memory instance (or the given one) while it lives (tests); nests.
    class Scope {
    public:
        Scope();
        explicit Scope(std::unique_ptr<UserDefaults> defaults);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        UserDefaults& defaults() const { return *defaults_; }

    private:
        std::unique_ptr<UserDefaults> defaults_;
        UserDefaults* previous_;
    };

private:
    PlistValue lookup(const std::string& key) const;
    bool store(const std::string& key, PlistValue value);  // true when something changed
    void load();
    void save(const std::string& xml);

    const std::optional<std::string> filePath_;
    mutable std::mutex mutex_;
    PlistValue::Dictionary stored_;
    PlistValue::Dictionary registered_;
    bool saveFailureLogged_ = false;
    Subject<std::string> changes_;
};

}  // namespace velmo
