#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "RideZav/RideZavConfig.h"
#include "RideZav/core/RegistrationToken.h"
#include "RideZav/core/RideZavValue.h"
#include "RideZav/exceptions/PlatformError.h"
#include "RideZav/model/RideZavFeatureFlagResult.h"

namespace ridezav {

class Reachability;
class RideZavApi;
class RideZavContext;
class RideZavQueue;
class RideZavRemoteConfig;
class RideZavSessionManager;
class RideZavSetupFactory;
class RideZavStorage;
class RideZavStorageManager;

// Event properties as the application passes them (strings and integers).
using RideZavProperties = nlohmann::json;

// Sees every application event the facade queued, with the properties the caller gave. A test
// aid: the facade works the same with none installed.
class RideZavCapturePipeline {
public:
    virtual ~RideZavCapturePipeline() = default;
    virtual void capture(const std::string& event, const RideZavProperties& properties) = 0;
};

// The one object through which the application talks to the analytics client. Inert until
// `setup`; never throws to its caller; refusals print "[RideZav] " lines in debug mode only.
// Thread contract: every operation from any thread. `setup` runs under setupLock_; the
// collaborators it makes are published once as one snapshot (guarded by stateLock_) that
// readers copy, so a later release cannot pull them from under a capture in progress.
class RideZavSDK : public std::enable_shared_from_this<RideZavSDK> {
public:
    // The process-wide facade, never destroyed.
    static RideZavSDK& shared();
    static const std::shared_ptr<RideZavSDK>& sharedPtr();
    // A facade of its own (tests); its callbacks hold it weakly. Set-up makes its collaborators
    // through the factory (the real ones by default).
    static std::shared_ptr<RideZavSDK> create(RideZavConfig config);
    static std::shared_ptr<RideZavSDK> create(RideZavConfig config, std::shared_ptr<RideZavSetupFactory> factory);
    ~RideZavSDK();
    RideZavSDK(const RideZavSDK&) = delete;
    RideZavSDK& operator=(const RideZavSDK&) = delete;

    static const std::string& didStartNotification();
    static const std::string& didReceiveFeatureFlags();

    void setup(const RideZavConfig& config);
    // The configuration set-up took; none before set-up.
    std::shared_ptr<const RideZavConfig> config() const;
    void debug(bool enabled);
    bool isSetUp() const { return enabled_.load(std::memory_order_acquire); }

    std::string getDistinctId();
    std::string getAnonymousId();
    std::optional<std::string> getSessionId();
    void startSession();
    void endSession();
    void flush();
    void reset();

    void capture(const std::string& event);
    void capture(const std::string& event, const RideZavProperties& properties);
    void capture(const std::string& event, std::optional<Object> properties, std::optional<Object> userProperties = std::nullopt,
                 std::optional<Object> userPropertiesSetOnce = std::nullopt,
                 std::optional<std::map<std::string, std::string>> groups = std::nullopt,
                 std::optional<std::string> distinctId = std::nullopt, std::optional<Date> timestamp = std::nullopt);
    void screen(const std::string& title, std::optional<Object> properties = std::nullopt);
    void alias(const std::string& alias);

    Object buildProperties(const std::string& distinctId, const std::optional<Object>& properties,
                           const std::optional<Object>& userProperties, const std::optional<Object>& userPropertiesSetOnce,
                           const std::optional<std::map<std::string, std::string>>& groups, bool appendSharedProps,
                           std::optional<Date> timestamp);
    std::optional<RideZavEvent> buildEvent(const std::string& event, const std::string& distinctId, Object properties, Date timestamp);
    bool isPersonProcessing();
    bool requirePersonProcessing(const std::string& name);

    // Feature flags
    // Flag reads report "$feature_flag_called" once per key and value; the overloads without
    // sendFeatureFlagEvent follow the configuration. Calls from any thread.
    void setPersonPropertiesForFlags(const Object& properties, bool reloadFeatureFlags = true);
    void resetPersonPropertiesForFlags(bool reloadFeatureFlags = true);
    void setGroupPropertiesForFlags(const std::string& groupType, const Object& properties, bool reloadFeatureFlags = true);
    // Every group type.
    void resetGroupPropertiesForFlags(bool reloadFeatureFlags = true);
    void resetGroupPropertiesForFlags(const std::string& groupType, bool reloadFeatureFlags = true);
    // A literal group type must not fall to the Bool overload.
    void resetGroupPropertiesForFlags(const char* groupType, bool reloadFeatureFlags = true) {
        resetGroupPropertiesForFlags(std::string(groupType), reloadFeatureFlags);
    }
    void reloadFeatureFlags();
    // The callback runs once the load is done (or replaced by a later one), on no fixed thread.
    void reloadFeatureFlags(std::function<void()> callback);
    void captureFeatureView(const std::string& flag, std::optional<std::string> flagVariant = std::nullopt);
    void captureFeatureInteraction(const std::string& flag, std::optional<std::string> flagVariant = std::nullopt);
    std::optional<RideZavFeatureFlagResult> getFeatureFlagResult(const std::string& key);
    std::optional<RideZavFeatureFlagResult> getFeatureFlagResult(const std::string& key, bool sendFeatureFlagEvent);
    // The variant (a String) when the flag has one, else its enabled Bool; none when not cached.
    std::optional<Value> getFeatureFlag(const std::string& key);
    std::optional<Value> getFeatureFlag(const std::string& key, bool sendFeatureFlagEvent);
    bool isFeatureEnabled(const std::string& key);
    bool isFeatureEnabled(const std::string& key, bool sendFeatureFlagEvent);
    std::optional<Value> getFeatureFlagPayload(const std::string& key);
    // The remote configuration and flag cache; none before set-up.
    std::shared_ptr<RideZavRemoteConfig> remoteConfig() const;

    // Identity and groups
    // Super properties every event carries; new values win (`register`).
    void registerProperties(const Object& properties);
    void unregisterProperties(const std::string& key);
    void identify(const std::string& distinctId, std::optional<Object> userProperties = std::nullopt,
                  std::optional<Object> userPropertiesSetOnce = std::nullopt);
    // Sends "$set" when the properties differ from the last ones sent.
    void setPersonProperties(std::optional<Object> userPropertiesToSet, std::optional<Object> userPropertiesToSetOnce = std::nullopt);
    void group(const std::string& type, const std::string& key, std::optional<Object> groupProperties = std::nullopt);
    // Whether joining `given` changes the stored groups, so that the flags must be reloaded.
    static bool groupsChangeFlags(const std::map<std::string, std::string>& stored, const std::map<std::string, std::string>& given);

    // Opt-out, close and integrations
    void optIn();
    void optOut();
    bool isOptOut();
    // Back to the not-set-up state; events already stored stay on disk.
    void close();
    // A new facade, set up with the configuration, independent of the shared one.
    static std::shared_ptr<RideZavSDK> with(const RideZavConfig& config);
    // "$exception" events of caught errors, handled, with the exception list and debug images;
    // the caller's properties win. A project error or any other C++ exception is bridged.
    void captureException(const PlatformError& error, std::optional<Object> properties = std::nullopt);
    void captureException(const PlatformException& exception, std::optional<Object> properties = std::nullopt);
    void captureException(const std::exception& error, std::optional<Object> properties = std::nullopt);
    void captureException(const std::exception_ptr& error, std::optional<Object> properties = std::nullopt);
    using IntegrationFactory = std::function<std::vector<std::unique_ptr<RideZavIntegration>>(const RideZavConfig&)>;
    // Where the integrations to install come from (the configuration's list by default); tests
    // set their own before set-up.
    void setIntegrationFactory(IntegrationFactory factory);

    // The event queue's depth; zero before set-up.
    std::size_t queueDepth() const;
    // Replaces the observer of queued events; returns the previous one.
    std::shared_ptr<RideZavCapturePipeline> installPipeline(std::shared_ptr<RideZavCapturePipeline> pipeline);

private:
    struct State;
    RideZavSDK(RideZavConfig config, std::shared_ptr<RideZavSetupFactory> factory);

    bool setupGuard() const;
    std::shared_ptr<const State> state() const;
    // The snapshot for an operation that sends events; none while opted out (logged).
    std::shared_ptr<const State> stateUnlessOptedOut() const;
    bool captureInternal(const std::string& event, std::optional<std::string> distinctId, std::optional<Object> properties,
                         std::optional<Object> userProperties, std::optional<Object> userPropertiesSetOnce,
                         std::optional<std::map<std::string, std::string>> groups, std::optional<Date> timestamp);
    bool enqueue(const State& state, const RideZavEvent& event, bool replay);
    // buildProperties over one snapshot of the collaborators, so a capture racing close() stays whole.
    Object buildProperties(const State& state, const std::string& distinctId, const std::optional<Object>& properties,
                           const std::optional<Object>& userProperties, const std::optional<Object>& userPropertiesSetOnce,
                           const std::optional<std::map<std::string, std::string>>& groups, bool appendSharedProps,
                           std::optional<Date> timestamp);
    void observe(const std::string& event, const RideZavProperties& properties);
    // "$feature/<key>" for every cached flag and "$active_feature_flags" when one is on.
    static Object featureFlagProperties(const State& state);
    // User and set-once properties, already sanitised (the former winning on a clash), join the
    // person properties for flag evaluation.
    static void keepPersonPropertiesForFlags(const State& state, const std::optional<Object>& userProperties,
                                             const std::optional<Object>& userPropertiesSetOnce);
    void keepGroupPropertiesForFlags(const std::string& groupType, const std::optional<Object>& groupProperties);
    // "$feature_flag_called" for a value not yet reported for the key (a null value: no flag).
    void reportFeatureFlagCalled(const std::string& key, const Value& value);
    void captureFeatureEvent(const std::string& event, const std::string& flag, const std::optional<std::string>& flagVariant);

    std::atomic<bool> enabled_{false};
    std::mutex setupLock_;
    std::mutex optOutLock_;
    std::mutex groupsLock_;  // guards the stored groups' read-modify-write
    std::mutex flagCallReportedLock_;
    std::map<std::string, std::vector<Value>> flagCallReported_;  // guarded by flagCallReportedLock_

    mutable std::mutex stateLock_;
    std::shared_ptr<const State> state_;  // guarded by stateLock_; set once in set-up
    RideZavConfig initialConfig_;  // only read before set-up
    const std::shared_ptr<RideZavSetupFactory> factory_;

    std::recursive_mutex integrationsLock_;  // an integration may call back into the facade
    std::vector<std::unique_ptr<RideZavIntegration>> installedIntegrations_;  // guarded by integrationsLock_
    const std::shared_ptr<RideZavSessionManager> sessionManager_;
    RegistrationToken sessionIdChangedToken_;  // written under setupLock_
    RegistrationToken didEnterBackgroundToken_;  // written under setupLock_

    // Identity and groups
    bool personPropertiesChanged(const std::string& distinctId, const std::optional<Object>& userProperties,
                                 const std::optional<Object>& userPropertiesSetOnce);
    void groupsUpdate(const std::map<std::string, std::string>& groups);
    void groupIdentify(const std::string& type, const std::string& key, const std::optional<Object>& groupProperties);
    std::mutex personPropsLock_;  // guards the stored super properties' read-modify-write
    std::mutex cachedPersonPropertiesLock_;
    std::optional<std::string> cachedPersonPropertiesHash_;  // guarded by cachedPersonPropertiesLock_

    // Opt-out, close and integrations
    static bool registerApiKey(const std::string& apiKey);  // false when the key has an instance already
    static void unregisterApiKey(const std::string& apiKey);
    void installIntegrations();  // needs setupLock_
    void uninstallIntegrations();  // needs setupLock_ (or the destructor)
    void refreshEventContext();
    IntegrationFactory integrationFactory_;  // written before set-up only
    friend struct RideZavSDKTestPeer;  // tests reach the integration operations
    friend class RideZavErrorTrackingAutoCaptureIntegration;  // queues crash events past the capture pipeline

    mutable std::mutex pipelineLock_;
    std::shared_ptr<RideZavCapturePipeline> pipeline_;  // guarded by pipelineLock_
};

}  // namespace ridezav
