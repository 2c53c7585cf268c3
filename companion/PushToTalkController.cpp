#include "companion/PushToTalkController.h"

#include <stdexcept>

#include "platform/runtime/MainThreadBound.h"
#include "platform/runtime/NotificationCenter.h"

namespace velmo {

std::shared_ptr<PushToTalkController> PushToTalkController::create(Dependencies dependencies) {
    if (!dependencies.dictationManager || !dependencies.events || !dependencies.isPressBlocked || !dependencies.interrupt ||
        !dependencies.submitTranscript)
        throw std::invalid_argument("PushToTalkController: a dictation manager, the usage events and the three callbacks are needed");
    return makeMainBound<PushToTalkController>(PrivateTag{}, std::move(dependencies));
}

PushToTalkController::PushToTalkController(PrivateTag, Dependencies dependencies)
    : dictationManager_(std::move(dependencies.dictationManager)),
      events_(std::move(dependencies.events)),
      isPressBlocked_(std::move(dependencies.isPressBlocked)),
      interrupt_(std::move(dependencies.interrupt)),
      submitTranscript_(std::move(dependencies.submitTranscript)) {}

const Task<void>& PushToTalkController::pendingKeyboardShortcutStartTask() const {
    sequenceChecker_.check();
    return pendingKeyboardShortcutStartTask_;
}

void PushToTalkController::handleShortcutTransition(ShortcutTransition transition) {
    sequenceChecker_.check();
    switch (transition) {
        case ShortcutTransition::pressed:
            pressed();
            return;
        case ShortcutTransition::released:
            released();
            return;
        case ShortcutTransition::none:
            return;
    }
}

void PushToTalkController::pressed() {
    if (dictationManager_->isDictationBusy() || isPressBlocked_()) return;
    NotificationCenter::defaultCenter().post(velmoDismissPanel);
    interrupt_();
    events_->pushToTalkStarted();
    if (pendingKeyboardShortcutStartTask_.isValid()) pendingKeyboardShortcutStartTask_.cancel();
    auto self = shared_from_this();
    pendingKeyboardShortcutStartTask_ = startTask([self]() -> Task<void> {
        auto begin = self->dictationManager_->startPushToTalkFromKeyboardShortcut(
            "", [](const std::string&) {}, self->submitTranscript_);
        co_await begin;
    });
}

void PushToTalkController::released() {
    events_->pushToTalkReleased();
    if (pendingKeyboardShortcutStartTask_.isValid()) pendingKeyboardShortcutStartTask_.cancel();
    pendingKeyboardShortcutStartTask_ = Task<void>();
    dictationManager_->stopPushToTalk(MirrinDictationStartSource::keyboardShortcut);
}

}  // namespace velmo
