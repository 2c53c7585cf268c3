// The onboarding on its own, on the virtual clock: the published state it writes, simulated
// music and video players, simulated displays, the real messages client against a loopback
// server for the demonstration, and an overlay that only records its showings.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "companion/OnboardingFlow.h"
#include "companion/CompanionTestEnvironment.h"
#include "platform/base/WholeFile.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/media/SimulatedVideoPlayer.h"
#include "companion/PushToTalkController.h"  // velmoDismissPanel
#include "platform/runtime/NotificationCenter.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::CompanionTestEnvironment;
using velmo::test::LoopbackAnswer;
using velmo::test::sseReply;
using json = nlohmann::json;

namespace {

class Onboarding : public testing::Test {
protected:
    CompanionTestEnvironment env;
    velmo::test::TestDirectory bundleDir;
    std::unique_ptr<Bundle::Scope> bundle;
    std::shared_ptr<CompanionPublishedState> state = std::make_shared<CompanionPublishedState>();
    // The overlay as the companion shows it: its first showing since it was forgotten plays the
    // welcome. One entry per showing, true for a first appearance.
    bool overlayShownBefore = false;
    std::vector<bool> overlayShowings;
    std::shared_ptr<OnboardingFlow> flow;
    int dismissals = 0;
    NotificationCenter::Token dismissToken;

    void SetUp() override {
        bundleDir.write(
            "Velmo.app/Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>AnthropicAPIKey</key><string>sk-test</string></dict></plist>");
        bundleDir.write("Velmo.app/Contents/Resources/ff.mp3", "ID3 music");
        bundle = std::make_unique<Bundle::Scope>(bundleDir / "Velmo.app");
        env.players->readFile = [](const std::string& path) { return readWholeFile(path); };
        env.screens->setDisplaysWithScreens({{1, 1512, 982, {0, 0, 1512, 982}}, {2, 1920, 1080, {1512, 0, 1920, 1080}}});
        env.screens->setMouseLocation({700, 500});
        flow = OnboardingFlow::create({state, std::make_shared<CompanionServiceClients>(velmo::test::bundleServiceClients()),
                                       std::make_shared<CompanionUsageEvents>(),
                                       [this] {
                                           overlayShowings.push_back(!overlayShownBefore);
                                           overlayShownBefore = true;
                                       },
                                       [this] { overlayShownBefore = false; }});
        env.loop().runUntilIdle();
        env.events.clear();
        env.log.clear();
        dismissToken = NotificationCenter::defaultCenter().addObserver(velmoDismissPanel, [this](const Notification&) { ++dismissals; });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(dismissToken);
        env.loop().runUntilIdle();
    }

    std::shared_ptr<SimulatedAudioPlayer> music() { return env.players->lastPlayer(); }
    std::shared_ptr<SimulatedVideoPlayer> video() { return env.videos->lastPlayer(); }
    std::size_t demoRequests() { return env.messagesServer.requestCountWith("POST", "/v1/messages"); }
    void awaitLog(const std::string& prefix) {
        ASSERT_TRUE(env.loop().runUntil([&] { return !env.log.linesStartingWith(prefix).empty(); })) << prefix;
    }
    // Runs the demonstration on a reply from the messages service and waits for its log line.
    void demonstrate(const std::string& reply) {
        env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::streamed(200, {sseReply({reply})}));
        flow->startOnboardingDemo();
        awaitLog("🎯 Onboarding demo:");
    }
};

}  // namespace

TEST_F(Onboarding, StartRunsTheWholeTimetable) {
    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::streamed(200, {sseReply({"cute icon [POINT:none]"})}));
    flow->triggerOnboarding();
    EXPECT_EQ(dismissals, 0);  // delivered on the loop
    env.loop().runUntilIdle();
    EXPECT_EQ(dismissals, 1);
    EXPECT_TRUE(UserDefaults::standard().boolForKey("hasCompletedOnboarding"));
    EXPECT_EQ(env.eventNames(), std::vector<std::string>{"onboarding_started"});
    ASSERT_TRUE(music());
    EXPECT_EQ(music()->calls(), (std::vector<std::string>{"volume 0.30", "play"}));
    EXPECT_EQ(music()->data(), "ID3 music");
    EXPECT_FALSE(overlayShowings.empty());
    EXPECT_TRUE(overlayShowings.back());

    // The cursor view's welcome ends at 5 s and starts the video.
    env.loop().advance(5.0s);
    flow->startOnboardingVideo();
    ASSERT_TRUE(video());
    EXPECT_EQ(state->onboardingVideoPlayer.get(), video());
    EXPECT_TRUE(state->showOnboardingVideo);
    EXPECT_DOUBLE_EQ(state->onboardingVideoOpacity, 0.0);
    EXPECT_EQ(video()->calls(), (std::vector<std::string>{"muted false", "volume 0.00", "play"}));
    env.loop().advance(0.199s);
    EXPECT_DOUBLE_EQ(state->onboardingVideoOpacity, 0.0);
    env.loop().advance(0.001s);
    EXPECT_DOUBLE_EQ(state->onboardingVideoOpacity, 1.0);
    env.loop().advance(1.999s);
    EXPECT_EQ(video()->volumeWrites().size(), 20u);
    env.loop().advance(0.001s);  // 20 steps of 0.05 in 2.0 s, then exactly 1.0
    const auto& writes = video()->volumeWrites();
    ASSERT_EQ(writes.size(), 22u);
    EXPECT_EQ(writes[0], 0.0f);
    for (std::size_t i = 1; i <= 20; ++i) EXPECT_NEAR(writes[i], 0.05 * double(i), 1e-5) << i;
    EXPECT_EQ(writes.back(), 1.0f);

    // 40 s of playback, with the companion idle: the event and one demonstration request.
    env.loop().advance(Seconds(40.0 - 2.2 - 0.001));
    EXPECT_EQ(env.eventNames(), std::vector<std::string>{"onboarding_started"});
    env.loop().advance(0.001s);
    EXPECT_EQ(env.eventNames(), (std::vector<std::string>{"onboarding_started", "onboarding_demo_triggered"}));
    awaitLog("🎯 Onboarding demo:");
    EXPECT_EQ(env.log.linesStartingWith("🎯"), std::vector<std::string>{"🎯 Onboarding demo: no element to point at"});
    EXPECT_EQ(demoRequests(), 1u);

    // The end at 45 s of playback (50 s from Start).
    env.loop().advance(4.999s);
    EXPECT_EQ(env.eventNames().size(), 2u);
    env.loop().advance(0.001s);
    EXPECT_EQ(env.eventNames().back(), "onboarding_video_completed");
    EXPECT_DOUBLE_EQ(state->onboardingVideoOpacity, 0.0);
    EXPECT_TRUE(state->showOnboardingVideo);
    env.loop().advance(2.0s);
    EXPECT_FALSE(state->showOnboardingVideo);
    EXPECT_EQ(state->onboardingVideoPlayer.get(), nullptr);
    EXPECT_EQ(video()->calls().back(), "pause");
    EXPECT_FALSE(flow->hasOnboardingVideoObservers());
    EXPECT_FALSE(state->showOnboardingPrompt);
    env.loop().advance(0.3s);
    EXPECT_TRUE(state->showOnboardingPrompt);
    EXPECT_DOUBLE_EQ(state->onboardingPromptOpacity, 1.0);
    EXPECT_EQ(state->onboardingPromptText.get(), "");

    // One character every 0.03 s: 45 ticks type it all; the 46th starts the 10 s hold.
    const std::string message = OnboardingFlow::onboardingPromptMessage;
    ASSERT_EQ(message.size(), 45u);
    env.loop().advance(Seconds(0.03 * 10 + 1e-6));
    EXPECT_EQ(state->onboardingPromptText.get(), message.substr(0, 10));
    env.loop().advance(Seconds(0.03 * 35));
    EXPECT_EQ(state->onboardingPromptText.get(), message);
    EXPECT_TRUE(flow->onboardingPromptTypingTimer());
    env.loop().advance(0.03s);  // the 46th tick
    EXPECT_FALSE(flow->onboardingPromptTypingTimer());
    env.loop().advance(Seconds(10.0 - 2e-6));
    EXPECT_DOUBLE_EQ(state->onboardingPromptOpacity, 1.0);
    env.loop().advance(2e-6s);
    EXPECT_DOUBLE_EQ(state->onboardingPromptOpacity, 0.0);
    EXPECT_TRUE(state->showOnboardingPrompt);
    env.loop().advance(0.35s);
    EXPECT_FALSE(state->showOnboardingPrompt);
    EXPECT_EQ(state->onboardingPromptText.get(), "");

    // The music: 90 s after Start it fades in 30 ticks of 0.1 s and stops.
    env.loop().advance(Seconds(90.0 - env.loop().now() + 0.05));
    ASSERT_TRUE(music()->isPlaying());
    EXPECT_FLOAT_EQ(music()->volume(), 0.3f);
    env.loop().advance(1.0s);
    EXPECT_NEAR(music()->volume(), 0.2, 1e-5);
    env.loop().advance(1.9s);
    EXPECT_TRUE(music()->isPlaying());
    env.loop().advance(0.1s);
    EXPECT_FALSE(music()->isPlaying());
    EXPECT_NEAR(music()->volume(), 0.0, 1e-5);
    EXPECT_EQ(
        std::count_if(music()->calls().begin(), music()->calls().end(), [](const std::string& c) { return c.rfind("volume", 0) == 0; }),
        31);
    EXPECT_FALSE(flow->onboardingMusicPlayer());
    EXPECT_FALSE(flow->onboardingMusicFadeTimer());
    EXPECT_EQ(env.eventNames(),
              (std::vector<std::string>{"onboarding_started", "onboarding_demo_triggered", "onboarding_video_completed"}));
    EXPECT_EQ(demoRequests(), 1u);
}

TEST_F(Onboarding, TheDemonstrationRunsOnlyWhenIdleOrRespondingButItsEventIsAlwaysSent) {
    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::streamed(200, {sseReply({"nothing [POINT:none]"})}));
    struct Case {
        CompanionVoiceState state;
        bool runs;
    } cases[] = {{CompanionVoiceState::idle, true},
                 {CompanionVoiceState::listening, false},
                 {CompanionVoiceState::processing, false},
                 {CompanionVoiceState::responding, true}};
    std::size_t expectedRequests = 0;
    for (const auto& c : cases) {
        env.events.clear();
        env.log.clear();
        state->voiceState = c.state;
        flow->startOnboardingVideo();
        env.loop().advance(40.0s);
        EXPECT_EQ(env.eventNames(), std::vector<std::string>{"onboarding_demo_triggered"}) << caseName(c.state);
        if (c.runs) {
            ++expectedRequests;
            awaitLog("🎯 Onboarding demo:");
        } else {
            env.loop().runUntil([] { return false; }, 0.2s);
        }
        EXPECT_EQ(demoRequests(), expectedRequests) << caseName(c.state);
        EXPECT_EQ(state->voiceState.get(), c.state);  // the demonstration changes no voice state
        flow->stopOnboardingVideo();
    }
}

TEST_F(Onboarding, TheDemonstrationSendsTheCursorDisplayAndPublishesTheCommentThePointAndTheFrame) {
    demonstrate("ooh, a tidy budget sheet [POINT:640,400:budget spreadsheet]");
    EXPECT_EQ(env.log.linesStartingWith("🎯"),
              std::vector<std::string>{"🎯 Onboarding demo: pointing at \"budget spreadsheet\" — \"ooh, a tidy budget sheet\""});
    EXPECT_EQ(state->detectedElementBubbleText.get(), std::optional<std::string>("ooh, a tidy budget sheet"));
    ASSERT_TRUE(state->detectedElementScreenLocation.get());
    EXPECT_DOUBLE_EQ(state->detectedElementScreenLocation->value().x, 756.0);
    EXPECT_NEAR(state->detectedElementScreenLocation->value().y, 982.0 - 400.0 * 982.0 / 831.0, 1e-9);
    EXPECT_NEAR(state->detectedElementScreenLocation->value().y, 509.316, 1e-3);
    EXPECT_EQ(state->detectedElementDisplayFrame.get(), std::optional<Rect>(Rect{0, 0, 1512, 982}));
    EXPECT_TRUE(env.eventNames().empty());

    auto requests = env.messagesServer.requestsWith("POST", "/v1/messages");
    ASSERT_EQ(requests.size(), 1u);
    json body = json::parse(requests[0].body);
    EXPECT_EQ(body["system"], OnboardingFlow::onboardingDemoSystemPrompt);
    ASSERT_EQ(body["messages"].size(), 1u);  // no history
    const json& content = body["messages"][0]["content"];
    int images = 0;
    std::vector<std::string> texts;
    for (const auto& part : content) {
        if (part["type"] == "image") ++images;
        if (part["type"] == "text") texts.push_back(part["text"]);
    }
    EXPECT_EQ(images, 1);  // the cursor's display only
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find(" (image dimensions: 1280x831 pixels)"), std::string::npos) << texts[0];
    EXPECT_EQ(texts[1], "look around my screen and find something interesting to point at");
}

TEST_F(Onboarding, ARepliesWithoutCoordinatesPublishNothingAndFarCoordinatesAreClamped) {
    for (const std::string& reply : {std::string("just a desktop [POINT:none]"), std::string("no tag at all")}) {
        env.log.clear();
        demonstrate(reply);
        EXPECT_EQ(env.log.linesStartingWith("🎯"), std::vector<std::string>{"🎯 Onboarding demo: no element to point at"}) << reply;
        EXPECT_FALSE(state->detectedElementScreenLocation->has_value()) << reply;
        EXPECT_FALSE(state->detectedElementBubbleText->has_value()) << reply;
    }
    env.log.clear();
    demonstrate("far right [POINT:5000,0]");
    ASSERT_TRUE(state->detectedElementScreenLocation.get());
    EXPECT_DOUBLE_EQ(state->detectedElementScreenLocation->value().x, 1512.0);
    EXPECT_DOUBLE_EQ(state->detectedElementScreenLocation->value().y, 982.0);
    EXPECT_EQ(env.log.linesStartingWith("🎯"), std::vector<std::string>{"🎯 Onboarding demo: pointing at \"element\" — \"far right\""});
}

TEST_F(Onboarding, DemonstrationFailuresEndItWithOneLine) {
    env.screens->setMouseLocation({-100, -100});  // on no display
    flow->startOnboardingDemo();
    awaitLog("🎯");
    EXPECT_EQ(env.log.linesStartingWith("🎯"), std::vector<std::string>{"🎯 Onboarding demo: no cursor screen found"});
    env.screens->setMouseLocation({700, 500});
    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::text(500, "overloaded"));
    flow->startOnboardingDemo();
    awaitLog("⚠️ Onboarding demo error: ");
    EXPECT_EQ(env.log.linesStartingWith("⚠️").size(), 1u);
    EXPECT_FALSE(state->detectedElementScreenLocation->has_value());
}

TEST_F(Onboarding, MissingOrUnreadableMusicGivesOneLineAndOnboardingGoesOn) {
    std::filesystem::remove(bundleDir / "Velmo.app/Contents/Resources/ff.mp3");
    flow->triggerOnboarding();
    EXPECT_EQ(env.log.lines(), std::vector<std::string>{"⚠️ Velmo: ff.mp3 not found in bundle"});
    EXPECT_FALSE(overlayShowings.empty());
    EXPECT_EQ(env.eventNames(), std::vector<std::string>{"onboarding_started"});

    env.log.clear();
    bundleDir.write("Velmo.app/Contents/Resources/ff.mp3", "");  // the factory refuses empty data
    flow->replayOnboarding();
    ASSERT_EQ(env.log.lines().size(), 1u);
    EXPECT_EQ(env.log.lines()[0].rfind("⚠️ Velmo: Failed to play onboarding music: ", 0), 0u) << env.log.lines()[0];
    EXPECT_FALSE(flow->onboardingMusicPlayer());
    EXPECT_FALSE(flow->onboardingMusicFadeTimer());
    EXPECT_EQ(overlayShowings.size(), 2u);
}

TEST_F(Onboarding, ReplayDuringTheMusicFadeRestartsTheMusicAndResetsTheWelcome) {
    overlayShownBefore = true;  // an earlier showing
    flow->triggerOnboarding();
    EXPECT_FALSE(overlayShowings.back());  // Start does not reset it
    auto first = music();
    env.loop().advance(91.0s);  // ten ticks into the fade
    EXPECT_NEAR(first->volume(), 0.2, 1e-5);

    flow->replayOnboarding();
    env.loop().runUntilIdle();
    EXPECT_TRUE(overlayShowings.back());
    EXPECT_EQ(dismissals, 2);
    EXPECT_EQ(env.eventNames(), (std::vector<std::string>{"onboarding_started", "onboarding_replayed"}));
    EXPECT_FALSE(first->isPlaying());
    EXPECT_EQ(first->calls().back(), "stop");
    auto second = music();
    ASSERT_NE(second, first);
    EXPECT_EQ(second->calls(), (std::vector<std::string>{"volume 0.30", "play"}));
    const float firstVolume = first->volume();
    env.loop().advance(89.9s);
    EXPECT_FLOAT_EQ(first->volume(), firstVolume);  // the old fade timer is gone
    EXPECT_FLOAT_EQ(second->volume(), 0.3f);
    env.loop().advance(0.2s);
    EXPECT_LT(second->volume(), 0.3f);  // a new 90 s timer
}

TEST_F(Onboarding, ReplayLeavesTheCompletedFlagAlone) {
    flow->replayOnboarding();
    EXPECT_FALSE(UserDefaults::standard().boolForKey("hasCompletedOnboarding"));
    EXPECT_FALSE(overlayShowings.empty());
}

TEST_F(Onboarding, AVideoThatFailsEndsLikeItsEnd) {
    flow->startOnboardingVideo();
    env.loop().advance(3.0s);
    video()->fail("could not load the playlist");
    env.loop().runUntilIdle();
    EXPECT_EQ(env.log.linesStartingWith("⚠️"),
              std::vector<std::string>{"⚠️ Velmo: Onboarding video failed: could not load the playlist"});
    EXPECT_DOUBLE_EQ(state->onboardingVideoOpacity, 0.0);
    env.loop().advance(2.0s);
    EXPECT_FALSE(state->showOnboardingVideo);
    EXPECT_FALSE(state->onboardingVideoPlayer.get());
    env.loop().advance(0.3s);
    EXPECT_TRUE(state->showOnboardingPrompt);
    EXPECT_TRUE(env.eventNames().empty());  // a failure is not a completed video
    env.loop().advance(Seconds(0.03 * 46 + 10.35));  // the prompt types, holds and goes
    EXPECT_FALSE(state->showOnboardingPrompt);
    EXPECT_FALSE(flow->onboardingPromptTypingTimer());
}

TEST_F(Onboarding, ASecondVideoStartStopsTheFirstAndItsObservers) {
    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::streamed(200, {sseReply({"nothing [POINT:none]"})}));
    auto& center = NotificationCenter::defaultCenter();
    const std::size_t endObserversBefore = center.observerCount(VideoPlayer::didPlayToEndTimeNotification);
    flow->startOnboardingVideo();
    auto first = video();
    env.loop().advance(10.0s);
    flow->startOnboardingVideo();
    auto second = video();
    ASSERT_NE(first, second);
    EXPECT_EQ(first->calls().back(), "pause");
    EXPECT_EQ(center.observerCount(VideoPlayer::didPlayToEndTimeNotification), endObserversBefore + 1);
    first->play();  // even should the old one go on, it drives nothing
    env.loop().advance(45.0s);
    const auto names = env.eventNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "onboarding_demo_triggered"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "onboarding_video_completed"), 1);
    flow->stopOnboardingVideo();
    EXPECT_EQ(center.observerCount(VideoPlayer::didPlayToEndTimeNotification), endObserversBefore);
    awaitLog("🎯 Onboarding demo:");  // the one demonstration ends before the test does
    EXPECT_EQ(demoRequests(), 1u);
}

TEST_F(Onboarding, APromptPresentedAgainTypesIntoTheFieldOnlyOnce) {
    flow->presentOnboardingPrompt();
    env.loop().advance(Seconds(0.03 * 20 + 1e-6));
    flow->presentOnboardingPrompt();
    env.loop().advance(Seconds(0.03 * 45 + 1e-6));
    EXPECT_EQ(state->onboardingPromptText.get(), OnboardingFlow::onboardingPromptMessage);
    env.loop().advance(0.3s);
    EXPECT_EQ(state->onboardingPromptText.get(), OnboardingFlow::onboardingPromptMessage);

    // Hidden (as a press of the chord hides it), the prompt stops typing for good.
    flow->presentOnboardingPrompt();
    env.loop().advance(Seconds(0.03 * 5 + 1e-6));
    flow->hideOnboardingPrompt();
    env.loop().advance(2.0s);
    EXPECT_FALSE(state->showOnboardingPrompt);
    EXPECT_EQ(state->onboardingPromptText.get(), "");
    EXPECT_FALSE(flow->onboardingPromptTypingTimer());
}

// The first prompt's hide, 10 s after its typing, comes while a second prompt types: the
// hidden field stays empty.
TEST_F(Onboarding, AHiddenPromptTypesNoFurther) {
    flow->presentOnboardingPrompt();
    env.loop().advance(Seconds(0.03 * 46 + 1e-6));  // typed; its hide is due 10 s from now
    EXPECT_FALSE(flow->onboardingPromptTypingTimer());
    env.loop().advance(9.7s);
    flow->presentOnboardingPrompt();
    env.loop().advance(0.3s);  // the first prompt's hide, ten characters into the second
    EXPECT_DOUBLE_EQ(state->onboardingPromptOpacity, 0.0);
    EXPECT_FALSE(flow->onboardingPromptTypingTimer());
    env.loop().advance(0.35s);
    EXPECT_FALSE(state->showOnboardingPrompt);
    env.loop().advance(2.0s);
    EXPECT_EQ(state->onboardingPromptText.get(), "");
}

TEST(OnboardingVideoURL, TheBundleByDefaultAConfiguredOriginOrNone) {
    velmo::test::TestDirectory dir;
    Bundle::Scope bundle(dir / "My Apps/Velmo.app");
    {
        OnboardingFlow::VideoOriginScope origin("");
        EXPECT_EQ(
            OnboardingFlow::onboardingVideoURL(),
            "file://" + dir.path() + "/My%20Apps/Velmo.app/Contents/Resources/video/e5jB8UuSrtFABVnTHCR7k3sIsmcUHCyhtLu1tzqLlfs.m3u8");
    }
    struct Case {
        const char* origin;
        std::optional<std::string> url;
    } cases[] = {
        {"https://videos.example.com", "https://videos.example.com/e5jB8UuSrtFABVnTHCR7k3sIsmcUHCyhtLu1tzqLlfs.m3u8"},
        {"https://videos.example.com/", "https://videos.example.com/e5jB8UuSrtFABVnTHCR7k3sIsmcUHCyhtLu1tzqLlfs.m3u8"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080/e5jB8UuSrtFABVnTHCR7k3sIsmcUHCyhtLu1tzqLlfs.m3u8"},
        {"not a url", std::nullopt},
        {"videos.example.com", std::nullopt},
        {"https://videos.example.com/?q=1", std::nullopt},
    };
    for (const auto& c : cases) {
        OnboardingFlow::VideoOriginScope origin(c.origin);
        EXPECT_EQ(OnboardingFlow::onboardingVideoURL(), c.url) << c.origin;
    }
}

TEST_F(Onboarding, AnAddressThatCannotBeFormedMeansNoVideo) {
    OnboardingFlow::VideoOriginScope origin("not a url");
    flow->startOnboardingVideo();
    EXPECT_FALSE(video());
    EXPECT_FALSE(state->showOnboardingVideo);
    env.loop().advance(60s);
    EXPECT_TRUE(env.eventNames().empty());
    EXPECT_FALSE(state->showOnboardingPrompt);
}

TEST_F(Onboarding, AVideoStoppedBeforeItsFadeInStaysTransparentAndSilent) {
    flow->startOnboardingVideo();
    auto player = video();
    env.loop().advance(0.1s);
    flow->stopOnboardingVideo();  // the cursor view went away
    env.loop().advance(3.0s);
    EXPECT_DOUBLE_EQ(state->onboardingVideoOpacity, 0.0);
    EXPECT_EQ(player->volumeWrites(), std::vector<float>{0.0f});
}
