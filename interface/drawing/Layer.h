#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interface/drawing/Color.h"
#include "interface/drawing/Path.h"
#include "platform/desktop/Geometry.h"

namespace velmo {

// A premultiplied ARGB32 picture for an image layer (a video frame, an icon). Immutable once
// shared. Its own name: the screen layer's captured `Image` is a different thing.
struct LayerImage {
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes per row
    std::vector<std::uint8_t> pixels;
};

struct Shadow {
    Color color = Color::black();
    double opacity = 0;  // multiplies color.opacity; 0 means no shadow
    double radius = 0;  // blur radius in points
    Point offset{};
    bool operator==(const Shadow&) const = default;
    bool visible() const { return opacity > 0 && color.opacity > 0; }
};

struct Font {
    std::string family = "sans-serif";
    double size = 13;  // points (one point is one pixel at scale 1)
    int weight = 400;  // CSS-style: 400 regular, 500 medium, 600 semibold, 700 bold
    bool operator==(const Font&) const = default;
};

// One drawable element of a view, in view coordinates (origin top-left, y downward, points).
// The layer is placed by its centre; rotation (degrees, clockwise on screen) and scale turn and
// grow it about that centre. Content coordinates (path points, text origin) are relative to the
// layer's top-left corner before rotation and scale.
struct Layer {
    enum class Kind {
        Path,  // `path` filled with `fill`
        RoundedRect,  // the frame with `cornerRadius`, continuous corners, filled
        Capsule,  // the frame with fully rounded short ends, filled
        CircleStroke,  // circle of diameter min(width, height), stroked `lineWidth` with `stroke`
        GradientArc,  // that circle trimmed to [trimFrom, trimTo], stroked with an angular gradient
        Text,  // `text` in `font` with `fill`, laid out from the top-left
        Image,  // `image` scaled to fill the frame (aspect fill), cropped to it
    };

    std::string id;  // matches a layer across frames for damage tracking
    Kind kind = Kind::Path;
    Point center{};
    Size size{};
    double rotation = 0;  // degrees
    double scale = 1;
    double opacity = 1;

    Color fill = Color::black();
    Color stroke = Color::black();
    double lineWidth = 1;
    double cornerRadius = 0;
    // RoundedRect, Capsule and Path: also stroked along their outline at `lineWidth`, over the
    // fill (a Path's open subpaths too, with round ends and joins).
    std::optional<Color> outline;
    Path path;

    // Trimmed circle (fractions of the outline starting at 3 o'clock, clockwise) and its
    // angular gradient from `gradientFrom` at `gradientStartAngle` to `gradientTo` a turn later.
    double trimFrom = 0;
    double trimTo = 1;
    Color gradientFrom = Color::clear();
    Color gradientTo = Color::black();
    double gradientStartAngle = 0;  // degrees

    std::string text;
    Font font;
    // Wraps the text at word boundaries to this width (points); one line each paragraph when unset.
    std::optional<double> wrapWidth;

    std::shared_ptr<const LayerImage> image;

    Shadow shadow;
    // Draws the shadow alone: a second shadow of a shape goes on a copy of its layer, below it.
    bool shadowOnly = false;
    // Clips the layer's content to its frame with this corner radius (images, video).
    std::optional<double> clipCornerRadius;

    bool operator==(const Layer&) const = default;

    Rect frame() const { return {center.x - size.width / 2, center.y - size.height / 2, size.width, size.height}; }
};

using LayerList = std::vector<Layer>;

}  // namespace velmo
