#include "platform/media/MediaAuthorization.h"

#include "platform/media/PocketSphinxSpeechRecognizer.h"
#include "platform/media/PulseAudioSourceMonitor.h"
#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {
ProcessWide<MediaAuthorization>& authorizations() {
    static ProcessWide<MediaAuthorization> instance("media authorization");
    return instance;
}
MediaAuthorizationStatus statusFor(bool granted) {
    return granted ? MediaAuthorizationStatus::authorized : MediaAuthorizationStatus::denied;
}
}  // namespace

std::shared_ptr<MediaAuthorization> MediaAuthorization::current() { return authorizations().current(); }

void MediaAuthorization::install(std::shared_ptr<MediaAuthorization> authorization) { authorizations().exchange(std::move(authorization)); }

LinuxMediaAuthorization::LinuxMediaAuthorization(std::shared_ptr<PulseAudioSourceMonitor> monitor)
    : monitor_(std::move(monitor)) {}

MediaAuthorizationStatus LinuxMediaAuthorization::microphoneAuthorizationStatus() {
    switch (monitor_->snapshot().state) {
        case PulseAudioSourceMonitor::State::connecting:
            return MediaAuthorizationStatus::notDetermined;
        case PulseAudioSourceMonitor::State::available:
            return MediaAuthorizationStatus::authorized;
        default:
            return MediaAuthorizationStatus::denied;
    }
}

AudioInputAvailability LinuxMediaAuthorization::audioInputAvailability() {
    switch (monitor_->snapshot().state) {
        case PulseAudioSourceMonitor::State::noServer:
            return AudioInputAvailability::noSoundServer;
        case PulseAudioSourceMonitor::State::noSource:
            return AudioInputAvailability::noCaptureDevice;
        default:
            return AudioInputAvailability::available;
    }
}

Cancellable LinuxMediaAuthorization::observeMicrophoneChanges(std::function<void()> changed) {
    return monitor_->observeStateChanges(std::move(changed));
}

void LinuxMediaAuthorization::requestMicrophoneAccess(std::function<void(bool)> completion) {
    monitor_->whenSettled([completion = std::move(completion)](const PulseAudioSourceMonitor::Snapshot& snapshot) {
        if (completion) completion(snapshot.state == PulseAudioSourceMonitor::State::available);
    });
}

MediaAuthorizationStatus LinuxMediaAuthorization::speechRecognitionAuthorizationStatus() {
    return statusFor(PocketSphinxSpeechRecognizer::isModelInstalled());
}

void LinuxMediaAuthorization::requestSpeechRecognitionAuthorization(std::function<void(MediaAuthorizationStatus)> completion) {
    auto status = speechRecognitionAuthorizationStatus();
    if (completion) completion(status);
}

}  // namespace velmo
