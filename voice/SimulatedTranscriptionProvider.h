#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "voice/MirrinTranscriptionProvider.h"

namespace velmo {

// A session of the simulated back-end. It counts what the manager does to it and lets a test
// send its three callbacks, from whichever thread the test calls on (also after `cancel`, as a
// real back-end may).
class SimulatedTranscriptionSession : public MirrinStreamingTranscriptionSession {
public:
    SimulatedTranscriptionSession(double fallbackDelaySeconds, std::vector<std::string> keyterms,
                                  MirrinTranscriptUpdateCallback onTranscriptUpdate, MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                  MirrinTranscriptionErrorCallback onError);

    double finalTranscriptFallbackDelaySeconds() const override { return fallbackDelaySeconds_; }
    void appendAudioBuffer(const std::shared_ptr<const AudioPCMBuffer>& buffer) override;
    void requestFinalTranscript() override { ++requestFinalTranscriptCount; }
    void cancel() override { ++cancelCount; }

    void sendTranscriptUpdate(const std::string& text) const;
    void sendFinalTranscript(const std::string& text) const;
    void sendError(std::exception_ptr error) const;
    void sendError(const std::string& message) const;

    const std::vector<std::string>& keyterms() const { return keyterms_; }
    // Appends that came after requestFinalTranscript or cancel.
    int appendsAfterFinalRequestOrCancel() const { return lateAppends_.load(); }
    std::vector<std::thread::id> appendThreads() const;

    std::atomic<int> appendedBufferCount{0};
    std::atomic<int> requestFinalTranscriptCount{0};
    std::atomic<int> cancelCount{0};

private:
    const double fallbackDelaySeconds_;
    const std::vector<std::string> keyterms_;
    const MirrinTranscriptUpdateCallback onTranscriptUpdate_;
    const MirrinFinalTranscriptCallback onFinalTranscriptReady_;
    const MirrinTranscriptionErrorCallback onError_;
    std::atomic<int> lateAppends_{0};
    mutable std::mutex mutex_;
    std::vector<std::thread::id> appendThreads_;
};

// A transcription back-end for tests of the dictation manager and its owners. Sessions open at
// once, or, while openings are held, only when the test releases or fails them; a start can be
// scripted to fail.
class SimulatedTranscriptionProvider : public MirrinTranscriptionProvider {
public:
    struct Options {
        std::string displayName = "Simulated";
        bool requiresSpeechRecognitionPermission = false;
        double fallbackDelaySeconds = 2.0;
    };
    SimulatedTranscriptionProvider()
        : SimulatedTranscriptionProvider(Options{}) {}
    explicit SimulatedTranscriptionProvider(Options options);

    std::string displayName() const override { return options_.displayName; }
    bool requiresSpeechRecognitionPermission() const override { return options_.requiresSpeechRecognitionPermission; }
    bool isConfigured() const override { return true; }
    std::optional<std::string> unavailableExplanation() const override { return std::nullopt; }
    Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> startStreamingSession(std::vector<std::string> keyterms,
                                                                                     MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                                                     MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                                                     MirrinTranscriptionErrorCallback onError) override;

    // Test side.
    void holdOpenings(bool hold);
    // Completes the oldest held opening with its session, or fails it; false when none is held.
    bool releaseHeldOpening();
    bool failHeldOpening(std::exception_ptr error);
    std::size_t heldOpeningCount() const;
    // The next start fails with this error (once).
    void failNextStart(std::exception_ptr error);

    std::vector<std::shared_ptr<SimulatedTranscriptionSession>> sessions() const;
    std::shared_ptr<SimulatedTranscriptionSession> lastSession() const;
    int startCount() const { return startCount_.load(); }

private:
    struct HeldOpening {
        std::shared_ptr<SimulatedTranscriptionSession> session;
        Completion<std::shared_ptr<MirrinStreamingTranscriptionSession>> completion;
    };

    Options options_;
    mutable std::mutex mutex_;
    bool holdOpenings_ = false;
    std::vector<HeldOpening> held_;
    std::exception_ptr nextStartFailure_;
    std::vector<std::shared_ptr<SimulatedTranscriptionSession>> sessions_;
    std::atomic<int> startCount_{0};
};

}  // namespace velmo
