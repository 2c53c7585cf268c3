#include "platform/desktop/ScreenLayer.h"

#include <cmath>
#include <mutex>

#include "platform/desktop/X11ScreenLayer.h"

namespace velmo {

std::optional<std::uint32_t> unsigned32Value(const DescriptionValue& value) {
    constexpr double kMax = 4294967295.0;
    if (const auto* i = std::get_if<std::int64_t>(&value)) {
        if (*i < 0 || *i > std::int64_t(kMax)) return std::nullopt;
        return std::uint32_t(*i);
    }
    if (const auto* d = std::get_if<double>(&value)) {
        if (!(*d >= 0 && *d <= kMax) || std::trunc(*d) != *d) return std::nullopt;
        return std::uint32_t(*d);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> screenNumber(const Screen& screen) {
    auto it = screen.deviceDescription.find(kScreenNumberKey);
    if (it == screen.deviceDescription.end()) return std::nullopt;
    return unsigned32Value(it->second);
}

namespace {

std::mutex& layerMutex() {
    static std::mutex mutex;
    return mutex;
}
std::shared_ptr<ScreenLayer>& installedLayer() {
    static std::shared_ptr<ScreenLayer> layer;
    return layer;
}
std::shared_ptr<ScreenLayer>& defaultLayer() {
    static std::shared_ptr<ScreenLayer> layer;
    return layer;
}

std::shared_ptr<ScreenLayer> exchangeInstalled(std::shared_ptr<ScreenLayer> layer) {
    std::lock_guard lock(layerMutex());
    std::swap(installedLayer(), layer);
    return layer;
}

}  // namespace

std::shared_ptr<ScreenLayer> ScreenLayer::current() {
    std::lock_guard lock(layerMutex());
    if (installedLayer()) return installedLayer();
    if (!defaultLayer()) defaultLayer() = std::make_shared<X11ScreenLayer>();
    return defaultLayer();
}

void ScreenLayer::install(std::shared_ptr<ScreenLayer> layer) { exchangeInstalled(std::move(layer)); }

ScreenLayerScope::ScreenLayerScope(std::shared_ptr<ScreenLayer> layer) : previous_(exchangeInstalled(std::move(layer))) {}

ScreenLayerScope::~ScreenLayerScope() { exchangeInstalled(std::move(previous_)); }

}  // namespace velmo
