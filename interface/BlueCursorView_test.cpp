#include "companion/CompanionManagerTesting.h"
#include "interface/BlueCursorView.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <numbers>
#include <set>

#include "companion/CompanionTestDoubles.h"
#include "interface/drawing/Painter.h"
#include "platform/base/UTF8.h"
#include "platform/desktop/SimulatedScreenLayer.h"
#include "platform/foundation/Unicode.h"
#include "platform/media/SimulatedVideoPlayer.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

namespace velmo {
namespace {

using Mode = MirrinNavigationMode;
constexpr double kPi = std::numbers::pi;
const Rect kScreen{0, 0, 1440, 900};
const Rect kRightScreen{1440, 0, 1000, 800};

struct CursorTest : testing::Test {
    VirtualMainLoopScope loopScope;
    // The welcome starts the onboarding video: a simulated one, never GStreamer.
    std::shared_ptr<SimulatedVideoPlayerFactory> videos = std::make_shared<SimulatedVideoPlayerFactory>(45.0);
    bool videosInstalled = (VideoPlayerFactory::install(videos), true);
    ~CursorTest() override { VideoPlayerFactory::install(nullptr); }
    std::shared_ptr<CompanionManager> companion =
        CompanionManager::create({std::make_shared<test::FakeDictationManager>(), std::make_shared<test::FakeShortcutMonitor>(),
                                  std::make_shared<HeadlessOverlayWindowManager>(), test::bundleServiceClients()});
    Point mouse{100, 800};  // global; (100, 100) on kScreen
    int videoStarts = 0;
    Cancellable videoWatch = companion->showOnboardingVideo().publisher().sink([this](bool shown) {
        if (shown) ++videoStarts;
    });

    VirtualMainLoop& loop() { return loopScope.loop(); }
    BlueCursorView::Environment environment(std::uint64_t seed = 7) {
        BlueCursorView::Environment e;
        e.mouseLocation = [this] { return mouse; };
        e.random = std::make_shared<SeededCursorRandomSource>(seed);
        e.referenceDateSeconds = [] { return 0.0; };
        return e;
    }
    std::unique_ptr<BlueCursorView> show(Rect frame = kScreen, bool first = false, std::uint64_t seed = 7) {
        auto view = std::make_unique<BlueCursorView>(frame, first, *companion, environment(seed));
        view->appear();
        loop().runUntilIdle();
        return view;
    }
    // The pipeline's order: location, then the display frame.
    void point(Point global, Rect display = kScreen) {
        velmo::test::writable(*companion).detectedElementScreenLocation = global;
        velmo::test::writable(*companion).detectedElementDisplayFrame = display;
        loop().runUntilIdle();
    }
    // The global point whose target (local + (8, 12)) is `target` on kScreen.
    static Point globalForTarget(Point target) { return {target.x - 8, kScreen.height - (target.y - 12)}; }
    // Advances to `seconds` after `start` on the virtual clock.
    void advanceTo(double start, double seconds) { loop().advance(Seconds(start + seconds - loop().now())); }
};

// A copy: the list is usually a temporary.
std::optional<Layer> find(const LayerList& layers, const std::string& id) {
    for (const auto& l : layers)
        if (l.id == id) return l;
    return std::nullopt;
}

TEST_F(CursorTest, FollowsTheMouseThirtyFiveRightAndTwentyFiveBelowEverySixteenMilliseconds) {
    auto view = show();
    EXPECT_EQ(view->state().cursorPosition, (Point{135, 125}));
    EXPECT_TRUE(view->state().isCursorOnThisScreen);
    EXPECT_EQ(view->state().cursorOpacity, 1.0);
    mouse = {400, 500};
    loop().advance(0.0155s);
    EXPECT_EQ(view->state().cursorPosition, (Point{135, 125}));
    loop().advance(0.001s);
    EXPECT_EQ(view->state().cursorPosition, (Point{435, 425}));
    // The glyph springs after it; it settles on the spot.
    loop().advance(2.0s);
    auto triangle = find(view->layers(), "triangle");
    ASSERT_TRUE(triangle);
    EXPECT_NEAR(triangle->center.x, 435, 0.01);
    EXPECT_NEAR(triangle->center.y, 425, 0.01);
    EXPECT_EQ(triangle->rotation, -35);
    // Off this screen it still tracks the pointer, and the glyph hides.
    mouse = {1500, 500};
    loop().advance(0.02s);
    EXPECT_FALSE(view->state().isCursorOnThisScreen);
    EXPECT_EQ(view->state().cursorPosition, (Point{1535, 425}));
    EXPECT_FALSE(find(view->layers(), "triangle"));
}

// Beside a view whose timer never rests, one that rests follows every move at the very same
// ticks, and reads the pointer only while it moves or something animates.
TEST_F(CursorTest, FollowTimerRestsWhileThePointerIsStillAndAnAnnouncedMoveFollowsAtTheSameTick) {
    auto pointer = std::make_shared<SimulatedScreenLayer>();
    pointer->setAnnouncesPointerMotion(true);
    pointer->setMouseLocation(mouse);
    int reads = 0;
    BlueCursorView::Environment resting = environment();
    resting.mouseLocation = [&] {
        ++reads;
        return pointer->mouseLocation();
    };
    resting.pointerMotion = pointer;
    BlueCursorView restingView(kScreen, false, *companion, resting);
    BlueCursorView::Environment ticking = environment();
    ticking.mouseLocation = [&] { return pointer->mouseLocation(); };
    BlueCursorView tickingView(kScreen, false, *companion, ticking);
    restingView.appear();
    tickingView.appear();
    loop().advance(2.0s);
    reads = 0;
    loop().advance(5.0s);
    EXPECT_EQ(reads, 0);
    EXPECT_TRUE(restingView.state().hasTimer);

    const Point moves[] = {{400, 500}, {401, 500}, {900, 200}, {900, 201}};
    const double gaps[] = {0.0073, 3.0, 0.0161, 0.5};
    for (std::size_t i = 0; i < std::size(moves); ++i) {
        loop().advance(Seconds(gaps[i]));
        pointer->setMouseLocation(moves[i]);
        for (int step = 0; step < 40; ++step) {
            loop().advance(0.001s);
            ASSERT_EQ(restingView.state().cursorPosition, tickingView.state().cursorPosition) << i << " " << step;
        }
        const Point local = restingView.local(moves[i]);
        EXPECT_EQ(restingView.state().cursorPosition, (Point{local.x + 35, local.y + 25})) << i;
    }
    // The spring after the last move still runs: the timer ticks until it settles, then rests.
    reads = 0;
    loop().advance(0.1s);
    EXPECT_GE(reads, 5);
    loop().advance(2.0s);
    reads = 0;
    loop().advance(2.0s);
    EXPECT_EQ(reads, 0);
}

TEST_F(CursorTest, FollowTimerNeverRestsWhereMovesAreNotAnnounced) {
    auto pointer = std::make_shared<SimulatedScreenLayer>();  // announces nothing
    int reads = 0;
    BlueCursorView::Environment e = environment();
    e.mouseLocation = [&] {
        ++reads;
        return mouse;
    };
    e.pointerMotion = pointer;
    BlueCursorView view(kScreen, false, *companion, e);
    view.appear();
    loop().advance(3.0s);
    reads = 0;
    loop().advance(1.6s);
    EXPECT_GE(reads, 99);
    mouse = {400, 500};  // unannounced, still followed at the next tick
    loop().advance(0.017s);
    EXPECT_EQ(view.state().cursorPosition, (Point{435, 425}));
}

TEST_F(CursorTest, WelcomeOnFirstAppearanceFollowsItsTimetableAndStartsTheVideo) {
    double t0 = loop().now();
    auto view = show(kScreen, true);
    loop().advance(1.0s);
    auto triangle = find(view->layers(), "triangle");
    ASSERT_TRUE(triangle);
    EXPECT_GT(triangle->opacity, 0.0);
    EXPECT_LT(triangle->opacity, 0.6);  // ease-in over 2.0 s
    advanceTo(t0, 2.0 + 0.0005);
    EXPECT_EQ(find(view->layers(), "triangle")->opacity, 1.0);
    auto characters = graphemeClusters(BlueCursorView::fullWelcomeMessage);
    ASSERT_EQ(characters.size(), 14u);
    for (std::size_t n = 1; n <= characters.size(); ++n) {
        advanceTo(t0, 2.0 + 0.03 * double(n) - 0.001);
        EXPECT_EQ(graphemeClusterCount(view->state().welcomeText), n - 1) << n;
        advanceTo(t0, 2.0 + 0.03 * double(n) + 0.001);
        EXPECT_EQ(graphemeClusterCount(view->state().welcomeText), n) << n;
    }
    EXPECT_EQ(view->state().welcomeText, "hey! i'm velmo");
    auto bubble = find(view->layers(), "welcome");
    ASSERT_TRUE(bubble);
    Point c = view->state().cursorPosition;
    EXPECT_NEAR(bubble->frame().minX(), c.x + 10, 1e-9);
    EXPECT_NEAR(bubble->center.y, c.y + 18, 1e-9);
    // The typing ends on the 15th tick; the bubble fades 2.0 s later, the welcome ends 2.5 s later.
    double done = 2.0 + 0.03 * 15;
    advanceTo(t0, done + 2.0 - 0.001);
    EXPECT_EQ(view->state().bubbleOpacity, 1.0);
    advanceTo(t0, done + 2.0 + 0.001);
    EXPECT_EQ(view->state().bubbleOpacity, 0.0);
    EXPECT_TRUE(view->state().showWelcome);
    EXPECT_EQ(videoStarts, 0);
    advanceTo(t0, done + 2.5 - 0.001);
    EXPECT_EQ(videoStarts, 0);
    advanceTo(t0, done + 2.5 + 0.001);
    EXPECT_FALSE(view->state().showWelcome);
    EXPECT_EQ(videoStarts, 1);
    EXPECT_TRUE(companion->showOnboardingVideo().get());
    view.reset();
    EXPECT_FALSE(companion->showOnboardingVideo().get());  // stopped when the view goes
}

TEST_F(CursorTest, AFirstAppearanceOnAScreenWithoutTheMouseShowsAtOnceAndPlaysNoWelcome) {
    auto here = show(kScreen, true);
    auto there = show(kRightScreen, true);
    EXPECT_EQ(there->state().cursorOpacity, 1.0);
    EXPECT_FALSE(there->isCursorGlyphVisible());
    loop().advance(10s);
    EXPECT_TRUE(there->state().welcomeText.empty());
    EXPECT_EQ(here->state().welcomeText, "hey! i'm velmo");
    EXPECT_EQ(videoStarts, 1);
}

struct FlightCase {
    double distance;
    int frames;
};

TEST_F(CursorTest, AFlightTakesItsClampedDurationItsFramesAndLandsExactlyOnTheTarget) {
    for (FlightCase k : {FlightCase{100, 36}, FlightCase{480, 36}, FlightCase{800, 60}, FlightCase{1000, 75}, FlightCase{1200, 84},
                         FlightCase{1600, 84}}) {
        SCOPED_TRACE(k.distance);
        companion->clearDetectedElementLocation();
        Rect big{0, 0, 3000, 2000};
        mouse = {100, 1900};
        auto wide = show(big);
        Point p0 = wide->state().cursorPosition;
        ASSERT_EQ(p0, (Point{135, 125}));
        // A flight mostly rightwards and down, within the screen so no clamp applies.
        Point p1{p0.x + k.distance * 0.8, p0.y + k.distance * 0.6};
        double t0 = loop().now();
        point({p1.x - 8, big.height - (p1.y - 12)}, big);
        EXPECT_EQ(wide->state().mirrinNavigationMode, Mode::navigatingToTarget);
        double duration = std::clamp(k.distance / 800, 0.6, 1.4);
        EXPECT_EQ(int(duration / (1.0 / 60.0)), k.frames);

        // Mid-flight (t = 0.5): on the curve, turned along it, at its largest.
        int half = k.frames / 2;
        advanceTo(t0, half / 60.0 + 0.0005);
        double t = double(half) / k.frames;
        double e = t * t * (3 - 2 * t);
        Point control{(p0.x + p1.x) / 2, (p0.y + p1.y) / 2 - std::min(0.2 * k.distance, 80.0)};
        Point expected{(1 - e) * (1 - e) * p0.x + 2 * (1 - e) * e * control.x + e * e * p1.x,
                       (1 - e) * (1 - e) * p0.y + 2 * (1 - e) * e * control.y + e * e * p1.y};
        EXPECT_NEAR(wide->state().cursorPosition.x, expected.x, 1e-9);
        EXPECT_NEAR(wide->state().cursorPosition.y, expected.y, 1e-9);
        Point tangent{2 * (1 - e) * (control.x - p0.x) + 2 * e * (p1.x - control.x),
                      2 * (1 - e) * (control.y - p0.y) + 2 * e * (p1.y - control.y)};
        EXPECT_NEAR(wide->state().triangleRotationDegrees, std::atan2(tangent.y, tangent.x) * 180 / kPi + 90, 1e-9);
        EXPECT_NEAR(wide->state().mirrinFlightScale, 1 + 0.3 * std::sin(kPi * t), 1e-12);
        auto triangle = find(wide->layers(), "triangle");
        ASSERT_TRUE(triangle);
        EXPECT_EQ(triangle->center, wide->state().cursorPosition);  // driven frame by frame, no spring
        EXPECT_EQ(triangle->scale, wide->state().mirrinFlightScale);
        EXPECT_NEAR(triangle->shadow.radius, (wide->state().mirrinFlightScale - 1) * 20 + 8, 1e-12);

        // Frame `frames` is the last on the curve; one tick more lands and arrives.
        advanceTo(t0, k.frames / 60.0 + 0.0005);
        EXPECT_EQ(wide->state().mirrinNavigationMode, Mode::navigatingToTarget);
        advanceTo(t0, (k.frames + 1) / 60.0 + 0.0005);
        EXPECT_EQ(wide->state().mirrinNavigationMode, Mode::pointingAtTarget);
        EXPECT_EQ(wide->state().cursorPosition, p1);
        EXPECT_EQ(wide->state().mirrinFlightScale, 1.0);
        EXPECT_EQ(wide->state().triangleRotationDegrees, -35);
        // The bubble shows its first character at half size and springs to full size.
        EXPECT_EQ(wide->state().navigationBubbleScale, 1.0);
        auto bubble = find(wide->layers(), "bubble");
        ASSERT_TRUE(bubble);
        EXPECT_LT(bubble->scale, 0.55);
        EXPECT_NEAR(bubble->shadow.opacity, 1.0, 0.05);
        loop().advance(0.1s);
        EXPECT_GT(find(wide->layers(), "bubble")->scale, 0.6);
        loop().advance(1.5s);
        EXPECT_NEAR(find(wide->layers(), "bubble")->scale, 1.0, 1e-3);
        wide.reset();
    }
}

TEST_F(CursorTest, TargetsNearAnEdgeEndTwentyPointsInside) {
    struct Case {
        Rect screen;
        Point global;
        Point target;
    };
    for (const Case& k : {Case{kScreen, {1439, 1}, {1420, 880}}, Case{kScreen, {-50, 899}, {20, 20}}, Case{kScreen, {700, 450}, {708, 462}},
                          Case{{0, 0, 30, 30}, {15, 15}, {20, 20}}}) {
        companion->clearDetectedElementLocation();
        auto view = show(k.screen);
        point(k.global, k.screen);
        loop().advance(1.5s);
        EXPECT_EQ(view->state().mirrinNavigationMode, Mode::pointingAtTarget);
        EXPECT_EQ(view->state().cursorPosition, k.target);
    }
}

TEST_F(CursorTest, AnEmptyBubbleTypesNothingButHoldsFadesAndReturns) {
    auto view = show();
    double t0 = loop().now();
    velmo::test::writable(*companion).detectedElementBubbleText = std::string();
    point(globalForTarget({535, 425}));  // 500 pt away: 0.625 s, 37 frames, arrival at 38/60
    double arrival = 38 / 60.0;
    advanceTo(t0, arrival + 0.001);
    ASSERT_EQ(view->state().mirrinNavigationMode, Mode::pointingAtTarget);
    loop().advance(1.0s);
    EXPECT_EQ(view->state().navigationBubbleText, "");
    EXPECT_FALSE(find(view->layers(), "bubble"));
    advanceTo(t0, arrival + 6.0 - 0.001);
    EXPECT_EQ(view->state().navigationBubbleOpacity, 1.0);
    advanceTo(t0, arrival + 6.0 + 0.001);
    EXPECT_EQ(view->state().navigationBubbleOpacity, 0.0);
    EXPECT_EQ(view->state().mirrinNavigationMode, Mode::pointingAtTarget);
    advanceTo(t0, arrival + 6.5 + 0.001);
    EXPECT_EQ(view->state().mirrinNavigationMode, Mode::navigatingToTarget);
    EXPECT_TRUE(view->state().isReturningToCursor);
    EXPECT_TRUE(companion->detectedElementScreenLocation().get().has_value());
    loop().advance(1.5s);
    EXPECT_EQ(view->state().mirrinNavigationMode, Mode::followingCursor);
    EXPECT_EQ(view->state().cursorPosition, (Point{135, 125}));
    EXPECT_FALSE(companion->detectedElementScreenLocation().get().has_value());
    EXPECT_FALSE(companion->detectedElementBubbleText().get().has_value());
}

TEST_F(CursorTest, AnAbsentBubbleTypesOneOfTheSixPhrasesWithRandomDelays) {
    std::set<std::string> picked;
    for (std::uint64_t seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u}) {
        companion->clearDetectedElementLocation();
        auto view = show(kScreen, false, seed);
        point(globalForTarget({535, 425}));
        loop().advance(Seconds(38 / 60.0 + 0.0001));
        ASSERT_EQ(view->state().mirrinNavigationMode, Mode::pointingAtTarget);
        std::vector<double> steps;
        std::string typed = view->state().navigationBubbleText;
        double since = loop().now();
        while (loop().now() - since < 1.0) {
            loop().advance(0.001s);
            if (view->state().navigationBubbleText != typed) {
                typed = view->state().navigationBubbleText;
                steps.push_back(loop().now());
            }
        }
        picked.insert(typed);
        EXPECT_NE(std::find_if(BlueCursorView::navigationPointerPhrases.begin(), BlueCursorView::navigationPointerPhrases.end(),
                               [&](const char* p) { return typed == p; }),
                  BlueCursorView::navigationPointerPhrases.end())
            << typed;
        for (std::size_t i = 1; i < steps.size(); ++i) {
            EXPECT_GE(steps[i] - steps[i - 1], 0.03 - 0.0011);
            EXPECT_LE(steps[i] - steps[i - 1], 0.06 + 0.0011);
        }
        loop().advance(10s);
    }
    EXPECT_GE(picked.size(), 3u);  // twelve seeds do not all pick the same phrase
}

TEST_F(CursorTest, TheSameSeedTypesTheSameTimetable) {
    auto typing = [&](std::uint64_t seed) {
        companion->clearDetectedElementLocation();
        auto view = show(kScreen, false, seed);
        point(globalForTarget({535, 425}));
        double t0 = loop().now();
        std::vector<std::pair<double, std::string>> steps;
        std::string typed;
        while (loop().now() - t0 < 2.0) {
            loop().advance(0.0005s);
            if (view->state().navigationBubbleText != typed) {
                typed = view->state().navigationBubbleText;
                steps.emplace_back(std::round((loop().now() - t0) * 2000), typed);
            }
        }
        loop().advance(10s);
        return steps;
    };
    auto first = typing(42);
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, typing(42));
}

TEST_F(CursorTest, MultiByteBubbleTextIsTypedByWholeCharacters) {
    const std::string text = "caf\u00e9 \U0001F44D\U0001F3FD e\u0301 \U0001F1EB\U0001F1F7!";
    auto expected = graphemeClusters(text);
    ASSERT_EQ(expected.size(), 11u);
    auto view = show();
    velmo::test::writable(*companion).detectedElementBubbleText = text;
    point(globalForTarget({535, 425}));
    std::vector<std::string> seen;
    double t0 = loop().now();
    while (loop().now() - t0 < 2.0) {
        loop().advance(0.001s);
        const std::string& typed = view->state().navigationBubbleText;
        if (!typed.empty() && (seen.empty() || seen.back() != typed)) {
            EXPECT_TRUE(isValidUTF8(typed));
            seen.push_back(typed);
        }
    }
    ASSERT_EQ(seen.size(), expected.size());
    std::string prefix;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        prefix += expected[i];
        EXPECT_EQ(seen[i], prefix);
    }
}

TEST_F(CursorTest, MovingTheMouseFarCancelsTheReturnButNotTheFlightOut) {
    auto view = show();
    velmo::test::writable(*companion).detectedElementBubbleText = std::string("ok");
    point(globalForTarget({535, 425}));
    loop().advance(0.3s);
    mouse = {900, 200};  // far, during the flight out: no effect
    loop().advance(0.5s);
    EXPECT_EQ(view->state().mirrinNavigationMode, Mode::pointingAtTarget);
    EXPECT_EQ(view->state().cursorPosition, (Point{535, 425}));
    loop().advance(6.6s);  // typed, held, faded: the return has begun towards the mouse
    ASSERT_TRUE(view->state().isReturningToCursor);
    EXPECT_EQ(view->state().cursorPositionWhenNavigationStarted, (Point{900, 700}));
    mouse = {960, 240};  // 72 pt: still returning
    loop().advance(0.05s);
    EXPECT_TRUE(view->state().isReturningToCursor);
    mouse = {1000, 200};  // 100 pt exactly: still returning
    loop().advance(0.05s);
    EXPECT_TRUE(view->state().isReturningToCursor);
    mouse = {1001, 200};
    loop().advance(0.02s);
    EXPECT_EQ(view->state().mirrinNavigationMode, Mode::followingCursor);
    EXPECT_FALSE(view->state().isReturningToCursor);
    EXPECT_FALSE(view->state().hasNavigationAnimationTimer);
    EXPECT_FALSE(companion->detectedElementScreenLocation().get().has_value());
    loop().advance(0.02s);
    EXPECT_EQ(view->state().cursorPosition, (Point{1036, 725}));
}

TEST_F(CursorTest, ANewTargetMidFlightRestartsFromWhereTheCursorIs) {
    auto view = show();
    point(globalForTarget({935, 725}));
    loop().advance(0.3s);
    Point where = view->state().cursorPosition;
    double t0 = loop().now();
    point(globalForTarget({where.x, where.y + 100}));  // 100 pt away: 36 frames
    EXPECT_FALSE(view->state().isReturningToCursor);
    advanceTo(t0, 1 / 60.0 + 0.0005);
    double e = (1.0 / 36) * (1.0 / 36) * (3 - 2.0 / 36);
    Point control{where.x, where.y + 50 - 20};
    Point p1{where.x, where.y + 100};
    EXPECT_NEAR(view->state().cursorPosition.y, (1 - e) * (1 - e) * where.y + 2 * (1 - e) * e * control.y + e * e * p1.y, 1e-9);
    advanceTo(t0, 37 / 60.0 + 0.0005);
    EXPECT_EQ(view->state().mirrinNavigationMode, Mode::pointingAtTarget);
    EXPECT_EQ(view->state().cursorPosition, p1);
}

TEST_F(CursorTest, BothPublicationOrdersLeadToOneFlight) {
    struct Order {
        const char* name;
        std::function<void(CompanionManager&, Point)> publish;
    };
    const Order orders[] = {
        {"location, frame",
         [](CompanionManager& c, Point p) {
             velmo::test::writable(c).detectedElementScreenLocation = p;
             velmo::test::writable(c).detectedElementDisplayFrame = kScreen;
         }},
        {"bubble, location, frame",
         [](CompanionManager& c, Point p) {
             velmo::test::writable(c).detectedElementBubbleText = std::string("hi");
             velmo::test::writable(c).detectedElementScreenLocation = p;
             velmo::test::writable(c).detectedElementDisplayFrame = kScreen;
         }},
        {"frame, location",
         [](CompanionManager& c, Point p) {
             velmo::test::writable(c).detectedElementDisplayFrame = kScreen;
             velmo::test::writable(c).detectedElementScreenLocation = p;
         }},
    };
    for (const Order& order : orders) {
        SCOPED_TRACE(order.name);
        companion->clearDetectedElementLocation();
        auto view = show();
        int displays = 0;
        view->setNeedsDisplayHandler([&] { ++displays; });
        double t0 = loop().now();
        order.publish(*companion, globalForTarget({535, 425}));
        loop().runUntilIdle();
        EXPECT_EQ(view->state().mirrinNavigationMode, Mode::navigatingToTarget);
        // Exactly one flight: it lands on its 38th tick, not later.
        advanceTo(t0, 37 / 60.0 + 0.0005);
        EXPECT_EQ(view->state().mirrinNavigationMode, Mode::navigatingToTarget);
        advanceTo(t0, 38 / 60.0 + 0.0005);
        EXPECT_EQ(view->state().mirrinNavigationMode, Mode::pointingAtTarget);
        loop().advance(1.0s);
        if (companion->detectedElementBubbleText().get()) {
            EXPECT_EQ(view->state().navigationBubbleText, "hi");
        }
        EXPECT_GT(displays, 0);
        loop().advance(10s);
    }
}

TEST_F(CursorTest, ATargetRefusedWhileTheWelcomeTypesIsClearedAtOnce) {
    auto view = show(kScreen, true);
    loop().advance(2.2s);  // the welcome is typing
    ASSERT_FALSE(view->state().welcomeText.empty());
    point(globalForTarget({535, 425}));
    EXPECT_EQ(view->state().mirrinNavigationMode, Mode::followingCursor);
    EXPECT_FALSE(companion->detectedElementScreenLocation().get().has_value());
    EXPECT_FALSE(companion->detectedElementDisplayFrame().get().has_value());
    EXPECT_TRUE(view->isCursorGlyphVisible());
}

TEST_F(CursorTest, ATargetDuringTheFadeInBeforeTheFirstCharacterIsFlownTo) {
    auto view = show(kScreen, true);
    loop().advance(1.0s);
    point(globalForTarget({535, 425}));
    EXPECT_EQ(view->state().mirrinNavigationMode, Mode::navigatingToTarget);
    loop().advance(6s);
    EXPECT_EQ(view->state().welcomeText, "hey! i'm velmo");  // the welcome goes on
}

TEST_F(CursorTest, AViewTakenAwayDuringItsWelcomeStartsNoVideo) {
    auto first = show(kScreen, true);
    loop().advance(3.0s);
    first.reset();  // the overlay is shown again: this view goes, a new one plays the welcome
    auto second = show(kScreen, true);
    loop().advance(10s);
    EXPECT_EQ(videoStarts, 1);
    EXPECT_EQ(second->state().welcomeText, "hey! i'm velmo");
}

TEST_F(CursorTest, OtherScreensHideTheirFollowingCursorsWhileATargetIsSet) {
    auto left = show(kScreen);
    auto right = show(kRightScreen);
    mouse = {1600, 400};  // on the right screen
    loop().advance(0.1s);
    EXPECT_TRUE(right->isCursorGlyphVisible());
    EXPECT_TRUE(find(right->layers(), "triangle"));
    velmo::test::writable(*companion).detectedElementBubbleText = std::string("");
    point(globalForTarget({535, 425}));
    loop().advance(0.1s);
    EXPECT_TRUE(left->isCursorGlyphVisible());  // flying in from off its screen
    EXPECT_FALSE(right->isCursorGlyphVisible());
    EXPECT_FALSE(find(right->layers(), "triangle"));
    loop().advance(12s);  // the episode ends with the return
    EXPECT_EQ(left->state().mirrinNavigationMode, Mode::followingCursor);
    EXPECT_TRUE(right->isCursorGlyphVisible());
    EXPECT_FALSE(left->isCursorGlyphVisible());
}

TEST_F(CursorTest, TheOverlayClearsATargetNoScreenTakes) {
    BlueCursorOverlay overlay({kScreen, kRightScreen}, false, *companion, environment());
    loop().runUntilIdle();
    struct Case {
        const char* name;
        std::optional<Rect> frame;
        bool cleared;
    };
    for (const Case& k : {Case{"no frame", std::nullopt, true}, Case{"frame off every screen", Rect{0, 2000, 800, 600}, true},
                          Case{"the right screen", kRightScreen, false}}) {
        SCOPED_TRACE(k.name);
        companion->clearDetectedElementLocation();
        loop().runUntilIdle();
        velmo::test::writable(*companion).detectedElementScreenLocation = Point{1700, 400};
        velmo::test::writable(*companion).detectedElementDisplayFrame = k.frame;
        loop().runUntilIdle();
        EXPECT_EQ(!companion->detectedElementScreenLocation().get().has_value(), k.cleared);
        loop().advance(10s);
    }
    // One already set when the overlay is shown again is taken by none of the new views.
    velmo::test::writable(*companion).detectedElementScreenLocation = Point{700, 400};
    velmo::test::writable(*companion).detectedElementDisplayFrame = kScreen;
    loop().runUntilIdle();
    BlueCursorOverlay again({kScreen}, false, *companion, environment());
    EXPECT_FALSE(companion->detectedElementScreenLocation().get().has_value());
    loop().runUntilIdle();
    EXPECT_TRUE(again.views()[0]->isCursorGlyphVisible());
}

TEST_F(CursorTest, TheGlyphFollowsTheVoiceState) {
    auto view = show();
    struct Case {
        CompanionVoiceState state;
        const char* shown;
    };
    for (const Case& k : {Case{CompanionVoiceState::listening, "waveform"}, Case{CompanionVoiceState::processing, "spinner"},
                          Case{CompanionVoiceState::responding, "triangle"}, Case{CompanionVoiceState::idle, "triangle"}}) {
        velmo::test::writable(*companion).voiceState = k.state;
        loop().advance(0.5s);
        auto layers = view->layers();
        for (const char* id : {"triangle", "waveform", "spinner"})
            EXPECT_EQ(find(layers, id).has_value(), std::string(id) == k.shown) << id << " in " << caseName(k.state);
        EXPECT_EQ(find(layers, k.shown)->center, (Point{135, 125}));
    }
}

TEST_F(CursorTest, TheVideoAndThePromptSitBelowRightOfTheGlyphOnTheScreenWithTheMouse) {
    auto view = show();
    velmo::test::writable(*companion).onboardingVideoOpacity = 1.0;
    velmo::test::writable(*companion).onboardingPromptText = std::string("press control");
    velmo::test::writable(*companion).showOnboardingPrompt = true;
    velmo::test::writable(*companion).onboardingPromptOpacity = 1.0;
    loop().advance(0.2s);
    auto video = find(view->layers(), "video");
    ASSERT_TRUE(video);
    EXPECT_GT(video->opacity, 0.0);
    EXPECT_LT(video->opacity, 0.5);  // ease-in-out over 2.0 s
    loop().advance(2.0s);
    video = find(view->layers(), "video");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->opacity, 1.0);
    EXPECT_EQ(video->center, (Point{135 + 10 + 165, 125 + 18 + 93}));
    EXPECT_EQ(video->size, (Size{330, 186}));
    EXPECT_EQ(video->clipCornerRadius, 10.0);
    EXPECT_EQ(video->shadow, (Shadow{Color::black(), 0.4, 12, {0, 6}}));
    auto prompt = find(view->layers(), "prompt");
    ASSERT_TRUE(prompt);
    EXPECT_NEAR(prompt->frame().minX(), 145, 1e-9);
    EXPECT_EQ(prompt->center.y, 143);
    EXPECT_EQ(view->state().bubbleSize, prompt->size);
    ASSERT_TRUE(find(view->layers(), "prompt.text"));
    EXPECT_EQ(find(view->layers(), "prompt.text")->text, "press control");
    mouse = {1600, 400};  // elsewhere: both go at once
    loop().advance(0.02s);
    EXPECT_FALSE(find(view->layers(), "video"));
    EXPECT_FALSE(find(view->layers(), "prompt"));
}

TEST_F(CursorTest, TheVideoLayerShowsThePublishedPlayersPictures) {
    auto view = show();
    int redraws = 0;
    view->setNeedsDisplayHandler([&] { ++redraws; });
    auto player = std::make_shared<SimulatedVideoPlayer>("file:///v.m3u8", 45);
    velmo::test::writable(*companion).onboardingVideoPlayer = std::shared_ptr<VideoPlayer>(player);
    velmo::test::writable(*companion).onboardingVideoOpacity = 1.0;
    loop().advance(2.5s);
    auto video = find(view->layers(), "video");
    ASSERT_TRUE(video);
    EXPECT_FALSE(video->image);  // no picture yet
    auto frame = std::make_shared<VideoFrame>(VideoFrame{64, 36, 256, std::vector<std::uint8_t>(256 * 36, 0xFF)});
    redraws = 0;
    player->showFrame(frame);
    EXPECT_EQ(redraws, 1);
    video = find(view->layers(), "video");
    ASSERT_TRUE(video && video->image);
    EXPECT_EQ(video->image->width, 64);
    EXPECT_EQ(video->image->height, 36);
    auto first = video->image;
    player->showFrame(std::make_shared<VideoFrame>(*frame));
    EXPECT_NE(find(view->layers(), "video")->image, first);  // a new picture repaints the layer

    velmo::test::writable(*companion).onboardingVideoPlayer = std::shared_ptr<VideoPlayer>();  // stopped: nothing more is shown
    loop().runUntilIdle();
    EXPECT_FALSE(find(view->layers(), "video")->image);
    redraws = 0;
    player->showFrame(frame);
    EXPECT_EQ(redraws, 0);
}

TEST_F(CursorTest, NothingIsRedrawnWhileTheMouseIsStillAndNothingMoves) {
    auto view = show();
    int displays = 0;
    view->setNeedsDisplayHandler([&] { ++displays; });
    loop().advance(1.0s);  // the first spring settles
    displays = 0;
    loop().advance(3.0s);
    EXPECT_EQ(displays, 0);
    mouse = {110, 800};
    loop().advance(0.1s);
    EXPECT_GT(displays, 0);
}

// Offscreen frames of a pointing episode: the glyph's blue at its centre, the bubble to its
// right with its left edge 10 pt right of the glyph's centre and its middle 18 pt below it.
TEST_F(CursorTest, OffscreenFrameShowsTheGlyphAndTheBubbleWhereTheyBelong) {
    const Rect screen{0, 0, 800, 500};
    mouse = {100, 400};
    auto view = show(screen);
    velmo::test::writable(*companion).detectedElementBubbleText = std::string("right here!");
    point({400, 250}, screen);  // target (408, 262)
    loop().advance(3.0s);
    ASSERT_EQ(view->state().navigationBubbleText, "right here!");
    Surface surface(800, 500);
    Painter painter;
    painter.paint(surface, view->layers());
    Point c = view->state().cursorPosition;
    ASSERT_EQ(c, (Point{408, 262}));
    auto blue = [](Surface::Pixel p) { return p.alpha == 255 && p.red == 0x33 && p.green == 0x80 && p.blue == 0xFF; };
    EXPECT_TRUE(blue(surface.pixel(408, 262)));
    Size size = view->state().navigationBubbleSize;
    ASSERT_GT(size.width, 40);
    int left = int(c.x + 10), middle = int(c.y + 18);
    EXPECT_TRUE(blue(surface.pixel(left + 2, middle)));  // inside the padding
    EXPECT_LT(surface.pixel(left - 2, middle).alpha, 255);  // only the glow
    EXPECT_TRUE(blue(surface.pixel(left + int(size.width) - 3, middle)));
    EXPECT_LT(surface.pixel(left + int(size.width) + 2, middle).alpha, 255);
    int half = int(size.height / 2);
    EXPECT_TRUE(blue(surface.pixel(left + 4, middle - half + 2)));
    EXPECT_TRUE(blue(surface.pixel(left + 4, middle + half - 2)));
    EXPECT_LT(surface.pixel(left + 4, middle - half - 2).alpha, 255);
    EXPECT_LT(surface.pixel(left + 4, middle + half + 2).alpha, 255);
    // White text inside.
    bool white = false;
    for (int x = left + 8; x < left + int(size.width) - 8 && !white; ++x) {
        auto p = surface.pixel(x, middle);
        white = p.red > 200 && p.green > 200 && p.blue > 200;
    }
    EXPECT_TRUE(white);
}

TEST_F(CursorTest, ACallbackAfterTheViewIsGoneIsHarmless) {
    auto view = show(kScreen, true);
    point(globalForTarget({535, 425}));
    loop().advance(1.0s);  // pointing, typing steps pending, welcome steps pending
    view.reset();
    loop().advance(20s);
    EXPECT_EQ(videoStarts, 0);
    EXPECT_EQ(loop().pendingTimerCount(), 0u);  // no flight started by a step left behind
}

// The drawn alpha of a blue card pixel at layer opacity `o`: the fill at `o` over the card's own
// glow (at most half as strong), so between o and o + 0.5 o (1 - o).
void expectCardAlpha(Surface::Pixel p, double o) {
    if (p.alpha > 64) {  // below, too few levels are left to tell the colour
        EXPECT_NEAR(p.red, 0x33, 3);
        EXPECT_NEAR(p.green, 0x80, 3);
        EXPECT_NEAR(p.blue, 0xFF, 3);
    }
    EXPECT_GE(p.alpha, int(std::floor(o * 255)) - 2) << o;
    EXPECT_LE(p.alpha, int(std::ceil((o + 0.5 * o * (1 - o)) * 255)) + 2) << o;
}

TEST_F(CursorTest, TheWelcomeBubbleIsDrawnFadingInWithItsEaseInOverFourTenthsOfASecond) {
    const Rect screen{0, 0, 800, 500};
    mouse = {100, 400};  // local (100, 100): the glyph at (135, 125)
    double t0 = loop().now();
    auto view = show(screen, true);
    // The ease-in's share of the way (0.42, 0, 1, 1) at 0.04, 0.1 and 0.2 s of its 0.4 s, from
    // 2.0 s on; at 2.6 s it is whole.
    struct Case {
        double at;
        double opacity;
    };
    for (const Case& k : {Case{2.04, 0.0170}, Case{2.1, 0.0935}, Case{2.2, 0.3154}, Case{2.6, 1.0}}) {
        SCOPED_TRACE(k.at);
        advanceTo(t0, k.at);
        ASSERT_FALSE(view->state().welcomeText.empty());
        Surface surface(800, 500);
        Painter painter;
        painter.paint(surface, view->layers());
        // The right-hand padding of the card: clear of the text and of the glyph's glow.
        Point c = view->state().cursorPosition;
        int x = int(c.x + 10 + view->state().bubbleSize.width - 3), y = int(c.y + 18);
        expectCardAlpha(surface.pixel(x, y), k.opacity);
    }
}

TEST_F(CursorTest, TheWaveformBarsAreDrawnGlidingLinearlyToANewLevelOverEightHundredthsOfASecond) {
    auto view = show();
    velmo::test::writable(*companion).voiceState = CompanionVoiceState::listening;
    velmo::test::writable(*companion).currentAudioPowerLevel = 0.0;
    loop().advance(0.5s);
    velmo::test::writable(*companion).currentAudioPowerLevel = 1.0;
    loop().runUntilIdle();
    double start = loop().now();
    // The centre bar's drawn height: 3 + 10 x (its share of the way to the full level) + the
    // ripple, frozen here at t = 0 (0.75 x (1 + sin 0.7)).
    const double ripple = 0.75 * (1 + std::sin(0.7));
    const double scale = 4;
    for (double at : {0.0, 0.02, 0.04, 0.06, 0.08, 0.2}) {
        SCOPED_TRACE(at);
        advanceTo(start, at);
        Surface surface(int(kScreen.width * scale), int(kScreen.height * scale), scale);
        Painter painter;
        painter.paint(surface, view->layers());
        Point c = find(view->layers(), "waveform")->center;
        ASSERT_EQ(c, (Point{135, 125}));
        int column = int(c.x * scale);  // the middle of the 2 pt wide centre bar
        int drawn = 0;
        for (int y = int((c.y - 10) * scale); y < int((c.y + 10) * scale); ++y) drawn += surface.pixel(column, y).alpha >= 128;
        double expected = 3 + 10 * std::min(1.0, at / 0.08) + ripple;
        EXPECT_NEAR(drawn / scale, expected, 0.35);
    }
}

// Blue pixels of a glyph drawn at full opacity, near `center` and anywhere on the surface.
struct GlyphPixels {
    int nearCenter = 0;
    int total = 0;
};
GlyphPixels glyphPixels(const BlueCursorView& view, Point center) {
    Surface surface(int(view.screenFrame().width), int(view.screenFrame().height));
    Painter painter;
    painter.paint(surface, view.layers());
    GlyphPixels out;
    for (int y = 0; y < surface.height(); ++y)
        for (int x = 0; x < surface.width(); ++x) {
            auto p = surface.pixel(x, y);
            if (p.alpha != 255 || p.red != 0x33 || p.green != 0x80 || p.blue != 0xFF) continue;
            ++out.total;
            if (std::abs(x - center.x) <= 9 && std::abs(y - center.y) <= 9) ++out.nearCenter;
        }
    return out;
}

TEST_F(CursorTest, TheGlyphIsDrawnUpToAScreensRightEdgeAndAcrossASeamOnTheNextScreen) {
    const Rect left{0, 0, 800, 500}, right{800, 0, 800, 500};
    struct Case {
        const char* name;
        std::vector<Rect> screens;
        Point mouse;  // global
        std::vector<Point> drawnAt;  // per screen, local; (-1, -1) where it is not drawn
    };
    const Point none{-1, -1};
    for (const Case& k : {
             Case{"10 px from a right edge with nothing beyond", {left}, {790, 250}, {{790, 275}}},
             Case{"10 px left of a seam", {left, right}, {790, 250}, {none, {25, 275}}},
             Case{"10 px right of a seam", {left, right}, {810, 250}, {none, {45, 275}}},
             Case{"straddling the seam", {left, right}, {767, 250}, {{802, 275}, {2, 275}}},
             Case{"10 px from the bottom edge", {left}, {400, 10}, {{435, 490}}},
         }) {
        SCOPED_TRACE(k.name);
        mouse = k.mouse;
        BlueCursorOverlay overlay(k.screens, false, *companion, environment());
        loop().advance(0.5s);
        for (std::size_t i = 0; i < k.screens.size(); ++i) {
            SCOPED_TRACE(i);
            const BlueCursorView& view = *overlay.views()[i];
            GlyphPixels px = glyphPixels(view, k.drawnAt[i]);
            if (k.drawnAt[i] == none) {
                EXPECT_EQ(px.total, 0);
            } else if (k.screens.size() == 2 && k.drawnAt[0] != none) {
                EXPECT_GT(px.nearCenter, 10);  // a part of it on each side
            } else {
                EXPECT_GT(px.nearCenter, 60);  // the whole triangle (side 16)
                EXPECT_EQ(px.nearCenter, px.total);
            }
        }
    }
}

}  // namespace
}  // namespace velmo
