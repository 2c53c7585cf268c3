#include "RideZav/RideZavConfig.h"

#include "RideZav/core/RideZavLog.h"
#include "platform/base/URLComponents.h"

namespace ridezav {

const char* const RideZavConfig::defaultIngestionHost = "https://ingest.ridezav.com";

namespace {
bool parsesAsURL(const std::string& text) {
    const auto components = velmo::URLComponents::fromString(text);
    return components && !components->scheme.empty() && components->host && !components->host->empty();
}
}  // namespace

RideZavConfig::RideZavConfig(std::string apiKey, const std::string& host)
    : host_(parsesAsURL(host) ? host : defaultIngestionHost),
      apiKey_(std::move(apiKey)) {}

RideZavConfig::RideZavConfig(std::string apiKey)
    : RideZavConfig(std::move(apiKey), defaultIngestionHost) {}

RideZavConfig::RideZavConfig(const RideZavConfig& other) { *this = other; }

RideZavConfig& RideZavConfig::operator=(const RideZavConfig& other) {
    if (this == &other) return *this;
    flushAt = other.flushAt;
    maxQueueSize = other.maxQueueSize;
    maxBatchSize = other.maxBatchSize;
    flushIntervalSeconds = other.flushIntervalSeconds;
    dataMode = other.dataMode;
    sendFeatureFlagEvent = other.sendFeatureFlagEvent;
    preloadFeatureFlags = other.preloadFeatureFlags;
    captureApplicationLifecycleEvents = other.captureApplicationLifecycleEvents;
    captureScreenViews = other.captureScreenViews;
    enableSwizzling = other.enableSwizzling;
    debug = other.debug;
    getAnonymousId = other.getAnonymousId;
    reuseAnonymousId = other.reuseAnonymousId;
    propertiesSanitizer = other.propertiesSanitizer;
    personProfiles = other.personProfiles;
    setDefaultPersonProperties = other.setDefaultPersonProperties;
    evaluationContexts = other.evaluationContexts;
    appGroupIdentifier = other.appGroupIdentifier;
    urlSessionConfiguration = other.urlSessionConfiguration;
    disableReachabilityForTesting = other.disableReachabilityForTesting;
    disableQueueTimerForTesting = other.disableQueueTimerForTesting;
    disableFlushOnBackgroundForTesting = other.disableFlushOnBackgroundForTesting;
    disableRemoteConfigForTesting = other.disableRemoteConfigForTesting;
    storageManager = other.storageManager;
    surveys = other.surveys;
    surveysConfig = other.surveysConfig;
    host_ = other.host_;
    apiKey_ = other.apiKey_;
    setOptOut(other.optOut());
    setSnapshotEndpoint(other.snapshotEndpoint());
    errorTrackingConfig_ = other.errorTrackingConfig_;
    beforeSend_ = other.beforeSend_;
    return *this;
}

std::optional<RideZavDataMode> dataModeFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return RideZavDataMode(raw);
}

std::optional<RideZavPersonProfiles> personProfilesFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return RideZavPersonProfiles(raw);
}

std::string RideZavConfig::snapshotEndpoint() const {
    std::lock_guard lock(snapshotEndpointMutex_);
    return snapshotEndpoint_;
}

void RideZavConfig::setSnapshotEndpoint(std::string endpoint) {
    std::lock_guard lock(snapshotEndpointMutex_);
    snapshotEndpoint_ = std::move(endpoint);
}

void RideZavConfig::setRemoteConfig(bool enabled) {
    if (!enabled) ridezavLog("remoteConfig is deprecated and is now always enabled. Setting it to false has no effect.");
}

void RideZavConfig::setEvaluationEnvironments(std::optional<std::vector<std::string>> environments) {
    if (environments) ridezavLog("evaluationEnvironments is deprecated. Use evaluationContexts instead.");
    evaluationContexts = std::move(environments);
}

void RideZavConfig::setBeforeSend(std::vector<RideZavBeforeSendBlock> blocks) {
    beforeSend_ = std::make_shared<const std::vector<RideZavBeforeSendBlock>>(std::move(blocks));
}

std::optional<RideZavEvent> RideZavConfig::beforeSend(RideZavEvent event) const {
    std::optional<RideZavEvent> current = std::move(event);
    if (!beforeSend_) return current;
    for (const auto& block : *beforeSend_) {
        if (!block) continue;
        current = block(std::move(*current));
        if (!current) return std::nullopt;
    }
    return current;
}

std::vector<std::unique_ptr<RideZavIntegration>> RideZavConfig::makeIntegrations() const {
    std::vector<std::unique_ptr<RideZavIntegration>> integrations;
    if (errorTrackingConfig_.autoCapture) integrations.push_back(std::make_unique<RideZavErrorTrackingAutoCaptureIntegration>());
    if (captureScreenViews) integrations.push_back(std::make_unique<RideZavScreenViewIntegration>());
    if (captureApplicationLifecycleEvents) integrations.push_back(std::make_unique<RideZavAppLifeCycleIntegration>());
    return integrations;
}

}  // namespace ridezav
