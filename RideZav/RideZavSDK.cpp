#include "RideZav/RideZavSDK.h"

#include "RideZav/RideZavSDKState.h"
#include "RideZav/RideZavSetupFactory.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "RideZav/context/RideZavContext.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavSdkIdentity.h"
#include "RideZav/core/RideZavUtils.h"
#include "RideZav/core/TimeBasedEpochGenerator.h"
#include "RideZav/core/WallClock.h"
#include "RideZav/delivery/RideZavApi.h"
#include "RideZav/delivery/RideZavFileBackedQueue.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "RideZav/delivery/RideZavRemoteConfig.h"
#include "RideZav/integrations/DIContainer.h"
#include "RideZav/network/Reachability.h"
#include "RideZav/session/RideZavSessionManager.h"
#include "RideZav/storage/RideZavStorage.h"
#include "RideZav/storage/RideZavStorageManager.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/SerialQueue.h"

using namespace std::chrono_literals;

namespace ridezav {

using namespace facade;

namespace {

bool isNonEmptyText(const Object& properties, std::string_view key) {
    const Value* value = properties.find(key);
    if (!value) return false;
    const auto* text = value->get<std::string>();
    return text && !text->empty();
}

Object fromApplication(const RideZavProperties& properties) {
    if (!properties.is_object()) return {};
    Value value = valueFromJSON(properties);
    if (const Object* object = value.get<Object>()) return *object;
    return {};
}

}  // namespace

std::shared_ptr<RideZavStorage> RideZavSetupFactory::makeStorage(const RideZavConfig& config) {
    return std::make_shared<RideZavStorage>(config);
}

std::shared_ptr<RideZavApi> RideZavSetupFactory::makeApi(std::shared_ptr<const RideZavConfig> config, velmo::Seconds defaultTimeout) {
    return std::make_shared<RideZavApi>(std::move(config), defaultTimeout);
}

std::shared_ptr<RideZavStorageManager> RideZavSetupFactory::makeStorageManager(const RideZavConfig& config) {
    return std::make_shared<RideZavStorageManager>(config);
}

std::shared_ptr<RideZavRemoteConfig> RideZavSetupFactory::makeRemoteConfig(
    std::shared_ptr<RideZavConfig> config, std::shared_ptr<RideZavStorage> storage, std::shared_ptr<RideZavApi> api,
    RideZavRemoteConfig::DefaultPersonProperties getDefaultPersonProperties,
    RideZavRemoteConfig::FeatureFlagCalled featureFlagCalledCallback) {
    return RideZavRemoteConfig::make(std::move(config), std::move(storage), std::move(api), std::move(getDefaultPersonProperties),
                                     std::move(featureFlagCalledCallback));
}

std::shared_ptr<Reachability> RideZavSetupFactory::makeReachability() { return Reachability::create(Reachability::mainQueue()); }

std::shared_ptr<RideZavContext> RideZavSetupFactory::makeContext(std::shared_ptr<Reachability> reachability) {
    return RideZavContext::create(std::move(reachability));
}

std::shared_ptr<RideZavQueue> RideZavSetupFactory::makeQueue(const RideZavConfig& config, std::shared_ptr<RideZavApi> api,
                                                             std::shared_ptr<Reachability> reachability, RideZavApiEndpoint endpoint,
                                                             const std::string& label, const std::filesystem::path& folder,
                                                             std::optional<std::filesystem::path> legacy) {
    auto dispatchQueue = std::make_shared<velmo::SerialQueue>(label);
    auto fileQueue = std::make_shared<RideZavFileBackedQueue>(folder, std::move(legacy));
    return RideZavQueue::create(config, std::move(api), std::move(reachability), endpoint, std::move(dispatchQueue), std::move(fileQueue));
}

RideZavSDK::RideZavSDK(RideZavConfig config, std::shared_ptr<RideZavSetupFactory> factory)
    : initialConfig_(std::move(config)),
      factory_(factory ? std::move(factory) : std::make_shared<RideZavSetupFactory>()),
      sessionManager_(RideZavSessionManager::create()) {}

RideZavSDK::~RideZavSDK() {
    auto current = state();
    if (current && current->reachability) current->reachability->stopNotifier();
    sessionIdChangedToken_ = RegistrationToken();
    uninstallIntegrations();
}

const std::shared_ptr<RideZavSDK>& RideZavSDK::sharedPtr() {
    static auto* instance = new std::shared_ptr<RideZavSDK>(new RideZavSDK(RideZavConfig(""), nullptr));  // never released
    return *instance;
}

RideZavSDK& RideZavSDK::shared() { return *sharedPtr(); }

std::shared_ptr<RideZavSDK> RideZavSDK::create(RideZavConfig config) { return create(std::move(config), nullptr); }

std::shared_ptr<RideZavSDK> RideZavSDK::create(RideZavConfig config, std::shared_ptr<RideZavSetupFactory> factory) {
    return std::shared_ptr<RideZavSDK>(new RideZavSDK(std::move(config), std::move(factory)));
}

const std::string& RideZavSDK::didStartNotification() {
    static const auto* name = new std::string("RideZavDidStart");
    return *name;
}

const std::string& RideZavSDK::didReceiveFeatureFlags() {
    static const auto* name = new std::string("RideZavDidReceiveFeatureFlags");
    return *name;
}

std::shared_ptr<const RideZavSDK::State> RideZavSDK::state() const {
    std::lock_guard lock(stateLock_);
    return state_;
}

std::shared_ptr<const RideZavConfig> RideZavSDK::config() const {
    auto current = state();
    return current ? current->config : nullptr;
}

std::shared_ptr<const RideZavSDK::State> RideZavSDK::stateUnlessOptedOut() const {
    auto current = state();
    if (current && current->config->optOut()) {
        ridezavLog("RideZav is in OptOut state.");
        return nullptr;
    }
    return current;
}

bool RideZavSDK::setupGuard() const {
    if (enabled_.load(std::memory_order_acquire)) return true;
    ridezavLog("RideZav method was called without `setup` being complete. Call wil be ignored.");
    return false;
}

namespace {
// The project keys of every facade set up in this process and not closed since.
struct ApiKeys {
    std::mutex lock;
    std::set<std::string> keys;  // guarded by lock
};
ApiKeys& apiKeys() {
    static auto* keys = new ApiKeys();  // never released
    return *keys;
}
}  // namespace

bool RideZavSDK::registerApiKey(const std::string& apiKey) {
    auto& registry = apiKeys();
    std::lock_guard lock(registry.lock);
    return registry.keys.insert(apiKey).second;
}

void RideZavSDK::unregisterApiKey(const std::string& apiKey) {
    auto& registry = apiKeys();
    std::lock_guard lock(registry.lock);
    registry.keys.erase(apiKey);
}

void RideZavSDK::setup(const RideZavConfig& given) {
    std::lock_guard setupLock(setupLock_);
    RideZavLog::setDebug(given.debug);
    if (enabled_.load(std::memory_order_acquire)) {
        ridezavLog("Setup called despite already being setup!");
        return;
    }
    if (!registerApiKey(given.apiKey())) ridezavLog("API Key: " + given.apiKey() + " already has a RideZav instance.");
    enabled_.store(true, std::memory_order_release);
    auto next = std::make_shared<State>();
    next->config = std::make_shared<RideZavConfig>(given);
    auto& config = *next->config;
    auto& factory = *factory_;
    using Step = RideZavSetupFactory::Step;
    next->storage = factory.makeStorage(config);
    next->api = factory.makeApi(next->config, 10.0s);
    if (!config.storageManager) config.storageManager = factory.makeStorageManager(config);
    next->storageManager = config.storageManager;
    std::weak_ptr<RideZavSDK> weak = weak_from_this();
    // The remote configuration may call these from its own queue; they hold the facade weakly.
    auto defaultPersonProperties = [weak]() -> Object {
        auto self = weak.lock();
        if (!self) return {};
        auto current = self->state();
        if (!current || !current->config->setDefaultPersonProperties || !self->setupGuard() || !current->context) return {};
        return current->context->personPropertiesContext();
    };
    auto featureFlagCalled = [weak](const std::string& key, const Value& value) {
        if (auto self = weak.lock()) self->reportFeatureFlagCalled(key, value);
    };
    next->remoteConfig =
        factory.makeRemoteConfig(next->config, next->storage, next->api, std::move(defaultPersonProperties), std::move(featureFlagCalled));
    try {
        next->reachability = factory.makeReachability();
    } catch (...) {
        next->reachability = nullptr;  // the queues and the context work without it
    }
    next->context = factory.makeContext(next->reachability);
    {
        std::lock_guard lock(optOutLock_);
        if (auto stored = next->storage->getBool(StorageKey::optOut)) config.setOptOut(*stored);
    }
    factory.reached(Step::optOutRestored);
    auto event = factory.makeQueue(config, next->api, next->reachability, RideZavApiEndpoint::batch, "com.ridezav.Queue",
                                   next->storage->url(StorageKey::queue), next->storage->url(StorageKey::oldQeueue));
    auto replay = factory.makeQueue(config, next->api, next->reachability, RideZavApiEndpoint::snapshot, "com.ridezav.ReplayQueue",
                                    next->storage->url(StorageKey::replayQeueue), std::nullopt);
    next->queue = event;
    next->replayQueue = replay;
    {
        std::lock_guard lock(stateLock_);
        state_ = next;
    }
    event->start(config.disableReachabilityForTesting, config.disableQueueTimerForTesting);
    replay->start(config.disableReachabilityForTesting, config.disableQueueTimerForTesting);
    factory.reached(Step::queuesStarted);

    sessionManager_->clearLifecycleObservers();
    sessionManager_->registerApplicationLifecycleObservers();
    sessionManager_->startSession();
    factory.reached(Step::sessionStarted);

    sessionIdChangedToken_ = sessionManager_->onSessionIdChanged().subscribe([weak] {
        if (auto self = weak.lock()) self->refreshEventContext();
    });
    factory.reached(Step::sessionObserved);
    if (!config.optOut()) {
        installIntegrations();
        factory.reached(Step::integrationsInstalled);
        refreshEventContext();
        factory.reached(Step::eventContextRefreshed);
    }
    if (!config.disableFlushOnBackgroundForTesting) {
        didEnterBackgroundToken_ = DI::Container::shared().appLifecyclePublisher().onDidEnterBackground().subscribe([weak] {
            if (auto self = weak.lock()) self->flush();
        });
        factory.reached(Step::flushOnBackgroundSubscribed);
    }
    velmo::MainLoop::postToMain([] { velmo::NotificationCenter::defaultCenter().post(didStartNotification()); });
    factory.reached(Step::didStartDispatched);
}

void RideZavSDK::debug(bool enabled) {
    if (!setupGuard()) return;
    RideZavLog::setDebug(enabled);
}

std::string RideZavSDK::getDistinctId() {
    if (!setupGuard()) return "";
    auto current = state();
    return current && current->storageManager ? current->storageManager->getDistinctId() : "";
}

std::string RideZavSDK::getAnonymousId() {
    if (!setupGuard()) return "";
    auto current = state();
    return current && current->storageManager ? current->storageManager->getAnonymousId() : "";
}

std::optional<std::string> RideZavSDK::getSessionId() {
    if (!setupGuard()) return std::nullopt;
    return sessionManager_->getSessionId(presentTime(), true);
}

void RideZavSDK::startSession() {
    if (!setupGuard()) return;
    sessionManager_->startSession();
}

void RideZavSDK::endSession() {
    if (!setupGuard()) return;
    if (rideZavSdkName() == "ridezav-react-native") return;
    sessionManager_->endSession();
}

void RideZavSDK::flush() {
    if (!setupGuard()) return;
    auto current = state();
    if (!current) return;
    for (const auto& queue : {current->queue, current->replayQueue})
        if (queue && queue->canFlush()) queue->take(static_cast<std::size_t>(current->config->maxBatchSize));
}

void RideZavSDK::reset() {
    if (!setupGuard()) return;
    auto current = state();
    if (!current) return;
    const bool keep = current->config->reuseAnonymousId;
    if (current->storage) current->storage->reset(keep);
    if (current->storageManager) current->storageManager->reset(keep);
    {
        std::lock_guard lock(flagCallReportedLock_);
        flagCallReported_.clear();
    }
    sessionManager_->resetSession();
    sessionManager_->clearLifecycleObservers();
    if (const auto& remote = current->remoteConfig) {
        remote->resetPersonPropertiesForFlags();
        remote->resetGroupPropertiesForFlags(std::nullopt);
        remote->reloadFeatureFlags();
    }
    refreshEventContext();
}

std::shared_ptr<RideZavRemoteConfig> RideZavSDK::remoteConfig() const {
    auto current = state();
    return current ? current->remoteConfig : nullptr;
}

std::size_t RideZavSDK::queueDepth() const {
    auto current = state();
    return current && current->queue ? current->queue->depth() : 0;
}

std::shared_ptr<RideZavCapturePipeline> RideZavSDK::installPipeline(std::shared_ptr<RideZavCapturePipeline> pipeline) {
    std::lock_guard lock(pipelineLock_);
    auto previous = std::move(pipeline_);
    pipeline_ = std::move(pipeline);
    return previous;
}

// Capture pipeline.

void RideZavSDK::capture(const std::string& event) {
    if (captureInternal(event, {}, {}, {}, {}, {}, {})) observe(event, RideZavProperties::object());
}

void RideZavSDK::capture(const std::string& event, const RideZavProperties& properties) {
    if (captureInternal(event, {}, fromApplication(properties), {}, {}, {}, {}))
        observe(event, properties.is_object() ? properties : RideZavProperties::object());
}

void RideZavSDK::observe(const std::string& event, const RideZavProperties& properties) {
    std::shared_ptr<RideZavCapturePipeline> observer;
    {
        std::lock_guard lock(pipelineLock_);
        observer = pipeline_;
    }
    if (observer) observer->capture(event, properties);
}

void RideZavSDK::capture(const std::string& event, std::optional<Object> properties, std::optional<Object> userProperties,
                         std::optional<Object> userPropertiesSetOnce, std::optional<std::map<std::string, std::string>> groups,
                         std::optional<std::string> distinctId, std::optional<Date> timestamp) {
    captureInternal(event, std::move(distinctId), std::move(properties), std::move(userProperties), std::move(userPropertiesSetOnce),
                    std::move(groups), timestamp);
}

bool RideZavSDK::captureInternal(const std::string& event, std::optional<std::string> distinctId, std::optional<Object> properties,
                                 std::optional<Object> userProperties, std::optional<Object> userPropertiesSetOnce,
                                 std::optional<std::map<std::string, std::string>> groups, std::optional<Date> timestamp) {
    if (!setupGuard()) return false;
    auto current = stateUnlessOptedOut();
    if (!current || !current->queue) return false;
    const bool isSnapshot = event == "$snapshot";
    const Date at = timestamp.value_or(presentTime());
    std::string id = distinctId ? *distinctId : current->storageManager ? current->storageManager->getDistinctId() : "";
    if ((userProperties && !userProperties->empty()) || (userPropertiesSetOnce && !userPropertiesSetOnce->empty()) ||
        (groups && !groups->empty()))
        requirePersonProcessing(
            "captureInternal(_:distinctId:properties:userProperties:userPropertiesSetOnce:groups:timestamp:"
            "skipBuildProperties:)");
    auto sanitizedProperties = sanitize(properties);
    auto sanitizedUser = sanitize(userProperties);
    auto sanitizedSetOnce = sanitize(userPropertiesSetOnce);
    Object built = buildProperties(*current, id, sanitizedProperties, sanitizedUser, sanitizedSetOnce, groups, !isSnapshot, timestamp);
    auto made = buildEvent(event, id, std::move(built), at);
    if (!made) return false;
    bool queued = false;
    if (!isSnapshot)
        queued = enqueue(*current, *made, false);
    else if (made->properties.contains("$session_id"))
        queued = enqueue(*current, *made, true);
    keepPersonPropertiesForFlags(*current, sanitizedUser, sanitizedSetOnce);
    return queued;
}

Object RideZavSDK::featureFlagProperties(const State& state) {
    Object out;
    if (!state.remoteConfig) return out;
    const auto flags = state.remoteConfig->cachedFeatureFlags();
    if (!flags || flags->empty()) return out;
    out.reserve(flags->size() + 1);
    Array active;
    for (const auto& [key, value] : *flags) {
        out.append("$feature/" + key, value);  // flag keys are unique
        if (!(value.isBool() && !*value.get<bool>())) active.emplace_back(key);
    }
    if (!active.empty()) out.set("$active_feature_flags", std::move(active));
    return out;
}

void RideZavSDK::keepPersonPropertiesForFlags(const State& state, const std::optional<Object>& userProperties,
                                              const std::optional<Object>& userPropertiesSetOnce) {
    if (!state.remoteConfig) return;
    const bool anyUser = userProperties && !userProperties->empty();
    const bool anySetOnce = userPropertiesSetOnce && !userPropertiesSetOnce->empty();
    if (!anyUser && !anySetOnce) return;
    Object merged = anyUser ? *userProperties : Object{};
    if (anySetOnce)
        for (const auto& [key, value] : *userPropertiesSetOnce) merged.insertIfAbsent(key, value);  // "$set" wins
    state.remoteConfig->mergePersonPropertiesForFlags(merged);
}

void RideZavSDK::keepGroupPropertiesForFlags(const std::string& groupType, const std::optional<Object>& groupProperties) {
    auto current = state();
    if (!current || !current->remoteConfig) return;
    auto sanitized = sanitize(groupProperties);
    if (!sanitized || sanitized->empty()) return;
    current->remoteConfig->setGroupPropertiesForFlags(groupType, *sanitized);
}

bool RideZavSDK::enqueue(const State& state, const RideZavEvent& event, bool replay) {
    const auto& queue = replay ? state.replayQueue : state.queue;
    return queue && queue->add(event);
}

Object RideZavSDK::buildProperties(const std::string& distinctId, const std::optional<Object>& properties,
                                   const std::optional<Object>& userProperties, const std::optional<Object>& userPropertiesSetOnce,
                                   const std::optional<std::map<std::string, std::string>>& groups, bool appendSharedProps,
                                   std::optional<Date> timestamp) {
    auto current = state();
    if (!current) return {};
    return buildProperties(*current, distinctId, properties, userProperties, userPropertiesSetOnce, groups, appendSharedProps, timestamp);
}

Object RideZavSDK::buildProperties(const State& state, const std::string& distinctId, const std::optional<Object>& properties,
                                   const std::optional<Object>& userProperties, const std::optional<Object>& userPropertiesSetOnce,
                                   const std::optional<std::map<std::string, std::string>>& groups, bool appendSharedProps,
                                   std::optional<Date> timestamp) {
    Object props;
    // The closed state holds no storage; a capture keeps the snapshot it started with.
    if (!state.storage) return props;
    const State* const current = &state;
    if (appendSharedProps) {
        if (current->context) {
            mergeKeepingExisting(props, current->context->staticContext());
            mergeKeepingExisting(props, current->context->dynamicContext());
        }
        Object registered;
        if (auto stored = current->storage->getJSON(StorageKey::registerProperties))
            if (const Object* object = stored->get<Object>()) registered = *object;
        std::map<std::string, std::string> storedGroups;
        {
            std::lock_guard lock(groupsLock_);
            if (auto stored = current->storage->getJSON(StorageKey::groups)) storedGroups = textToText(&*stored);
        }
        if (!storedGroups.empty()) registered.set("$groups", groupsObject(storedGroups));
        // Flag properties are assigned over the registered ones; among themselves they are unique,
        // so only the registered entries need searching.
        const std::size_t registeredCount = registered.size();
        Object flagProperties = featureFlagProperties(*current);
        registered.reserve(registeredCount + flagProperties.size());
        for (auto& [key, value] : flagProperties) {
            const auto end = registered.begin() + static_cast<std::ptrdiff_t>(registeredCount);
            const auto same = std::find_if(registered.begin(), end, [&name = key](const auto& entry) { return entry.first == name; });
            if (same != end)
                same->second = std::move(value);
            else
                registered.append(std::move(key), std::move(value));
        }
        mergeKeepingExisting(props, registered);
        if (userProperties) props.set("$set", *userProperties);
        if (userPropertiesSetOnce) props.set("$set_once", *userPropertiesSetOnce);
        if (groups) {
            auto merged = textToText(props.find("$groups"));
            for (const auto& [type, key] : *groups) merged.emplace(type, key);  // a stored type's key stays
            props.set("$groups", groupsObject(merged));
        }
        if (current->storageManager) props.set("$is_identified", current->storageManager->isIdentified());
        props.set("$process_person_profile", isPersonProcessing());
    }
    if (current->context) mergeKeepingExisting(props, current->context->sdkInfo());
    if (!(properties && isNonEmptyText(*properties, "$session_id"))) {
        if (auto session = sessionManager_->getSessionId(timestamp.value_or(presentTime()), false)) props.set("$session_id", *session);
    }
    if (!appendSharedProps && !(properties && isNonEmptyText(*properties, "distinct_id"))) props.set("distinct_id", distinctId);
    if (properties) mergeKeepingExisting(props, *properties);
    return props;
}

std::optional<RideZavEvent> RideZavSDK::buildEvent(const std::string& event, const std::string& distinctId, Object properties,
                                                   Date timestamp) {
    auto current = state();
    if (!current) return std::nullopt;
    const auto& config = *current->config;
    if (config.propertiesSanitizer) properties = config.propertiesSanitizer->sanitize(std::move(properties));
    auto uuid = TimeBasedEpochGenerator::shared().generateV7();
    auto result = config.beforeSend(RideZavEvent(event, distinctId, std::move(properties), timestamp, uuid));
    if (!result) {
        std::string line = "RideZav event " + event + " was dropped";
        if (systemEventFromName(event)) line += ". This can cause unexpected behavior.";
        ridezavLog(line);
    }
    return result;
}

bool RideZavSDK::isPersonProcessing() {
    auto current = state();
    if (!current) return false;
    switch (current->config->personProfiles) {
        case RideZavPersonProfiles::never:
            return false;
        case RideZavPersonProfiles::always:
            return true;
        case RideZavPersonProfiles::identifiedOnly:
            break;
    }
    if (!current->storageManager || current->storageManager->isIdentified()) return true;
    return current->storageManager->isPersonProcessing();
}

bool RideZavSDK::requirePersonProcessing(const std::string& name) {
    auto current = state();
    if (!current) return false;
    if (current->config->personProfiles == RideZavPersonProfiles::never) {
        ridezavLog(name + " was called, but `personProfiles` is set to `never`. This call will be ignored.");
        return false;
    }
    if (current->storageManager && !current->storageManager->isPersonProcessing()) current->storageManager->setPersonProcessing(true);
    return true;
}

void RideZavSDK::screen(const std::string& title, std::optional<Object> properties) {
    if (!setupGuard()) return;
    auto current = stateUnlessOptedOut();
    if (!current || !current->queue) return;
    Object props{{"$screen_name", title}};
    if (auto sanitized = sanitize(properties)) mergeKeepingExisting(props, *sanitized);
    const std::string id = current->storageManager ? current->storageManager->getDistinctId() : "";
    Object built = buildProperties(*current, id, props, std::nullopt, std::nullopt, std::nullopt, true, std::nullopt);
    if (auto made = buildEvent("$screen", id, std::move(built), presentTime())) enqueue(*current, *made, false);
}

void RideZavSDK::alias(const std::string& alias) {
    if (!setupGuard()) return;
    auto current = stateUnlessOptedOut();
    if (!current) return;
    if (!requirePersonProcessing("alias(_:)")) return;
    if (!current->queue) return;
    const std::string id = current->storageManager ? current->storageManager->getDistinctId() : "";
    Object built = buildProperties(*current, id, Object{{"alias", alias}}, std::nullopt, std::nullopt, std::nullopt, true, std::nullopt);
    if (auto made = buildEvent("$create_alias", id, std::move(built), presentTime())) enqueue(*current, *made, false);
}

}  // namespace ridezav
