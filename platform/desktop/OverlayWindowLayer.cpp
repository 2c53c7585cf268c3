#include "platform/desktop/OverlayWindowLayer.h"

#include <algorithm>
#include <utility>

#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {
ProcessWide<OverlayWindowLayer>& layers() {
    static ProcessWide<OverlayWindowLayer> instance("overlay window layer");
    return instance;
}
}  // namespace

std::vector<WindowPixelRect> opaqueRegion(const std::uint8_t* pixels, int width, int height, int stride,
                                          const std::vector<WindowPixelRect>& drawn) {
    std::vector<WindowPixelRect> out;
    int top = height, bottom = 0;
    for (const auto& r : drawn) {
        top = std::min(top, std::max(0, r.y));
        bottom = std::max(bottom, std::min(height, r.y + r.height));
    }
    std::vector<std::pair<int, int>> columns, spans, previous;
    std::vector<std::size_t> open;  // indices in `out` of the rectangles the previous row extends
    for (int y = top; y < bottom; ++y) {
        // The drawn boxes crossing this row, by their left edge; overlaps are scanned once.
        columns.clear();
        for (const auto& r : drawn)
            if (y >= r.y && y < r.y + r.height) {
                const int x0 = std::max(0, r.x), x1 = std::min(width, r.x + r.width);
                if (x0 < x1) columns.emplace_back(x0, x1);
            }
        std::sort(columns.begin(), columns.end());
        spans.clear();
        const std::uint8_t* row = pixels + std::size_t(y) * std::size_t(stride);
        int runStart = -1, scannedTo = 0;
        for (const auto& [x0, x1] : columns) {
            const int from = std::max(x0, scannedTo);
            if (from > scannedTo && runStart >= 0) {  // a gap between the ranges ends the run
                spans.emplace_back(runStart, scannedTo);
                runStart = -1;
            }
            for (int x = from; x < x1; ++x) {
                const bool opaque = row[std::size_t(x) * 4 + 3] >= 128;
                if (opaque && runStart < 0) runStart = x;
                if (!opaque && runStart >= 0) {
                    spans.emplace_back(runStart, x);
                    runStart = -1;
                }
            }
            scannedTo = std::max(scannedTo, x1);
        }
        if (runStart >= 0) spans.emplace_back(runStart, scannedTo);
        if (spans == previous) {
            for (std::size_t i : open) ++out[i].height;
            continue;
        }
        open.clear();
        for (const auto& [x0, x1] : spans) {
            open.push_back(out.size());
            out.push_back({x0, y, x1 - x0, 1});
        }
        previous = spans;
    }
    return out;
}

std::shared_ptr<OverlayWindowLayer> OverlayWindowLayer::current() { return layers().installed(); }
void OverlayWindowLayer::install(std::shared_ptr<OverlayWindowLayer> layer) { layers().exchange(std::move(layer)); }

}  // namespace velmo
