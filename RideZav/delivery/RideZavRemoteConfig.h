#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "RideZav/RideZavConfig.h"
#include "RideZav/core/RideZavMulticastCallback.h"
#include "RideZav/core/RideZavValue.h"
#include "RideZav/delivery/RideZavApi.h"
#include "RideZav/model/RideZavFeatureFlagResult.h"
#include "RideZav/storage/RideZavStorage.h"
#include "platform/runtime/SerialQueue.h"

namespace ridezav {

// What the ingestion service tells the client about itself: the project's remote configuration,
// the error-tracking switch derived from it, stored session-replay settings and the flag caches.
// Thread contract: any thread. Each state group has its own lock (never two held at once);
// background work runs on "com.ridezav.RemoteConfig"; listeners are called on the main loop.
// A flags request waiting for the one in flight.
struct PendingFeatureFlagsRequest {
    std::string distinctId;
    std::optional<std::string> anonymousId;  // none when reuseAnonymousId is on
    std::map<std::string, std::string> groups;
    std::function<void(const std::optional<Object>&)> callback;
};

class RideZavRemoteConfig : public std::enable_shared_from_this<RideZavRemoteConfig> {
public:
    using DefaultPersonProperties = std::function<Object()>;
    using FeatureFlagCalled = std::function<void(const std::string& key, const Value& value)>;

    // Creates the object, applies what storage holds and loads the remote configuration once.
    static std::shared_ptr<RideZavRemoteConfig> make(std::shared_ptr<RideZavConfig> config, std::shared_ptr<RideZavStorage> storage,
                                                     std::shared_ptr<RideZavApi> api, DefaultPersonProperties getDefaultPersonProperties,
                                                     FeatureFlagCalled featureFlagCalledCallback = {});
    ~RideZavRemoteConfig();
    RideZavRemoteConfig(const RideZavRemoteConfig&) = delete;
    RideZavRemoteConfig& operator=(const RideZavRemoteConfig&) = delete;

    const std::string hasFeatureFlagsKey = "hasFeatureFlags";

    bool autoCaptureExceptions() const;
    bool sessionReplayFlagActive() const;
    std::optional<double> recordingSampleRate() const;
    bool isLoadingRemoteConfig() const;
    bool remoteConfigDidFetch() const;

    // The remote configuration, filled from storage when unset.
    std::optional<Object> getCachedRemoteConfig();
    std::optional<Object> cachedFeatureFlags();
    std::optional<Object> cachedFeatureFlagPayloads();
    std::optional<Object> cachedFlags();
    std::optional<std::string> requestId();
    std::optional<std::int64_t> evaluatedAt();
    Object personPropertiesForFlags();
    std::map<std::string, Object> groupPropertiesForFlags();

    using FlagsCallback = std::function<void(const std::optional<Object>&)>;
    // Fills the flag cache from storage and, when preloadFeatureFlags is on, reloads the flags.
    void preloadFeatureFlagsFromCache();
    // Loads the flags of the stored identity and groups.
    void reloadFeatureFlags(FlagsCallback callback = {});
    // Sends one flags request, or queues it behind the one in flight (the last queued wins).
    void loadFeatureFlags(const std::string& distinctId, const std::optional<std::string>& anonymousId,
                          const std::map<std::string, std::string>& groups, FlagsCallback callback);
    bool hasPendingFeatureFlagsRequest();

    // What a report of one flag read carries, read together: the request id (the stored one when
    // none is cached, else empty), the evaluation time when known, and the flag's details.
    struct FlagReportContext {
        std::string requestId;
        std::optional<std::int64_t> evaluatedAt;
        std::optional<Value> details;
    };
    FlagReportContext flagReportContext(const std::string& key);

    // The cached answer for one flag; a payload holding JSON text comes back parsed.
    std::optional<RideZavFeatureFlagResult> getFeatureFlagResult(const std::string& key);

    // Properties sent with every flags request; each change is stored.
    // Merges person properties in, new values winning.
    void mergePersonPropertiesForFlags(const Object& properties);
    void resetPersonPropertiesForFlags();
    // Merges one group type's properties, new values winning.
    void setGroupPropertiesForFlags(const std::string& type, const Object& properties);
    // Removes one group type, or all of them with none.
    void resetGroupPropertiesForFlags(const std::optional<std::string>& type);
    // Empties the flag caches and their stored copies.
    void clearFeatureFlags();

    // Fired on the main loop after each remote-configuration response, and after each flags load.
    RideZavMulticastCallback<const std::optional<Object>&> onRemoteConfigLoaded;
    RideZavMulticastCallback<const std::optional<Object>&> onFeatureFlagsLoaded;

    velmo::SerialQueue& dispatchQueue() { return *dispatchQueue_; }

    // With the session-replay settings and the cached flags: whether recording is allowed.
    // Reports a flag read through the callback when the configuration asks for it.
    static bool linkedFlagActive(const Object& settings, const Object& featureFlags, const RideZavConfig& config,
                                 const FeatureFlagCalled& featureFlagCalled);

private:
    RideZavRemoteConfig(std::shared_ptr<RideZavConfig> config, std::shared_ptr<RideZavStorage> storage, std::shared_ptr<RideZavApi> api,
                        DefaultPersonProperties getDefaultPersonProperties, FeatureFlagCalled featureFlagCalledCallback);

    void loadStoredPropertiesForFlags();
    void applyStoredSessionReplay();
    void applyStoredErrorTracking();
    void loadRemoteConfig();
    void onRemoteConfigResponse(std::optional<Object> remoteConfig);
    void applyErrorTracking(const Object& remoteConfig);
    void notifyFeatureFlagsLoaded(std::optional<Object> flags);
    void processFeatureFlagsResponse(std::optional<Object> response, const FlagsCallback& callback);
    void finishLoadingFeatureFlags(const std::optional<Object>& result);

    // Callers hold featureFlagsLock_.
    std::optional<Object> getCachedFeatureFlags();
    std::optional<Object> getCachedFeatureFlagPayloads();
    std::optional<Object> getCachedFlags();
    std::optional<Object> storedObject(StorageKey key) const;

    const std::shared_ptr<RideZavConfig> config_;
    const std::shared_ptr<RideZavStorage> storage_;
    const std::shared_ptr<RideZavApi> api_;
    const DefaultPersonProperties getDefaultPersonProperties_;
    const FeatureFlagCalled featureFlagCalledCallback_;

    std::mutex loadingFeatureFlagsLock_;  // guards loadingFeatureFlags_, pendingFeatureFlagsRequest_
    std::mutex featureFlagsLock_;  // guards flags_, featureFlags_, featureFlagPayloads_, requestId_, evaluatedAt_
    bool loadingFeatureFlags_ = false;
    std::optional<PendingFeatureFlagsRequest> pendingFeatureFlagsRequest_;
    mutable std::mutex sessionReplayLock_;  // guards sessionReplayFlagActive_
    bool sessionReplayFlagActive_ = false;
    std::optional<double> recordingSampleRate_;  // nothing sets it: replay is not recorded here
    mutable std::mutex errorTrackingLock_;  // guards autoCaptureExceptions_
    bool autoCaptureExceptions_ = false;
    std::optional<Object> flags_;
    std::optional<Object> featureFlags_;
    std::mutex remoteConfigLock_;  // guards remoteConfig_
    mutable std::mutex loadingRemoteConfigLock_;  // guards loadingRemoteConfig_, remoteConfigDidFetch_
    bool loadingRemoteConfig_ = false;
    std::optional<Object> remoteConfig_;
    bool remoteConfigDidFetch_ = false;
    std::optional<Object> featureFlagPayloads_;
    std::optional<std::string> requestId_;
    std::optional<std::int64_t> evaluatedAt_;
    std::mutex personPropertiesForFlagsLock_;  // guards personPropertiesForFlags_
    Object personPropertiesForFlags_;
    std::mutex groupPropertiesForFlagsLock_;  // guards groupPropertiesForFlags_
    std::map<std::string, Object> groupPropertiesForFlags_;

public:
    // When false, flag reloads do nothing.
    std::atomic<bool> canReloadFlagsForTesting{true};

private:
    const std::shared_ptr<velmo::SerialQueue> dispatchQueue_;
};

}  // namespace ridezav
