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

void paintShadowedCard(benchmark::State& state, bool cached) {
    Surface surface(400, 200);
    Painter painter;
    painter.setShadowCacheEnabled(cached);
    Layer card = bubble({100, 80}, "right here!")[0];
    card.shadow.radius = 14;
    for (auto _ : state) benchmark::DoNotOptimize(painter.paintFull(surface, {card}));
}
void BM_ShadowCached(benchmark::State& state) { paintShadowedCard(state, true); }
void BM_ShadowUncached(benchmark::State& state) { paintShadowedCard(state, false); }
BENCHMARK(BM_ShadowCached)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShadowUncached)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmo
