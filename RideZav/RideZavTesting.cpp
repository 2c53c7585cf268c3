#include "RideZav/RideZavTesting.h"

namespace ridezav {

class RideZavEventRecorder::Pipeline : public RideZavCapturePipeline {
public:
    void capture(const std::string& event, const RideZavProperties& properties) override {
        std::lock_guard lock(mutex);
        events.push_back({event, properties});
    }
    mutable std::mutex mutex;
    std::vector<RecordedEvent> events;
};

RideZavEventRecorder::RideZavEventRecorder() : pipeline_(std::make_shared<Pipeline>()) {
    previous_ = RideZavSDK::shared().installPipeline(pipeline_);
    if (!RideZavSDK::shared().isSetUp()) RideZavSDK::shared().setup(RideZavConfig("phc_test", "http://127.0.0.1:9"));
}

RideZavEventRecorder::~RideZavEventRecorder() { RideZavSDK::shared().installPipeline(previous_); }

std::vector<RecordedEvent> RideZavEventRecorder::events() const {
    std::lock_guard lock(pipeline_->mutex);
    return pipeline_->events;
}

std::vector<std::string> RideZavEventRecorder::names() const {
    std::vector<std::string> out;
    for (const auto& e : events()) out.push_back(e.event);
    return out;
}

void RideZavEventRecorder::clear() {
    std::lock_guard lock(pipeline_->mutex);
    pipeline_->events.clear();
}

}  // namespace ridezav
