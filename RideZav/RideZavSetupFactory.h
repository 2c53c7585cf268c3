#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "RideZav/delivery/RideZavRemoteConfig.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "platform/runtime/Duration.h"

namespace ridezav {

class Reachability;
class RideZavApi;
class RideZavContext;
class RideZavStorage;
class RideZavStorageManager;

// How the facade's set-up makes its collaborators: one call per step that makes one, in set-up's
// order, and `reached` for the steps that make nothing. The default makes the real ones; a test
// wraps it to watch the order. Called under the facade's set-up lock.
class RideZavSetupFactory {
public:
    enum class Step {
        optOutRestored,
        queuesStarted,
        sessionStarted,
        sessionObserved,
        integrationsInstalled,
        eventContextRefreshed,
        flushOnBackgroundSubscribed,
        didStartDispatched,
    };

    virtual ~RideZavSetupFactory() = default;

    virtual std::shared_ptr<RideZavStorage> makeStorage(const RideZavConfig& config);
    // The client reads `config` itself: the remote configuration updates it.
    virtual std::shared_ptr<RideZavApi> makeApi(std::shared_ptr<const RideZavConfig> config, velmo::Seconds defaultTimeout);
    virtual std::shared_ptr<RideZavStorageManager> makeStorageManager(const RideZavConfig& config);
    virtual std::shared_ptr<RideZavRemoteConfig> makeRemoteConfig(std::shared_ptr<RideZavConfig> config,
                                                                  std::shared_ptr<RideZavStorage> storage, std::shared_ptr<RideZavApi> api,
                                                                  RideZavRemoteConfig::DefaultPersonProperties getDefaultPersonProperties,
                                                                  RideZavRemoteConfig::FeatureFlagCalled featureFlagCalledCallback);
    // Throws when no monitor can be made; set-up then goes on without one.
    virtual std::shared_ptr<Reachability> makeReachability();
    virtual std::shared_ptr<RideZavContext> makeContext(std::shared_ptr<Reachability> reachability);
    virtual std::shared_ptr<RideZavQueue> makeQueue(const RideZavConfig& config, std::shared_ptr<RideZavApi> api,
                                                    std::shared_ptr<Reachability> reachability, RideZavApiEndpoint endpoint,
                                                    const std::string& label, const std::filesystem::path& folder,
                                                    std::optional<std::filesystem::path> legacy);
    virtual void reached(Step) {}
};

}  // namespace ridezav
