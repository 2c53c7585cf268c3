#pragma once

// Test doubles for the objects the companion object owns.

#include <functional>
#include <string>
#include <vector>

#include "companion/CompanionServiceClients.h"
#include "platform/foundation/InfoPlistString.h"
#include "platform/runtime/Published.h"
#include "platform/runtime/Task.h"
#include "voice/MirrinDictationManaging.h"
#include "voice/PushToTalkShortcutMonitoring.h"

namespace velmo::test {

// The real service clients with the bundle's keys, as the application makes them; tests reach
// loopback servers through origin overrides.
inline CompanionServiceClientFactory bundleServiceClients() {
    return CompanionServiceClientFactory::standard([](const std::string& key) { return infoPlistString(key); });
}

// A dictation manager the test drives: its flags are set by hand and the submit callback of the
// last start is kept, so the test can hand the companion a final transcript.
class FakeDictationManager : public MirrinDictationManaging {
public:
    Published<bool> isRecordingFromKeyboardShortcut{false};
    Published<bool> isFinalizingTranscript{false};
    Published<bool> isPreparingToRecord{false};
    Published<double> currentAudioPowerLevel{0.0};
    bool busy = false;

    std::vector<std::string> calls;  // "start", "stop keyboardShortcut", "cancel keep", "cancel drop"
    std::function<void(const std::string&)> submitDraftText;
    std::function<void(const std::string&)> updateDraftText;
    std::string lastDraftText;

    bool isDictationBusy() const override { return busy; }
    Task<void> startPushToTalkFromKeyboardShortcut(std::string currentDraftText, std::function<void(const std::string&)> update,
                                                   std::function<void(const std::string&)> submit) override {
        calls.push_back("start");
        lastDraftText = std::move(currentDraftText);
        updateDraftText = std::move(update);
        submitDraftText = std::move(submit);
        co_return;
    }
    void stopPushToTalk(MirrinDictationStartSource source) override { calls.push_back("stop " + caseName(source)); }
    void cancelDictation(bool keepPartialTranscript) override { calls.push_back(keepPartialTranscript ? "cancel keep" : "cancel drop"); }
    Publisher<bool> isRecordingFromKeyboardShortcutPublisher() const override { return isRecordingFromKeyboardShortcut.publisher(); }
    Publisher<bool> isFinalizingTranscriptPublisher() const override { return isFinalizingTranscript.publisher(); }
    Publisher<bool> isPreparingToRecordPublisher() const override { return isPreparingToRecord.publisher(); }
    Publisher<double> currentAudioPowerLevelPublisher() const override { return currentAudioPowerLevel.publisher(); }
};

// A chord monitor the test drives by sending transitions.
class FakeShortcutMonitor : public PushToTalkShortcutMonitoring {
public:
    Subject<ShortcutTransition> transitions;
    int startCount = 0;
    int stopCount = 0;
    bool running = false;

    void start() override {
        ++startCount;
        running = true;
    }
    void stop() override {
        ++stopCount;
        running = false;
    }
    Publisher<ShortcutTransition> shortcutTransitions() const override { return transitions.publisher(); }
};

}  // namespace velmo::test
