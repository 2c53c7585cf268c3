#include "platform/desktop/StatusBarDesktop.h"

#include <algorithm>

#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {
ProcessWide<StatusBarDesktop>& desktops() {
    static ProcessWide<StatusBarDesktop> instance("status-bar desktop");
    return instance;
}
}  // namespace

StatusItemIcon tintedOutlinedIcon(const StatusItemIcon& t, std::uint32_t tintRGB) {
    auto channel = [](std::uint32_t rgb, int shift) { return double((rgb >> shift) & 0xFF) / 255; };
    const double luminance = 0.2126 * channel(tintRGB, 16) + 0.7152 * channel(tintRGB, 8) + 0.0722 * channel(tintRGB, 0);
    const std::uint32_t outlineRGB = luminance > 0.5 ? 0x000000 : 0xFFFFFF;
    constexpr double outlineOpacity = 0.85;
    StatusItemIcon out{t.width, t.height, std::vector<std::uint32_t>(t.argb.size(), 0)};
    if (t.width <= 0 || t.height <= 0 || t.argb.size() != std::size_t(t.width) * std::size_t(t.height)) return out;
    auto alphaAt = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= t.width || y >= t.height) return 0.0;
        return double(t.argb[std::size_t(y) * t.width + x] >> 24) / 255;
    };
    for (int y = 0; y < t.height; ++y)
        for (int x = 0; x < t.width; ++x) {
            double a = alphaAt(x, y), spread = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) spread = std::max(spread, alphaAt(x + dx, y + dy));
            const double o = spread * outlineOpacity * (1 - a);  // the outline under the glyph
            const double alpha = a + o;
            auto mix = [&](int shift) {
                return std::uint32_t(std::clamp((channel(tintRGB, shift) * a + channel(outlineRGB, shift) * o) * 255 + 0.5, 0.0, 255.0))
                       << shift;
            };
            const std::uint32_t A = std::uint32_t(std::clamp(alpha * 255 + 0.5, 0.0, 255.0));
            out.argb[std::size_t(y) * t.width + x] = (A << 24) | mix(16) | mix(8) | mix(0);
        }
    return out;
}

std::shared_ptr<StatusBarDesktop> StatusBarDesktop::current() { return desktops().installed(); }
void StatusBarDesktop::install(std::shared_ptr<StatusBarDesktop> desktop) { desktops().exchange(std::move(desktop)); }

}  // namespace velmo
