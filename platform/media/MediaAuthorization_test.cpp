#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/media/MediaAuthorization.h"
#include "platform/media/PocketSphinxSpeechRecognizer.h"
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

TEST(LinuxMediaAuthorization, MicrophoneFollowsTheSoundServersCaptureSources) {
    velmo::testing::PulseAudioServer pulse("velmo_auth_sink");
    ASSERT_TRUE(pulse.isRunning()) << pulse.failure();
    LinuxMediaAuthorization auth;

    pulse.exportToEnvironment();
    EXPECT_EQ(auth.microphoneAuthorizationStatus(), MediaAuthorizationStatus::authorized);
    std::optional<bool> granted;
    auth.requestMicrophoneAccess([&](bool g) { granted = g; });
    EXPECT_EQ(granted, true);

    setenv("PULSE_SERVER", "unix:/nonexistent/velmo-no-server", 1);
    EXPECT_EQ(auth.microphoneAuthorizationStatus(), MediaAuthorizationStatus::denied);
    auth.requestMicrophoneAccess([&](bool g) { granted = g; });
    EXPECT_EQ(granted, false);
}

TEST(LinuxMediaAuthorization, SpeechRecognitionFollowsTheInstalledModel) {
    LinuxMediaAuthorization auth;
    auto expected = PocketSphinxSpeechRecognizer::isModelInstalled() ? MediaAuthorizationStatus::authorized
                                                                      : MediaAuthorizationStatus::denied;
    EXPECT_EQ(auth.speechRecognitionAuthorizationStatus(), expected);
    std::optional<MediaAuthorizationStatus> answer;
    auth.requestSpeechRecognitionAuthorization([&](MediaAuthorizationStatus s) { answer = s; });
    EXPECT_EQ(answer, expected);
}
