#pragma once

#include <string>

namespace velmo::test {

// A private PulseAudio server for one test, with one null sink: play into `sinkName()`,
// record from `monitorSourceName()`. It runs in its own runtime directory, so it neither needs
// nor disturbs a user's sound server; `serverAddress()` is the PULSE_SERVER value for clients.
class PulseAudioServer {
public:
    explicit PulseAudioServer(const std::string& sinkName = "velmo_test_sink");
    ~PulseAudioServer();
    PulseAudioServer(const PulseAudioServer&) = delete;
    PulseAudioServer& operator=(const PulseAudioServer&) = delete;

    bool isRunning() const { return running_; }
    const std::string& failure() const { return failure_; }
    const std::string& sinkName() const { return sink_; }
    std::string monitorSourceName() const { return sink_ + ".monitor"; }
    const std::string& serverAddress() const { return address_; }
    // Sets PULSE_SERVER in this process's environment so that clients made afterwards use it.
    void exportToEnvironment() const;

private:
    std::string sink_;
    std::string runtimeDir_;
    std::string address_;
    std::string failure_;
    bool running_ = false;
};

}  // namespace velmo::test
