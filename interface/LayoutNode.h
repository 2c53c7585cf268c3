#pragma once

// A small declarative layout: stacks, spacers, padding, frames, text, shapes and buttons. A tree
// is laid out for a width proposed from above; every node gets a frame (view points, origin
// top-left, y downward) and the tree a natural height. Modifiers are nodes wrapping one child,
// so their order matters as it reads: padding(background(x)) is not background(padding(x)).
//
// Thread contract: plain values; a tree is laid out and read on one thread at a time.

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "interface/drawing/Layer.h"
#include "platform/desktop/Geometry.h"

namespace velmo {

enum class HorizontalAlignment { Leading, Center, Trailing };
enum class VerticalAlignment { Top, Center, Bottom };

struct EdgeInsets {
    double top = 0;
    double leading = 0;
    double bottom = 0;
    double trailing = 0;
    static EdgeInsets horizontal(double v) { return {0, v, 0, v}; }
    static EdgeInsets vertical(double v) { return {v, 0, v, 0}; }
    static EdgeInsets all(double v) { return {v, v, v, v}; }
    bool operator==(const EdgeInsets&) const = default;
};

// A shape drawn behind a node over its whole frame.
struct LayoutShape {
    enum class Kind { RoundedRect, Capsule, Circle, Rect };
    Kind kind = Kind::Rect;
    double cornerRadius = 0;  // RoundedRect
    std::optional<Color> fill;
    std::optional<Color> stroke;  // drawn as an outline of `lineWidth`
    double lineWidth = 1;
    // Applied in this order, the first lowest.
    std::vector<Shadow> shadows;

    static LayoutShape filled(Kind kind, Color fill, double cornerRadius = 0) {
        LayoutShape s;
        s.kind = kind;
        s.fill = fill;
        s.cornerRadius = cornerRadius;
        return s;
    }
};

struct LayoutNode {
    enum class Kind {
        VStack,  // children top to bottom, aligned by `horizontalAlignment`
        HStack,  // children left to right, aligned by `verticalAlignment`
        Spacer,  // fixed `length` along its stack, or flexible when unset
        Text,  // one line at its ideal size, or wrapped to the proposed width
        Divider,  // a hairline across the proposed width, filled `color`
        Shape,  // `shape` filling a fixed frame (a dot)
        Padding,  // `insets` around the child
        Frame,  // fixed `width`/`height`, or the whole proposed width when `maxWidth`
        Background,  // `shape` behind the child, over the child's frame
        Button,  // the child, clickable under `buttonId`
        Symbol,  // the symbol image `text` at `font`'s size and weight, tinted `color`, on one line of that font
    };

    // The spacing a stack uses when none is given.
    static constexpr double defaultSpacing = 8;
    static constexpr double dividerThickness = 1;

    Kind kind = Kind::VStack;
    std::vector<LayoutNode> children;

    double spacing = defaultSpacing;
    HorizontalAlignment horizontalAlignment = HorizontalAlignment::Center;
    VerticalAlignment verticalAlignment = VerticalAlignment::Center;

    std::optional<double> length;  // Spacer

    std::string text;  // Text; the symbol's name
    Font font;
    Color color = Color::black();  // Text, Divider, Symbol
    bool wraps = false;

    LayoutShape shape;  // Shape, Background

    EdgeInsets insets;  // Padding

    std::optional<double> width;  // Frame
    std::optional<double> height;
    bool maxWidth = false;

    std::string buttonId;  // Button

    // Set by layout.
    Rect frame;
};

LayoutNode vstack(HorizontalAlignment alignment, double spacing, std::vector<LayoutNode> children);
LayoutNode hstack(VerticalAlignment alignment, double spacing, std::vector<LayoutNode> children);
LayoutNode spacer();
LayoutNode fixedSpacer(double length);
LayoutNode text(std::string s, Font font, Color color);
LayoutNode wrappedText(std::string s, Font font, Color color);
LayoutNode symbol(std::string name, Font font, Color tint);
LayoutNode divider(Color color);
LayoutNode shape(LayoutShape s, double width, double height);
LayoutNode padding(LayoutNode child, EdgeInsets insets);
LayoutNode frame(LayoutNode child, std::optional<double> width, std::optional<double> height);
LayoutNode maxWidthFrame(LayoutNode child, HorizontalAlignment alignment);
LayoutNode background(LayoutNode child, LayoutShape s);
LayoutNode button(LayoutNode label, std::string id);

// Lays `root` out for `width` with its top-left at `origin`; returns its size, whose height is
// the tree's natural height.
Size layout(LayoutNode& root, double width, Point origin = {});

// The layers of a laid-out tree, bottom first; ids are `prefix` plus the node's path.
LayerList layoutLayers(const LayoutNode& root, const std::string& prefix = "");

// The id of the innermost button whose frame holds `p`, if any.
std::optional<std::string> hitTestButton(const LayoutNode& root, Point p);
// Every button's frame, in tree order.
std::vector<std::pair<std::string, Rect>> buttonFrames(const LayoutNode& root);

}  // namespace velmo
