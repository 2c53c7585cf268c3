#pragma once

#include <functional>
#include <memory>

#include "platform/runtime/Published.h"

namespace velmo {

enum class MediaAuthorizationStatus : int {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorized = 3,
};

class PulseAudioSourceMonitor;

// Why a microphone that is not authorised cannot record, where the platform can tell.
enum class AudioInputAvailability { available, noSoundServer, noCaptureDevice };

// Whether this process may record the microphone and run speech recognition. Request
// completions may be called on any thread, possibly before the request returns.
class MediaAuthorization {
public:
    virtual ~MediaAuthorization() = default;
    virtual MediaAuthorizationStatus microphoneAuthorizationStatus() = 0;
    virtual void requestMicrophoneAccess(std::function<void(bool granted)> completion) = 0;
    virtual MediaAuthorizationStatus speechRecognitionAuthorizationStatus() = 0;
    virtual void requestSpeechRecognitionAuthorization(std::function<void(MediaAuthorizationStatus)> completion) = 0;
    // Tells a missing input (no sound server, no capture device) apart from a denial. Never waits.
    virtual AudioInputAvailability audioInputAvailability() { return AudioInputAvailability::available; }
    // Calls `changed` (on any thread) when the microphone's status may have changed, while the
    // returned subscription lives. Only where `announcesMicrophoneChanges()` holds does silence
    // mean the status last given still stands; by default it never does.
    virtual Cancellable observeMicrophoneChanges(std::function<void()> changed) {
        (void)changed;
        return {};
    }
    virtual bool announcesMicrophoneChanges() { return false; }

    // The process-wide instance: the Linux checks main installed, or a test's; none is a fault.
    static std::shared_ptr<MediaAuthorization> current();
    static void install(std::shared_ptr<MediaAuthorization> authorization);
};

// Linux keeps no consent store and a request cannot prompt: the microphone is authorised when the
// sound server has a capture source (undetermined until the source monitor first hears from the
// server; a request then answers once it has), speech recognition when the recogniser's model is
// installed; otherwise both are denied. The microphone is answered from the monitor's cache and
// never waits for the sound server.
class LinuxMediaAuthorization : public MediaAuthorization {
public:
    // On the sound-source monitor main made.
    explicit LinuxMediaAuthorization(std::shared_ptr<PulseAudioSourceMonitor> monitor);
    MediaAuthorizationStatus microphoneAuthorizationStatus() override;
    AudioInputAvailability audioInputAvailability() override;
    // The monitor follows the sound server, so every change of the status is announced.
    Cancellable observeMicrophoneChanges(std::function<void()> changed) override;
    bool announcesMicrophoneChanges() override { return true; }
    void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;
    MediaAuthorizationStatus speechRecognitionAuthorizationStatus() override;
    void requestSpeechRecognitionAuthorization(std::function<void(MediaAuthorizationStatus)> completion) override;

private:
    std::shared_ptr<PulseAudioSourceMonitor> monitor_;
};

}  // namespace velmo
