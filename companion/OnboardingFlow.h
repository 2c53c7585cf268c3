#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "companion/CompanionPublishedState.h"
#include "companion/CompanionScreenCapture.h"
#include "companion/CompanionServiceClients.h"
#include "companion/CompanionUsageEvents.h"
#include "platform/media/AudioPlayer.h"
#include "platform/media/VideoPlayer.h"
#include "platform/runtime/Duration.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/SequenceChecker.h"
#include "platform/runtime/Task.h"
#include "platform/runtime/Timer.h"

namespace velmo {

// The first-run onboarding: background music, the video beside the cursor, the pointing
// demonstration 40 s into it, and the typed prompt after it. It writes the onboarding's
// published fields and, for the demonstration, the pointed spot. Bound to the main thread.
class OnboardingFlow : public std::enable_shared_from_this<OnboardingFlow> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    struct Dependencies {
        std::shared_ptr<CompanionPublishedState> state;
        std::shared_ptr<CompanionServiceClients> clients;
        std::shared_ptr<CompanionUsageEvents> events;
        // Shows the cursor overlay on every screen; its first showing plays the welcome, which
        // then starts the video.
        std::function<void()> showOverlayOnEveryScreen;
        // Makes the next showing a first one again.
        std::function<void()> forgetOverlayShown;
    };

    static constexpr float onboardingMusicVolume = 0.3f;
    static constexpr Seconds onboardingMusicFadeDelay{90};
    static constexpr const char* onboardingVideoPath = "/e5jB8UuSrtFABVnTHCR7k3sIsmcUHCyhtLu1tzqLlfs.m3u8";
    static constexpr double onboardingDemoTime = 40.0;
    static constexpr const char* onboardingPromptMessage = "press control + option and introduce yourself";
    static constexpr const char* onboardingDemoSystemPrompt =
        "you're velmo, a small blue cursor mirrin living on the user's screen. you're showing off during onboarding — look at "
        "their screen and find ONE specific, concrete thing to point at. pick something with a clear name or identity: a "
        "specific app icon (say its name), a specific word or phrase of text you can read, a specific filename, a specific "
        "button label, a specific tab title, a specific image you can describe. do NOT point at vague things like \"a window\" "
        "or \"some text\" — be specific about exactly what you see.\n"
        "\n"
        "make a short quirky 3-6 word observation about the specific thing you picked — something fun, playful, or curious "
        "that shows you actually read/recognized it. no emojis ever. NEVER quote or repeat text you see on screen — just react "
        "to it. keep it to 6 words max, no exceptions.\n"
        "\n"
        "CRITICAL COORDINATE RULE: you MUST only pick elements near the CENTER of the screen. your x coordinate must be between "
        "20%-80% of the image width. your y coordinate must be between 20%-80% of the image height. do NOT pick anything in "
        "the top 20%, bottom 20%, left 20%, or right 20% of the screen. no menu bar items, no dock icons, no sidebar items, no "
        "items near any edge. only things clearly in the middle area of the screen. if the only interesting things are near "
        "the edges, pick something boring in the center instead.\n"
        "\n"
        "respond with ONLY your short comment followed by the coordinate tag. nothing else. all lowercase.\n"
        "\n"
        "format: your comment [POINT:x,y:label]\n"
        "\n"
        "the screenshot images are labeled with their pixel dimensions. use those dimensions as the coordinate space. origin "
        "(0,0) is top-left. x increases rightward, y increases downward.";

    // Throws std::invalid_argument when a dependency is missing.
    static std::shared_ptr<OnboardingFlow> create(Dependencies dependencies);
    OnboardingFlow(PrivateTag, Dependencies dependencies);

    // The panel's Start and "Watch Onboarding Again" actions.
    void triggerOnboarding();
    void replayOnboarding();
    void startOnboardingMusic();
    void stopOnboardingMusic();
    void fadeOutOnboardingMusic();
    // Called by the cursor view once its welcome has played, and when it goes away.
    void startOnboardingVideo();
    void stopOnboardingVideo();
    void onboardingVideoDidFinish();
    void finishOnboardingVideo();
    void presentOnboardingPrompt();
    void hideOnboardingPrompt();
    // Moves the player's volume to `target` in 20 equal steps over `duration`, the last
    // one landing exactly on `target`.
    static void fadeVolume(std::shared_ptr<VideoPlayer> player, float target, Seconds duration);
    void startOnboardingDemo();
    // The reply to the demonstration's request, pointed on the display it was captured from.
    void handleOnboardingDemoResponse(const std::string& reply, const CompanionScreenCapture& cursorCapture);

    // The playlist's address: the configured origin and the path, or the rendition in the
    // bundle when no origin is configured; none when it cannot be formed.
    static std::optional<std::string> onboardingVideoURL();
    // Replaces the configured origin while it lives (tests); an empty one means the bundle.
    class VideoOriginScope {
    public:
        explicit VideoOriginScope(std::string origin);
        ~VideoOriginScope();
        VideoOriginScope(const VideoOriginScope&) = delete;
        VideoOriginScope& operator=(const VideoOriginScope&) = delete;

    private:
        std::optional<std::string> previous_;
    };

    const std::shared_ptr<AudioPlayer>& onboardingMusicPlayer() const;
    const std::shared_ptr<Timer>& onboardingMusicFadeTimer() const;
    const std::shared_ptr<Timer>& onboardingPromptTypingTimer() const;
    bool hasOnboardingVideoObservers() const;

private:
    static Task<void> runOnboardingDemo(std::shared_ptr<OnboardingFlow> self);
    void typeOnboardingPromptTick();
    void invalidateOnboardingPromptTyping();
    void endOnboardingVideoAfterFailure(const std::string& message);

    [[no_unique_address]] SequenceChecker sequenceChecker_;
    std::shared_ptr<CompanionPublishedState> state_;
    std::shared_ptr<CompanionServiceClients> clients_;
    std::shared_ptr<CompanionUsageEvents> events_;
    std::function<void()> showOverlayOnEveryScreen_;
    std::function<void()> forgetOverlayShown_;
    std::shared_ptr<AudioPlayer> onboardingMusicPlayer_;
    std::shared_ptr<Timer> onboardingMusicFadeTimer_;
    std::optional<VideoPlayer::ObserverToken> onboardingDemoTimeObserver_;
    NotificationCenter::Token onboardingVideoEndObserver_;
    NotificationCenter::Token onboardingVideoFailureObserver_;
    std::shared_ptr<Timer> onboardingPromptTypingTimer_;
    std::size_t onboardingPromptCharacterIndex_ = 0;
    std::vector<std::string> onboardingPromptCharacters_;
};

}  // namespace velmo
