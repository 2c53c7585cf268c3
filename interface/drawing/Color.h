#pragma once

namespace velmo {

// An sRGB colour with straight (not premultiplied) components in 0...1.
struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double opacity = 1;

    bool operator==(const Color&) const = default;
    Color withOpacity(double o) const { return {red, green, blue, o}; }

    static Color white() { return {1, 1, 1, 1}; }
    static Color black() { return {0, 0, 0, 1}; }
    static Color clear() { return {0, 0, 0, 0}; }
};

}  // namespace velmo
