#include "voice/GlobalPushToTalkShortcutMonitor.h"

#include "platform/base/Logger.h"

namespace velmo {

GlobalPushToTalkShortcutMonitor::~GlobalPushToTalkShortcutMonitor() { stop(); }

void GlobalPushToTalkShortcutMonitor::start() {
    if (globalEventTap_) return;
    auto tap = KeyEventTapFactory::current()->createTap(KeyEventTapLocation::session, KeyEventTapPlacement::headInsert,
                                                        KeyEventTapOptions::listenOnly, eventMask,
                                                        &GlobalPushToTalkShortcutMonitor::handleGlobalEventTapEvent, this);
    if (!tap) {
        logLine("⚠️ Global push-to-talk: couldn't create CGEvent tap");
        return;
    }
    auto source = tap->createRunLoopSource();
    if (!source) {
        tap->invalidate();
        logLine("⚠️ Global push-to-talk: couldn't create event tap run loop source");
        return;
    }
    globalEventTap_ = std::move(tap);
    globalEventTapRunLoopSource_ = std::move(source);
    globalEventTapRunLoopSource_->addToMainLoop();
    globalEventTap_->setEnabled(true);
}

void GlobalPushToTalkShortcutMonitor::stop() {
    isShortcutCurrentlyPressed = false;
    if (globalEventTapRunLoopSource_) {
        globalEventTapRunLoopSource_->removeFromMainLoop();
        globalEventTapRunLoopSource_.reset();
    }
    if (globalEventTap_) {
        globalEventTap_->invalidate();
        globalEventTap_.reset();
    }
}

KeyEvent GlobalPushToTalkShortcutMonitor::handleGlobalEventTapEvent(KeyEventType type, const KeyEvent& event, void* userInfo) {
    const KeyEvent passedOn = event;  // a subscriber below may end the monitor, and the tap with it
    if (!userInfo) return passedOn;
    auto& monitor = *static_cast<GlobalPushToTalkShortcutMonitor*>(userInfo);

    if (type == KeyEventType::tapDisabledByTimeout || type == KeyEventType::tapDisabledByUserInput) {
        if (monitor.globalEventTap_) monitor.globalEventTap_->setEnabled(true);
        return passedOn;
    }
    if (type != KeyEventType::flagsChanged) return passedOn;

    // Shift, command and caps lock do not matter.
    const bool chordIsDown = (event.flags & KeyEventFlag::control) && (event.flags & KeyEventFlag::alternate);
    if (chordIsDown && !monitor.isShortcutCurrentlyPressed.get()) {
        monitor.isShortcutCurrentlyPressed = true;
        monitor.shortcutTransitionPublisher.send(ShortcutTransition::pressed);
    } else if (!chordIsDown && monitor.isShortcutCurrentlyPressed.get()) {
        monitor.isShortcutCurrentlyPressed = false;
        monitor.shortcutTransitionPublisher.send(ShortcutTransition::released);
    }
    return passedOn;
}

}  // namespace velmo
