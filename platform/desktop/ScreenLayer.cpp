#include "platform/desktop/ScreenLayer.h"

#include <cmath>

#include "platform/desktop/X11ScreenLayer.h"
#include "platform/runtime/ProcessWide.h"

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
ProcessWide<ScreenLayer>& layers() {
    static ProcessWide<ScreenLayer> instance("screen layer");
    return instance;
}
}  // namespace

std::shared_ptr<ScreenLayer> ScreenLayer::current() { return layers().current(); }
std::shared_ptr<ScreenLayer> ScreenLayer::installed() { return layers().installed(); }

void ScreenLayer::install(std::shared_ptr<ScreenLayer> layer) { layers().exchange(std::move(layer)); }

ScreenLayerScope::ScreenLayerScope(std::shared_ptr<ScreenLayer> layer)
    : previous_(layers().exchange(std::move(layer))) {}

ScreenLayerScope::~ScreenLayerScope() { layers().exchange(std::move(previous_)); }

}  // namespace velmo
