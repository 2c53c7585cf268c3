#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "RideZav/core/RideZavValue.h"
#include "RideZav/integrations/RideZavErrorTrackingConfig.h"
#include "RideZav/integrations/RideZavAppLifeCycleIntegration.h"
#include "RideZav/integrations/RideZavErrorTrackingAutoCaptureIntegration.h"
#include "RideZav/integrations/RideZavIntegration.h"
#include "RideZav/integrations/RideZavScreenViewIntegration.h"
#include "RideZav/model/RideZavEvent.h"
#include "RideZav/surveys/RideZavSurveysConfig.h"
#include "platform/net/URLSession.h"
#include "platform/base/UUID.h"

namespace ridezav {

class RideZavStorageManager;

// On which connections uploads may run.
enum class RideZavDataMode : std::int64_t { wifi = 0, cellular = 1, any = 2 };
// When events may create or update person profiles.
enum class RideZavPersonProfiles : std::int64_t { never = 0, always = 1, identifiedOnly = 2 };

// Raw values 0, 1 and 2 only.
std::optional<RideZavDataMode> dataModeFromRaw(std::int64_t raw);
std::optional<RideZavPersonProfiles> personProfilesFromRaw(std::int64_t raw);

// Rewrites every event's properties when the event is built.
class RideZavPropertiesSanitizer {
public:
    virtual ~RideZavPropertiesSanitizer() = default;
    virtual Object sanitize(Object properties) = 0;
};

using RideZavBeforeSendBlock = std::function<std::optional<RideZavEvent>(RideZavEvent)>;

// Settings of the analytics client.
// Thread contract: the application sets every field before handing the configuration to
// `setup`; the library only reads them afterwards. The two values the library itself changes
// later, the opt-out state and the snapshot endpoint, are safe to read and write from any thread.
class RideZavConfig {
public:
    static const char* const defaultIngestionHost;

    // The host is taken when it parses as an absolute URL, else the default endpoint.
    RideZavConfig(std::string apiKey, const std::string& host);
    explicit RideZavConfig(std::string apiKey);
    RideZavConfig(const RideZavConfig& other);
    RideZavConfig& operator=(const RideZavConfig& other);

    const std::string& host() const { return host_; }
    const std::string& apiKey() const { return apiKey_; }

    std::int64_t flushAt = 20;
    std::int64_t maxQueueSize = 1000;
    std::int64_t maxBatchSize = 50;
    std::chrono::duration<double> flushIntervalSeconds{30.0};
    RideZavDataMode dataMode = RideZavDataMode::any;
    bool sendFeatureFlagEvent = true;
    bool preloadFeatureFlags = true;
    bool captureApplicationLifecycleEvents = true;
    bool captureScreenViews = true;
    bool enableSwizzling = true;
    bool debug = false;
    // Rewrites a newly generated anonymous id before it is stored.
    std::function<velmo::UUID(velmo::UUID)> getAnonymousId = [](velmo::UUID id) { return id; };
    bool reuseAnonymousId = false;
    std::shared_ptr<RideZavPropertiesSanitizer> propertiesSanitizer;
    RideZavPersonProfiles personProfiles = RideZavPersonProfiles::identifiedOnly;
    bool setDefaultPersonProperties = true;
    std::optional<std::vector<std::string>> evaluationContexts;
    std::optional<std::string> appGroupIdentifier;
    std::optional<velmo::URLSessionConfiguration> urlSessionConfiguration;
    bool disableReachabilityForTesting = false;
    bool disableQueueTimerForTesting = false;
    bool disableFlushOnBackgroundForTesting = false;
    bool disableRemoteConfigForTesting = false;
    // The identity store; filled in by the facade's set-up.
    std::shared_ptr<RideZavStorageManager> storageManager;
    bool surveys = true;
    RideZavSurveysConfig surveysConfig;

    // Start opted out (a stored choice overrides it at set-up). Any thread.
    bool optOut() const { return optOut_.load(std::memory_order_acquire); }
    void setOptOut(bool optOut) { optOut_.store(optOut, std::memory_order_release); }

    // Path of the replay-snapshot upload, "/s/" by default. Any thread.
    std::string snapshotEndpoint() const;
    void setSnapshotEndpoint(std::string endpoint);

    RideZavErrorTrackingConfig& errorTrackingConfig() { return errorTrackingConfig_; }
    const RideZavErrorTrackingConfig& errorTrackingConfig() const { return errorTrackingConfig_; }

    // Kept for compatibility: always on; writing false only logs.
    bool remoteConfig() const { return true; }
    void setRemoteConfig(bool enabled);
    // Kept for compatibility: another name of evaluationContexts.
    const std::optional<std::vector<std::string>>& evaluationEnvironments() const { return evaluationContexts; }
    void setEvaluationEnvironments(std::optional<std::vector<std::string>> environments);

    // The event-rewriting chain: the blocks in order, stopping at the first that drops the event.
    void setBeforeSend(std::vector<RideZavBeforeSendBlock> blocks);
    std::optional<RideZavEvent> beforeSend(RideZavEvent event) const;

    // The integrations to install, new and unbound: error tracking, screen views, lifecycle.
    std::vector<std::unique_ptr<RideZavIntegration>> makeIntegrations() const;

private:
    std::string host_;
    std::string apiKey_;
    std::atomic<bool> optOut_{false};
    mutable std::mutex snapshotEndpointMutex_;  // guards snapshotEndpoint_
    std::string snapshotEndpoint_ = "/s/";
    RideZavErrorTrackingConfig errorTrackingConfig_;
    std::shared_ptr<const std::vector<RideZavBeforeSendBlock>> beforeSend_;
};

}  // namespace ridezav
