#pragma once

// Around an integration test: the virtual main loop, a main bundle with the given version and
// build, a temporary data folder, the user defaults in a file of their own, and facades whose
// accepted events are recorded through the before-send hook.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "RideZav/RideZavSDK.h"
#include "RideZav/core/RideZavLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/EnvironmentVariable.h"

namespace ridezav::test {

struct RecordedEvents {
    std::mutex mutex;
    std::vector<RideZavEvent> events;

    std::vector<RideZavEvent> take() {
        std::lock_guard lock(mutex);
        return std::exchange(events, {});
    }
};

class IntegrationEnvironment {
public:
    IntegrationEnvironment()
        : data_("XDG_DATA_HOME", dir_ / "data") {
        useBundle(std::nullopt, std::nullopt);
        useDefaults({});
    }
    ~IntegrationEnvironment() {
        loop.loop().runUntilIdle();
        RideZavLog::setDebug(false);
    }

    // Makes the main bundle one with this version and build (none: the key is left out).
    void useBundle(const std::optional<std::string>& version, const std::optional<std::string>& build) {
        velmo::PlistValue::Dictionary info{{"CFBundleIdentifier", std::string("com.example.velmo")}};
        if (version) info["CFBundleShortVersionString"] = *version;
        if (build) info["CFBundleVersion"] = *build;
        const std::string name = "Velmo" + std::to_string(++bundles_) + ".app";
        dir_.write(name + "/Contents/Info.plist", velmo::PropertyList::toXML(info));
        bundle_.reset();
        bundle_.emplace(dir_ / name);
    }

    // Makes the user defaults a file holding exactly `stored`.
    void useDefaults(const velmo::PlistValue::Dictionary& stored) {
        defaults_.reset();
        std::filesystem::remove(defaultsFile());
        auto defaults = std::make_unique<velmo::UserDefaults>(defaultsFile());
        for (const auto& [key, value] : stored) defaults->setObject(key, value);
        defaults_.emplace(std::move(defaults));
    }
    std::string defaultsFile() const { return dir_ / "defaults.plist"; }
    velmo::UserDefaults& defaults() { return velmo::UserDefaults::standard(); }

    RideZavConfig config(const std::string& key = "phc_integrations") {
        RideZavConfig c(key, "http://127.0.0.1:9");
        c.disableReachabilityForTesting = true;
        c.disableQueueTimerForTesting = true;
        c.disableFlushOnBackgroundForTesting = true;
        c.flushAt = 1000;  // nothing is uploaded
        auto recorded = recorded_;
        c.setBeforeSend({[recorded](RideZavEvent event) -> std::optional<RideZavEvent> {
            std::lock_guard lock(recorded->mutex);
            recorded->events.push_back(event);
            return event;
        }});
        return c;
    }
    std::shared_ptr<RideZavSDK> setUp(const RideZavConfig& c) {
        auto sdk = RideZavSDK::create(c);
        sdk->setup(c);
        return sdk;
    }

    // The events built since the last call.
    std::vector<RideZavEvent> events() { return recorded_->take(); }

    velmo::VirtualMainLoopScope loop;

private:
    velmo::test::TestDirectory dir_;
    velmo::test::EnvironmentVariable data_;
    std::optional<velmo::Bundle::Scope> bundle_;
    std::optional<velmo::UserDefaults::Scope> defaults_;
    int bundles_ = 0;
    std::shared_ptr<RecordedEvents> recorded_ = std::make_shared<RecordedEvents>();
};

}  // namespace ridezav::test
