#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <tuple>

#include "companion/CompanionManagerTesting.h"
#include "companion/CompanionManager.h"
#include "companion/CompanionTestEnvironment.h"
#include "platform/runtime/NotificationCenter.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::CompanionTestEnvironment;

namespace {
ridezav::RecordedEvent event(const std::string& name, ridezav::RideZavProperties properties = ridezav::RideZavProperties::object()) {
    return {name, std::move(properties)};
}
void expectEvents(const std::vector<ridezav::RecordedEvent>& actual, const std::vector<ridezav::RecordedEvent>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].event, expected[i].event) << i;
        EXPECT_EQ(actual[i].properties, expected[i].properties) << actual[i].event;
    }
}
}  // namespace

TEST(CompanionManagerPermissions, StartWithNothingGrantedLogsOneLineSendsNothingAndPolls) {
    CompanionTestEnvironment env;
    auto companion = env.makeCompanion();
    companion->start();
    EXPECT_EQ(env.log.linesStartingWith("🔑"),
              std::vector<std::string>{
                  "🔑 Velmo start — accessibility: false, screen: false, mic: false, screenContent: false, onboarded: false"});
    EXPECT_TRUE(env.events.events().empty());
    EXPECT_EQ(env.overlay->showCount(), 0);
    EXPECT_FALSE(companion->isOverlayVisible());
    EXPECT_EQ(env.shortcut->startCount, 0);
    EXPECT_EQ(env.shortcut->stopCount, 1);  // accessibility missing: the monitor is stopped on every refresh
    env.loop().advance(1.5s);
    EXPECT_EQ(env.shortcut->stopCount, 2);  // the poll ran once
    env.loop().advance(3.0s);
    EXPECT_EQ(env.shortcut->stopCount, 4);
    EXPECT_EQ(env.log.linesStartingWith("🔑").size(), 1u);  // silent in the steady state
    companion->stop();
}

TEST(CompanionManagerPermissions, GrantsOverTimeGiveOneLineAndOneEventEachAndTheSetOnce) {
    CompanionTestEnvironment env;
    auto companion = env.makeCompanion();
    companion->start();
    env.log.clear();

    env.loop().advance(2.0s);  // poll at 1.5 s: nothing changed
    env.mediaAuthorization->microphoneStatus = MediaAuthorizationStatus::authorized;
    env.loop().advance(1.0s);  // poll at 3.0 s sees it, within 1.5 s of the grant
    EXPECT_EQ(env.log.linesStartingWith("🔑"),
              std::vector<std::string>{"🔑 Permissions — accessibility: false, screen: false, mic: true, screenContent: false"});
    expectEvents(env.events.events(), {event("permission_granted", {{"permission", "microphone"}})});
    env.loop().advance(6.0s);
    EXPECT_EQ(env.log.linesStartingWith("🔑").size(), 1u);

    env.desktopPermissions->accessibility = true;
    env.desktopPermissions->screenRecording = true;
    UserDefaults::standard().setBool("hasScreenContentPermission", true);
    env.loop().advance(1.5s);
    EXPECT_TRUE(companion->allPermissionsGranted());
    EXPECT_TRUE(env.shortcut->running);
    expectEvents(
        env.events.events(),
        {event("permission_granted", {{"permission", "microphone"}}), event("permission_granted", {{"permission", "accessibility"}}),
         event("permission_granted", {{"permission", "screen_recording"}}), event("all_permissions_granted")});
    EXPECT_TRUE(UserDefaults::standard().boolForKey("com.korvale.hasPreviouslyConfirmedScreenRecordingPermission"));

    // Withdrawn accessibility stops the chord monitor at the next refresh; removing the stored
    // screen-content flag never takes the permission back.
    env.desktopPermissions->accessibility = false;
    UserDefaults::standard().removeObject("hasScreenContentPermission");
    env.loop().advance(1.5s);
    EXPECT_FALSE(env.shortcut->running);
    EXPECT_TRUE(companion->hasScreenContentPermission());
    EXPECT_EQ(env.eventNames().size(), 4u);
    companion->stop();
}

// Where every source announces its changes, the poll rests after its first round and a change
// is published by the poll due next after it, as a poll that never rested would have.
TEST(CompanionManagerPermissions, APollOnSourcesThatAnnounceChangesRestsAndPublishesOnTheSameSchedule) {
    CompanionTestEnvironment env;
    env.desktopPermissions->announces = true;
    env.mediaAuthorization->announces = true;
    auto companion = env.makeCompanion();
    companion->start();
    env.log.clear();
    env.loop().advance(1.5s);
    EXPECT_EQ(env.shortcut->stopCount, 2);  // the first poll
    EXPECT_EQ(env.loop().pendingTimerCount(), 0u);
    env.loop().advance(4.6s);  // 6.1 s
    EXPECT_EQ(env.shortcut->stopCount, 2);

    // Granted at 6.1 s and announced: published by the poll due at 7.5 s, not before.
    env.mediaAuthorization->microphoneStatus = MediaAuthorizationStatus::authorized;
    env.mediaAuthorization->announceMicrophoneChange();
    env.loop().advance(1.3s);
    EXPECT_FALSE(companion->hasMicrophonePermission());
    env.loop().advance(0.1s);
    EXPECT_TRUE(companion->hasMicrophonePermission());
    EXPECT_EQ(env.shortcut->stopCount, 3);
    expectEvents(env.events.events(), {event("permission_granted", {{"permission", "microphone"}})});
    EXPECT_EQ(env.log.linesStartingWith("🔑").size(), 1u);

    // Unannounced, a change stays unseen while the poll rests.
    env.desktopPermissions->accessibility = true;
    env.loop().advance(3.0s);
    EXPECT_FALSE(companion->hasAccessibilityPermission());
    EXPECT_EQ(env.shortcut->stopCount, 3);
    env.desktopPermissions->announceChange();  // at 10.5 s, when a poll is due
    env.loop().advance(0.75s);
    EXPECT_FALSE(companion->hasAccessibilityPermission());
    env.loop().advance(0.75s);  // 12.0 s
    EXPECT_TRUE(companion->hasAccessibilityPermission());
    EXPECT_TRUE(env.shortcut->running);

    // The stored screen-content flag is watched too.
    env.loop().advance(0.5s);
    UserDefaults::standard().setBool("hasScreenContentPermission", true);
    env.loop().advance(0.9s);
    EXPECT_FALSE(companion->hasScreenContentPermission());
    env.loop().advance(0.1s);  // 13.5 s
    EXPECT_TRUE(companion->hasScreenContentPermission());

    // A source that stops vouching keeps the poll going.
    env.mediaAuthorization->announces = false;
    env.mediaAuthorization->announceMicrophoneChange();
    env.loop().advance(1.5s);
    env.mediaAuthorization->microphoneStatus = MediaAuthorizationStatus::denied;
    env.loop().advance(1.5s);  // 16.5 s
    EXPECT_FALSE(companion->hasMicrophonePermission());
    companion->stop();
    EXPECT_EQ(env.loop().pendingTimerCount(), 0u);
}

TEST(CompanionManagerPermissions, ALaunchWithEverythingGrantedReportsItAndShowsTheOverlay) {
    CompanionTestEnvironment env;
    env.grantEverything();
    UserDefaults::standard().setBool("hasCompletedOnboarding", true);
    env.screens->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}, {2, 1920, 1080, {1440, 0, 1920, 1080}}});
    auto companion = env.makeCompanion();
    companion->start();
    EXPECT_EQ(
        env.log.linesStartingWith("🔑"),
        (std::vector<std::string>{"🔑 Permissions — accessibility: true, screen: true, mic: true, screenContent: false",
                                  "🔑 Velmo start — accessibility: true, screen: true, mic: true, screenContent: true, onboarded: true"}));
    EXPECT_EQ(env.eventNames(),
              (std::vector<std::string>{"permission_granted", "permission_granted", "permission_granted", "all_permissions_granted"}));
    EXPECT_TRUE(companion->isOverlayVisible());
    EXPECT_EQ(env.overlay->shownScreenFrames().size(), 2u);
    EXPECT_FALSE(env.overlay->lastShowWasFirstAppearance());  // no welcome for a returning user
    companion->stop();
    EXPECT_TRUE(env.overlay->shownScreenFrames().empty());
}

TEST(CompanionManagerVoiceState, FollowsTheDictationFlagsExceptWhileResponding) {
    CompanionTestEnvironment env;
    auto companion = env.makeCompanion();
    companion->start();
    struct Case {
        bool recording, finalizing, preparing;
        CompanionVoiceState expected;
    } cases[] = {
        {false, false, false, CompanionVoiceState::idle},      {true, false, false, CompanionVoiceState::listening},
        {true, true, false, CompanionVoiceState::processing},  {false, true, false, CompanionVoiceState::processing},
        {false, false, true, CompanionVoiceState::processing}, {true, false, true, CompanionVoiceState::listening},
    };
    for (const auto& c : cases) {
        env.dictation->isRecordingFromKeyboardShortcut = c.recording;
        env.dictation->isFinalizingTranscript = c.finalizing;
        env.dictation->isPreparingToRecord = c.preparing;
        env.loop().runUntilIdle();  // delivered on the main loop
        EXPECT_EQ(companion->voiceState().get(), c.expected) << c.recording << c.finalizing << c.preparing;
    }
    env.dictation->currentAudioPowerLevel = 0.4;
    env.loop().runUntilIdle();
    EXPECT_DOUBLE_EQ(companion->currentAudioPowerLevel(), 0.4);

    velmo::test::writable(*companion).voiceState = CompanionVoiceState::responding;
    env.dictation->isRecordingFromKeyboardShortcut = true;
    env.dictation->isFinalizingTranscript = false;
    env.loop().runUntilIdle();
    EXPECT_EQ(companion->voiceState().get(), CompanionVoiceState::responding);

    companion->stop();  // the subscriptions end
    velmo::test::writable(*companion).voiceState = CompanionVoiceState::idle;
    env.dictation->isRecordingFromKeyboardShortcut = false;
    env.dictation->isFinalizingTranscript = true;
    env.loop().runUntilIdle();
    EXPECT_EQ(companion->voiceState().get(), CompanionVoiceState::idle);
}

TEST(CompanionManagerPushToTalk, APressWhileBusyOrDuringTheVideoIsIgnoredButItsReleaseStillStops) {
    CompanionTestEnvironment env;
    auto companion = env.makeCompanion();
    companion->start();
    int dismissals = 0;
    auto token = NotificationCenter::defaultCenter().addObserver(velmoDismissPanel, [&](const Notification&) { ++dismissals; });

    env.dictation->busy = true;
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    env.dictation->busy = false;
    velmo::test::writable(*companion).showOnboardingVideo = true;
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    EXPECT_TRUE(env.events.events().empty());
    EXPECT_EQ(dismissals, 0);
    EXPECT_TRUE(env.dictation->calls.empty());

    env.shortcut->transitions.send(ShortcutTransition::released);
    env.loop().runUntilIdle();
    EXPECT_EQ(env.eventNames(), std::vector<std::string>{"push_to_talk_released"});
    EXPECT_EQ(env.dictation->calls, std::vector<std::string>{"stop keyboardShortcut"});

    velmo::test::writable(*companion).showOnboardingVideo = false;
    velmo::test::writable(*companion).detectedElementScreenLocation = Point{1, 2};
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    EXPECT_EQ(env.eventNames(), (std::vector<std::string>{"push_to_talk_released", "push_to_talk_started"}));
    EXPECT_EQ(dismissals, 1);
    EXPECT_FALSE(companion->detectedElementScreenLocation()->has_value());
    EXPECT_EQ(env.dictation->calls.back(), "start");
    EXPECT_EQ(env.dictation->lastDraftText, "");
    NotificationCenter::defaultCenter().removeObserver(token);
    companion->stop();
    EXPECT_EQ(env.dictation->calls.back(), "cancel keep");
}

TEST(CompanionManagerPushToTalk, APressHidesTheOnboardingPromptAfterItsFade) {
    CompanionTestEnvironment env;
    auto companion = env.makeCompanion();
    companion->start();
    velmo::test::writable(*companion).showOnboardingPrompt = true;
    velmo::test::writable(*companion).onboardingPromptText = "press control + option";
    velmo::test::writable(*companion).onboardingPromptOpacity = 1.0;
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    EXPECT_DOUBLE_EQ(companion->onboardingPromptOpacity(), 0.0);
    EXPECT_TRUE(companion->showOnboardingPrompt());
    env.loop().advance(0.35s);
    EXPECT_FALSE(companion->showOnboardingPrompt());
    EXPECT_EQ(companion->onboardingPromptText().get(), "");
    companion->stop();
}

// The onboarding's entry points show the overlay through the companion, and a video that
// fails ends so that the chord, ignored while it shows, works again.
TEST(CompanionManagerOnboarding, TheEntryPointsShowTheOverlayAndAFailedVideoGivesTheChordBack) {
    CompanionTestEnvironment env;
    env.screens->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}, {2, 1920, 1080, {1440, 0, 1920, 1080}}});
    auto companion = env.makeCompanion();
    companion->start();
    companion->triggerOnboarding();
    EXPECT_TRUE(companion->isOverlayVisible());
    EXPECT_EQ(env.overlay->shownScreenFrames().size(), 2u);
    EXPECT_TRUE(env.overlay->lastShowWasFirstAppearance());
    companion->replayOnboarding();
    EXPECT_TRUE(env.overlay->lastShowWasFirstAppearance());  // the welcome plays again
    EXPECT_EQ(env.overlay->showCount(), 2);

    CompanionManager::VideoOriginScope origin("https://videos.example.com");
    companion->startOnboardingVideo();
    EXPECT_TRUE(companion->showOnboardingVideo());
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    EXPECT_TRUE(env.dictation->calls.empty());  // ignored while the video shows
    env.videos->lastPlayer()->fail("could not load the playlist");
    env.loop().advance(2.3s);
    EXPECT_FALSE(companion->showOnboardingVideo());
    EXPECT_TRUE(companion->showOnboardingPrompt());
    env.events.clear();
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    EXPECT_EQ(env.eventNames(), std::vector<std::string>{"push_to_talk_started"});
    EXPECT_EQ(env.dictation->calls.back(), "start");
    EXPECT_DOUBLE_EQ(companion->onboardingPromptOpacity(), 0.0);  // the press hides the prompt
    companion->stop();
}

namespace {
// A screen layer whose screenshots come back empty, or fail.
class ZeroPixelScreens : public SimulatedScreenLayer {
public:
    bool fail = false;
    Task<Image> captureImage(ContentFilter, StreamConfiguration) override {
        if (fail) throw Error("SCStream", -3801, "capture refused");
        co_return Image{};
    }
};
}  // namespace

TEST(CompanionManagerScreenContent, AGoodShotGrantsAnEmptyOneOrAFailureDoesNot) {
    CompanionTestEnvironment env;
    auto layer = std::make_shared<ZeroPixelScreens>();
    layer->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}});
    ScreenLayerScope scope(layer);
    auto companion = env.makeCompanion();

    auto run = [&] {
        velmo::test::writable(*companion).isRequestingScreenContent = true;
        bool done = false;
        startTask([&]() -> Task<void> {
            auto request = companion->requestScreenContentPermission();
            co_await request;
            done = true;
        });
        env.loop().runUntil([&] { return done; });
    };
    run();
    EXPECT_FALSE(companion->isRequestingScreenContent());
    EXPECT_FALSE(companion->hasScreenContentPermission());
    EXPECT_TRUE(env.log.contains("🔑 Screen content capture result — width: 0, height: 0, didCapture: false"));

    layer->fail = true;
    run();
    EXPECT_FALSE(companion->isRequestingScreenContent());
    EXPECT_EQ(env.log.linesStartingWith("⚠️ Screen content permission request failed: ").size(), 1u);

    ScreenLayerScope good(env.screens);
    env.screens->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}});
    env.grantEverything();
    UserDefaults::standard().removeObject("hasScreenContentPermission");
    UserDefaults::standard().setBool("hasCompletedOnboarding", true);
    companion->refreshAllPermissions();
    env.events.clear();
    run();
    EXPECT_TRUE(env.log.contains("🔑 Screen content capture result — width: 320, height: 240, didCapture: true"));
    EXPECT_TRUE(companion->hasScreenContentPermission());
    EXPECT_TRUE(UserDefaults::standard().boolForKey("hasScreenContentPermission"));
    expectEvents(env.events.events(), {event("permission_granted", {{"permission", "screen_content"}})});
    EXPECT_TRUE(companion->isOverlayVisible());  // onboarded and now complete
    ASSERT_EQ(env.screens->captureRequests().size(), 1u);
    EXPECT_EQ(env.screens->captureRequests()[0].configuration, (StreamConfiguration{320, 240}));
    EXPECT_TRUE(env.screens->captureRequests()[0].filter.excludedWindows.empty());

    companion->refreshAllPermissions();  // completing the set this way sends no all-granted event
    EXPECT_EQ(env.eventNames(), std::vector<std::string>{"permission_granted"});
}

TEST(CompanionManagerDependencies, EachMissingDependencyIsRefusedInsteadOfDefaulted) {
    CompanionTestEnvironment env;
    const auto clients = velmo::test::bundleServiceClients();
    const CompanionManager::Dependencies cases[] = {
        {nullptr, env.shortcut, env.overlay, clients},
        {env.dictation, nullptr, env.overlay, clients},
        {env.dictation, env.shortcut, nullptr, clients},
        {env.dictation, env.shortcut, env.overlay, {}},
        {env.dictation, env.shortcut, env.overlay, {clients.makeClaudeAPI, nullptr}},
    };
    for (const auto& dependencies : cases) EXPECT_THROW(CompanionManager::create(dependencies), std::invalid_argument);
    EXPECT_EQ(&env.makeCompanion()->overlayWindowManager(), env.overlay.get());
}

#ifndef NDEBUG
// Bound to the main thread: every public method says so in debug builds when called elsewhere.
TEST(CompanionManager, APublicCallOffTheMainThreadFailsInDebugBuilds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CompanionTestEnvironment env;
    auto companion = env.makeCompanion();
    companion->clearDetectedElementLocation();  // binds it to this thread
    const struct {
        const char* name;
        std::function<void()> call;
    } calls[] = {
        {"allPermissionsGranted", [&] { (void)companion->allPermissionsGranted(); }},
        {"handleShortcutTransition", [&] { companion->handleShortcutTransition(ShortcutTransition::released); }},
        {"submitTranscript", [&] { companion->submitTranscript("hello"); }},
        {"claudeAPI", [&] { (void)companion->claudeAPI(); }},
        {"elevenLabsTTSClient", [&] { (void)companion->elevenLabsTTSClient(); }},
        {"conversationHistory", [&] { (void)companion->conversationHistory(); }},
        {"currentResponseTask", [&] { (void)companion->currentResponseTask(); }},
        {"dictationManager", [&] { (void)companion->dictationManager(); }},
        {"overlayWindowManager", [&] { (void)companion->overlayWindowManager(); }},
        {"onboardingMusicPlayer", [&] { (void)companion->onboardingMusicPlayer(); }},
        {"hasOnboardingVideoObservers", [&] { (void)companion->hasOnboardingVideoObservers(); }},
        {"triggerOnboarding", [&] { companion->triggerOnboarding(); }},
    };
    for (const auto& c : calls) EXPECT_DEATH(std::thread(c.call).join(), std::string(c.name) + " called .*CompanionManager.cpp") << c.name;
}
#endif

// The clients come from the factory the companion is given, each made once, when first needed:
// the messages client at start, for its warm-up; the speech client at the first press.
TEST(CompanionManager, ItsClientsComeFromTheFactoryItIsGivenEachMadeOnce) {
    CompanionTestEnvironment env;
    int claudeMade = 0, speechMade = 0;
    auto standard = velmo::test::bundleServiceClients();
    CompanionServiceClientFactory counting{[&] {
                                               ++claudeMade;
                                               return standard.makeClaudeAPI();
                                           },
                                           [&] {
                                               ++speechMade;
                                               return standard.makeElevenLabsTTSClient();
                                           }};
    auto companion = CompanionManager::create({env.dictation, env.shortcut, env.overlay, counting});
    EXPECT_EQ(claudeMade + speechMade, 0);  // nothing is made by construction
    companion->start();
    EXPECT_EQ(claudeMade, 1);
    EXPECT_EQ(speechMade, 0);
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    EXPECT_EQ(speechMade, 1);
    EXPECT_EQ(companion->claudeAPI(), companion->claudeAPI());
    EXPECT_EQ(companion->elevenLabsTTSClient(), companion->elevenLabsTTSClient());
    EXPECT_EQ(claudeMade + speechMade, 2);
    companion->stop();
}
