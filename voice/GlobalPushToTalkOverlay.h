#pragma once

#include <memory>
#include <optional>

#include "platform/runtime/Published.h"

namespace velmo {

class FloatingPanel;  // the desktop layer's floating panel window

// Declared shapes of a small floating push-to-talk indicator. Nothing creates or uses them yet.

enum class GlobalPushToTalkOverlayMode {
    starting,  // the recording is being prepared
    listening,  // audio is being recorded
    processing,  // the recording ended and the transcript is awaited
};

// The indicator's observable state. Main thread only.
class GlobalPushToTalkOverlayViewModel {
public:
    GlobalPushToTalkOverlayViewModel() = default;
    virtual ~GlobalPushToTalkOverlayViewModel() = default;

    ObjectWillChange objectWillChange;
    Published<GlobalPushToTalkOverlayMode> overlayMode{GlobalPushToTalkOverlayMode::starting, &objectWillChange};
    Published<double> audioPowerLevel{0.0, &objectWillChange};
};

// Owns the indicator's panel and view model. Main thread only.
class GlobalPushToTalkOverlayManager {
public:
    GlobalPushToTalkOverlayManager() = default;
    virtual ~GlobalPushToTalkOverlayManager() = default;

    ObjectWillChange objectWillChange;
    const std::shared_ptr<GlobalPushToTalkOverlayViewModel> overlayViewModel = std::make_shared<GlobalPushToTalkOverlayViewModel>();
    std::shared_ptr<FloatingPanel> overlayPanel;
    std::optional<Cancellable> overlayObservationCancellable;
};

}  // namespace velmo

template <>
struct std::hash<velmo::GlobalPushToTalkOverlayMode> {
    std::size_t operator()(velmo::GlobalPushToTalkOverlayMode mode) const noexcept { return std::size_t(mode); }
};
