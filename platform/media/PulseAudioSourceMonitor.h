#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/PulseAudioSources.h"
#include "platform/runtime/Published.h"

namespace velmo {

// Keeps one PulseAudio context open on its own thread (a threaded main loop) and follows the
// server's capture sources through a subscription, so questions about the microphone are
// answered from what it last heard and never wait for the sound server. A server that is gone,
// refuses or does not answer within the connect limit counts as no server; it is tried again
// every second. Thread-safe: the cached state is guarded by `mutex_`; PulseAudio objects are
// touched only on the loop's thread or under its lock.
class PulseAudioSourceMonitor {
public:
    enum class State { connecting, noServer, noSource, available };
    struct Snapshot {
        State state = State::connecting;
        std::string defaultSourceName;
        std::vector<PulseAudioSourceInfo> sources;
        // The source named, or with an empty name the default source, else the first one.
        std::optional<PulseAudioSourceInfo> source(const std::string& name = {}) const;
    };

    // Connects to PULSE_SERVER or the user's default server (never starting one).
    explicit PulseAudioSourceMonitor(std::chrono::milliseconds connectLimit = std::chrono::seconds(3));
    ~PulseAudioSourceMonitor();
    PulseAudioSourceMonitor(const PulseAudioSourceMonitor&) = delete;
    PulseAudioSourceMonitor& operator=(const PulseAudioSourceMonitor&) = delete;

    // The process-wide monitor main installed (a test its own); none installed is a fault.
    static std::shared_ptr<PulseAudioSourceMonitor> shared();
    static void install(std::shared_ptr<PulseAudioSourceMonitor> monitor);

    Snapshot snapshot() const;
    // Calls `completion` once the state is known (not connecting): at once on this thread when
    // it is, else later on the monitor's thread.
    void whenSettled(std::function<void(const Snapshot&)> completion);
    // Waits (real time) until the state is known; false when the time runs out first. The
    // launch uses it once; every other question is answered from the cache.
    bool waitUntilSettled(std::chrono::milliseconds limit) const;
    // Calls `changed` on the monitor's thread each time the state (not only the source list)
    // changes, while the returned subscription lives.
    Cancellable observeStateChanges(std::function<void()> changed);
    // Tests: waits until `predicate` holds for the cached state.
    bool waitUntil(const std::function<bool(const Snapshot&)>& predicate, std::chrono::milliseconds limit) const;

    struct Loop;

private:
    void publish(Snapshot next);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Snapshot snapshot_;  // guarded by mutex_
    std::vector<std::function<void(const Snapshot&)>> waiting_;  // guarded by mutex_
    Subject<State> stateChanges_;
    std::unique_ptr<Loop> loop_;
};

}  // namespace velmo
