#pragma once

#include <memory>
#include <vector>

#include "platform/desktop/KeyEventTap.h"

namespace velmo {

struct SimulatedKeyEventTapSwitches {
    bool failsTapCreation = false;
    bool failsRunLoopSourceCreation = false;
};

// A tap that tests drive: they post the session's key events and make the system disable it.
class SimulatedKeyEventTap final : public KeyEventTap {
public:
    struct Delivery {
        KeyEvent event;  // what the callback was given
        KeyEvent passedOn;  // what it handed back
    };

    SimulatedKeyEventTap(KeyEventTapLocation location, KeyEventTapPlacement placement, KeyEventTapOptions options, KeyEventMask mask,
                         KeyEventTapCallback callback, void* userInfo, std::shared_ptr<const SimulatedKeyEventTapSwitches> switches);
    ~SimulatedKeyEventTap() override { invalidate(); }

    // A key event in the session. It reaches the callback on the main loop (posted, in order)
    // if the tap can see it by then.
    void post(const KeyEvent& event);
    // The system turns the tap off, as a slow callback or user input would make it.
    void disableByTimeout() { disableBySystem(KeyEventType::tapDisabledByTimeout); }
    void disableByUserInput() { disableBySystem(KeyEventType::tapDisabledByUserInput); }

    const std::vector<Delivery>& deliveries() const { return deliveries_; }
    KeyEventTapLocation location() const { return location_; }
    KeyEventTapPlacement placement() const { return placement_; }
    KeyEventTapOptions options() const { return options_; }

protected:
    bool canMakeRunLoopSource() override { return !switches_->failsRunLoopSourceCreation; }

private:
    KeyEventTapLocation location_;
    KeyEventTapPlacement placement_;
    KeyEventTapOptions options_;
    std::shared_ptr<const SimulatedKeyEventTapSwitches> switches_;
    std::vector<Delivery> deliveries_;
};

class SimulatedKeyEventTapFactory : public KeyEventTapFactory {
public:
    SimulatedKeyEventTapFactory()
        : switches_(std::make_shared<SimulatedKeyEventTapSwitches>()) {}

    std::shared_ptr<KeyEventTap> createTap(KeyEventTapLocation location, KeyEventTapPlacement placement, KeyEventTapOptions options,
                                           KeyEventMask mask, KeyEventTapCallback callback, void* userInfo) override;

    // While set, creating a tap fails / making a tap's run-loop source fails.
    void setFailsTapCreation(bool fails) { switches_->failsTapCreation = fails; }
    void setFailsRunLoopSourceCreation(bool fails) { switches_->failsRunLoopSourceCreation = fails; }

    // Every tap made so far, oldest first (invalidated ones included).
    const std::vector<std::shared_ptr<SimulatedKeyEventTap>>& taps() const { return taps_; }
    std::size_t attemptCount() const { return attempts_; }
    // A key event in the session: every tap made so far is offered it.
    void post(const KeyEvent& event);

private:
    std::shared_ptr<SimulatedKeyEventTapSwitches> switches_;
    std::vector<std::shared_ptr<SimulatedKeyEventTap>> taps_;
    std::size_t attempts_ = 0;
};

// Makes a fresh simulated factory the process's tap factory while it lives.
class SimulatedKeyEventTapScope {
public:
    SimulatedKeyEventTapScope();
    ~SimulatedKeyEventTapScope();
    SimulatedKeyEventTapScope(const SimulatedKeyEventTapScope&) = delete;
    SimulatedKeyEventTapScope& operator=(const SimulatedKeyEventTapScope&) = delete;
    SimulatedKeyEventTapFactory& factory() { return *factory_; }

private:
    std::shared_ptr<SimulatedKeyEventTapFactory> factory_;
    std::shared_ptr<KeyEventTapFactory> previous_;
};

}  // namespace velmo
