#pragma once

// The blue cursor of one screen's overlay: it follows the mouse, shows the voice state, types
// the welcome on the first appearance, and flies to the spot the companion points at, types a
// bubble there, holds it and flies back.
//
// Thread contract: bound to the main thread, like the companion object it observes. Timers and
// delayed steps hold the view's state (never the view), so one that fires after the view is
// gone is harmless.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "companion/CompanionManager.h"
#include "interface/drawing/Animation.h"
#include "interface/drawing/ChangeObserver.h"
#include "interface/drawing/Layer.h"
#include "platform/desktop/Geometry.h"
#include "platform/desktop/ScreenLayer.h"
#include "platform/runtime/Duration.h"

namespace velmo {

enum class MirrinNavigationMode { followingCursor, navigatingToTarget, pointingAtTarget };

// Where the view's random picks come from (the pointer phrase, the typing delays).
class CursorRandomSource {
public:
    virtual ~CursorRandomSource() = default;
    // Uniform in [0, 1).
    virtual double unit() = 0;
};

// A fixed-seed generator: the same seed gives the same picks on every machine.
class SeededCursorRandomSource : public CursorRandomSource {
public:
    explicit SeededCursorRandomSource(std::uint64_t seed)
        : engine_(seed) {}
    double unit() override { return double(engine_() >> 11) * 0x1.0p-53; }

private:
    std::mt19937_64 engine_;
};

class BlueCursorView {
public:
    // What the view reads of the world besides the companion; empty fields get the real ones.
    struct Environment {
        std::function<Point()> mouseLocation;  // global points; default: the screen layer's
        std::shared_ptr<CursorRandomSource> random;  // default: seeded from the system
        std::function<double()> referenceDateSeconds;  // the waveform's clock; default: the wall clock
        AnimationEngine* engine = nullptr;  // shared by the views of one overlay; default: own
        // Announces the pointer's moves, so the follow timer rests while the pointer is still and
        // nothing animates; default: the screen layer when `mouseLocation` is its too. Without
        // one the timer never rests.
        std::shared_ptr<ScreenLayer> pointerMotion;
        // Every screen of the overlay, so a glyph pushed past this screen's edge is drawn by
        // the neighbour it crosses into; default: this screen alone.
        std::vector<Rect> screenFrames;
    };

    // The view state of one cursor (view coordinates: origin top-left of the screen, y down).
    struct State {
        Point cursorPosition{};
        bool isCursorOnThisScreen = false;
        std::string welcomeText;
        bool showWelcome = true;
        Size bubbleSize{};
        double bubbleOpacity = 1.0;
        double cursorOpacity = 0.0;
        MirrinNavigationMode mirrinNavigationMode = MirrinNavigationMode::followingCursor;
        double triangleRotationDegrees = -35.0;
        std::string navigationBubbleText;
        double navigationBubbleOpacity = 0.0;
        Size navigationBubbleSize{};
        Point cursorPositionWhenNavigationStarted{};
        double mirrinFlightScale = 1.0;
        double navigationBubbleScale = 1.0;
        bool isReturningToCursor = false;
        // Where the following glyph is drawn: at the cursor position, unless that lies on no
        // screen, when the screen with the pointer keeps it just inside its edge.
        bool isGlyphOnThisScreen = false;
        Point glyphPosition{};
        bool hasTimer = false;
        bool hasNavigationAnimationTimer = false;
        bool operator==(const State&) const = default;
    };

    static constexpr double onboardingVideoPlayerWidth = 330;
    static constexpr double onboardingVideoPlayerHeight = 186;
    static constexpr const char* fullWelcomeMessage = "hey! i'm velmo";
    static const std::array<const char*, 6> navigationPointerPhrases;
    static constexpr Seconds followInterval{0.016};
    static constexpr Seconds flightFrameInterval{1.0 / 60.0};

    BlueCursorView(Rect screenFrame, bool isFirstAppearance, CompanionManager& companionManager);
    BlueCursorView(Rect screenFrame, bool isFirstAppearance, CompanionManager& companionManager, Environment environment);
    ~BlueCursorView();
    BlueCursorView(const BlueCursorView&) = delete;
    BlueCursorView& operator=(const BlueCursorView&) = delete;

    // The view is shown (starts tracking) and taken away (stops it); the destructor takes it
    // away when it is still shown.
    void appear();
    void disappear();

    Rect screenFrame() const { return screenFrame_; }
    const State& state() const;
    bool isCursorGlyphVisible() const;

    // The layers as they are drawn now, bottom first; layers that show nothing are left out.
    LayerList layers() const;
    // Called whenever what layers() gives may have changed (a state change or an animation
    // frame), so the window repaints; the painter then limits the repaint to what changed.
    void setNeedsDisplayHandler(std::function<void()> handler);

    // The view's own coordinates of a global point.
    Point local(Point global) const;

private:
    struct Shared;
    struct Presentation;
    void commit();

    Rect screenFrame_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<AnimationEngine> ownEngine_;
    std::shared_ptr<Presentation> presentation_;
    ChangeObserver observer_;
};

// The cursor views of one showing of the overlay, one per screen in order. It also clears a
// target that no view takes (no display frame, one on no shown screen, or one already set when
// the overlay is shown), which would otherwise hide every screen's cursor until the next press.
class BlueCursorOverlay {
public:
    BlueCursorOverlay(const std::vector<Rect>& screenFrames, bool isFirstAppearance, CompanionManager& companionManager);
    BlueCursorOverlay(const std::vector<Rect>& screenFrames, bool isFirstAppearance, CompanionManager& companionManager,
                      BlueCursorView::Environment environment);
    ~BlueCursorOverlay();

    std::vector<std::unique_ptr<BlueCursorView>>& views() { return views_; }
    AnimationEngine& engine() { return *engine_; }
    // Whether a view of this screen frame takes a target on the display of `displayFrame`.
    static bool screenTakesTarget(const Rect& screenFrame, const Rect& displayFrame);

private:
    void clearUnownedTarget();

    std::weak_ptr<CompanionManager> companion_;
    std::unique_ptr<AnimationEngine> engine_;
    std::vector<Rect> frames_;
    std::vector<std::unique_ptr<BlueCursorView>> views_;
    ChangeObserver observer_;
};

}  // namespace velmo
