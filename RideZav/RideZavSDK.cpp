#include "RideZav/RideZavSDK.h"

#include "RideZav/core/RideZavLog.h"
#include "platform/foundation/Logger.h"

namespace ridezav {

namespace {
class DiscardingPipeline : public RideZavCapturePipeline {
public:
    void capture(const std::string&, const RideZavProperties&) override {}
};
}  // namespace

RideZavSDK::RideZavSDK() : pipeline_(std::make_shared<DiscardingPipeline>()) {}

RideZavSDK& RideZavSDK::shared() {
    static RideZavSDK* instance = new RideZavSDK();  // never released
    return *instance;
}

void RideZavSDK::setup(const RideZavConfig& config) {
    std::shared_ptr<RideZavCapturePipeline> pipeline;
    {
        std::lock_guard lock(mutex_);
        if (config_) {
            debugLog("Setup called despite already being setup!");
            return;
        }
        config_ = config;
        RideZavLog::setDebug(config.debug);  // the library's own parts log under the same switch
        pipeline = pipeline_;
    }
    pipeline->setup(config);
}

void RideZavSDK::capture(const std::string& event) { capture(event, RideZavProperties::object()); }

void RideZavSDK::capture(const std::string& event, const RideZavProperties& properties) {
    std::shared_ptr<RideZavCapturePipeline> pipeline;
    {
        std::lock_guard lock(mutex_);
        if (!config_) {
            debugLog("RideZav method was called without `setup` being complete. Call wil be ignored.");
            return;
        }
        if (config_->optOut()) {
            debugLog("RideZav is in OptOut state.");
            return;
        }
        pipeline = pipeline_;
    }
    pipeline->capture(event, properties.is_object() ? properties : RideZavProperties::object());
}

bool RideZavSDK::isSetUp() const {
    std::lock_guard lock(mutex_);
    return config_.has_value();
}

std::shared_ptr<RideZavCapturePipeline> RideZavSDK::installPipeline(std::shared_ptr<RideZavCapturePipeline> pipeline) {
    std::lock_guard lock(mutex_);
    auto previous = std::move(pipeline_);
    pipeline_ = pipeline ? std::move(pipeline) : std::make_shared<DiscardingPipeline>();
    return previous;
}

void RideZavSDK::debugLog(const std::string& message) const {
    if (config_ && config_->debug) velmo::logLine("[RideZav] " + message);  // the debug switch comes with set-up
}

}  // namespace ridezav
