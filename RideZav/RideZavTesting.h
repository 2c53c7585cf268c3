#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "RideZav/RideZavSDK.h"

namespace ridezav {

struct RecordedEvent {
    std::string event;
    RideZavProperties properties;
};

// Records every event the facade accepts while it lives (sets the facade up when needed).
class RideZavEventRecorder {
public:
    RideZavEventRecorder();
    ~RideZavEventRecorder();
    RideZavEventRecorder(const RideZavEventRecorder&) = delete;
    RideZavEventRecorder& operator=(const RideZavEventRecorder&) = delete;

    std::vector<RecordedEvent> events() const;
    std::vector<std::string> names() const;
    void clear();

private:
    class Pipeline;
    std::shared_ptr<Pipeline> pipeline_;
    std::shared_ptr<RideZavCapturePipeline> previous_;
};

// What a queue folder stores, by name, oldest first: the event files and the entries still in its
// journals (temporary files are none).
std::vector<std::pair<double, std::string>> storedContents(const std::filesystem::path& folder);
// The events stored in a queue folder, oldest first.
std::vector<RideZavEvent> queuedEvents(const std::filesystem::path& folder);

}  // namespace ridezav
