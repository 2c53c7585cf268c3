#pragma once

// Overlay windows in memory: each records the frames presented to it and keeps its picture up
// to date from the damaged rectangles only, so a test sees what a real window would show.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/desktop/OverlayWindowLayer.h"

namespace velmo::test {

class SimulatedOverlayWindow : public OverlayPlatformWindow {
public:
    explicit SimulatedOverlayWindow(Rect frame)
        : frame_(frame) {}

    void present(const std::uint8_t* pixels, int w, int h, int stride, const std::vector<WindowPixelRect>& damaged,
                 const std::vector<WindowPixelRect>& drawnBoxes) override {
        if (w != width || h != height) {
            width = w;
            height = h;
            picture.assign(std::size_t(w) * h, 0);
        }
        for (const auto& r : damaged)
            for (int y = r.y; y < r.y + r.height; ++y)
                std::memcpy(&picture[std::size_t(y) * w + r.x], pixels + std::size_t(y) * stride + std::size_t(r.x) * 4,
                            std::size_t(r.width) * 4);
        ++framesPresented;
        lastDamage = damaged;
        drawn = drawnBoxes;
    }
    void orderFrontRegardless() override {
        visible_ = true;
        ++orderFrontCount;
    }
    void orderOut() override { visible_ = false; }
    bool isVisible() const override { return visible_; }
    Rect frame() const override { return frame_; }

    // The premultiplied ARGB word shown at (x, y); 0 outside.
    std::uint32_t pixel(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height) return 0;
        return picture[std::size_t(y) * width + x];
    }
    // Whether any pixel of the picture has this opaque colour (0xRRGGBB).
    bool shows(std::uint32_t rgb) const {
        for (std::uint32_t p : picture)
            if (p == (0xff000000u | rgb)) return true;
        return false;
    }

    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> picture;
    int framesPresented = 0;
    int orderFrontCount = 0;
    std::vector<WindowPixelRect> lastDamage;
    std::vector<WindowPixelRect> drawn;

private:
    Rect frame_;
    bool visible_ = false;
};

class SimulatedOverlayWindowLayer : public OverlayWindowLayer {
public:
    std::shared_ptr<OverlayPlatformWindow> makeOverlayWindow(const Rect& frame) override {
        auto window = std::make_shared<SimulatedOverlayWindow>(frame);
        windows.push_back(window);
        return window;
    }
    // Every window made, in order, taken down or not.
    std::vector<std::shared_ptr<SimulatedOverlayWindow>> windows;
};

}  // namespace velmo::test
