#include "interface/BlueCursorView.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

#include "interface/OnboardingVideoPlayerView.h"
#include "interface/drawing/CompanionPalette.h"
#include "interface/drawing/CursorGlyphs.h"
#include "interface/drawing/Painter.h"
#include "platform/desktop/ScreenLayer.h"
#include "platform/foundation/Unicode.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/Timer.h"

using namespace std::chrono_literals;

namespace velmo {

const std::array<const char*, 6> BlueCursorView::navigationPointerPhrases{"right here!", "this one!",   "over here!",
                                                                          "click this!", "here it is!", "found it!"};

namespace {

constexpr double kPi = std::numbers::pi;
const Point kFollowOffset{35, 25};
// How far a glyph and its glow reach from its centre, and how far inside an edge with no
// screen beyond it the glyph is kept.
constexpr double kGlyphReach = 12;
constexpr double kGlyphEdgeInset = 10;

Point operator+(Point a, Point b) { return {a.x + b.x, a.y + b.y}; }
double distance(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

const Animation& followSpring() {
    static const Animation a = Animation::spring(Seconds(0.2), 0.6);
    return a;
}

const Font& bubbleFont() {
    static const Font f{"sans-serif", 11, 500};
    return f;
}

// The bubble style: white text padded 8 x 4 on a blue rounded card with a blue glow.
Size bubbleSizeFor(const std::string& text) {
    Size t = Painter::measureText(text, bubbleFont());
    return {t.width + 16, t.height + 8};
}

void appendBubble(LayerList& out, const std::string& id, const std::string& text, Point center, double scale, double opacity,
                  double shadowOpacity, double shadowRadius) {
    Layer card;
    card.id = id;
    card.kind = Layer::Kind::RoundedRect;
    card.center = center;
    card.size = bubbleSizeFor(text);
    card.cornerRadius = 6;
    card.fill = CompanionPalette::cursorBlue();
    card.shadow = Shadow{CompanionPalette::cursorBlue(), shadowOpacity, std::max(0.0, shadowRadius), {0, 0}};
    card.scale = scale;
    card.opacity = opacity;
    Layer label;
    label.id = id + ".text";
    label.kind = Layer::Kind::Text;
    label.center = center;
    label.size = Painter::measureText(text, bubbleFont());
    label.text = text;
    label.font = bubbleFont();
    label.fill = Color::white();
    label.scale = scale;
    label.opacity = opacity;
    out.push_back(std::move(card));
    out.push_back(std::move(label));
}

double wallClockReferenceSeconds() { return secondsSinceReferenceDate(std::chrono::system_clock::now()); }

}  // namespace

// Everything scheduled callbacks read and write: they hold this, never the view.
struct BlueCursorView::Shared : std::enable_shared_from_this<BlueCursorView::Shared> {
    Rect screenFrame;
    std::vector<Rect> screens;  // every screen of the overlay, this one included
    bool isFirstAppearance = false;
    std::weak_ptr<CompanionManager> companion;
    std::function<Point()> mouseLocation;
    std::shared_ptr<CursorRandomSource> random;
    std::shared_ptr<ScreenLayer> pointerMotion;
    Cancellable pointerMoves;
    std::optional<Point> lastMouse;  // as the last follow tick read it
    AnimationEngine* engine = nullptr;

    State state;
    std::shared_ptr<Timer> timer;
    std::shared_ptr<Timer> navigationAnimationTimer;
    std::optional<Animation> cursorOpacityAnimation;  // explicit, taken by the next commit
    std::optional<Animation> bubbleOpacityAnimation;
    bool appeared = false;
    bool disappeared = false;

    std::function<void()> requestCommit;

    void changed() {
        state.hasTimer = timer != nullptr;
        state.hasNavigationAnimationTimer = navigationAnimationTimer != nullptr;
        if (requestCommit) requestCommit();
    }

    Point local(Point g) const { return {g.x - screenFrame.minX(), screenFrame.minY() + screenFrame.height - g.y}; }
    Point mouse() const { return mouseLocation(); }

    void startTrackingCursor() {
        Point m = mouse();
        lastMouse = m;
        state.isCursorOnThisScreen = screenFrame.contains(m);
        state.cursorPosition = local(m) + kFollowOffset;
        placeGlyph(m);
        // The repeating timers are kept here, so they hold the state weakly (no cycle).
        std::weak_ptr<Shared> weak = weak_from_this();
        timer = Timer::scheduled(followInterval, true, [weak](Timer& t) {
            if (auto self = weak.lock())
                self->updateCursorPosition();
            else
                t.invalidate();
        });
        if (pointerMotion) {
            pointerMoves = pointerMotion->observePointerMotion([weak] {
                auto self = weak.lock();
                if (self && self->timer && self->timer->isSuspended()) self->timer->resume();
            });
        }
        auto self = shared_from_this();
        if (isFirstAppearance && state.isCursorOnThisScreen) {
            cursorOpacityAnimation = Animation::easeIn(Seconds(2.0));
            state.cursorOpacity = 1.0;
            MainLoop::postToMainAfter(2.0s, [self] { self->startWelcomeAnimation(); });
        } else {
            state.cursorOpacity = 1.0;
        }
        changed();
    }

    void updateCursorPosition() {
        Point m = mouse();
        const bool still = lastMouse == m;
        lastMouse = m;
        State before = state;
        state.isCursorOnThisScreen = screenFrame.contains(m);
        if (state.mirrinNavigationMode == MirrinNavigationMode::navigatingToTarget && state.isReturningToCursor) {
            if (distance(local(m), state.cursorPositionWhenNavigationStarted) > 100) cancelReturnToCursor();
        } else if (state.mirrinNavigationMode == MirrinNavigationMode::followingCursor) {
            state.cursorPosition = local(m) + kFollowOffset;
        }
        placeGlyph(m);
        if (!(before == state)) {
            changed();
        } else if (still) {
            restFollowTimerIfQuiet();
        }
    }

    // The glyph sits below-right of the pointer, so near a right or bottom edge it leaves the
    // pointer's screen: a neighbouring screen it reaches draws it (both do while it straddles
    // the seam); where no screen lies beyond, the pointer's screen keeps it inside its edge.
    void placeGlyph(Point m) {
        Point g{m.x + kFollowOffset.x, m.y - kFollowOffset.y};
        Point lg = local(g);
        bool held = std::any_of(screens.begin(), screens.end(), [&](const Rect& r) { return r.contains(g); });
        if (held) {
            state.isGlyphOnThisScreen = g.x + kGlyphReach > screenFrame.minX() && g.x - kGlyphReach < screenFrame.maxX() &&
                                        g.y + kGlyphReach > screenFrame.minY() && g.y - kGlyphReach < screenFrame.maxY();
            state.glyphPosition = lg;
            return;
        }
        state.isGlyphOnThisScreen = screenFrame.contains(m);
        auto inside = [](double v, double extent) {
            return extent < 2 * kGlyphEdgeInset ? extent / 2 : std::clamp(v, kGlyphEdgeInset, extent - kGlyphEdgeInset);
        };
        state.glyphPosition = {inside(lg.x, screenFrame.width), inside(lg.y, screenFrame.height)};
    }

    // Nothing a tick reads can change before the pointer moves, and the announced move brings
    // back the tick that is due next.
    void restFollowTimerIfQuiet() {
        if (!timer || !pointerMotion || (engine && engine->isRunning()) || !pointerMotion->announcesPointerMotion()) return;
        timer->suspend();
    }

    void startWelcomeAnimation() {
        // A view taken away must not type on, nor start a second onboarding video.
        if (disappeared) return;
        state.bubbleOpacity = 0;
        bubbleOpacityAnimation = Animation::easeIn(Seconds(0.4));
        state.bubbleOpacity = 1.0;
        changed();
        auto characters = std::make_shared<std::vector<std::string>>(graphemeClusters(fullWelcomeMessage));
        auto counter = std::make_shared<std::size_t>(0);
        auto self = shared_from_this();
        Timer::scheduled(0.03s, true, [self, characters, counter](Timer& t) {
            if (self->disappeared) {
                t.invalidate();
                return;
            }
            if (*counter < characters->size()) {
                self->state.welcomeText += (*characters)[*counter];
                ++*counter;
                self->changed();
                return;
            }
            t.invalidate();
            MainLoop::postToMainAfter(2.0s, [self] {
                if (self->disappeared) return;
                self->state.bubbleOpacity = 0;
                self->changed();
            });
            MainLoop::postToMainAfter(2.5s, [self] { self->finishWelcome(); });
        });
    }

    void finishWelcome() {
        if (disappeared) return;
        state.showWelcome = false;
        changed();
        if (auto c = companion.lock()) c->startOnboardingVideo();
    }

    void stopTrackingCursor() {
        disappeared = true;
        pointerMoves.cancel();
        if (timer) timer->invalidate();
        timer.reset();
        if (navigationAnimationTimer) navigationAnimationTimer->invalidate();
        navigationAnimationTimer.reset();
        changed();
        if (auto c = companion.lock()) c->stopOnboardingVideo();
    }

    void handleDetectedElementLocationChange(const std::optional<Point>& v) {
        if (!v || disappeared) return;
        auto c = companion.lock();
        if (!c) return;
        std::optional<Rect> f = c->detectedElementDisplayFrame().get();
        if (!f) return;
        if (BlueCursorOverlay::screenTakesTarget(screenFrame, *f)) navigateToDetectedElement(*v);
    }

    void navigateToDetectedElement(Point v) {
        if (state.showWelcome && !state.welcomeText.empty()) {
            // Refused for good: cleared, or every screen's cursor would stay hidden behind it.
            if (auto c = companion.lock()) c->clearDetectedElementLocation();
            return;
        }
        Point lv = local(v);
        Point target{std::max(20.0, std::min(screenFrame.width - 20, lv.x + 8)),
                     std::max(20.0, std::min(screenFrame.height - 20, lv.y + 12))};
        state.cursorPositionWhenNavigationStarted = local(mouse());
        state.mirrinNavigationMode = MirrinNavigationMode::navigatingToTarget;
        state.isReturningToCursor = false;
        auto self = shared_from_this();
        startNavigation(target, [self] {
            if (self->state.mirrinNavigationMode == MirrinNavigationMode::navigatingToTarget) self->arriveAtTarget();
        });
    }

    void startNavigation(Point p1, std::function<void()> completion) {
        if (navigationAnimationTimer) navigationAnimationTimer->invalidate();
        navigationAnimationTimer.reset();
        // A view taken away flies no more: its steps still pending end here.
        if (disappeared) return;
        Point p0 = state.cursorPosition;
        double d = distance(p0, p1);
        double duration = std::min(std::max(d / 800, 0.6), 1.4);
        int frames = int(duration / (1.0 / 60.0));
        Point control{(p0.x + p1.x) / 2, (p0.y + p1.y) / 2 - std::min(0.2 * d, 80.0)};
        auto n = std::make_shared<int>(0);
        std::weak_ptr<Shared> weak = weak_from_this();
        navigationAnimationTimer = Timer::scheduled(flightFrameInterval, true, [weak, n, frames, p0, p1, control, completion](Timer& t) {
            auto self = weak.lock();
            if (!self) {
                t.invalidate();
                return;
            }
            *n += 1;
            State& s = self->state;
            if (*n > frames) {
                t.invalidate();
                if (self->navigationAnimationTimer.get() == &t) self->navigationAnimationTimer.reset();
                s.cursorPosition = p1;
                s.mirrinFlightScale = 1.0;
                self->changed();
                completion();
                return;
            }
            double tt = double(*n) / frames;
            double e = tt * tt * (3 - 2 * tt);
            double a = (1 - e) * (1 - e), b = 2 * (1 - e) * e, c = e * e;
            s.cursorPosition = {a * p0.x + b * control.x + c * p1.x, a * p0.y + b * control.y + c * p1.y};
            Point tangent{2 * (1 - e) * (control.x - p0.x) + 2 * e * (p1.x - control.x),
                          2 * (1 - e) * (control.y - p0.y) + 2 * e * (p1.y - control.y)};
            s.triangleRotationDegrees = std::atan2(tangent.y, tangent.x) * 180 / kPi + 90;
            s.mirrinFlightScale = 1 + 0.3 * std::sin(kPi * tt);
            self->changed();
        });
        changed();
    }

    void arriveAtTarget() {
        state.mirrinNavigationMode = MirrinNavigationMode::pointingAtTarget;
        state.triangleRotationDegrees = -35;
        state.navigationBubbleText.clear();
        state.navigationBubbleOpacity = 1.0;
        state.navigationBubbleSize = {0, 0};
        state.navigationBubbleScale = 0.5;
        changed();
        std::string text;
        auto c = companion.lock();
        if (c && c->detectedElementBubbleText().get()) {
            text = *c->detectedElementBubbleText().get();
        } else {
            std::size_t count = navigationPointerPhrases.size();
            std::size_t i = std::min(count - 1, std::size_t(random->unit() * double(count)));
            text = count ? navigationPointerPhrases[i] : "right here!";
        }
        auto characters = std::make_shared<const std::vector<std::string>>(graphemeClusters(text));
        auto self = shared_from_this();
        typeNavigationBubbleText(characters, 0, [self] { self->holdNavigationBubble(); });
    }

    void typeNavigationBubbleText(std::shared_ptr<const std::vector<std::string>> text, std::size_t i, std::function<void()> completion) {
        if (state.mirrinNavigationMode != MirrinNavigationMode::pointingAtTarget) return;
        if (i >= text->size()) {
            completion();
            return;
        }
        state.navigationBubbleText += (*text)[i];
        if (i == 0) state.navigationBubbleScale = 1.0;
        changed();
        const Seconds delay(0.03 + random->unit() * 0.03);
        auto self = shared_from_this();
        MainLoop::postToMainAfter(delay, [self, text, i, completion] { self->typeNavigationBubbleText(text, i + 1, completion); });
    }

    void holdNavigationBubble() {
        auto self = shared_from_this();
        MainLoop::postToMainAfter(6.0s, [self] { self->fadeOutNavigationBubble(); });
    }

    void fadeOutNavigationBubble() {
        if (state.mirrinNavigationMode != MirrinNavigationMode::pointingAtTarget) return;
        state.navigationBubbleOpacity = 0;
        changed();
        auto self = shared_from_this();
        MainLoop::postToMainAfter(0.5s, [self] {
            if (self->state.mirrinNavigationMode == MirrinNavigationMode::pointingAtTarget) self->returnToCursor();
        });
    }

    void returnToCursor() {
        Point l = local(mouse());
        state.cursorPositionWhenNavigationStarted = l;
        state.mirrinNavigationMode = MirrinNavigationMode::navigatingToTarget;
        state.isReturningToCursor = true;
        auto self = shared_from_this();
        startNavigation(l + kFollowOffset, [self] { self->finishNavigation(); });
    }

    void cancelReturnToCursor() {
        if (navigationAnimationTimer) navigationAnimationTimer->invalidate();
        navigationAnimationTimer.reset();
        state.navigationBubbleText.clear();
        state.navigationBubbleOpacity = 0;
        state.navigationBubbleScale = 1.0;
        state.mirrinFlightScale = 1.0;
        finishNavigation();
    }

    void finishNavigation() {
        if (navigationAnimationTimer) navigationAnimationTimer->invalidate();
        navigationAnimationTimer.reset();
        state.mirrinNavigationMode = MirrinNavigationMode::followingCursor;
        state.isReturningToCursor = false;
        state.triangleRotationDegrees = -35;
        state.mirrinFlightScale = 1.0;
        state.navigationBubbleText.clear();
        state.navigationBubbleOpacity = 0;
        state.navigationBubbleScale = 1.0;
        changed();
        if (auto c = companion.lock()) c->clearDetectedElementLocation();
    }

    bool isCursorGlyphVisible() const {
        if (state.mirrinNavigationMode != MirrinNavigationMode::followingCursor) return true;
        auto c = companion.lock();
        if (c && c->detectedElementScreenLocation().get()) return false;
        return state.isGlyphOnThisScreen;
    }
};

// What is drawn: the animated layer values, moved to the state at the end of each turn.
struct BlueCursorView::Presentation {
    // Everything the layers follow; a commit that finds it unchanged draws nothing.
    struct Inputs {
        State state;
        bool glyphVisible = false;
        CompanionVoiceState voiceState = CompanionVoiceState::idle;
        double audioPowerLevel = 0;
        double onboardingVideoOpacity = 0;
        const VideoPlayer* onboardingVideoPlayer = nullptr;
        bool showOnboardingPrompt = false;
        std::string onboardingPromptText;
        double onboardingPromptOpacity = 0;
        bool operator==(const Inputs&) const = default;
    };

    explicit Presentation(AnimationEngine& e, std::shared_ptr<Shared> s)
        : engine(e),
          shared(std::move(s)),
          welcomeAnchor(e, {}),
          welcomeOpacity(e, 1.0),
          videoAnchor(e, {}),
          videoOpacity(e, 0),
          promptAnchor(e, {}),
          promptOpacity(e, 0),
          bubbleAnchor(e, {}),
          bubbleScale(e, 1.0),
          bubbleOpacity(e, 0),
          triangleCenter(e, {}),
          triangleRotation(e, -35),
          triangleOpacity(e, 0),
          waveformCenter(e, {}),
          waveformOpacity(e, 0),
          waveformLevel(e, 0),
          spinnerCenter(e, {}),
          spinnerOpacity(e, 0) {}

    AnimationEngine& engine;
    std::shared_ptr<Shared> shared;
    std::function<void()> needsDisplay;
    // Hosts the companion's video player; its pictures fill the video layer.
    std::unique_ptr<AVPlayerNSView> videoView = OnboardingVideoPlayerView{nullptr}.makeView();
    Cancellable frames;
    FrameHold waveformHold;
    FrameHold spinnerHold;
    double spinStart = 0;
    bool commitPosted = false;
    bool bubbleWasPresent = false;
    std::optional<Inputs> last;

    Animated<Point> welcomeAnchor;
    Animated<double> welcomeOpacity;
    Animated<Point> videoAnchor;
    Animated<double> videoOpacity;
    Animated<Point> promptAnchor;
    Animated<double> promptOpacity;
    Animated<Point> bubbleAnchor;
    Animated<double> bubbleScale;
    Animated<double> bubbleOpacity;
    Animated<Point> triangleCenter;
    Animated<double> triangleRotation;
    Animated<double> triangleOpacity;
    Animated<Point> waveformCenter;
    Animated<double> waveformOpacity;
    Animated<double> waveformLevel;  // the bars' shaped level, gliding between levels
    Animated<Point> spinnerCenter;
    Animated<double> spinnerOpacity;
    std::function<double()> referenceDateSeconds;
    CompanionVoiceState voiceState = CompanionVoiceState::idle;
    double audioPowerLevel = 0;
    bool showOnboardingPrompt = false;
    std::string onboardingPromptText;

    bool welcomePresent() const {
        const State& s = shared->state;
        return s.isCursorOnThisScreen && s.showWelcome && !s.welcomeText.empty();
    }
    bool promptPresent() const { return shared->state.isCursorOnThisScreen && showOnboardingPrompt && !onboardingPromptText.empty(); }
    bool pointingBubblePresent() const {
        const State& s = shared->state;
        return s.mirrinNavigationMode == MirrinNavigationMode::pointingAtTarget && !s.navigationBubbleText.empty();
    }

    void commit() {
        commitPosted = false;
        auto c = shared->companion.lock();
        State& s = shared->state;
        Inputs in;
        if (c) {
            in.voiceState = c->voiceState().get();
            in.audioPowerLevel = c->currentAudioPowerLevel().get();
            in.onboardingVideoOpacity = c->onboardingVideoOpacity().get();
            in.onboardingVideoPlayer = c->onboardingVideoPlayer().get().get();
            in.showOnboardingPrompt = c->showOnboardingPrompt().get();
            in.onboardingPromptText = c->onboardingPromptText().get();
            in.onboardingPromptOpacity = c->onboardingPromptOpacity().get();
        }
        OnboardingVideoPlayerView{c ? c->onboardingVideoPlayer().get() : nullptr}.updateView(*videoView);
        voiceState = in.voiceState;
        audioPowerLevel = in.audioPowerLevel;
        showOnboardingPrompt = in.showOnboardingPrompt;
        onboardingPromptText = in.onboardingPromptText;
        // The bubbles report their measured sizes while they are shown.
        if (welcomePresent()) s.bubbleSize = bubbleSizeFor(s.welcomeText);
        if (promptPresent()) s.bubbleSize = bubbleSizeFor(onboardingPromptText);
        if (pointingBubblePresent()) s.navigationBubbleSize = bubbleSizeFor(s.navigationBubbleText);
        in.state = s;
        in.glyphVisible = shared->isCursorGlyphVisible();
        auto cursorOpacityAnimation = std::exchange(shared->cursorOpacityAnimation, std::nullopt);
        auto bubbleOpacityAnimation = std::exchange(shared->bubbleOpacityAnimation, std::nullopt);
        // The fade-in writes 0 then 1 in one turn: the state is unchanged but the bubble fades.
        if (last && *last == in && !bubbleOpacityAnimation) return;
        Inputs before = last.value_or(Inputs{});
        bool first = !last;
        last = in;

        bool moved = first || !(before.state.cursorPosition == s.cursorPosition);
        auto spring = [&](bool changed) { return changed ? std::optional<Animation>(followSpring()) : std::nullopt; };
        auto ifChanged = [](bool changed, Animation a) { return changed ? std::optional<Animation>(a) : std::nullopt; };
        if (first) {
            for (auto* a : {&welcomeAnchor, &videoAnchor, &promptAnchor, &bubbleAnchor, &triangleCenter, &waveformCenter, &spinnerCenter})
                a->jump(s.cursorPosition);
        }
        welcomeAnchor.set(s.cursorPosition, spring(moved));
        videoAnchor.set(s.cursorPosition, spring(moved));
        promptAnchor.set(s.cursorPosition, spring(moved));
        bubbleAnchor.set(s.cursorPosition, spring(moved));
        bool following = s.mirrinNavigationMode == MirrinNavigationMode::followingCursor;
        bool wasFollowing = before.state.mirrinNavigationMode == MirrinNavigationMode::followingCursor;
        Point glyphAt = following ? s.glyphPosition : s.cursorPosition;
        Point glyphWas = wasFollowing ? before.state.glyphPosition : before.state.cursorPosition;
        bool glyphMoved = first || !(glyphWas == glyphAt);
        if (first) {
            for (auto* a : {&triangleCenter, &waveformCenter, &spinnerCenter}) a->jump(glyphAt);
        }
        waveformCenter.set(glyphAt, spring(glyphMoved));
        spinnerCenter.set(glyphAt, spring(glyphMoved));
        triangleCenter.set(glyphAt, following ? spring(glyphMoved) : std::nullopt);
        // The bars glide to a new level instead of jumping to it.
        waveformLevel.set(BlueCursorWaveformView::shapedLevel(in.audioPowerLevel),
                          first ? std::nullopt : ifChanged(before.audioPowerLevel != in.audioPowerLevel, Animation::linear(Seconds(0.08))));

        auto withExplicit = [](const std::optional<Animation>& a, const std::function<void()>& body) {
            if (a)
                withAnimation(*a, body);
            else
                body();
        };
        if (bubbleOpacityAnimation) {
            // The welcome's own fade-in: from 0 with its explicit curve, over the layer's fade.
            welcomeOpacity.jump(0);
            welcomeOpacity.set(s.bubbleOpacity, bubbleOpacityAnimation);
        } else {
            welcomeOpacity.set(s.bubbleOpacity, ifChanged(before.state.bubbleOpacity != s.bubbleOpacity, Animation::easeOut(Seconds(0.5))));
        }
        videoOpacity.set(s.isCursorOnThisScreen ? in.onboardingVideoOpacity : 0,
                         ifChanged(before.onboardingVideoOpacity != in.onboardingVideoOpacity, Animation::easeInOut(Seconds(2.0))));
        promptOpacity.set(in.onboardingPromptOpacity,
                          ifChanged(before.onboardingPromptOpacity != in.onboardingPromptOpacity, Animation::easeOut(Seconds(0.4))));
        // Arrival sets half size and the first character full size in one turn: the bubble
        // still appears at half size and springs up.
        bool bubbleAppears = pointingBubblePresent() && !bubbleWasPresent;
        bubbleWasPresent = pointingBubblePresent();
        if (bubbleAppears && s.navigationBubbleScale == 1.0) bubbleScale.jump(0.5);
        bubbleScale.set(s.navigationBubbleScale, ifChanged(bubbleAppears || before.state.navigationBubbleScale != s.navigationBubbleScale,
                                                           Animation::spring(Seconds(0.4), 0.6)));
        bubbleOpacity.set(s.navigationBubbleOpacity,
                          ifChanged(before.state.navigationBubbleOpacity != s.navigationBubbleOpacity, Animation::easeOut(Seconds(0.5))));
        bool navigating = s.mirrinNavigationMode == MirrinNavigationMode::navigatingToTarget;
        triangleRotation.set(
            s.triangleRotationDegrees,
            navigating ? std::nullopt
                       : ifChanged(before.state.triangleRotationDegrees != s.triangleRotationDegrees, Animation::easeInOut(Seconds(0.3))));

        bool voiceChanged = !first && before.voiceState != in.voiceState;
        auto group = [&](bool member) { return in.glyphVisible && member ? s.cursorOpacity : 0.0; };
        CompanionVoiceState v = in.voiceState;
        withExplicit(cursorOpacityAnimation, [&] {
            triangleOpacity.set(group(v == CompanionVoiceState::idle || v == CompanionVoiceState::responding),
                                ifChanged(voiceChanged, Animation::easeIn(Seconds(0.25))));
            waveformOpacity.set(group(v == CompanionVoiceState::listening), ifChanged(voiceChanged, Animation::easeIn(Seconds(0.15))));
            spinnerOpacity.set(group(v == CompanionVoiceState::processing), ifChanged(voiceChanged, Animation::easeIn(Seconds(0.15))));
        });
        updateHolds();
        // A running clock draws this on its next frame: one frame for the tick, whatever
        // changed in it.
        if (needsDisplay && !engine.isRunning()) needsDisplay();
    }

    // The waveform's timeline and the spinner's turn run only while they can be seen.
    void updateHolds() {
        bool wave = waveformOpacity.value() > 0 || waveformOpacity.target() > 0;
        bool spin = spinnerOpacity.value() > 0 || spinnerOpacity.target() > 0;
        if (wave && !waveformHold) waveformHold = engine.holdFrames();
        if (!wave && waveformHold) waveformHold.release();
        if (spin && !spinnerHold) spinnerHold = engine.holdFrames();
        if (!spin && spinnerHold) spinnerHold.release();
    }

    LayerList layers(const Rect& screenFrame) const {
        const State& s = shared->state;
        LayerList out;
        Layer background;
        background.id = "background";
        background.kind = Layer::Kind::RoundedRect;
        background.size = {screenFrame.width, screenFrame.height};
        background.center = {screenFrame.width / 2, screenFrame.height / 2};
        background.fill = Color{0, 0, 0, 0.001};
        out.push_back(background);

        if (welcomePresent()) {
            double o = welcomeOpacity.value();
            Point a = welcomeAnchor.value();
            if (o > 0) appendBubble(out, "welcome", s.welcomeText, {a.x + 10 + s.bubbleSize.width * 0.5, a.y + 18}, 1.0, o, 0.5, 6);
        }
        if (double o = videoOpacity.value(); o > 0) {
            Point a = videoAnchor.value();
            Layer video;
            video.id = "video";
            video.kind = Layer::Kind::Image;
            video.center = {a.x + 10 + onboardingVideoPlayerWidth / 2, a.y + 18 + onboardingVideoPlayerHeight / 2};
            video.size = {onboardingVideoPlayerWidth, onboardingVideoPlayerHeight};
            video.clipCornerRadius = 10;
            video.shadow = Shadow{Color::black(), 0.4 * o, 12, {0, 6}};
            video.opacity = o;
            video.image = videoView->currentImage();
            out.push_back(std::move(video));
        }
        if (promptPresent()) {
            double o = promptOpacity.value();
            Point a = promptAnchor.value();
            if (o > 0) appendBubble(out, "prompt", onboardingPromptText, {a.x + 10 + s.bubbleSize.width * 0.5, a.y + 18}, 1.0, o, 0.5, 6);
        }
        if (pointingBubblePresent()) {
            double o = bubbleOpacity.value();
            double k = bubbleScale.value();
            Point a = bubbleAnchor.value();
            if (o > 0)
                appendBubble(out, "bubble", s.navigationBubbleText, {a.x + 10 + s.navigationBubbleSize.width * 0.5, a.y + 18}, k, o,
                             1.5 - k, (1 - k) * 16 + 6);
        }
        if (double o = triangleOpacity.value(); o > 0) {
            Layer t = Triangle::layer(triangleCenter.value(), triangleRotation.value());
            t.shadow = Shadow{CompanionPalette::cursorBlue(), 1.0, (s.mirrinFlightScale - 1) * 20 + 8, {0, 0}};
            t.scale = s.mirrinFlightScale;
            t.opacity = o;
            out.push_back(std::move(t));
        }
        if (double o = waveformOpacity.value(); o > 0) {
            // A timeline of at most 36 updates a second.
            double t = std::floor(referenceDateSeconds() * 36) / 36;
            BlueCursorWaveformView wave{audioPowerLevel, 5, {0.4, 0.7, 1.0, 0.7, 0.4}};
            Layer w = wave.layerAtShapedLevel(waveformCenter.value(), waveformLevel.value(), t);
            w.opacity = o;
            out.push_back(std::move(w));
        }
        if (double o = spinnerOpacity.value(); o > 0) {
            double turns = (engine.now() - spinStart) / BlueCursorSpinnerView::turnDuration.count();
            Layer sp = BlueCursorSpinnerView::layer(spinnerCenter.value(), 360 * (turns - std::floor(turns)));
            sp.opacity = o;
            out.push_back(std::move(sp));
        }
        return out;
    }
};

BlueCursorView::BlueCursorView(Rect screenFrame, bool isFirstAppearance, CompanionManager& companionManager)
    : BlueCursorView(screenFrame, isFirstAppearance, companionManager, Environment{}) {}

BlueCursorView::BlueCursorView(Rect screenFrame, bool isFirstAppearance, CompanionManager& companionManager, Environment environment)
    : screenFrame_(screenFrame),
      shared_(std::make_shared<Shared>()) {
    shared_->screenFrame = screenFrame;
    shared_->screens = environment.screenFrames.empty() ? std::vector<Rect>{screenFrame} : environment.screenFrames;
    shared_->isFirstAppearance = isFirstAppearance;
    shared_->companion = companionManager.weak_from_this();
    if (!environment.mouseLocation && !environment.pointerMotion) environment.pointerMotion = ScreenLayer::current();
    shared_->pointerMotion = std::move(environment.pointerMotion);
    shared_->mouseLocation = environment.mouseLocation ? std::move(environment.mouseLocation)
                                                       : std::function<Point()>([] { return ScreenLayer::current()->mouseLocation(); });
    shared_->random =
        environment.random ? std::move(environment.random) : std::make_shared<SeededCursorRandomSource>(std::random_device{}());
    AnimationEngine* engine = environment.engine;
    if (!engine) {
        ownEngine_ = std::make_unique<AnimationEngine>();
        engine = ownEngine_.get();
    }
    shared_->engine = engine;
    presentation_ = std::make_shared<Presentation>(*engine, shared_);
    presentation_->referenceDateSeconds =
        environment.referenceDateSeconds ? std::move(environment.referenceDateSeconds) : std::function<double()>(wallClockReferenceSeconds);
    presentation_->spinStart = engine->now();
    std::weak_ptr<Presentation> weak = presentation_;
    presentation_->videoView->setFrame({0, 0, onboardingVideoPlayerWidth, onboardingVideoPlayerHeight});
    presentation_->videoView->layout();
    presentation_->videoView->setNeedsDisplayHandler([weak] {
        auto p = weak.lock();
        if (p && p->needsDisplay && p->videoOpacity.value() > 0) p->needsDisplay();
    });
    shared_->requestCommit = [weak] {
        auto p = weak.lock();
        if (!p || p->commitPosted) return;
        p->commitPosted = true;
        MainLoop::postToMain([weak] {
            if (auto p = weak.lock()) p->commit();
        });
    };
    presentation_->frames = engine->onFrame([weak] {
        auto p = weak.lock();
        if (!p) return;
        p->updateHolds();
        if (p->needsDisplay) p->needsDisplay();
    });

    std::weak_ptr<Shared> weakShared = shared_;
    observer_.onChange(companionManager.detectedElementScreenLocation(),
                       [weakShared](const std::optional<Point>&, const std::optional<Point>& now) {
                           if (auto s = weakShared.lock()) s->handleDetectedElementLocationChange(now);
                       });
    observer_.watch(companionManager.voiceState());
    observer_.watch(companionManager.currentAudioPowerLevel());
    observer_.watch(companionManager.detectedElementDisplayFrame());
    observer_.watch(companionManager.detectedElementBubbleText());
    observer_.watch(companionManager.onboardingVideoOpacity());
    observer_.watch(companionManager.onboardingVideoPlayer());
    observer_.watch(companionManager.showOnboardingPrompt());
    observer_.watch(companionManager.onboardingPromptText());
    observer_.watch(companionManager.onboardingPromptOpacity());
    observer_.onAnyChange([weakShared] {
        if (auto s = weakShared.lock()) s->changed();
    });
}

BlueCursorView::~BlueCursorView() {
    if (shared_->appeared && !shared_->disappeared) disappear();
    shared_->requestCommit = nullptr;
}

void BlueCursorView::appear() {
    if (shared_->appeared) return;
    shared_->appeared = true;
    shared_->startTrackingCursor();
}

void BlueCursorView::disappear() {
    if (!shared_->appeared || shared_->disappeared) return;
    shared_->stopTrackingCursor();
}

const BlueCursorView::State& BlueCursorView::state() const { return shared_->state; }
bool BlueCursorView::isCursorGlyphVisible() const { return shared_->isCursorGlyphVisible(); }
Point BlueCursorView::local(Point global) const { return shared_->local(global); }

LayerList BlueCursorView::layers() const { return presentation_->layers(screenFrame_); }

void BlueCursorView::setNeedsDisplayHandler(std::function<void()> handler) { presentation_->needsDisplay = std::move(handler); }

void BlueCursorView::commit() { presentation_->commit(); }

// ---- the overlay's views ----

bool BlueCursorOverlay::screenTakesTarget(const Rect& screenFrame, const Rect& displayFrame) {
    return screenFrame.contains({displayFrame.midX(), displayFrame.midY()}) || displayFrame == screenFrame;
}

BlueCursorOverlay::BlueCursorOverlay(const std::vector<Rect>& screenFrames, bool isFirstAppearance, CompanionManager& companionManager)
    : BlueCursorOverlay(screenFrames, isFirstAppearance, companionManager, BlueCursorView::Environment{}) {}

BlueCursorOverlay::BlueCursorOverlay(const std::vector<Rect>& screenFrames, bool isFirstAppearance, CompanionManager& companionManager,
                                     BlueCursorView::Environment environment)
    : companion_(companionManager.weak_from_this()),
      engine_(std::make_unique<AnimationEngine>()),
      frames_(screenFrames) {
    if (!environment.engine) environment.engine = engine_.get();
    if (environment.screenFrames.empty()) environment.screenFrames = screenFrames;
    if (!environment.mouseLocation) {
        if (!environment.pointerMotion) environment.pointerMotion = ScreenLayer::current();
        environment.mouseLocation = [] { return ScreenLayer::current()->mouseLocation(); };
    }
    if (!environment.random) environment.random = std::make_shared<SeededCursorRandomSource>(std::random_device{}());
    for (const Rect& frame : screenFrames)
        views_.push_back(std::make_unique<BlueCursorView>(frame, isFirstAppearance, companionManager, environment));
    // A target no view takes: cleared when it arrives. One already set when the overlay is
    // shown is taken by no view either (they fly only to new targets).
    observer_.onChange(companionManager.detectedElementScreenLocation(),
                       [this](const std::optional<Point>&, const std::optional<Point>& now) {
                           if (now) clearUnownedTarget();
                       });
    for (auto& view : views_) view->appear();
    if (companionManager.detectedElementScreenLocation().get()) companionManager.clearDetectedElementLocation();
}

BlueCursorOverlay::~BlueCursorOverlay() = default;

void BlueCursorOverlay::clearUnownedTarget() {
    auto c = companion_.lock();
    if (!c || !c->detectedElementScreenLocation().get()) return;
    std::optional<Rect> f = c->detectedElementDisplayFrame().get();
    bool taken = f && std::any_of(frames_.begin(), frames_.end(), [&](const Rect& screen) { return screenTakesTarget(screen, *f); });
    if (!taken) c->clearDetectedElementLocation();
}

}  // namespace velmo
