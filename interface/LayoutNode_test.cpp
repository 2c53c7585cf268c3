#include "interface/LayoutNode.h"

#include <gtest/gtest.h>

#include "interface/drawing/Painter.h"

namespace velmo {
namespace {

const Font body{"sans-serif", 12, 500};
const Color grey{0.4, 0.4, 0.4, 1};

LayoutNode box(double w, double h) { return shape(LayoutShape::filled(LayoutShape::Kind::Rect, grey), w, h); }

struct StackCase {
    const char* name;
    LayoutNode tree;
    double width;
    Size size;
    std::vector<Rect> children;  // frames of the root's children
};

TEST(LayoutNode, StacksPlaceTheirChildrenWithSpacingAlignmentAndSpacers) {
    std::vector<StackCase> cases = {
        {"leading vertical stack",
         vstack(HorizontalAlignment::Leading, 4, {box(10, 5), box(20, 6)}),
         100,
         {20, 15},
         {{0, 0, 10, 5}, {0, 9, 20, 6}}},
        {"centred vertical stack",
         vstack(HorizontalAlignment::Center, 0, {box(10, 5), box(20, 6)}),
         100,
         {20, 11},
         {{5, 0, 10, 5}, {0, 5, 20, 6}}},
        {"trailing vertical stack",
         vstack(HorizontalAlignment::Trailing, 0, {box(10, 5), box(20, 6)}),
         100,
         {20, 11},
         {{10, 0, 10, 5}, {0, 5, 20, 6}}},
        {"fixed spacer in a vertical stack",
         vstack(HorizontalAlignment::Leading, 0, {box(10, 5), fixedSpacer(16), box(10, 5)}),
         100,
         {10, 26},
         {{0, 0, 10, 5}, {0, 5, 0, 16}, {0, 21, 10, 5}}},
        {"centred horizontal stack at its ideal width",
         hstack(VerticalAlignment::Center, 8, {box(10, 4), box(20, 10)}),
         100,
         {38, 10},
         {{0, 3, 10, 4}, {18, 0, 20, 10}}},
        {"top and bottom alignment",
         hstack(VerticalAlignment::Bottom, 0, {box(10, 4), box(20, 10)}),
         100,
         {30, 10},
         {{0, 6, 10, 4}, {10, 0, 20, 10}}},
        {"flexible spacer pushes the last child to the trailing edge",
         hstack(VerticalAlignment::Center, 8, {box(10, 4), spacer(), box(20, 10)}),
         100,
         {100, 10},
         {{0, 3, 10, 4}, {18, 0, 54, 10}, {80, 0, 20, 10}}},
        {"two flexible spacers share the rest evenly",
         hstack(VerticalAlignment::Top, 0, {spacer(), box(20, 10), spacer()}),
         100,
         {100, 10},
         {{0, 0, 40, 10}, {40, 0, 20, 10}, {60, 0, 40, 10}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(layout(c.tree, c.width), c.size);
        ASSERT_EQ(c.tree.children.size(), c.children.size());
        for (std::size_t i = 0; i < c.children.size(); ++i) EXPECT_EQ(c.tree.children[i].frame, c.children[i]) << i;
    }
}

struct ModifierCase {
    const char* name;
    LayoutNode tree;
    double width;
    Size size;
    Rect inner;  // the frame of the innermost box
};

const LayoutNode& innermost(const LayoutNode& n) { return n.children.empty() ? n : innermost(n.children.front()); }

TEST(LayoutNode, PaddingFramesAndBackgroundsWrapTheirChildInOrder) {
    LayoutShape card = LayoutShape::filled(LayoutShape::Kind::RoundedRect, grey, 12);
    std::vector<ModifierCase> cases = {
        {"horizontal then vertical padding",
         padding(padding(box(10, 10), EdgeInsets::horizontal(16)), EdgeInsets::vertical(14)),
         320,
         {42, 38},
         {16, 14, 10, 10}},
        {"top padding", padding(box(10, 10), {16, 0, 0, 0}), 320, {10, 26}, {0, 16, 10, 10}},
        {"maximum width, leading", maxWidthFrame(box(10, 10), HorizontalAlignment::Leading), 320, {320, 10}, {0, 0, 10, 10}},
        {"maximum width, centred", maxWidthFrame(box(10, 10), HorizontalAlignment::Center), 320, {320, 10}, {155, 0, 10, 10}},
        {"maximum width inside padding spans the width less the padding",
         padding(maxWidthFrame(box(10, 10), HorizontalAlignment::Trailing), EdgeInsets::horizontal(16)),
         320,
         {320, 10},
         {294, 0, 10, 10}},
        {"fixed frame centres its child", frame(box(10, 10), 16, 30), 320, {16, 30}, {3, 10, 10, 10}},
        {"background takes the padded frame", background(padding(box(10, 4), {4, 10, 4, 10}), card), 320, {30, 12}, {10, 4, 10, 4}},
        {"button takes its label's frame", button(padding(box(10, 4), EdgeInsets::all(2)), "b"), 320, {14, 8}, {2, 2, 10, 4}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(layout(c.tree, c.width), c.size);
        EXPECT_EQ(c.tree.frame, (Rect{0, 0, c.size.width, c.size.height}));
        EXPECT_EQ(innermost(c.tree).frame, c.inner);
    }
}

TEST(LayoutNode, TextIsMeasuredWithPangoAndWrapsOnlyWhenAskedTo) {
    const std::string sentence =
        "This is Velmo. Grant all four permissions below to get started. I promise it all makes sense once you do.";
    Size ideal = Painter::measureText(sentence, body);
    ASSERT_GT(ideal.width, 288);

    LayoutNode fixed = text(sentence, body, grey);
    EXPECT_EQ(layout(fixed, 288), ideal);  // one line, at its ideal size whatever the offer

    LayoutNode wrapped = padding(wrappedText(sentence, body, grey), EdgeInsets::horizontal(16));
    Size s = layout(wrapped, 320);
    const LayoutNode& t = wrapped.children.front();
    EXPECT_LE(t.frame.width, 288);
    EXPECT_EQ(t.frame.height, Painter::measureText(sentence, body, 288).height);
    EXPECT_GE(t.frame.height, 2 * ideal.height);
    EXPECT_EQ(s.height, t.frame.height);

    // A wider offer needs fewer lines: the natural height follows the width.
    LayoutNode wide = wrappedText(sentence, body, grey);
    EXPECT_LT(layout(wide, ideal.width + 1).height, s.height);
}

TEST(LayoutNode, DividersSpanTheOfferedWidthAndStacksAddUpToTheNaturalHeight) {
    LayoutNode column = vstack(HorizontalAlignment::Leading, 0,
                               {padding(text("Velmo", body, grey), EdgeInsets::vertical(14)),
                                padding(divider(grey), EdgeInsets::horizontal(16)), fixedSpacer(12)});
    Size s = layout(column, 320);
    double line = Painter::measureText("Velmo", body).height;
    EXPECT_EQ(s.width, 320);
    EXPECT_DOUBLE_EQ(s.height, line + 28 + LayoutNode::dividerThickness + 12);
    EXPECT_EQ(column.children[1].children.front().frame, (Rect{16, line + 28, 288, LayoutNode::dividerThickness}));
}

TEST(LayoutNode, LayersFollowTheTreeWithShadowsBelowTheirShape) {
    LayoutShape card = LayoutShape::filled(LayoutShape::Kind::RoundedRect, Color{0.06, 0.07, 0.07, 1}, 12);
    card.shadows = {Shadow{Color::black(), 0.5, 20, {0, 10}}, Shadow{Color::black(), 0.3, 4, {0, 2}}};
    LayoutNode tree = background(
        padding(vstack(HorizontalAlignment::Leading, 0,
                       {text("Velmo", body, grey), divider(grey), shape(LayoutShape::filled(LayoutShape::Kind::Circle, grey), 8, 8)}),
                EdgeInsets::all(10)),
        card);
    layout(tree, 100, {5, 5});
    LayerList layers = layoutLayers(tree, "panel.");
    ASSERT_EQ(layers.size(), 6u);
    EXPECT_TRUE(layers[0].shadowOnly);
    EXPECT_EQ(layers[0].shadow.radius, 20);
    EXPECT_TRUE(layers[1].shadowOnly);
    EXPECT_EQ(layers[1].shadow.radius, 4);
    EXPECT_EQ(layers[2].kind, Layer::Kind::RoundedRect);
    EXPECT_EQ(layers[2].cornerRadius, 12);
    EXPECT_EQ(layers[2].frame(), tree.frame);
    EXPECT_EQ(layers[3].kind, Layer::Kind::Text);
    EXPECT_EQ(layers[3].text, "Velmo");
    EXPECT_EQ(layers[3].frame().origin(), (Point{15, 15}));
    EXPECT_EQ(layers[4].size.height, LayoutNode::dividerThickness);
    EXPECT_EQ(layers[5].kind, Layer::Kind::Capsule);
    EXPECT_EQ(layers[5].size, (Size{8, 8}));
    for (std::size_t i = 0; i < layers.size(); ++i)
        for (std::size_t j = i + 1; j < layers.size(); ++j) EXPECT_NE(layers[i].id, layers[j].id);
    EXPECT_EQ(layers[2].id.rfind("panel.", 0), 0u);

    // Painted, the card is opaque at its centre and clear outside its shadow.
    Surface surface(110, 110);
    Painter painter;
    painter.paintFull(surface, layers);
    EXPECT_EQ(surface.pixel(int(tree.frame.x + tree.frame.width / 2), int(tree.frame.y + tree.frame.height - 3)).alpha, 255);
}

TEST(LayoutNode, AStrokedShapeBecomesAnOutlinedLayerWithAClearInside) {
    LayoutShape outline;
    outline.kind = LayoutShape::Kind::Capsule;
    outline.stroke = grey;
    outline.lineWidth = 0.8;
    LayoutNode n = background(box(10, 4), outline);
    layout(n, 100);
    LayerList layers = layoutLayers(n);
    ASSERT_EQ(layers.size(), 2u);
    EXPECT_EQ(layers[0].kind, Layer::Kind::Capsule);
    EXPECT_EQ(layers[0].outline, grey);
    EXPECT_EQ(layers[0].fill, Color::clear());
    EXPECT_EQ(layers[0].lineWidth, 0.8);
}

TEST(LayoutNode, HitTestingFindsTheButtonUnderAClickAndNothingBetweenButtons) {
    LayoutNode footer = padding(hstack(VerticalAlignment::Center, 8,
                                       {button(padding(box(40, 10), EdgeInsets::all(2)), "quit"), spacer(), button(box(60, 14), "replay")}),
                                EdgeInsets::horizontal(16));
    layout(footer, 320);
    auto frames = buttonFrames(footer);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (std::pair<std::string, Rect>{"quit", {16, 0, 44, 14}}));
    EXPECT_EQ(frames[1], (std::pair<std::string, Rect>{"replay", {244, 0, 60, 14}}));

    struct Click {
        Point at;
        std::optional<std::string> button;
    };
    for (const Click& c : std::vector<Click>{{{16, 0}, "quit"},
                                             {{59.5, 13.5}, "quit"},
                                             {{60, 7}, std::nullopt},
                                             {{150, 7}, std::nullopt},
                                             {{244, 7}, "replay"},
                                             {{303.9, 7}, "replay"},
                                             {{304, 7}, std::nullopt},
                                             {{250, 14}, std::nullopt},
                                             {{5, 7}, std::nullopt}}) {
        SCOPED_TRACE(testing::Message() << c.at.x << "," << c.at.y);
        EXPECT_EQ(hitTestButton(footer, c.at), c.button);
    }

    // The innermost button wins when buttons nest.
    LayoutNode nested = button(padding(button(box(10, 10), "inner"), EdgeInsets::all(5)), "outer");
    layout(nested, 100);
    EXPECT_EQ(hitTestButton(nested, {10, 10}), "inner");
    EXPECT_EQ(hitTestButton(nested, {1, 1}), "outer");
}

}  // namespace
}  // namespace velmo
