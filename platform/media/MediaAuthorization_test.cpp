#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "platform/media/MediaAuthorization.h"
#include "platform/media/SimulatedMediaAuthorization.h"
#include "platform/media/PocketSphinxSpeechRecognizer.h"
#include "platform/media/PulseAudioSourceMonitor.h"
#include "testing/BlockingQueue.h"
#include "testing/EnvironmentVariable.h"
#include "testing/PulseAudioServer.h"

using namespace velmo;

TEST(SimulatedMediaAuthorization, ScriptedAnswersSetTheStatusAndCountPrompts) {
    struct Case {
        bool granted;
        MediaAuthorizationStatus status;
    } cases[] = {{true, MediaAuthorizationStatus::authorized}, {false, MediaAuthorizationStatus::denied}};
    for (const auto& c : cases) {
        SimulatedMediaAuthorization auth;
        auth.microphoneStatus = MediaAuthorizationStatus::notDetermined;
        auth.speechStatus = MediaAuthorizationStatus::notDetermined;
        auth.scriptMicrophoneAnswer(c.granted);
        auth.scriptSpeechAnswer(c.granted);
        std::optional<bool> micAnswer;
        std::optional<MediaAuthorizationStatus> speechAnswer;
        auth.requestMicrophoneAccess([&](bool g) { micAnswer = g; });
        auth.requestSpeechRecognitionAuthorization([&](MediaAuthorizationStatus s) { speechAnswer = s; });
        EXPECT_EQ(micAnswer, c.granted);
        EXPECT_EQ(speechAnswer, c.status);
        EXPECT_EQ(auth.microphoneAuthorizationStatus(), c.status);
        EXPECT_EQ(auth.speechRecognitionAuthorizationStatus(), c.status);
        EXPECT_EQ(auth.microphonePrompts.load(), 1);
        EXPECT_EQ(auth.speechPrompts.load(), 1);
    }
}

TEST(SimulatedMediaAuthorization, UnscriptedPromptStaysOpenUntilAnswered) {
    SimulatedMediaAuthorization auth;
    auth.microphoneStatus = MediaAuthorizationStatus::notDetermined;
    std::optional<bool> answer;
    auth.requestMicrophoneAccess([&](bool g) { answer = g; });
    EXPECT_FALSE(answer);
    EXPECT_TRUE(auth.hasOpenMicrophonePrompt());
    EXPECT_EQ(auth.microphoneAuthorizationStatus(), MediaAuthorizationStatus::notDetermined);
    EXPECT_TRUE(auth.answerMicrophonePrompt(false));
    EXPECT_EQ(answer, false);
    EXPECT_EQ(auth.microphoneAuthorizationStatus(), MediaAuthorizationStatus::denied);
    EXPECT_FALSE(auth.answerMicrophonePrompt(true));  // nothing open any more
    EXPECT_FALSE(auth.answerSpeechPrompt(true));
}

TEST(LinuxMediaAuthorization, MicrophoneFollowsTheSoundServersCaptureSourcesFromACache) {
    using State = PulseAudioSourceMonitor::State;
    using namespace std::chrono_literals;
    auto pulse = std::make_unique<velmo::test::PulseAudioServer>("velmo_auth_sink");
    ASSERT_TRUE(pulse->isRunning()) << pulse->failure();
    pulse->exportToEnvironment();
    auto monitor = std::make_shared<PulseAudioSourceMonitor>();
    LinuxMediaAuthorization auth(monitor);
    EXPECT_TRUE(auth.announcesMicrophoneChanges());
    auto announced = std::make_shared<velmo::test::BlockingQueue<MediaAuthorizationStatus>>();
    Cancellable observed = auth.observeMicrophoneChanges([&auth, announced] { announced->push(auth.microphoneAuthorizationStatus()); });
    // A request made before the server first answered is answered once it has.
    auto granted = std::make_shared<velmo::test::BlockingQueue<bool>>();
    auth.requestMicrophoneAccess([granted](bool g) { granted->push(g); });
    EXPECT_EQ(granted->pop(), std::optional<bool>(true));
    ASSERT_TRUE(monitor->waitUntil([](const auto& s) { return s.state == State::available; }, 5s));
    EXPECT_EQ(auth.microphoneAuthorizationStatus(), MediaAuthorizationStatus::authorized);
    EXPECT_EQ(auth.audioInputAvailability(), AudioInputAvailability::available);
    EXPECT_EQ(monitor->snapshot().source("velmo_auth_sink.monitor")->name, "velmo_auth_sink.monitor");
    EXPECT_EQ(announced->pop(), MediaAuthorizationStatus::authorized);

    // The subscription hears the capture device go.
    ASSERT_EQ(std::system("pactl unload-module module-null-sink >/dev/null 2>&1"), 0);
    ASSERT_TRUE(monitor->waitUntil([](const auto& s) { return s.state == State::noSource; }, 5s));
    EXPECT_EQ(auth.microphoneAuthorizationStatus(), MediaAuthorizationStatus::denied);
    EXPECT_EQ(auth.audioInputAvailability(), AudioInputAvailability::noCaptureDevice);
    EXPECT_EQ(announced->pop(), MediaAuthorizationStatus::denied);

    // And the server go.
    pulse.reset();
    ASSERT_TRUE(monitor->waitUntil([](const auto& s) { return s.state == State::noServer; }, 5s));
    EXPECT_EQ(auth.microphoneAuthorizationStatus(), MediaAuthorizationStatus::denied);
    EXPECT_EQ(auth.audioInputAvailability(), AudioInputAvailability::noSoundServer);
    // Each change of state is announced once; the retries of a server that stays away are not.
    EXPECT_EQ(announced->pop(), MediaAuthorizationStatus::denied);
    EXPECT_FALSE(announced->pop(2.5s).has_value());
    auth.requestMicrophoneAccess([granted](bool g) { granted->push(g); });
    EXPECT_EQ(granted->pop(), std::optional<bool>(false));
}

TEST(LinuxMediaAuthorization, WithNoSoundServerTheCheckNeverWaits) {
    using namespace std::chrono_literals;
    velmo::test::EnvironmentVariable server("PULSE_SERVER", "unix:/nonexistent/velmo-no-server");
    auto monitor = std::make_shared<PulseAudioSourceMonitor>();
    LinuxMediaAuthorization auth(monitor);
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) auth.microphoneAuthorizationStatus();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 50ms);
    ASSERT_TRUE(monitor->waitUntilSettled(5s));
    EXPECT_EQ(auth.microphoneAuthorizationStatus(), MediaAuthorizationStatus::denied);
    EXPECT_EQ(auth.audioInputAvailability(), AudioInputAvailability::noSoundServer);
}

TEST(LinuxMediaAuthorization, SpeechRecognitionFollowsTheInstalledModel) {
    LinuxMediaAuthorization auth(std::make_shared<PulseAudioSourceMonitor>(std::chrono::milliseconds(100)));
    auto expected =
        PocketSphinxSpeechRecognizer::isModelInstalled() ? MediaAuthorizationStatus::authorized : MediaAuthorizationStatus::denied;
    EXPECT_EQ(auth.speechRecognitionAuthorizationStatus(), expected);
    std::optional<MediaAuthorizationStatus> answer;
    auth.requestSpeechRecognitionAuthorization([&](MediaAuthorizationStatus s) { answer = s; });
    EXPECT_EQ(answer, expected);
}
