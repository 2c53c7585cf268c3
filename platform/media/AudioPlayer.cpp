#include "platform/media/AudioPlayer.h"

#include "platform/runtime/MainLoop.h"

namespace velmo {

void AudioPlayer::notifyFinished(bool successfully) {
    std::shared_ptr<std::function<void(bool)>> callback;
    {
        std::lock_guard lock(callbackMutex_);
        callback = finished_;
    }
    if (!callback) return;
    MainLoop::postToMain([callback, successfully] {
        if (*callback) (*callback)(successfully);
    });
}

}  // namespace velmo
