#pragma once

#include <memory>
#include <optional>
#include <string>
#include <typeinfo>

#include "RideZav/core/RideZavValue.h"
#include "RideZav/core/RideZavTypeName.h"

namespace ridezav {

class RideZavSDK;

// Sends a screen event, or a plain event, each time the view it is attached to appears. Any
// toolkit can carry it: the view keeps the modifier and calls onAppear whenever it is shown.
// Thread contract: onAppear on the main thread, like the view that calls it.
struct RideZavViewModifier {
    std::string viewEventName;
    bool screenEvent = true;  // false: a plain event named viewEventName
    std::optional<Object> properties;
    std::shared_ptr<RideZavSDK> rideZav;  // none: the shared facade

    void onAppear() const;
};

// A screen event for `view`, named `screenName` or else after the view's own type without its
// namespace.
template <class View>
RideZavViewModifier attachScreenEvent(const View& view, std::optional<std::string> screenName = std::nullopt,
                                      std::optional<Object> properties = std::nullopt, std::shared_ptr<RideZavSDK> rideZav = nullptr) {
    std::string name = screenName ? std::move(*screenName) : unqualifiedTypeName(typeid(view));
    return {std::move(name), true, std::move(properties), std::move(rideZav)};
}

// A plain event named `event` each time `view` appears.
template <class View>
RideZavViewModifier attachViewEvent(const View& view, std::string event, std::optional<Object> properties = std::nullopt,
                                    std::shared_ptr<RideZavSDK> rideZav = nullptr) {
    return {std::move(event), false, std::move(properties), std::move(rideZav)};
}

}  // namespace ridezav
