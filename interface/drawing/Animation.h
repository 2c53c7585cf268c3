#pragma once

// The animation engine: timing curves and springs, animated layer values on the main loop's
// clock, explicit and implicit animations, and a frame clock that runs only while needed.
//
// Thread contract: everything here is bound to the main thread (the loop installed as
// MainLoop::current()); time is that loop's clock, so tests drive it with advance().
//
// A view keeps one Animated<T> per animated layer property, sets targets when its state
// changes, and builds its layer list from the values on every frame:
//
//   Animated<double> triangleOpacity{engine, 0};
//   AnimationKey<VoiceState> voiceKey{VoiceState::idle};
//   // state changed: the opacity follows the voice state with the layer's ease-in
//   triangleOpacity.set(visible ? 1 : 0, voiceKey.when(voiceState, Animation::easeIn(0.25s)));
//   withAnimation(Animation::easeIn(2s), [&] { cursorOpacity.set(1); });  // explicit
//   auto frames = engine.onFrame([&] { painter.paint(surface, layers()); });

#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "interface/drawing/Color.h"
#include "platform/desktop/Geometry.h"
#include "platform/runtime/Published.h"
#include "platform/runtime/Timer.h"
#include "platform/runtime/Duration.h"

namespace velmo {

// How a value moves from where it is to a new target.
class Animation {
public:
    enum class Curve { Linear, EaseIn, EaseOut, EaseInOut, Spring };

    static Animation linear(Seconds duration);
    static Animation easeIn(Seconds duration);
    static Animation easeOut(Seconds duration);
    static Animation easeInOut(Seconds duration);
    // A damped oscillator: `response` is the period of the undamped spring; a damping fraction
    // below 1 overshoots, 1 is critical. Its duration is however long it takes to settle.
    static Animation spring(Seconds response, double dampingFraction);

    // Repeats the curve for as long as the value exists; never settles.
    Animation repeatForever(bool autoreverses = false) const;

    Curve curve() const { return curve_; }
    Seconds duration() const { return Seconds(duration_); }
    double response() const { return duration_; }
    double dampingFraction() const { return damping_; }
    bool repeats() const { return repeats_; }
    bool autoreverses() const { return autoreverses_; }
    bool operator==(const Animation&) const = default;

    // Timing curves: the fraction of the way covered at `x` (0...1) of the duration. The ease
    // curves are the usual cubic Béziers (0.42, 0, 1, 1), (0, 0, 0.58, 1), (0.42, 0, 0.58, 1).
    static double curveFraction(Curve curve, double x);
    // Springs: displacement from the target `t` seconds after starting `y0` from it with
    // velocity `v0` (units per second).
    double springDisplacement(double y0, double v0, double t) const;

private:
    Animation(Curve c, double d, double damping)
        : curve_(c),
          duration_(d),
          damping_(damping) {}
    Curve curve_;
    double duration_;  // seconds; the response for springs
    double damping_ = 1;
    bool repeats_ = false;
    bool autoreverses_ = false;
};

// Runs `body` inside an explicit animation: animated values set during it (and not animated by
// an implicit animation of their own) move with `animation`.
void withAnimation(const Animation& animation, const std::function<void()>& body);
// The explicit animation in force, if any.
std::optional<Animation> currentExplicitAnimation();

// Values that can be animated: a fixed number of doubles.
template <class T>
struct Animatable;
template <>
struct Animatable<double> {
    static constexpr std::size_t count = 1;
    static std::array<double, 1> toArray(double v) { return {v}; }
    static double fromArray(const std::array<double, 1>& a) { return a[0]; }
};
template <>
struct Animatable<Point> {
    static constexpr std::size_t count = 2;
    static std::array<double, 2> toArray(Point p) { return {p.x, p.y}; }
    static Point fromArray(const std::array<double, 2>& a) { return {a[0], a[1]}; }
};
template <>
struct Animatable<Size> {
    static constexpr std::size_t count = 2;
    static std::array<double, 2> toArray(Size s) { return {s.width, s.height}; }
    static Size fromArray(const std::array<double, 2>& a) { return {a[0], a[1]}; }
};
template <>
struct Animatable<Color> {
    static constexpr std::size_t count = 4;
    static std::array<double, 4> toArray(Color c) { return {c.red, c.green, c.blue, c.opacity}; }
    static Color fromArray(const std::array<double, 4>& a) { return {a[0], a[1], a[2], a[3]}; }
};

class AnimationEngine;

namespace detail {
// What the engine knows of a running animated value.
class AnimatedBase {
public:
    virtual ~AnimatedBase() = default;
    // Ends the animation (snapping to the target) once it has settled at `now`.
    virtual bool settleIfDone(double now) = 0;
};
}  // namespace detail

// Keeps the frame clock running while held (a timeline such as the waveform's ripple).
class FrameHold {
public:
    FrameHold() = default;
    explicit FrameHold(std::shared_ptr<void> token)
        : token_(std::move(token)) {}
    void release() { token_.reset(); }
    explicit operator bool() const { return token_ != nullptr; }

private:
    std::shared_ptr<void> token_;
};

// The clock of one set of views. Ticks at 60 Hz while a value animates or a hold is kept, and
// stops when everything has settled; each tick tells the frame listeners to redraw. Must
// outlive its Animated values; bound to the main thread.
class AnimationEngine {
public:
    static constexpr Seconds frameInterval{1.0 / 60.0};

    AnimationEngine();
    ~AnimationEngine();
    AnimationEngine(const AnimationEngine&) = delete;
    AnimationEngine& operator=(const AnimationEngine&) = delete;

    // Seconds on the main loop's clock.
    double now() const;
    bool isRunning() const { return timer_ != nullptr; }
    std::size_t activeCount() const { return active_.size(); }
    std::size_t framesTicked() const { return frames_; }

    // Called on every tick, after settled values have been ended, and once more on the tick
    // that stops the clock.
    [[nodiscard]] Cancellable onFrame(std::function<void()> listener);
    [[nodiscard]] FrameHold holdFrames();

    // For Animated<T>.
    void activate(detail::AnimatedBase* value);
    void deactivate(detail::AnimatedBase* value);

private:
    void start();
    void tick();

    struct Listener {
        std::uint64_t id;
        std::function<void()> fn;
    };
    std::vector<detail::AnimatedBase*> active_;
    std::vector<Listener> listeners_;
    std::uint64_t nextListener_ = 0;
    std::shared_ptr<int> holds_;  // use count - 1 = holds outstanding
    std::shared_ptr<Timer> timer_;
    std::size_t frames_ = 0;
    std::shared_ptr<bool> alive_;
};

// One animated property of a layer. Reading gives the value at the engine's current time.
// Which animation a change uses: the implicit one passed to set() (the animation the layer
// attaches to the value that changed) wins; else the explicit withAnimation in force; else the
// value jumps. A change while animating starts from the current value (springs keep their
// velocity).
template <class T>
class Animated : private detail::AnimatedBase {
    using Traits = Animatable<T>;
    using Vec = std::array<double, Traits::count>;

public:
    Animated(AnimationEngine& engine, T initial)
        : engine_(engine),
          from_(Traits::toArray(initial)),
          to_(from_) {}
    ~Animated() override {
        if (animation_) engine_.deactivate(this);
    }
    Animated(const Animated&) = delete;
    Animated& operator=(const Animated&) = delete;

    void set(const T& target, std::optional<Animation> implicit = std::nullopt) {
        Vec t = Traits::toArray(target);
        std::optional<Animation> anim = implicit ? implicit : currentExplicitAnimation();
        if (t == to_) return;
        double now = engine_.now();
        Vec current = valueAt(now);
        Vec velocity = velocityAt(now);
        from_ = current;
        to_ = t;
        if (!anim) {
            from_ = t;
            if (animation_) {
                animation_.reset();
                engine_.deactivate(this);
            }
            return;
        }
        if (anim->curve() != Animation::Curve::Spring) velocity.fill(0);
        velocity_ = velocity;
        start_ = now;
        if (!animation_) engine_.activate(this);
        animation_ = anim;
    }
    // Sets without animation, whatever is in force.
    void jump(const T& target) {
        from_ = to_ = Traits::toArray(target);
        if (animation_) {
            animation_.reset();
            engine_.deactivate(this);
        }
    }

    T value() const { return Traits::fromArray(valueAt(engine_.now())); }
    T target() const { return Traits::fromArray(to_); }
    bool isAnimating() const { return animation_.has_value(); }

private:
    Vec valueAt(double now) const {
        if (!animation_) return to_;
        double elapsed = std::max(0.0, now - start_);
        const Animation& a = *animation_;
        Vec out{};
        if (a.curve() == Animation::Curve::Spring) {
            for (std::size_t i = 0; i < out.size(); ++i) out[i] = to_[i] + a.springDisplacement(from_[i] - to_[i], velocity_[i], elapsed);
            return out;
        }
        double d = a.duration().count();
        double x;
        if (d <= 0) {
            x = 1;
        } else if (a.repeats()) {
            double cycles = elapsed / d;
            double whole = std::floor(cycles);
            x = cycles - whole;
            if (a.autoreverses() && (long long)whole % 2 == 1) x = 1 - x;
        } else {
            x = std::min(1.0, elapsed / d);
        }
        double f = Animation::curveFraction(a.curve(), x);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = from_[i] + (to_[i] - from_[i]) * f;
        return out;
    }
    Vec velocityAt(double now) const {
        Vec v{};
        if (!animation_) return v;
        constexpr double h = 1e-4;
        Vec a = valueAt(now + h), b = valueAt(std::max(start_, now - h));
        double span = now + h - std::max(start_, now - h);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = (a[i] - b[i]) / span;
        return v;
    }
    bool settleIfDone(double now) override {
        if (!animation_) return true;
        const Animation& a = *animation_;
        if (a.repeats()) return false;
        bool done;
        if (a.curve() == Animation::Curve::Spring) {
            Vec x = valueAt(now), v = velocityAt(now);
            done = true;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (std::abs(x[i] - to_[i]) > 1e-3 || std::abs(v[i]) > 1e-2) done = false;
        } else {
            done = now - start_ >= a.duration().count();
        }
        if (done) {
            animation_.reset();
            from_ = to_;
        }
        return done;
    }

    AnimationEngine& engine_;
    Vec from_;
    Vec to_;
    Vec velocity_{};
    double start_ = 0;
    std::optional<Animation> animation_;
};

// Remembers the last value of a key (a value a layer's implicit animation is attached to) and
// says whether it changed: `prop.set(v, key.changed(x) ? anim : nullopt)`.
template <class K>
class AnimationKey {
public:
    explicit AnimationKey(K initial)
        : last_(std::move(initial)) {}
    bool changed(const K& now) {
        if (now == last_) return false;
        last_ = now;
        return true;
    }
    std::optional<Animation> when(const K& now, const Animation& animation) {
        return changed(now) ? std::optional<Animation>(animation) : std::nullopt;
    }

private:
    K last_;
};

}  // namespace velmo
