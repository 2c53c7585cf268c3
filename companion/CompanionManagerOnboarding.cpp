// The first-run onboarding of the companion object: background music, the video beside the
// cursor, the pointing demonstration 40 s into it, and the typed prompt after it.
#include <mutex>

#include "RideZav/RideZavSDK.h"
#include "companion/CompanionManager.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/Logger.h"
#include "platform/base/URLComponents.h"
#include "platform/foundation/Unicode.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/runtime/NotificationCenter.h"

using namespace std::chrono_literals;

#ifndef VELMO_ONBOARDING_VIDEO_ORIGIN
#define VELMO_ONBOARDING_VIDEO_ORIGIN ""
#endif

namespace velmo {

namespace {
void capture(const std::string& event) { ridezav::RideZavSDK::shared().capture(event); }

struct VideoOrigin {
    std::mutex mutex;
    std::optional<std::string> override;
};
VideoOrigin& videoOrigin() {
    static VideoOrigin origin;
    return origin;
}

std::string configuredVideoOrigin() {
    auto& o = videoOrigin();
    std::lock_guard lock(o.mutex);
    return o.override.value_or(VELMO_ONBOARDING_VIDEO_ORIGIN);
}

// "file://" and the folder of the rendition the build puts in the bundle.
std::optional<std::string> bundledVideoOrigin() {
    std::string folder = Bundle::main().bundlePath() + "/Contents/Resources/video";
    if (folder[0] != '/') return std::nullopt;
    URLComponents c;
    c.scheme = "file";
    c.host = "";
    std::size_t start = 1;
    while (start <= folder.size()) {
        std::size_t end = folder.find('/', start);
        if (end == std::string::npos) end = folder.size();
        if (end > start) c.percentEncodedPath += "/" + URLComponents::percentEncode(folder.substr(start, end - start));
        start = end + 1;
    }
    return c.url();
}
}  // namespace

const char* const CompanionManager::onboardingDemoSystemPrompt =
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

CompanionManager::VideoOriginScope::VideoOriginScope(std::string origin) {
    auto& o = videoOrigin();
    std::lock_guard lock(o.mutex);
    previous_ = o.override;
    o.override = std::move(origin);
}

CompanionManager::VideoOriginScope::~VideoOriginScope() {
    auto& o = videoOrigin();
    std::lock_guard lock(o.mutex);
    o.override = previous_;
}

std::optional<std::string> CompanionManager::onboardingVideoURL() {
    std::string origin = configuredVideoOrigin();
    if (origin.empty()) {
        auto bundled = bundledVideoOrigin();
        if (!bundled) return std::nullopt;
        origin = *bundled;
    }
    auto c = URLComponents::fromString(origin);
    if (!c || c->scheme.empty() || !c->host || c->percentEncodedQuery || c->percentEncodedFragment) return std::nullopt;
    while (!c->percentEncodedPath.empty() && c->percentEncodedPath.back() == '/') c->percentEncodedPath.pop_back();
    c->percentEncodedPath += onboardingVideoPath;
    return c->url();
}

// ---- the two entry points ----

void CompanionManager::triggerOnboarding() {
    sequenceChecker_.check();
    NotificationCenter::defaultCenter().post(velmoDismissPanel);
    UserDefaults::standard().setBool("hasCompletedOnboarding", true);
    capture("onboarding_started");
    startOnboardingMusic();
    showOverlayOnEveryScreen();  // the first showing plays the welcome, then the video
}

void CompanionManager::replayOnboarding() {
    sequenceChecker_.check();
    NotificationCenter::defaultCenter().post(velmoDismissPanel);
    capture("onboarding_replayed");
    startOnboardingMusic();
    overlayWindowManager_->setHasShownOverlayBefore(false);  // so the welcome, and the video, play again
    showOverlayOnEveryScreen();
}

// ---- music ----

void CompanionManager::startOnboardingMusic() {
    sequenceChecker_.check();
    stopOnboardingMusic();
    auto path = Bundle::main().pathForResource("ff", "mp3");
    if (!path) {
        logLine("⚠️ Velmo: ff.mp3 not found in bundle");
        return;
    }
    std::shared_ptr<AudioPlayer> player;
    try {
        player = AudioPlayerFactory::shared()->playerWithContentsOfFile(*path);
    } catch (...) {
        logLine("⚠️ Velmo: Failed to play onboarding music: " + describeException(std::current_exception()));
        return;
    }
    player->setVolume(onboardingMusicVolume);
    player->play();
    onboardingMusicPlayer_ = player;
    std::weak_ptr<CompanionManager> weak = weak_from_this();
    onboardingMusicFadeTimer_ = Timer::scheduled(onboardingMusicFadeDelay, false, [weak](Timer&) {
        if (auto self = weak.lock()) self->fadeOutOnboardingMusic();
    });
}

void CompanionManager::stopOnboardingMusic() {
    sequenceChecker_.check();
    if (onboardingMusicFadeTimer_) onboardingMusicFadeTimer_->invalidate();
    onboardingMusicFadeTimer_.reset();
    if (onboardingMusicPlayer_) onboardingMusicPlayer_->stop();
    onboardingMusicPlayer_.reset();
}

void CompanionManager::fadeOutOnboardingMusic() {
    sequenceChecker_.check();
    std::shared_ptr<AudioPlayer> player = onboardingMusicPlayer_;
    if (!player) return;
    const float step = player->volume() / 30.0f;
    auto ticksLeft = std::make_shared<int>(30);
    std::weak_ptr<CompanionManager> weak = weak_from_this();
    onboardingMusicFadeTimer_ = Timer::scheduled(0.1s, true, [weak, player, step, ticksLeft](Timer& timer) {
        --*ticksLeft;
        player->setVolume(player->volume() - step);
        if (*ticksLeft > 0) return;
        timer.invalidate();
        player->stop();
        if (auto self = weak.lock()) {
            self->onboardingMusicPlayer_.reset();
            self->onboardingMusicFadeTimer_.reset();
        }
    });
}

// ---- video ----

void CompanionManager::startOnboardingVideo() {
    sequenceChecker_.check();
    auto url = onboardingVideoURL();
    if (!url) return;
    // A second start while one plays replaces it whole: two players, or an old end observer
    // still registered, would run the rest of onboarding twice.
    if (onboardingVideoPlayer_.get() || hasOnboardingVideoObservers()) stopOnboardingVideo();

    std::shared_ptr<VideoPlayer> player = VideoPlayerFactory::shared()->playerWithURL(*url);
    player->setMuted(false);
    player->setVolume(0);
    onboardingVideoPlayer_ = player;
    showOnboardingVideo_ = true;
    onboardingVideoOpacity_ = 0.0;
    player->play();

    auto self = shared_from_this();
    MainLoop::postToMainAfter(0.2s, [self, player] {
        if (self->onboardingVideoPlayer_.get() != player) return;  // stopped or replaced meanwhile
        self->onboardingVideoOpacity_ = 1.0;
        fadeVolume(player, 1.0f, 2.0s);
    });

    std::weak_ptr<CompanionManager> weak = self;
    onboardingDemoTimeObserver_ = player->addBoundaryTimeObserver({onboardingDemoTime}, [weak] {
        capture("onboarding_demo_triggered");
        if (auto self = weak.lock()) self->startOnboardingDemo();
    });
    const VideoPlayer* item = player.get();
    onboardingVideoEndObserver_ =
        NotificationCenter::defaultCenter().addObserver(VideoPlayer::didPlayToEndTimeNotification, [weak, item](const Notification& n) {
            auto self = weak.lock();
            if (!self || std::any_cast<const VideoPlayer*>(&n.object) == nullptr || std::any_cast<const VideoPlayer*>(n.object) != item)
                return;
            self->onboardingVideoDidFinish();
        });
    // A video that cannot load or play must still end: while it shows, the chord is ignored.
    onboardingVideoFailureObserver_ =
        NotificationCenter::defaultCenter().addObserver(VideoPlayer::failedToPlayNotification, [weak, item](const Notification& n) {
            auto self = weak.lock();
            if (!self || std::any_cast<const VideoPlayer*>(&n.object) == nullptr || std::any_cast<const VideoPlayer*>(n.object) != item ||
                self->onboardingVideoPlayer_.get().get() != item)
                return;
            self->endOnboardingVideoAfterFailure(item->error());
        });
}

void CompanionManager::fadeVolume(std::shared_ptr<VideoPlayer> player, float target, Seconds duration) {
    const Seconds interval = duration / 20.0;
    const float step = (target - player->volume()) / 20.0f;
    auto ticksLeft = std::make_shared<int>(20);
    Timer::scheduled(interval, true, [player, target, step, ticksLeft](Timer& timer) {
        --*ticksLeft;
        player->setVolume(player->volume() + step);
        if (*ticksLeft > 0) return;
        timer.invalidate();
        player->setVolume(target);
    });
}

void CompanionManager::onboardingVideoDidFinish() {
    sequenceChecker_.check();
    capture("onboarding_video_completed");
    onboardingVideoOpacity_ = 0.0;
    auto self = shared_from_this();
    MainLoop::postToMainAfter(2.0s, [self] { self->finishOnboardingVideo(); });
}

void CompanionManager::endOnboardingVideoAfterFailure(const std::string& message) {
    logLine("⚠️ Velmo: Onboarding video failed: " + message);
    onboardingVideoOpacity_ = 0.0;
    auto self = shared_from_this();
    MainLoop::postToMainAfter(2.0s, [self] { self->finishOnboardingVideo(); });
}

void CompanionManager::finishOnboardingVideo() {
    sequenceChecker_.check();
    stopOnboardingVideo();
    auto self = shared_from_this();
    MainLoop::postToMainAfter(0.3s, [self] { self->presentOnboardingPrompt(); });
}

void CompanionManager::stopOnboardingVideo() {
    sequenceChecker_.check();
    showOnboardingVideo_ = false;
    std::shared_ptr<VideoPlayer> player = onboardingVideoPlayer_.get();
    if (onboardingDemoTimeObserver_) {
        if (player) player->removeTimeObserver(*onboardingDemoTimeObserver_);
        onboardingDemoTimeObserver_.reset();
    }
    if (player) player->pause();
    onboardingVideoPlayer_ = nullptr;
    if (onboardingVideoEndObserver_) NotificationCenter::defaultCenter().removeObserver(onboardingVideoEndObserver_);
    onboardingVideoEndObserver_ = NotificationCenter::Token();
    if (onboardingVideoFailureObserver_) NotificationCenter::defaultCenter().removeObserver(onboardingVideoFailureObserver_);
    onboardingVideoFailureObserver_ = NotificationCenter::Token();
}

// ---- the demonstration ----

void CompanionManager::startOnboardingDemo() {
    sequenceChecker_.check();
    const CompanionVoiceState state = voiceState_;
    if (state != CompanionVoiceState::idle && state != CompanionVoiceState::responding) return;
    auto self = shared_from_this();
    startTask([self]() -> Task<void> { co_await runOnboardingDemo(self); });
}

Task<void> CompanionManager::runOnboardingDemo(std::shared_ptr<CompanionManager> self) {
    auto captured = co_await outcomeOf(captureAllDisplays());
    if (captured.error) {
        logLine("⚠️ Onboarding demo error: " + describeException(captured.error));
        co_return;
    }
    const CompanionScreenCapture* cursor = cursorCaptureIn(*captured.value);
    if (!cursor) {
        logLine("🎯 Onboarding demo: no cursor screen found");
        co_return;
    }
    const CompanionScreenCapture record = *cursor;
    std::vector<ClaudeAPI::Image> images{imageOf(record)};
    auto replied = co_await outcomeOf(self->claudeAPI()->streamMessage(std::move(images), onboardingDemoSystemPrompt, {},
                                                                       "look around my screen and find something interesting to point at"));
    if (replied.error) {
        logLine("⚠️ Onboarding demo error: " + describeException(replied.error));
        co_return;
    }
    self->handleOnboardingDemoResponse(*replied.value, record);
}

void CompanionManager::handleOnboardingDemoResponse(const std::string& reply, const CompanionScreenCapture& c) {
    sequenceChecker_.check();
    ParsedPointTag parsed = parsePointTag(reply);
    if (!parsed.coordinate) {
        logLine("🎯 Onboarding demo: no element to point at");
        return;
    }
    detectedElementBubbleText_ = parsed.spokenText;
    detectedElementScreenLocation_ = screenPointOf(*parsed.coordinate, c);
    detectedElementDisplayFrame_ = c.displayFrame;
    logLine("🎯 Onboarding demo: pointing at \"" + parsed.elementLabel.value_or("element") + "\" — \"" + parsed.spokenText + "\"");
}

// ---- the prompt ----

void CompanionManager::invalidateOnboardingPromptTyping() {
    if (onboardingPromptTypingTimer_) onboardingPromptTypingTimer_->invalidate();
    onboardingPromptTypingTimer_.reset();
}

void CompanionManager::presentOnboardingPrompt() {
    sequenceChecker_.check();
    invalidateOnboardingPromptTyping();  // one prompt types into the field at a time
    onboardingPromptText_ = std::string();
    showOnboardingPrompt_ = true;
    onboardingPromptOpacity_ = 0.0;
    onboardingPromptOpacity_ = 1.0;  // the cursor view eases it in
    onboardingPromptCharacters_ = graphemeClusters(onboardingPromptMessage);
    onboardingPromptCharacterIndex_ = 0;
    auto self = shared_from_this();
    onboardingPromptTypingTimer_ = Timer::scheduled(0.03s, true, [self](Timer&) { self->typeOnboardingPromptTick(); });
}

void CompanionManager::typeOnboardingPromptTick() {
    if (onboardingPromptCharacterIndex_ < onboardingPromptCharacters_.size()) {
        onboardingPromptText_ = onboardingPromptText_.get() + onboardingPromptCharacters_[onboardingPromptCharacterIndex_];
        ++onboardingPromptCharacterIndex_;
        return;
    }
    invalidateOnboardingPromptTyping();
    auto self = shared_from_this();
    MainLoop::postToMainAfter(10.0s, [self] { self->hideOnboardingPrompt(); });
}

void CompanionManager::hideOnboardingPrompt() {
    sequenceChecker_.check();
    if (!showOnboardingPrompt_) return;
    invalidateOnboardingPromptTyping();  // or it types on into the hidden field
    onboardingPromptOpacity_ = 0.0;  // the cursor view eases it out
    auto self = shared_from_this();
    MainLoop::postToMainAfter(0.35s, [self] {
        self->showOnboardingPrompt_ = false;
        self->onboardingPromptText_ = std::string();
    });
}

}  // namespace velmo
