#include "platform/desktop/OverlayWindowLayer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using velmo::WindowPixelRect;

namespace {

// A BGRA frame from rows of '#' (alpha 255), '+' (alpha 128), '-' (alpha 127) and '.' (clear).
struct Frame {
    explicit Frame(const std::vector<std::string>& rows)
        : width(int(rows[0].size())),
          height(int(rows.size())) {
        pixels.resize(std::size_t(width * height * 4));
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const char c = rows[std::size_t(y)][std::size_t(x)];
                pixels[std::size_t((y * width + x) * 4 + 3)] = c == '#' ? 255 : c == '+' ? 128 : c == '-' ? 127 : 0;
            }
    }
    std::vector<WindowPixelRect> region(const std::vector<WindowPixelRect>& drawn) const {
        return velmo::opaqueRegion(pixels.data(), width, height, width * 4, drawn);
    }
    int width, height;
    std::vector<std::uint8_t> pixels;
};

TEST(OverlayOpaqueRegion, KeepsTheMostlyOpaquePixelsOfTheDrawnBoxesInBands) {
    const Frame frame({
        "..........",
        ".-####-...",
        ".-####-...",
        "..+..+....",
        "........##",
    });
    const std::vector<WindowPixelRect> all{{0, 0, 10, 5}};
    struct Case {
        const char* name;
        std::vector<WindowPixelRect> drawn;
        std::vector<WindowPixelRect> expected;
    } cases[] = {
        {"whole frame: equal rows join, faint pixels stay out", all, {{2, 1, 4, 2}, {2, 3, 1, 1}, {5, 3, 1, 1}, {8, 4, 2, 1}}},
        {"nothing drawn", {}, {}},
        {"only inside the drawn boxes", {{0, 0, 4, 3}}, {{2, 1, 2, 2}}},
        {"overlapping boxes scan their pixels once", {{0, 1, 5, 2}, {3, 1, 5, 2}}, {{2, 1, 4, 2}}},
        {"a gap between boxes splits a run", {{0, 1, 4, 1}, {5, 1, 5, 1}}, {{2, 1, 2, 1}, {5, 1, 1, 1}}},
        {"boxes past the frame are clipped", {{-5, 3, 30, 9}}, {{2, 3, 1, 1}, {5, 3, 1, 1}, {8, 4, 2, 1}}},
    };
    for (const auto& c : cases) EXPECT_EQ(frame.region(c.drawn), c.expected) << c.name;
}

}  // namespace
