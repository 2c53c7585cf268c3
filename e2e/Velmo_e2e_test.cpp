// The spoken loop end to end on an X11 desktop: the real start-up path, the real chord monitor
// on Xvfb driven by XTest, the real dictation manager and platform recogniser (pocketsphinx) fed
// an espeak-ng utterance by the simulated audio engine, the real X11 screen capture, and the
// messages and speech services on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "RideZav/RideZavTesting.h"
#include "interface/CompanionAppDelegate.h"
#include "interface/VelmoComposition.h"
#include "platform/desktop/LoginItem.h"
#include "platform/desktop/SimulatedLoginItem.h"
#include "platform/desktop/Permissions.h"
#include "platform/desktop/X11KeyEventTap.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/base/OriginOverride.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/MediaAuthorization.h"
#include "platform/media/SimulatedMediaAuthorization.h"
#include "platform/media/SimulatedAudioEngine.h"
#include "platform/media/SimulatedAudioPlayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "e2e/HostedServicesTesting.h"
#include "testing/LoopbackHttpServer.h"
#include "testing/SpokenPhrase.h"
#include "testing/XTestKeyboard.h"
#include "testing/XvfbServer.h"
#include "voice/AppleSpeechTranscriptionProvider.h"
#include "voice/MirrinDictationManager.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::LoopbackAnswer;
using json = nlohmann::json;

TEST(VelmoEndToEnd, HoldingTheChordAndSpeakingGivesASpokenAnswer) {
    std::string why;
    auto phrase = velmo::test::speakPhrase("hello world. please call my mother tomorrow.", &why);
    ASSERT_TRUE(phrase.has_value()) << why;
    velmo::test::XvfbServer x("1280x800x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    setenv("DISPLAY", x.display().c_str(), 1);

    ScreenLayerScope screens(std::make_shared<X11ScreenLayer>());  // closed before the server goes
    // The real key tap and permission checks, as main installs them.
    DesktopPermissions::install(std::make_shared<X11DesktopPermissions>());
    KeyEventTapFactory::install(std::make_shared<X11KeyEventTapFactory>());
    VirtualMainLoopScope loopScope;
    auto& loop = loopScope.loop();
    UserDefaults::Scope defaults;
    UserDefaults::standard().setBool("hasScreenContentPermission", true);
    auto authorization = std::make_shared<SimulatedMediaAuthorization>();
    MediaAuthorization::install(authorization);
    LoginItemService::install(std::make_shared<SimulatedLoginItem>());
    auto players = std::make_shared<SimulatedAudioPlayerFactory>();
    AudioPlayerFactory::install(players);
    ridezav::RideZavEventRecorder events;
    LogCapture log;

    velmo::test::TestDirectory bundleDir;
    bundleDir.write("Velmo.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
        <key>CFBundleShortVersionString</key><string>1.0.0</string>
        <key>AnthropicAPIKey</key><string>sk-e2e</string>
        <key>ElevenLabsVoiceID</key><string>voice-e2e</string></dict></plist>)");
    Bundle::Scope bundle(bundleDir / "Velmo.app");

    velmo::test::ScriptedMessagesAndSpeech services("it is up top");
    auto& messages = services.messages;
    auto& speech = services.speech;

    auto engine = std::make_shared<SimulatedAudioEngine>(AudioFormat::float32Planar(phrase->sampleRate, 1));
    MirrinDictationManager::Dependencies voice;
    voice.transcriptionProvider = std::make_unique<AppleSpeechTranscriptionProvider>();
    voice.audioEngine = engine;
    voice.authorization = authorization;
    auto dictation = MirrinDictationManager::create(std::move(voice));

    {
        // The real parts but the microphone.
        auto deps = makeVelmoDelegateDependencies(VelmoConfiguration::read(), dictation, StatusBarDesktop::current(), nullptr);
        CompanionAppDelegate delegate(std::move(deps));
        delegate.applicationDidFinishLaunching();
        auto companion = delegate.companionManager();
        ASSERT_TRUE(companion->hasAccessibilityPermission()) << "the X11 key tap needs XInput2 on the display";

        velmo::test::XTestKeyboard keyboard(x.display());
        ASSERT_TRUE(keyboard.isOpen());
        ASSERT_TRUE(keyboard.press("Control_L"));
        ASSERT_TRUE(keyboard.press("Alt_L"));
        ASSERT_TRUE(loop.runUntil(
            [&] { return dictation->isRecordingFromKeyboardShortcut().get() && !dictation->isPreparingToRecord().get(); }, 20s));
        EXPECT_EQ(companion->voiceState().get(), CompanionVoiceState::listening);

        engine->deliver(phrase->floatBuffers());
        ASSERT_TRUE(engine->waitUntilDelivered(20));
        loop.runUntilIdle();

        auto released = std::chrono::steady_clock::now();
        ASSERT_TRUE(keyboard.release("Alt_L"));
        ASSERT_TRUE(keyboard.release("Control_L"));
        ASSERT_TRUE(loop.runUntil([&] { return players->lastPlayer() != nullptr && players->lastPlayer()->isPlaying(); }, 30s))
            << "no playback; transcript: " << companion->lastTranscript()->value_or("(none)");
        auto toPlayback = std::chrono::duration<double>(std::chrono::steady_clock::now() - released).count();
        std::printf("release to playback start: %.3f s\n", toPlayback);

        auto posts = messages.requestsWith("POST", "/v1/messages");
        ASSERT_EQ(posts.size(), 1u);
        std::string said = json::parse(posts[0].body)["messages"].back()["content"].back()["text"];
        bool heard = false;
        for (const char* word : {"hello", "world", "please", "call", "my", "mother", "tomorrow"})
            if (said.find(word) != std::string::npos) heard = true;
        EXPECT_TRUE(heard) << "recognised: " << said;
        EXPECT_EQ(json::parse(speech.requestsWith("POST").at(0).body)["text"], "it is up top");
        EXPECT_EQ(posts[0].header("x-api-key"), "sk-e2e");

        auto names = events.names();
        EXPECT_EQ(names.front(), "app_opened");
        for (const char* expected : {"push_to_talk_started", "push_to_talk_released", "user_message_sent", "ai_response_received"})
            EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;

        delegate.applicationWillTerminate();
        loop.runUntil([] { return false; }, 0.1s);
    }
    AudioPlayerFactory::install(nullptr);
    LoginItemService::install(nullptr);
    MediaAuthorization::install(nullptr);
    KeyEventTapFactory::install(nullptr);
    DesktopPermissions::install(nullptr);
}
