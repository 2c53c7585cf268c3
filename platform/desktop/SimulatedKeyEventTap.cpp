#include "platform/desktop/SimulatedKeyEventTap.h"

#include "platform/runtime/MainLoop.h"

namespace velmo {

SimulatedKeyEventTap::SimulatedKeyEventTap(KeyEventTapLocation location, KeyEventTapPlacement placement, KeyEventTapOptions options,
                                           KeyEventMask mask, KeyEventTapCallback callback, void* userInfo,
                                           std::shared_ptr<const SimulatedKeyEventTapSwitches> switches)
    : KeyEventTap(mask, callback, userInfo),
      location_(location),
      placement_(placement),
      options_(options),
      switches_(std::move(switches)) {}

void SimulatedKeyEventTap::post(const KeyEvent& event) {
    std::weak_ptr<KeyEventTap> weak = weak_from_this();
    MainLoop::postToMain([weak, event] {
        auto tap = std::static_pointer_cast<SimulatedKeyEventTap>(weak.lock());
        if (!tap) return;
        if (auto passedOn = tap->dispatch(event)) tap->deliveries_.push_back(Delivery{event, *passedOn});
    });
}

std::shared_ptr<KeyEventTap> SimulatedKeyEventTapFactory::createTap(KeyEventTapLocation location, KeyEventTapPlacement placement,
                                                                    KeyEventTapOptions options, KeyEventMask mask,
                                                                    KeyEventTapCallback callback, void* userInfo) {
    ++attempts_;
    if (switches_->failsTapCreation) return nullptr;
    auto tap = std::make_shared<SimulatedKeyEventTap>(location, placement, options, mask, callback, userInfo, switches_);
    taps_.push_back(tap);
    return tap;
}

void SimulatedKeyEventTapFactory::post(const KeyEvent& event) {
    for (auto& tap : taps_) tap->post(event);
}

SimulatedKeyEventTapScope::SimulatedKeyEventTapScope()
    : factory_(std::make_shared<SimulatedKeyEventTapFactory>()),
      previous_(KeyEventTapFactory::install(factory_)) {}

SimulatedKeyEventTapScope::~SimulatedKeyEventTapScope() { KeyEventTapFactory::install(previous_); }

}  // namespace velmo
