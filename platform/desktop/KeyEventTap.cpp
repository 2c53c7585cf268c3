#include "platform/desktop/KeyEventTap.h"

#include "platform/desktop/X11KeyEventTap.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/ProcessWide.h"

namespace velmo {

KeyEventTap::KeyEventTap(KeyEventMask mask, KeyEventTapCallback callback, void* userInfo)
    : mask_(mask),
      callback_(callback),
      userInfo_(userInfo) {}

KeyEventTap::~KeyEventTap() = default;  // backends invalidate in their own destructors

void KeyEventTap::setEnabled(bool enabled) { enabled_ = enabled && valid_; }

void KeyEventTap::invalidate() {
    if (!valid_) return;
    valid_ = false;
    enabled_ = false;
    detach();
    didInvalidate();
}

std::shared_ptr<KeyEventTapRunLoopSource> KeyEventTap::createRunLoopSource() {
    if (!valid_ || !MainLoop::current()) return nullptr;
    if (auto existing = source_.lock()) return existing;
    if (!canMakeRunLoopSource()) return nullptr;
    std::shared_ptr<KeyEventTapRunLoopSource> source(new KeyEventTapRunLoopSource(weak_from_this()));
    source_ = source;
    return source;
}

void KeyEventTap::attach() {
    if (!valid_ || attached_) return;
    attached_ = true;
    attachToMainLoop();
}

void KeyEventTap::detach() {
    if (!attached_) return;
    attached_ = false;
    detachFromMainLoop();
}

std::optional<KeyEvent> KeyEventTap::dispatch(const KeyEvent& event) {
    if (!valid_ || !attached_ || !enabled_ || !(mask_ & keyEventMaskBit(event.type))) return std::nullopt;
    return callback_(event.type, event, userInfo_);
}

void KeyEventTap::disableBySystem(KeyEventType reason) {
    if (!valid_) return;
    enabled_ = false;
    std::weak_ptr<KeyEventTap> weak = weak_from_this();
    MainLoop::postToMain([weak, reason] {
        auto tap = weak.lock();
        if (!tap || !tap->valid_ || !tap->attached_) return;
        tap->callback_(reason, KeyEvent{reason, 0}, tap->userInfo_);
    });
}

KeyEventTapRunLoopSource::~KeyEventTapRunLoopSource() { removeFromMainLoop(); }

void KeyEventTapRunLoopSource::addToMainLoop() {
    if (auto tap = tap_.lock()) tap->attach();
}

void KeyEventTapRunLoopSource::removeFromMainLoop() {
    if (auto tap = tap_.lock()) tap->detach();
}

bool KeyEventTapRunLoopSource::isInMainLoop() const {
    auto tap = tap_.lock();
    return tap && tap->attached_;
}

namespace {
ProcessWide<KeyEventTapFactory>& factories() {
    static ProcessWide<KeyEventTapFactory> instance("key event tap factory");
    return instance;
}
}  // namespace

std::shared_ptr<KeyEventTapFactory> KeyEventTapFactory::current() { return factories().current(); }

std::shared_ptr<KeyEventTapFactory> KeyEventTapFactory::install(std::shared_ptr<KeyEventTapFactory> factory) {
    return factories().exchange(std::move(factory));
}

}  // namespace velmo
