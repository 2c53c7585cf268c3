#include "companion/OnboardingFlow.h"

#include <mutex>
#include <stdexcept>

#include "companion/PushToTalkController.h"
#include "companion/ScreenshotPointing.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/Logger.h"
#include "platform/base/URLComponents.h"
#include "platform/foundation/Unicode.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/runtime/MainThreadBound.h"
#include "platform/runtime/NotificationCenter.h"

using namespace std::chrono_literals;

#ifndef VELMO_ONBOARDING_VIDEO_ORIGIN
#define VELMO_ONBOARDING_VIDEO_ORIGIN ""
#endif

namespace velmo {

namespace {
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

OnboardingFlow::VideoOriginScope::VideoOriginScope(std::string origin) {
    auto& o = videoOrigin();
    std::lock_guard lock(o.mutex);
    previous_ = o.override;
    o.override = std::move(origin);
}

OnboardingFlow::VideoOriginScope::~VideoOriginScope() {
    auto& o = videoOrigin();
    std::lock_guard lock(o.mutex);
    o.override = previous_;
}

std::optional<std::string> OnboardingFlow::onboardingVideoURL() {
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

std::shared_ptr<OnboardingFlow> OnboardingFlow::create(Dependencies dependencies) {
    if (!dependencies.state || !dependencies.clients || !dependencies.events || !dependencies.showOverlayOnEveryScreen ||
        !dependencies.forgetOverlayShown)
        throw std::invalid_argument(
            "OnboardingFlow: the published state, the service clients, the usage events and the overlay's two actions are needed");
    return makeMainBound<OnboardingFlow>(PrivateTag{}, std::move(dependencies));
}

OnboardingFlow::OnboardingFlow(PrivateTag, Dependencies dependencies)
    : state_(std::move(dependencies.state)),
      clients_(std::move(dependencies.clients)),
      events_(std::move(dependencies.events)),
      showOverlayOnEveryScreen_(std::move(dependencies.showOverlayOnEveryScreen)),
      forgetOverlayShown_(std::move(dependencies.forgetOverlayShown)) {}

const std::shared_ptr<AudioPlayer>& OnboardingFlow::onboardingMusicPlayer() const {
    sequenceChecker_.check();
    return onboardingMusicPlayer_;
}

const std::shared_ptr<Timer>& OnboardingFlow::onboardingMusicFadeTimer() const {
    sequenceChecker_.check();
    return onboardingMusicFadeTimer_;
}

const std::shared_ptr<Timer>& OnboardingFlow::onboardingPromptTypingTimer() const {
    sequenceChecker_.check();
    return onboardingPromptTypingTimer_;
}

bool OnboardingFlow::hasOnboardingVideoObservers() const {
    sequenceChecker_.check();
    return onboardingDemoTimeObserver_.has_value() || bool(onboardingVideoEndObserver_) || bool(onboardingVideoFailureObserver_);
}

// ---- the two entry points ----

void OnboardingFlow::triggerOnboarding() {
    sequenceChecker_.check();
    NotificationCenter::defaultCenter().post(velmoDismissPanel);
    UserDefaults::standard().setBool("hasCompletedOnboarding", true);
    events_->onboardingStarted();
    startOnboardingMusic();
    showOverlayOnEveryScreen_();  // the first showing plays the welcome, then the video
}

void OnboardingFlow::replayOnboarding() {
    sequenceChecker_.check();
    NotificationCenter::defaultCenter().post(velmoDismissPanel);
    events_->onboardingReplayed();
    startOnboardingMusic();
    forgetOverlayShown_();  // so the welcome, and the video, play again
    showOverlayOnEveryScreen_();
}

// ---- music ----

void OnboardingFlow::startOnboardingMusic() {
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
    std::weak_ptr<OnboardingFlow> weak = weak_from_this();
    onboardingMusicFadeTimer_ = Timer::scheduled(onboardingMusicFadeDelay, false, [weak](Timer&) {
        if (auto self = weak.lock()) self->fadeOutOnboardingMusic();
    });
}

void OnboardingFlow::stopOnboardingMusic() {
    sequenceChecker_.check();
    if (onboardingMusicFadeTimer_) onboardingMusicFadeTimer_->invalidate();
    onboardingMusicFadeTimer_.reset();
    if (onboardingMusicPlayer_) onboardingMusicPlayer_->stop();
    onboardingMusicPlayer_.reset();
}

void OnboardingFlow::fadeOutOnboardingMusic() {
    sequenceChecker_.check();
    std::shared_ptr<AudioPlayer> player = onboardingMusicPlayer_;
    if (!player) return;
    const float step = player->volume() / 30.0f;
    auto ticksLeft = std::make_shared<int>(30);
    std::weak_ptr<OnboardingFlow> weak = weak_from_this();
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

void OnboardingFlow::startOnboardingVideo() {
    sequenceChecker_.check();
    auto url = onboardingVideoURL();
    if (!url) return;
    // A second start while one plays replaces it whole: two players, or an old end observer
    // still registered, would run the rest of onboarding twice.
    if (state_->onboardingVideoPlayer.get() || hasOnboardingVideoObservers()) stopOnboardingVideo();

    std::shared_ptr<VideoPlayer> player = VideoPlayerFactory::shared()->playerWithURL(*url);
    player->setMuted(false);
    player->setVolume(0);
    state_->onboardingVideoPlayer = player;
    state_->showOnboardingVideo = true;
    state_->onboardingVideoOpacity = 0.0;
    player->play();

    auto self = shared_from_this();
    MainLoop::postToMainAfter(0.2s, [self, player] {
        if (self->state_->onboardingVideoPlayer.get() != player) return;  // stopped or replaced meanwhile
        self->state_->onboardingVideoOpacity = 1.0;
        fadeVolume(player, 1.0f, 2.0s);
    });

    std::weak_ptr<OnboardingFlow> weak = self;
    onboardingDemoTimeObserver_ = player->addBoundaryTimeObserver({onboardingDemoTime}, [weak, events = events_] {
        events->onboardingDemoTriggered();
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
                self->state_->onboardingVideoPlayer.get().get() != item)
                return;
            self->endOnboardingVideoAfterFailure(item->error());
        });
}

void OnboardingFlow::fadeVolume(std::shared_ptr<VideoPlayer> player, float target, Seconds duration) {
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

void OnboardingFlow::onboardingVideoDidFinish() {
    sequenceChecker_.check();
    events_->onboardingVideoCompleted();
    state_->onboardingVideoOpacity = 0.0;
    auto self = shared_from_this();
    MainLoop::postToMainAfter(2.0s, [self] { self->finishOnboardingVideo(); });
}

void OnboardingFlow::endOnboardingVideoAfterFailure(const std::string& message) {
    logLine("⚠️ Velmo: Onboarding video failed: " + message);
    state_->onboardingVideoOpacity = 0.0;
    auto self = shared_from_this();
    MainLoop::postToMainAfter(2.0s, [self] { self->finishOnboardingVideo(); });
}

void OnboardingFlow::finishOnboardingVideo() {
    sequenceChecker_.check();
    stopOnboardingVideo();
    auto self = shared_from_this();
    MainLoop::postToMainAfter(0.3s, [self] { self->presentOnboardingPrompt(); });
}

void OnboardingFlow::stopOnboardingVideo() {
    sequenceChecker_.check();
    state_->showOnboardingVideo = false;
    std::shared_ptr<VideoPlayer> player = state_->onboardingVideoPlayer.get();
    if (onboardingDemoTimeObserver_) {
        if (player) player->removeTimeObserver(*onboardingDemoTimeObserver_);
        onboardingDemoTimeObserver_.reset();
    }
    if (player) player->pause();
    state_->onboardingVideoPlayer = nullptr;
    if (onboardingVideoEndObserver_) NotificationCenter::defaultCenter().removeObserver(onboardingVideoEndObserver_);
    onboardingVideoEndObserver_ = NotificationCenter::Token();
    if (onboardingVideoFailureObserver_) NotificationCenter::defaultCenter().removeObserver(onboardingVideoFailureObserver_);
    onboardingVideoFailureObserver_ = NotificationCenter::Token();
}

// ---- the demonstration ----

void OnboardingFlow::startOnboardingDemo() {
    sequenceChecker_.check();
    const CompanionVoiceState state = state_->voiceState;
    if (state != CompanionVoiceState::idle && state != CompanionVoiceState::responding) return;
    auto self = shared_from_this();
    startTask([self]() -> Task<void> { co_await runOnboardingDemo(self); });
}

Task<void> OnboardingFlow::runOnboardingDemo(std::shared_ptr<OnboardingFlow> self) {
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
    std::vector<ClaudeAPI::Image> images{labelledImageOf(record)};
    auto replied = co_await outcomeOf(self->clients_->claudeAPI()->streamMessage(
        std::move(images), onboardingDemoSystemPrompt, {}, "look around my screen and find something interesting to point at"));
    if (replied.error) {
        logLine("⚠️ Onboarding demo error: " + describeException(replied.error));
        co_return;
    }
    self->handleOnboardingDemoResponse(*replied.value, record);
}

void OnboardingFlow::handleOnboardingDemoResponse(const std::string& reply, const CompanionScreenCapture& c) {
    sequenceChecker_.check();
    ParsedPointTag parsed = parsePointTag(reply);
    if (!parsed.coordinate) {
        logLine("🎯 Onboarding demo: no element to point at");
        return;
    }
    state_->detectedElementBubbleText = parsed.spokenText;
    state_->detectedElementScreenLocation = screenPointOf(*parsed.coordinate, c);
    state_->detectedElementDisplayFrame = c.displayFrame;
    logLine("🎯 Onboarding demo: pointing at \"" + parsed.elementLabel.value_or("element") + "\" — \"" + parsed.spokenText + "\"");
}

// ---- the prompt ----

void OnboardingFlow::invalidateOnboardingPromptTyping() {
    if (onboardingPromptTypingTimer_) onboardingPromptTypingTimer_->invalidate();
    onboardingPromptTypingTimer_.reset();
}

void OnboardingFlow::presentOnboardingPrompt() {
    sequenceChecker_.check();
    invalidateOnboardingPromptTyping();  // one prompt types into the field at a time
    state_->onboardingPromptText = std::string();
    state_->showOnboardingPrompt = true;
    state_->onboardingPromptOpacity = 0.0;
    state_->onboardingPromptOpacity = 1.0;  // the cursor view eases it in
    onboardingPromptCharacters_ = graphemeClusters(onboardingPromptMessage);
    onboardingPromptCharacterIndex_ = 0;
    auto self = shared_from_this();
    onboardingPromptTypingTimer_ = Timer::scheduled(0.03s, true, [self](Timer&) { self->typeOnboardingPromptTick(); });
}

void OnboardingFlow::typeOnboardingPromptTick() {
    if (onboardingPromptCharacterIndex_ < onboardingPromptCharacters_.size()) {
        state_->onboardingPromptText = state_->onboardingPromptText.get() + onboardingPromptCharacters_[onboardingPromptCharacterIndex_];
        ++onboardingPromptCharacterIndex_;
        return;
    }
    invalidateOnboardingPromptTyping();
    auto self = shared_from_this();
    MainLoop::postToMainAfter(10.0s, [self] { self->hideOnboardingPrompt(); });
}

void OnboardingFlow::hideOnboardingPrompt() {
    sequenceChecker_.check();
    if (!state_->showOnboardingPrompt) return;
    invalidateOnboardingPromptTyping();  // or it types on into the hidden field
    state_->onboardingPromptOpacity = 0.0;  // the cursor view eases it out
    auto self = shared_from_this();
    MainLoop::postToMainAfter(0.35s, [self] {
        self->state_->showOnboardingPrompt = false;
        self->state_->onboardingPromptText = std::string();
    });
}

}  // namespace velmo
