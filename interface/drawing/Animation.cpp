#include "interface/drawing/Animation.h"

#include <algorithm>
#include <cassert>
#include <numbers>

namespace velmo {

namespace {

// Control points of the unit cubic Bézier x(s), y(s) for the ease curves.
struct Bezier {
    double x1, y1, x2, y2;
    static double at(double a, double b, double s) {
        double u = 1 - s;
        return 3 * u * u * s * a + 3 * u * s * s * b + s * s * s;
    }
    double solve(double x) const {
        // x(s) is monotonic: bisect, then a few Newton steps are not needed at this precision.
        double lo = 0, hi = 1, s = x;
        for (int i = 0; i < 60; ++i) {
            s = (lo + hi) / 2;
            if (at(x1, x2, s) < x)
                lo = s;
            else
                hi = s;
        }
        return at(y1, y2, s);
    }
};

std::vector<Animation>& explicitStack() {
    static std::vector<Animation> stack;  // main thread only
    return stack;
}

}  // namespace

Animation Animation::linear(Seconds d) { return Animation(Curve::Linear, d.count(), 1); }
Animation Animation::easeIn(Seconds d) { return Animation(Curve::EaseIn, d.count(), 1); }
Animation Animation::easeOut(Seconds d) { return Animation(Curve::EaseOut, d.count(), 1); }
Animation Animation::easeInOut(Seconds d) { return Animation(Curve::EaseInOut, d.count(), 1); }
Animation Animation::spring(Seconds response, double dampingFraction) {
    return Animation(Curve::Spring, std::max(response.count(), 1e-3), std::max(dampingFraction, 0.0));
}

Animation Animation::repeatForever(bool autoreverses) const {
    Animation a = *this;
    a.repeats_ = curve_ != Curve::Spring;  // a spring has no cycle to repeat
    a.autoreverses_ = autoreverses;
    return a;
}

double Animation::curveFraction(Curve curve, double x) {
    x = std::clamp(x, 0.0, 1.0);
    switch (curve) {
        case Curve::Linear:
            return x;
        case Curve::EaseIn:
            return Bezier{0.42, 0, 1, 1}.solve(x);
        case Curve::EaseOut:
            return Bezier{0, 0, 0.58, 1}.solve(x);
        case Curve::EaseInOut:
            return Bezier{0.42, 0, 0.58, 1}.solve(x);
        case Curve::Spring:
            return x;
    }
    return x;
}

double Animation::springDisplacement(double y0, double v0, double t) const {
    double w0 = 2 * std::numbers::pi / duration_;
    double z = damping_;
    if (z < 1) {
        double wd = w0 * std::sqrt(1 - z * z);
        return std::exp(-z * w0 * t) * (y0 * std::cos(wd * t) + (v0 + z * w0 * y0) / wd * std::sin(wd * t));
    }
    if (z == 1) return std::exp(-w0 * t) * (y0 + (v0 + w0 * y0) * t);
    double s = w0 * std::sqrt(z * z - 1);
    double r1 = -z * w0 + s, r2 = -z * w0 - s;
    double c2 = (v0 - r1 * y0) / (r2 - r1);
    double c1 = y0 - c2;
    return c1 * std::exp(r1 * t) + c2 * std::exp(r2 * t);
}

void withAnimation(const Animation& animation, const std::function<void()>& body) {
    auto& stack = explicitStack();
    stack.push_back(animation);
    struct Pop {
        ~Pop() { explicitStack().pop_back(); }
    } pop;
    body();
}

std::optional<Animation> currentExplicitAnimation() {
    auto& stack = explicitStack();
    if (stack.empty()) return std::nullopt;
    return stack.back();
}

AnimationEngine::AnimationEngine()
    : holds_(std::make_shared<int>(0)),
      alive_(std::make_shared<bool>(true)) {}

AnimationEngine::~AnimationEngine() {
    *alive_ = false;
    if (timer_) timer_->invalidate();
}

double AnimationEngine::now() const { return MainLoop::mainNow(); }

Cancellable AnimationEngine::onFrame(std::function<void()> listener) {
    std::uint64_t id = ++nextListener_;
    listeners_.push_back({id, std::move(listener)});
    std::weak_ptr<bool> alive = alive_;
    return Cancellable([this, alive, id] {
        if (alive.lock()) std::erase_if(listeners_, [id](const Listener& l) { return l.id == id; });
    });
}

FrameHold AnimationEngine::holdFrames() {
    FrameHold hold(std::shared_ptr<void>(holds_, holds_.get()));
    start();
    return hold;
}

void AnimationEngine::activate(detail::AnimatedBase* value) {
    assert(MainLoop::isMainThread() && "animations run on the main loop");
    active_.push_back(value);
    start();
}

void AnimationEngine::deactivate(detail::AnimatedBase* value) { std::erase(active_, value); }

void AnimationEngine::start() {
    if (timer_) return;
    std::weak_ptr<bool> alive = alive_;
    timer_ = Timer::scheduled(frameInterval, true, [this, alive](Timer&) {
        if (alive.lock()) tick();
    });
}

void AnimationEngine::tick() {
    ++frames_;
    double t = now();
    std::vector<detail::AnimatedBase*> still;
    for (auto* v : active_)
        if (!v->settleIfDone(t)) still.push_back(v);
    active_ = std::move(still);
    bool stop = active_.empty() && holds_.use_count() == 1;
    if (stop) {
        timer_->invalidate();
        timer_.reset();
    }
    auto snapshot = listeners_;
    for (auto& l : snapshot) l.fn();
}

}  // namespace velmo
