#include "RideZav/RideZavTesting.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/base/WholeFile.h"
#include "RideZav/delivery/RideZavEventJournal.h"
#include "RideZav/delivery/RideZavFileBackedQueue.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "platform/foundation/TestDirectory.h"
#include "testing/EnvironmentVariable.h"

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

RideZavEventRecorder::RideZavEventRecorder()
    : pipeline_(std::make_shared<Pipeline>()) {
    previous_ = RideZavSDK::shared().installPipeline(pipeline_);
    if (RideZavSDK::shared().isSetUp()) return;
    // The process's facade keeps its files in a folder of its own, removed when the process
    // exits (not by a forked child, whose parent still uses it); nothing is uploaded on its own.
    struct ProcessDataHome {
        velmo::test::TestDirectory* directory = new velmo::test::TestDirectory();
        pid_t owner = getpid();
        ~ProcessDataHome() {
            if (getpid() == owner) delete directory;
        }
    };
    static ProcessDataHome dataHome;
    velmo::test::EnvironmentVariable data("XDG_DATA_HOME", dataHome.directory->path());
    RideZavConfig config("phc_test", "http://127.0.0.1:9");
    config.disableReachabilityForTesting = true;
    config.disableQueueTimerForTesting = true;
    config.disableFlushOnBackgroundForTesting = true;
    config.captureApplicationLifecycleEvents = false;  // would write the version and build into the defaults
    RideZavSDK::shared().setup(config);
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

std::vector<std::pair<double, std::string>> storedContents(const std::filesystem::path& folder) {
    // Journals before files, while the queue's writer may be turning entries into files: an entry
    // is then in the journal read, or its file was made before the folder is listed.
    std::map<double, std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (!RideZavFileBackedQueue::isJournalName(entry.path().filename().string())) continue;
        const std::string bytes = velmo::readWholeFile(entry.path()).value_or("");
        for (const auto& pending : RideZavEventJournal::pending(bytes)) found.emplace(pending.name, std::string(pending.contents));
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (auto value = RideZavFileBackedQueue::nameValue(entry.path().filename().string()))
            found.insert_or_assign(*value, velmo::readWholeFile(entry.path()).value_or(""));
    return {found.begin(), found.end()};
}

std::vector<RideZavEvent> queuedEvents(const std::filesystem::path& folder) {
    std::vector<RideZavEvent> out;
    for (const auto& [name, contents] : storedContents(folder))
        if (auto event = RideZavQueue::decodeEvent(contents)) out.push_back(std::move(*event));
    return out;
}

}  // namespace ridezav
