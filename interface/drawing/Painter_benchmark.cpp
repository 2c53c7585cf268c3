#include <benchmark/benchmark.h>

#include "interface/drawing/CompanionPalette.h"
#include "interface/drawing/CursorGlyphs.h"
#include "interface/drawing/Painter.h"

namespace velmo {
namespace {

constexpr int kWidth = 3840, kHeight = 2160;

// The pointing bubble: blue rounded card with a glow, white text on it.
LayerList bubble(Point glyph, const std::string& text) {
    Font font{"sans-serif", 11, 500};
    Size textSize = Painter::measureText(text, font);
    Size size{textSize.width + 16, textSize.height + 8};
    Point center{glyph.x + 10 + size.width / 2, glyph.y + 18};
    Layer card;
    card.id = "bubble";
    card.kind = Layer::Kind::RoundedRect;
    card.center = center;
    card.size = size;
    card.cornerRadius = 6;
    card.fill = CompanionPalette::cursorBlue();
    card.shadow = Shadow{CompanionPalette::cursorBlue(), 0.5, 6, {0, 0}};
    Layer label;
    label.id = "bubble.text";
    label.kind = Layer::Kind::Text;
    label.center = center;
    label.size = textSize;
    label.text = text;
    label.font = font;
    label.fill = Color::white();
    return {card, label};
}

// The glyph moves a little every frame, as it does following the mouse.
void BM_PaintGlyphFrame(benchmark::State& state) {
    Surface surface(kWidth, kHeight);
    Painter painter;
    double x = 1000;
    painter.paint(surface, {Triangle::layer({x, 800}, -35)});
    for (auto _ : state) {
        x = x > 1100 ? 1000 : x + 1;
        benchmark::DoNotOptimize(painter.paint(surface, {Triangle::layer({x, 800}, -35)}));
    }
}
BENCHMARK(BM_PaintGlyphFrame)->Unit(benchmark::kMicrosecond);

void BM_PaintGlyphFrameFull(benchmark::State& state) {
    Surface surface(kWidth, kHeight);
    Painter painter;
    double x = 1000;
    for (auto _ : state) {
        x = x > 1100 ? 1000 : x + 1;
        benchmark::DoNotOptimize(painter.paintFull(surface, {Triangle::layer({x, 800}, -35)}));
    }
}
BENCHMARK(BM_PaintGlyphFrameFull)->Unit(benchmark::kMicrosecond);

void BM_PaintBubbleFrame(benchmark::State& state) {
    Surface surface(kWidth, kHeight);
    Painter painter;
    double x = 1000;
    for (auto _ : state) {
        x = x > 1100 ? 1000 : x + 1;
        LayerList layers = bubble({x, 800}, "right here!");
        layers.push_back(Triangle::layer({x, 800}, -35));
        benchmark::DoNotOptimize(painter.paint(surface, layers));
    }
}
BENCHMARK(BM_PaintBubbleFrame)->Unit(benchmark::kMicrosecond);

// One frame of a shadowed card moving a pixel at a time, damage-limited: with the cache the
// blurred mask is made once; without it, every frame renders and blurs it again.
// Argument 0: the pointing bubble at its widest glow; 1: the panel's card (320 wide, radius 20).
void paintShadowedCard(benchmark::State& state, bool cached) {
    Surface surface(kWidth, kHeight);
    Painter painter;
    painter.setShadowCacheEnabled(cached);
    Layer card = bubble({100, 80}, "right here!")[0];
    card.shadow.radius = 14;
    if (state.range(0) == 1) {
        card.size = {320, 300};
        card.cornerRadius = 12;
        card.fill = CompanionPalette::background();
        card.shadow = Shadow{Color::black(), 0.5, 20, {0, 10}};
    }
    double x = 1000;
    for (auto _ : state) {
        x = x > 1100 ? 1000 : x + 1;
        card.center = {x, 800};
        benchmark::DoNotOptimize(painter.paint(surface, {card}));
    }
}
void BM_ShadowCached(benchmark::State& state) { paintShadowedCard(state, true); }
void BM_ShadowUncached(benchmark::State& state) { paintShadowedCard(state, false); }
BENCHMARK(BM_ShadowCached)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShadowUncached)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmo
