#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "RideZav/RideZavConfig.h"

namespace ridezav {

// Event properties: string keys to JSON values (the application passes strings and integers).
using RideZavProperties = nlohmann::json;

// Where a captured event goes once the facade has accepted it. Event assembly, storage, the
// queue and the upload plug in here; until they exist the default pipeline keeps nothing.
class RideZavCapturePipeline {
public:
    virtual ~RideZavCapturePipeline() = default;
    virtual void setup(const RideZavConfig& config) {}
    virtual void capture(const std::string& event, const RideZavProperties& properties) = 0;
};

// The process-wide analytics client. Never throws to its caller; refusals are logged with
// "[RideZav] " only when the configuration's debug switch is on.
class RideZavSDK {
public:
    static RideZavSDK& shared();

    void setup(const RideZavConfig& config);
    void capture(const std::string& event);
    void capture(const std::string& event, const RideZavProperties& properties);

    bool isSetUp() const;
    // Replaces the pipeline behind the facade; returns the previous one.
    std::shared_ptr<RideZavCapturePipeline> installPipeline(std::shared_ptr<RideZavCapturePipeline> pipeline);

private:
    RideZavSDK();
    void debugLog(const std::string& message) const;

    mutable std::mutex mutex_;
    std::optional<RideZavConfig> config_;
    std::shared_ptr<RideZavCapturePipeline> pipeline_;
};

}  // namespace ridezav
