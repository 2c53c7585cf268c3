#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "platform/base/Error.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/media/SimulatedAudioEngine.h"
#include "platform/media/SimulatedMediaAuthorization.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "voice/MirrinDictationManager.h"
#include "voice/SimulatedTranscriptionProvider.h"

using namespace std::chrono_literals;

using namespace velmo;

namespace {

const std::string kPrefix = "🎙️ MirrinDictationManager: ";

// A mono buffer at 48 kHz whose every sample is `value`: its level is |value| x 10.2, at most 1.
std::shared_ptr<const AudioPCMBuffer> constantBuffer(float value, std::uint32_t channels = 1, std::uint32_t loudChannel = 0) {
    auto b = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, channels), 1024);
    std::fill(b->floatChannelData(loudChannel), b->floatChannelData(loudChannel) + 1024, value);
    b->setFrameLength(1024);
    return b;
}

std::exception_ptr messageError(const std::string& message) { return std::make_exception_ptr(MessageError("Test", message)); }

class Dictation : public testing::Test {
protected:
    VirtualMainLoopScope scope;
    LogCapture log;
    std::shared_ptr<SimulatedAudioEngine> engine = std::make_shared<SimulatedAudioEngine>(AudioFormat::float32Planar(48000, 1));
    std::shared_ptr<SimulatedMediaAuthorization> auth = std::make_shared<SimulatedMediaAuthorization>();
    SimulatedTranscriptionProvider* provider = nullptr;
    std::shared_ptr<MirrinDictationManager> manager;
    std::vector<Task<void>> starts;
    std::vector<std::string> submitted, updated;
    std::vector<bool> busyWhenSubmitted;
    int activations = 0;

    void SetUp() override { makeManager({}); }

    void makeManager(SimulatedTranscriptionProvider::Options options) {
        auto p = std::make_unique<SimulatedTranscriptionProvider>(options);
        provider = p.get();
        MirrinDictationManager::Dependencies d;
        d.transcriptionProvider = std::move(p);
        d.audioEngine = engine;
        d.authorization = auth;
        d.activateApplication = [this] { ++activations; };
        manager = MirrinDictationManager::create(std::move(d));
    }

    void TearDown() override {
        for (auto& s : starts) s.cancel();
        auth->answerMicrophonePrompt(false);
        auth->answerSpeechPrompt(false);
        while (provider && provider->releaseHeldOpening()) {
        }
        manager->cancelDictation(false);
        scope.loop().runUntilIdle();
        manager.reset();
        scope.loop().runUntilIdle();
    }

    MirrinDictationDraftCallbacks callbacks() {
        return {[this](const std::string& s) { updated.push_back(s); },
                [this](const std::string& s) {
                    submitted.push_back(s);
                    busyWhenSubmitted.push_back(manager->isDictationBusy() || *manager->isKeyboardShortcutSessionActiveOrFinalizing());
                }};
    }

    // Starts a chord dictation as the companion does: an empty draft, submission at the end.
    Task<void>& press(std::string draft = "") {
        auto cb = callbacks();
        auto m = manager;
        starts.push_back(startTask([m, draft, cb]() -> Task<void> {
            co_await m->startPushToTalkFromKeyboardShortcut(draft, cb.updateDraftText, cb.submitDraftText);
        }));
        return starts.back();
    }
    void pressAndRecord(std::string draft = "") {
        press(std::move(draft));
        scope.loop().runUntilIdle();
        ASSERT_TRUE(*manager->isRecordingFromKeyboardShortcut());
        ASSERT_FALSE(*manager->isPreparingToRecord());
    }
    void release() { manager->stopPushToTalk(MirrinDictationStartSource::keyboardShortcut); }
    std::shared_ptr<SimulatedTranscriptionSession> session() { return provider->lastSession(); }
    void deliver(std::vector<std::shared_ptr<const AudioPCMBuffer>> buffers) {
        engine->deliver(std::move(buffers));
        ASSERT_TRUE(engine->waitUntilDelivered());
        scope.loop().runUntilIdle();
    }
    bool idle() const {
        return !manager->isDictationBusy() && !*manager->isKeyboardShortcutSessionActiveOrFinalizing() &&
               *manager->currentAudioPowerLevel() == 0.0;
    }
    std::vector<std::string> managerLines() const { return log.linesStartingWith(kPrefix); }
};

struct FlagRecorder {
    std::vector<std::string> entries;
    std::vector<Cancellable> subscriptions;
    void watch(const Published<bool>& flag, const std::string& name) {
        subscriptions.push_back(flag.publisher().sink([this, name](const bool& v) { entries.push_back(name + (v ? "=1" : "=0")); }));
    }
};

}  // namespace

TEST_F(Dictation, AMissingTranscriptionProviderAudioEngineOrAuthorizationIsRefused) {
    for (int missing = 0; missing < 3; ++missing) {
        MirrinDictationManager::Dependencies d;
        if (missing != 0) d.transcriptionProvider = std::make_unique<SimulatedTranscriptionProvider>();
        if (missing != 1) d.audioEngine = engine;
        if (missing != 2) d.authorization = auth;
        EXPECT_THROW(MirrinDictationManager::create(std::move(d)), std::invalid_argument) << missing;
    }
}

TEST_F(Dictation, PublishesTheProvidersNameAndStartsIdle) {
    EXPECT_EQ(*manager->transcriptionProviderDisplayName(), "Simulated");
    EXPECT_TRUE(idle());
    EXPECT_EQ(*manager->recordedAudioPowerHistory(), std::vector<double>(44, 0.02));
    EXPECT_FALSE(manager->lastErrorMessage()->has_value());
}

TEST_F(Dictation, AChordDictationRunsThroughItsFlagsAndLinesInOrder) {
    FlagRecorder flags;
    flags.watch(manager->isPreparingToRecord(), "preparing");
    flags.watch(manager->isRecordingFromMicrophoneButton(), "button");
    flags.watch(manager->isRecordingFromKeyboardShortcut(), "shortcut");
    flags.watch(manager->isKeyboardShortcutSessionActiveOrFinalizing(), "activeOrFinalizing");
    flags.watch(manager->isFinalizingTranscript(), "finalizing");
    flags.entries.clear();  // the current values each subscriber hears first

    pressAndRecord();
    release();
    session()->sendFinalTranscript("hello");
    scope.loop().runUntilIdle();

    EXPECT_EQ(flags.entries, (std::vector<std::string>{
                                 "preparing=1",  // start
                                 "finalizing=0", "button=0", "shortcut=1", "activeOrFinalizing=1",  // set-up
                                 "preparing=0",  // recording
                                 "button=0", "shortcut=0", "finalizing=1",  // release
                                 "preparing=0", "button=0", "shortcut=0", "activeOrFinalizing=0", "finalizing=0",  // reset
                             }));
    EXPECT_EQ(managerLines(), (std::vector<std::string>{
                                  kPrefix + "start requested (keyboardShortcut)",
                                  kPrefix + "opening transcription provider Simulated",
                                  kPrefix + "provider ready, starting audio engine",
                                  kPrefix + "recognition session started",
                                  kPrefix + "stop requested (keyboardShortcut)",
                              }));
    EXPECT_EQ(engine->lastTapBufferSize(), 1024u);
    EXPECT_EQ(engine->lastTapFormat(), engine->inputFormat());
    EXPECT_EQ(engine->startCount.load(), 1);
    EXPECT_EQ(activations, 0);  // nothing to prompt for
}

TEST_F(Dictation, TheStateWalksFromPreparingThroughFinalizingBackToIdle) {
    using S = MirrinDictationState;
    EXPECT_EQ(manager->dictationState(), S::idle);
    provider->holdOpenings(true);
    press();
    scope.loop().runUntilIdle();
    EXPECT_EQ(manager->dictationState(), S::startingSession);
    release();
    EXPECT_EQ(manager->dictationState(), S::finalizingWhileStarting);
    provider->releaseHeldOpening();
    scope.loop().runUntilIdle();
    EXPECT_EQ(manager->dictationState(), S::finalizing);
    EXPECT_FALSE(*manager->isPreparingToRecord());
    session()->sendFinalTranscript("done");
    scope.loop().runUntilIdle();
    EXPECT_EQ(manager->dictationState(), S::idle);
    EXPECT_EQ(submitted, (std::vector<std::string>{"done"}));
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("refused while"), std::string::npos) << line;
}

TEST_F(Dictation, AFallbackThatFinishesBeforeTheSessionOpensEndsThePreparingToo) {
    FlagRecorder flags;
    flags.watch(manager->isPreparingToRecord(), "preparing");
    flags.watch(manager->isFinalizingTranscript(), "finalizing");
    provider->holdOpenings(true);
    press();
    scope.loop().runUntilIdle();
    release();
    flags.entries.clear();
    scope.loop().advance(2.4s);  // no session yet: the fallback for no session
    EXPECT_TRUE(idle());
    EXPECT_EQ(flags.entries, (std::vector<std::string>{"preparing=0", "preparing=0", "finalizing=0"}));
    provider->releaseHeldOpening();
    scope.loop().runUntilIdle();
    EXPECT_TRUE(log.contains(kPrefix + "start request superseded"));
    EXPECT_EQ(session()->cancelCount.load(), 1);
    EXPECT_TRUE(idle());
}

TEST_F(Dictation, TheFinalTranscriptIsSubmittedOnceTrimmedAfterTheReset) {
    pressAndRecord();
    deliver({constantBuffer(0.01f), constantBuffer(0.01f)});
    EXPECT_EQ(session()->appendedBufferCount.load(), 2);
    for (auto id : session()->appendThreads()) EXPECT_EQ(id, engine->deliveryThreadId());
    session()->sendTranscriptUpdate("hello");
    scope.loop().runUntilIdle();
    release();
    EXPECT_EQ(session()->requestFinalTranscriptCount.load(), 1);
    EXPECT_FALSE(engine->isRunning());
    session()->sendFinalTranscript("  hello world \n");
    session()->sendFinalTranscript("hello again");
    scope.loop().runUntilIdle();
    scope.loop().advance(10s);

    EXPECT_EQ(submitted, (std::vector<std::string>{"hello world"}));
    EXPECT_EQ(busyWhenSubmitted, (std::vector<bool>{false}));
    EXPECT_TRUE(updated.empty());
    EXPECT_TRUE(idle());
    EXPECT_EQ(session()->cancelCount.load(), 1);
    EXPECT_EQ(scope.loop().pendingTimerCount(), 0u);
}

TEST_F(Dictation, WithoutAFinalTranscriptTheFallbackFinishesAtExactlyTheSessionsDelay) {
    for (double delay : {1.8, 2.8, 8.0}) {
        manager->cancelDictation(false);
        makeManager({.displayName = "Simulated", .requiresSpeechRecognitionPermission = false, .fallbackDelaySeconds = delay});
        submitted.clear();
        pressAndRecord();
        session()->sendTranscriptUpdate("partial words");
        scope.loop().runUntilIdle();
        release();
        scope.loop().advance(Seconds(delay - 0.001));
        EXPECT_TRUE(*manager->isFinalizingTranscript()) << delay;
        EXPECT_TRUE(submitted.empty()) << delay;
        scope.loop().advance(0.001s);
        EXPECT_EQ(submitted, (std::vector<std::string>{"partial words"})) << delay;
        EXPECT_TRUE(idle()) << delay;
    }
}

TEST_F(Dictation, AFinalTranscriptWhileStillRecordingOnlyWaitsForTheRelease) {
    pressAndRecord();
    session()->sendFinalTranscript("early words");
    scope.loop().runUntilIdle();
    EXPECT_TRUE(*manager->isRecordingFromKeyboardShortcut());
    EXPECT_TRUE(submitted.empty());
    release();
    scope.loop().advance(1.999s);
    EXPECT_TRUE(submitted.empty());
    scope.loop().advance(0.001s);
    EXPECT_EQ(submitted, (std::vector<std::string>{"early words"}));
}

TEST_F(Dictation, AReleaseWhileTheSessionOpensWaitsTheDelayForNoSession) {
    provider->holdOpenings(true);
    press();
    scope.loop().runUntilIdle();
    EXPECT_TRUE(*manager->isPreparingToRecord());
    EXPECT_TRUE(*manager->isRecordingFromKeyboardShortcut());  // set before the session exists
    release();  // the start task is not cancelled
    EXPECT_TRUE(*manager->isFinalizingTranscript());
    provider->releaseHeldOpening();
    scope.loop().runUntilIdle();
    EXPECT_TRUE(log.contains(kPrefix + "recognition session started"));
    session()->sendTranscriptUpdate("late start");
    scope.loop().runUntilIdle();
    scope.loop().advance(2.399s);
    EXPECT_TRUE(*manager->isFinalizingTranscript());
    scope.loop().advance(0.001s);
    EXPECT_TRUE(idle());
    EXPECT_EQ(submitted, (std::vector<std::string>{"late start"}));
    EXPECT_EQ(session()->requestFinalTranscriptCount.load(), 0);
    EXPECT_EQ(session()->cancelCount.load(), 1);
    EXPECT_FALSE(engine->isRunning());
}

TEST_F(Dictation, AReleaseThatCancelsTheStartDuringSessionOpeningLeavesNoFallbackForTheNextDictation) {
    provider->holdOpenings(true);
    Task<void>& first = press();
    scope.loop().runUntilIdle();
    first.cancel();  // the companion cancels the start, then stops
    release();
    provider->releaseHeldOpening();
    scope.loop().runUntilIdle();
    EXPECT_TRUE(log.contains(kPrefix + "start cancelled (shortcut released during session start)"));
    EXPECT_TRUE(idle());
    EXPECT_EQ(session()->cancelCount.load(), 1);
    EXPECT_FALSE(engine->isRunning());

    // The next dictation must not be finished by the first one's 2.4 s fallback.
    provider->holdOpenings(false);
    pressAndRecord();
    session()->sendTranscriptUpdate("second");
    scope.loop().runUntilIdle();
    scope.loop().advance(5.0s);
    EXPECT_TRUE(*manager->isRecordingFromKeyboardShortcut());
    EXPECT_TRUE(submitted.empty());
}

TEST_F(Dictation, CancellingWhileTheSessionOpensLeavesTheMicrophoneOff) {
    provider->holdOpenings(true);
    press();
    scope.loop().runUntilIdle();
    manager->cancelDictation(false);
    EXPECT_TRUE(idle());
    provider->releaseHeldOpening();
    scope.loop().runUntilIdle();
    EXPECT_TRUE(idle());
    EXPECT_FALSE(engine->isRunning());
    EXPECT_EQ(engine->startCount.load(), 0);
    EXPECT_EQ(session()->cancelCount.load(), 1);  // the session opened too late is closed again
    EXPECT_TRUE(log.contains(kPrefix + "start request superseded"));
    EXPECT_FALSE(log.contains(kPrefix + "recognition session started"));
}

TEST_F(Dictation, ReleasingDuringThePermissionPromptGivesUpTheStart) {
    struct Case {
        bool cancelStart;
        std::string line;
    } cases[] = {{true, kPrefix + "start cancelled (shortcut released during permission check)"},
                 {false, kPrefix + "start request superseded"}};
    for (const auto& c : cases) {
        auth->microphoneStatus = MediaAuthorizationStatus::notDetermined;
        log.clear();
        activations = 0;
        Task<void>& start = press();
        scope.loop().runUntilIdle();
        EXPECT_EQ(managerLines(),
                  (std::vector<std::string>{kPrefix + "start requested (keyboardShortcut)", kPrefix + "requesting initial permissions"}));
        EXPECT_EQ(activations, 1);
        EXPECT_FALSE(*manager->isPreparingToRecord());  // still in the short wait before asking
        scope.loop().advance(0.2s);
        EXPECT_TRUE(*manager->isPreparingToRecord());
        ASSERT_TRUE(auth->hasOpenMicrophonePrompt());
        if (c.cancelStart) start.cancel();
        release();
        auth->answerMicrophonePrompt(true);
        scope.loop().runUntilIdle();
        EXPECT_TRUE(log.contains(c.line)) << c.line;
        EXPECT_TRUE(idle());
        EXPECT_EQ(provider->startCount(), 0);
        scope.loop().advance(2.0s);  // out of the window in which a new request would not prompt
    }
}

TEST_F(Dictation, AReleaseDuringTheShortWaitBeforeThePromptIsNoticedAfterIt) {
    auth->microphoneStatus = MediaAuthorizationStatus::notDetermined;
    Task<void>& start = press();
    scope.loop().advance(0.1s);
    start.cancel();  // the cancelled wait is ignored; the prompt still comes
    scope.loop().runUntilIdle();
    ASSERT_TRUE(auth->hasOpenMicrophonePrompt());
    auth->answerMicrophonePrompt(true);
    scope.loop().runUntilIdle();
    EXPECT_TRUE(log.contains(kPrefix + "start cancelled (shortcut released during permission check)"));
    EXPECT_TRUE(idle());
    EXPECT_EQ(provider->startCount(), 0);
}

TEST_F(Dictation, DeniedPermissionsEndTheStartWithTheirMessageAndProblem) {
    struct Case {
        MediaAuthorizationStatus microphone, speech;
        bool providerNeedsSpeech;
        std::optional<std::string> message;
        std::optional<MirrinDictationPermissionProblem> problem;
    } cases[] = {
        {MediaAuthorizationStatus::denied, MediaAuthorizationStatus::authorized, false,
         "microphone permission is required for push to talk.", MirrinDictationPermissionProblem::microphoneAccessDenied},
        {MediaAuthorizationStatus::restricted, MediaAuthorizationStatus::authorized, true,
         "microphone permission is required for push to talk.", MirrinDictationPermissionProblem::microphoneAccessDenied},
        {MediaAuthorizationStatus::authorized, MediaAuthorizationStatus::denied, true,
         "speech recognition permission is required for push to talk.", MirrinDictationPermissionProblem::speechRecognitionDenied},
        {MediaAuthorizationStatus::authorized, MediaAuthorizationStatus::denied, false, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        manager->cancelDictation(false);
        makeManager({.displayName = "Simulated", .requiresSpeechRecognitionPermission = c.providerNeedsSpeech});
        auth->microphoneStatus = c.microphone;
        auth->speechStatus = c.speech;
        log.clear();
        press();
        scope.loop().runUntilIdle();
        EXPECT_EQ(*manager->lastErrorMessage(), c.message);
        EXPECT_EQ(*manager->currentPermissionProblem(), c.problem);
        EXPECT_EQ(log.contains(kPrefix + "permissions missing or denied"), c.message.has_value());
        EXPECT_EQ(*manager->isRecordingFromKeyboardShortcut(), !c.message.has_value());
        EXPECT_EQ(auth->microphonePrompts.load() + auth->speechPrompts.load(), 0);
    }
}

TEST_F(Dictation, APermissionRequestWithinOneSecondOfTheLastDoesNotPromptAgain) {
    auth->microphoneStatus = MediaAuthorizationStatus::notDetermined;
    auth->scriptMicrophoneAnswer(true);
    press();
    scope.loop().advance(0.2s);
    EXPECT_EQ(auth->microphonePrompts.load(), 1);
    manager->cancelDictation(false);

    // The status reads undetermined again (the prompt did not stick), 0.5 s later.
    auth->microphoneStatus = MediaAuthorizationStatus::notDetermined;
    scope.loop().advance(0.3s);
    press();
    scope.loop().advance(0.2s);
    EXPECT_EQ(auth->microphonePrompts.load(), 1);
    EXPECT_TRUE(*manager->isRecordingFromKeyboardShortcut());  // not denied: the start goes on
    manager->cancelDictation(false);

    scope.loop().advance(1.0s);
    press();
    scope.loop().advance(0.2s);
    EXPECT_EQ(auth->microphonePrompts.load(), 2);
}

TEST_F(Dictation, ConcurrentStartsShareOnePromptAndTheLaterOneWins) {
    auth->microphoneStatus = MediaAuthorizationStatus::notDetermined;
    press();
    press();  // both are still in the short wait, so neither is busy yet
    scope.loop().runUntilIdle();
    scope.loop().advance(0.2s);
    EXPECT_EQ(auth->microphonePrompts.load(), 1);
    auth->answerMicrophonePrompt(true);
    scope.loop().runUntilIdle();
    EXPECT_TRUE(log.contains(kPrefix + "start request superseded"));
    EXPECT_TRUE(*manager->isRecordingFromKeyboardShortcut());
    EXPECT_EQ(provider->startCount(), 1);
}

TEST_F(Dictation, CallbacksOfASessionThatIsNoLongerActiveChangeNothing) {
    pressAndRecord();
    auto old = session();
    old->sendTranscriptUpdate("old words");
    scope.loop().runUntilIdle();
    manager->cancelDictation(false);
    EXPECT_EQ(old->cancelCount.load(), 1);

    pressAndRecord();
    auto current = session();
    ASSERT_NE(current, old);
    old->sendError("the old connection closed");
    old->sendTranscriptUpdate("stale words");
    old->sendFinalTranscript("stale final");
    scope.loop().runUntilIdle();
    EXPECT_TRUE(*manager->isRecordingFromKeyboardShortcut());
    EXPECT_FALSE(manager->lastErrorMessage()->has_value());
    EXPECT_TRUE(log.linesStartingWith("❌").empty());

    current->sendTranscriptUpdate("fresh words");
    scope.loop().runUntilIdle();
    release();
    old->sendFinalTranscript("stale final");
    scope.loop().runUntilIdle();
    EXPECT_TRUE(*manager->isFinalizingTranscript());
    current->sendFinalTranscript("fresh words");
    scope.loop().runUntilIdle();
    EXPECT_EQ(submitted, (std::vector<std::string>{"fresh words"}));

    // A late error of the finished session, while idle, touches nothing either.
    current->sendError("closed after the end");
    scope.loop().runUntilIdle();
    EXPECT_FALSE(manager->lastErrorMessage()->has_value());
}

TEST_F(Dictation, AMissingAudioInputIsToldApartFromADenial) {
    struct Case {
        AudioInputAvailability input;
        const char* line;
        const char* message;
    } cases[] = {
        {AudioInputAvailability::noSoundServer, "no audio input source (no sound server)", "no microphone is available."},
        {AudioInputAvailability::noCaptureDevice, "no audio input source (no capture device)", "no microphone is available."},
        {AudioInputAvailability::available, "permissions missing or denied", "microphone permission is required for push to talk."},
    };
    for (const auto& c : cases) {
        manager->cancelDictation(false);
        makeManager({.displayName = "Simulated"});
        auth->microphoneStatus = MediaAuthorizationStatus::denied;
        auth->inputAvailability = c.input;
        log.clear();
        press();
        scope.loop().runUntilIdle();
        EXPECT_EQ(managerLines(), (std::vector<std::string>{kPrefix + "start requested (keyboardShortcut)", kPrefix + c.line}));
        EXPECT_EQ(*manager->lastErrorMessage(), std::optional<std::string>(c.message));
        EXPECT_TRUE(idle());
    }
}

TEST_F(Dictation, AnAudioInputThatFailsWhileRecordingFailsTheDictationWithOneLine) {
    pressAndRecord();
    ASSERT_TRUE(engine->failWhileRunning("the sound server went away while recording: Connection terminated"));
    scope.loop().runUntilIdle();
    EXPECT_EQ(log.linesStartingWith("❌ MirrinDictationManager: audio input failed: ").size(), 1u);
    EXPECT_TRUE(
        log.contains("❌ MirrinDictationManager: audio input failed: Error Domain=SimulatedAudioEngine Code=2 "
                     "\"the sound server went away while recording: Connection terminated\""));
    EXPECT_EQ(*manager->lastErrorMessage(),
              std::optional<std::string>("the sound server went away while recording: Connection terminated"));
    EXPECT_EQ(session()->cancelCount.load(), 1);
    EXPECT_TRUE(idle());
    // The release that follows does nothing more.
    log.clear();
    release();
    scope.loop().runUntilIdle();
    EXPECT_TRUE(managerLines().empty());
    pressAndRecord();  // ready for the next one
}

TEST_F(Dictation, AnEngineThatFailsToStartCancelsTheOpenSession) {
    engine->setStartFailure("the microphone is busy");
    press();
    scope.loop().runUntilIdle();
    EXPECT_EQ(*manager->lastErrorMessage(), std::optional<std::string>("the microphone is busy"));
    EXPECT_TRUE(
        log.contains("❌ MirrinDictationManager: failed to start recognition session (Simulated): "
                     "Error Domain=SimulatedAudioEngine Code=1 \"the microphone is busy\""));
    ASSERT_TRUE(session());
    EXPECT_EQ(session()->cancelCount.load(), 1);
    EXPECT_TRUE(idle());
    EXPECT_GE(engine->removeTapCount.load(), 2);  // before installing, and after the failure

    engine->setStartFailure(std::nullopt);
    pressAndRecord();  // ready for the next start
    EXPECT_FALSE(manager->lastErrorMessage()->has_value());
}

TEST_F(Dictation, ASessionThatCannotOpenShowsItsErrorOrTheFallback) {
    struct Case {
        std::exception_ptr error;
        std::string message;
        std::string line;
    } cases[] = {
        {messageError("AssemblyAI is not configured."), "AssemblyAI is not configured.",
         "❌ MirrinDictationManager: failed to start recognition session (Simulated): AssemblyAI is not configured."},
        {messageError("  "), "couldn't start voice input. try again.",
         "❌ MirrinDictationManager: failed to start recognition session (Simulated):   "},
        {std::make_exception_ptr(std::runtime_error("The operation couldn\u2019t be completed.")), "couldn't start voice input. try again.",
         "❌ MirrinDictationManager: failed to start recognition session (Simulated): The operation couldn\u2019t be completed."},
    };
    for (const auto& c : cases) {
        log.clear();
        provider->failNextStart(c.error);
        press();
        scope.loop().runUntilIdle();
        EXPECT_EQ(*manager->lastErrorMessage(), std::optional<std::string>(c.message));
        EXPECT_EQ(log.linesStartingWith("❌"), (std::vector<std::string>{c.line}));
        EXPECT_TRUE(idle());
        EXPECT_EQ(engine->startCount.load(), 0);
    }
}

TEST_F(Dictation, TranscriptionErrorsCancelUnlessPartialTextCanStandIn) {
    struct Case {
        bool released;
        std::string partial;
        std::string errorText;
        std::vector<std::string> submitted;
        std::optional<std::string> message;
    } cases[] = {
        {false, "some words", "socket closed", {}, "socket closed"},
        {true, "some words", "socket closed", {"some words"}, std::nullopt},
        {true, "   ", "socket closed", {}, "socket closed"},
        {true, "", "", {}, "couldn't transcribe that. try again."},
    };
    for (const auto& c : cases) {
        submitted.clear();
        log.clear();
        pressAndRecord();
        if (!c.partial.empty()) session()->sendTranscriptUpdate(c.partial);
        scope.loop().runUntilIdle();
        if (c.released) release();
        session()->sendError(c.errorText);
        scope.loop().runUntilIdle();
        EXPECT_EQ(submitted, c.submitted) << c.errorText;
        EXPECT_EQ(*manager->lastErrorMessage(), c.message) << c.errorText;
        EXPECT_EQ(log.contains("❌ Mirrin dictation error (Simulated): " + c.errorText), c.message.has_value());
        EXPECT_TRUE(idle());
        EXPECT_EQ(session()->cancelCount.load(), 1);
        EXPECT_TRUE(updated.empty());
    }
}

TEST_F(Dictation, TheLevelRisesAtOnceAndDecaysByTheFactorPerBuffer) {
    pressAndRecord();
    deliver({constantBuffer(0.0f), constantBuffer(0.0f)});
    EXPECT_EQ(*manager->currentAudioPowerLevel(), 0.0);
    EXPECT_EQ(*manager->recordedAudioPowerHistory(), std::vector<double>(44, 0.02));  // silence samples at the floor

    deliver({constantBuffer(0.5f)});  // 0.5 x 10.2 is clamped to 1
    EXPECT_EQ(*manager->currentAudioPowerLevel(), 1.0);
    double expected = 1.0;
    for (int i = 0; i < 3; ++i) {
        deliver({constantBuffer(0.0f)});
        expected *= 0.72;
        EXPECT_DOUBLE_EQ(*manager->currentAudioPowerLevel(), expected);
    }
    deliver({constantBuffer(0.05f)});  // 0.51 beats 0.72 x 0.373
    EXPECT_NEAR(*manager->currentAudioPowerLevel(), 0.05 * 10.2, 1e-5);
    deliver({constantBuffer(0.9f, 2, 1)});  // only channel 0 is measured
    EXPECT_NEAR(*manager->currentAudioPowerLevel(), 0.72 * 0.05 * 10.2, 1e-5);
}

TEST_F(Dictation, TheHistorySamplesAtMostEverySeventyMillisecondsAndKeepsFortyFour) {
    pressAndRecord();
    deliver({constantBuffer(0.05f)});  // the first buffer is always sampled
    auto history = *manager->recordedAudioPowerHistory();
    ASSERT_EQ(history.size(), 44u);
    EXPECT_NEAR(history.back(), 0.51, 1e-5);
    EXPECT_EQ(history[42], 0.02);

    deliver({constantBuffer(0.08f), constantBuffer(0.08f)});  // within 0.07 s: not sampled
    EXPECT_NEAR(manager->recordedAudioPowerHistory()->back(), 0.51, 1e-5);
    scope.loop().advance(0.069s);
    deliver({constantBuffer(0.08f)});
    EXPECT_NEAR(manager->recordedAudioPowerHistory()->back(), 0.51, 1e-5);
    scope.loop().advance(0.001s);
    deliver({constantBuffer(0.0f)});  // the unsmoothed level, at least the floor
    EXPECT_EQ(manager->recordedAudioPowerHistory()->back(), 0.02);
    EXPECT_NEAR((*manager->recordedAudioPowerHistory())[42], 0.51, 1e-5);

    for (int i = 0; i < 50; ++i) {
        scope.loop().advance(0.08s);
        deliver({constantBuffer(0.05f)});
    }
    EXPECT_EQ(manager->recordedAudioPowerHistory()->size(), 44u);
    for (double v : *manager->recordedAudioPowerHistory()) EXPECT_NEAR(v, 0.51, 1e-5);

    release();
    session()->sendFinalTranscript("");
    scope.loop().runUntilIdle();
    EXPECT_EQ(*manager->recordedAudioPowerHistory(), std::vector<double>(44, 0.02));  // reset
}

TEST(MirrinDictationManagerKeyterms, MergesContextualHintsAfterTheBuiltInOnes) {
    const auto& builtIn = MirrinDictationManager::builtInKeyterms();
    ASSERT_EQ(builtIn, (std::vector<std::string>{"tinkerloom", "Korvale", "Codex", "Claude", "Anthropic", "OpenAI", "SwiftUI", "Xcode",
                                                 "Vercel", "Next.js", "localhost"}));
    struct Case {
        std::vector<std::string> contextual;
        std::vector<std::string> added;
    } cases[] = {
        {{}, {}},
        {{" claude "}, {}},
        {{"VERCEL", "next.JS"}, {}},
        {{"  Supabase\n"}, {"Supabase"}},
        {{"", "   ", "\t"}, {}},
        {{"supabase", "SUPABASE", "Postgres"}, {"supabase", "Postgres"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> expected = builtIn;
        expected.insert(expected.end(), c.added.begin(), c.added.end());
        EXPECT_EQ(MirrinDictationManager::mergeKeyterms(builtIn, c.contextual), expected);
    }
    EXPECT_EQ(MirrinDictationManager::mergeKeyterms({" a ", "A", "b"}, {}), (std::vector<std::string>{"a", "b"}));
}

TEST_F(Dictation, TheSessionReceivesTheMergedKeyterms) {
    manager->contextualKeyterms = {" Supabase ", "xcode"};
    pressAndRecord();
    auto expected = MirrinDictationManager::builtInKeyterms();
    expected.push_back("Supabase");
    EXPECT_EQ(session()->keyterms(), expected);
}

TEST(MirrinDictationManagerDrafts, ComposesTheTranscriptIntoTheEarlierDraft) {
    struct Case {
        std::string draft, transcript, composed;
    } cases[] = {
        {"", "  hello world \n", "hello world"},
        {"Note", " hello ", "Note hello"},
        {"Note ", "hello", "Note hello"},
        {"Note\n", "hello", "Note\nhello"},
        {"Note\t", "hello", "Note\t hello"},
        {"   ", "hello", "hello"},
        {"Note", "", "Note"},
        {" Note ", "  \n ", " Note "},
        {"", "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MirrinDictationManager::composeDraftText(c.draft, c.transcript), c.composed) << "'" << c.draft << "'";
}

TEST_F(Dictation, ADraftWithTextIsUpdatedInsteadOfSubmitted) {
    pressAndRecord("Note");
    release();
    session()->sendFinalTranscript(" more ");
    scope.loop().runUntilIdle();
    EXPECT_EQ(updated, (std::vector<std::string>{"Note more"}));
    EXPECT_TRUE(submitted.empty());
}

TEST_F(Dictation, ABlankTranscriptCallsNeitherCallback) {
    for (const char* transcript : {"", "  \n"}) {
        pressAndRecord();
        release();
        session()->sendFinalTranscript(transcript);
        scope.loop().runUntilIdle();
        EXPECT_TRUE(idle());
    }
    EXPECT_TRUE(submitted.empty());
    EXPECT_TRUE(updated.empty());
}

TEST(MirrinDictationManagerMessages, UsesTheErrorsOwnTextElseTheFallback) {
    const std::string fallback = "couldn't transcribe that. try again.";
    struct Case {
        std::exception_ptr error;
        std::string message;
    } cases[] = {
        {std::make_exception_ptr(Error("Net", 7, "  the network is down \n")), "the network is down"},
        {std::make_exception_ptr(MessageError("Net", "")), fallback},
        {std::make_exception_ptr(MessageError("Net", " \t")), fallback},
        {std::make_exception_ptr(std::runtime_error("The operation couldn\u2019t be completed.")), fallback},
        {std::make_exception_ptr(std::runtime_error("The operation couldn't be completed.")),
         "The operation couldn't be completed."},  // only the typographic apostrophe is the generic text
        {std::make_exception_ptr(std::runtime_error(" disk full ")), "disk full"},
        {std::make_exception_ptr(std::runtime_error("")), fallback},
        {std::make_exception_ptr(42), fallback},
        {nullptr, fallback},
    };
    for (const auto& c : cases) EXPECT_EQ(MirrinDictationManager::userFacingErrorMessage(c.error, fallback), c.message);
}

TEST_F(Dictation, AStartWhileBusyIsIgnoredWithoutALine) {
    pressAndRecord();
    log.clear();
    press();
    scope.loop().runUntilIdle();
    release();
    log.clear();
    press();
    scope.loop().runUntilIdle();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(provider->startCount(), 1);
}

TEST_F(Dictation, StopForAnotherSourceOnlyClearsPreparingAndASecondStopDoesNothing) {
    pressAndRecord();
    manager->stopPushToTalk(MirrinDictationStartSource::microphoneButton);
    EXPECT_TRUE(*manager->isRecordingFromKeyboardShortcut());
    EXPECT_EQ(session()->requestFinalTranscriptCount.load(), 0);
    release();
    log.clear();
    release();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(session()->requestFinalTranscriptCount.load(), 1);
    scope.loop().advance(1.999s);
    EXPECT_TRUE(*manager->isFinalizingTranscript());  // the fallback was not restarted
    scope.loop().advance(0.001s);
    EXPECT_TRUE(idle());
}

TEST_F(Dictation, CancelKeepsThePartialTranscriptOnlyWhenAsked) {
    for (bool keep : {true, false}) {
        updated.clear();
        pressAndRecord("Draft");
        session()->sendTranscriptUpdate("partial");
        scope.loop().runUntilIdle();
        manager->cancelDictation(keep);
        EXPECT_EQ(updated, keep ? std::vector<std::string>{"Draft partial"} : std::vector<std::string>{});
        EXPECT_TRUE(idle());
        EXPECT_EQ(session()->cancelCount.load(), 1);
        EXPECT_FALSE(engine->isRunning());
    }
    EXPECT_TRUE(submitted.empty());

    // When idle, cancel changes nothing.
    FlagRecorder flags;
    flags.watch(manager->isPreparingToRecord(), "preparing");
    flags.entries.clear();
    manager->cancelDictation(true);
    EXPECT_TRUE(flags.entries.empty());
    EXPECT_TRUE(updated.empty());
}

TEST_F(Dictation, AMicrophoneButtonDictationRecordsItsStartTime) {
    auto m = manager;
    auto cb = callbacks();
    starts.push_back(
        startTask([m, cb]() -> Task<void> { co_await m->startDictation(MirrinDictationStartSource::microphoneButton, "", cb, true); }));
    scope.loop().runUntilIdle();
    EXPECT_TRUE(*manager->isRecordingFromMicrophoneButton());
    EXPECT_FALSE(*manager->isKeyboardShortcutSessionActiveOrFinalizing());
    EXPECT_TRUE(manager->microphoneButtonRecordingStartedAt()->has_value());
    release();  // the chord did not start it
    EXPECT_TRUE(*manager->isRecordingFromMicrophoneButton());
    manager->stopPushToTalk(MirrinDictationStartSource::microphoneButton);
    EXPECT_TRUE(log.contains(kPrefix + "stop requested (microphoneButton)"));
    session()->sendFinalTranscript("button words");
    scope.loop().runUntilIdle();
    EXPECT_EQ(submitted, (std::vector<std::string>{"button words"}));
    EXPECT_FALSE(manager->microphoneButtonRecordingStartedAt()->has_value());
}

TEST_F(Dictation, ObjectWillChangeIsAnnouncedBeforeEachChange) {
    std::vector<bool> recordingWhenAnnounced;
    Cancellable sub = manager->objectWillChange().publisher().sink(
        [&](const bool&) { recordingWhenAnnounced.push_back(*manager->isRecordingFromKeyboardShortcut()); });
    pressAndRecord();
    ASSERT_FALSE(recordingWhenAnnounced.empty());
    EXPECT_FALSE(recordingWhenAnnounced.front());  // heard before the first flag took its value
}
