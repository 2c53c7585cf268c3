#include "interface/PanelContentView.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "interface/drawing/CompanionPalette.h"
#include "interface/drawing/CursorGlyphs.h"
#include "interface/drawing/Painter.h"

namespace velmo {

namespace {

// A text layer whose left edge is at `left` and whose middle is at `middleY`.
Layer leftAlignedText(std::string id, std::string text, Font font, Color fill, double left, double middleY) {
    Layer l;
    l.id = std::move(id);
    l.kind = Layer::Kind::Text;
    l.text = std::move(text);
    l.font = font;
    l.fill = fill;
    l.size = Painter::measureText(l.text, l.font);
    l.center = {left + l.size.width / 2, middleY};
    return l;
}

LayerList placeholderLayers(Size size) {
    LayerList list;
    Layer card;
    card.id = "placeholder.card";
    card.kind = Layer::Kind::RoundedRect;
    card.size = size;
    card.center = {size.width / 2, size.height / 2};
    card.cornerRadius = 12;
    card.fill = CompanionPalette::background();
    list.push_back(card);

    Layer glyph = Triangle::layer({28, 30}, -35);
    glyph.id = "placeholder.triangle";
    list.push_back(glyph);

    list.push_back(leftAlignedText("placeholder.title", "Velmo", Font{"sans-serif", 15, 600}, CompanionPalette::textPrimary(), 48, 30));
    list.push_back(leftAlignedText("placeholder.subtitle", "Hold Control + Option and speak.", Font{"sans-serif", 12, 400},
                                   CompanionPalette::textSecondary(), 20, 72));
    return list;
}

}  // namespace

PanelMargins marginsAround(const Rect& drawn, Size size) {
    const auto reach = [](double v) { return std::max(0.0, std::ceil(v - 1e-9)); };
    return {reach(-drawn.minY()), reach(-drawn.minX()), reach(drawn.maxY() - size.height), reach(drawn.maxX() - size.width)};
}

PanelPixels panelPixelsOf(const Surface& surface) {
    cairo_surface_flush(surface.cairoSurface());
    PanelPixels out{surface.width(), surface.height(), cairo_image_surface_get_stride(surface.cairoSurface()), {}};
    const unsigned char* data = cairo_image_surface_get_data(surface.cairoSurface());
    out.bytes.assign(data, data + std::size_t(out.stride) * out.height);
    return out;
}

PanelPixels PanelPlaceholderView::render(Size size) const {
    Surface surface(int(size.width + 0.5), int(size.height + 0.5));
    Painter painter;
    painter.paintFull(surface, placeholderLayers(size));
    return panelPixelsOf(surface);
}

StatusItemIcon drawMenuBarIcon() {
    // The outline is given with y up; layers have y down.
    Layer triangle;
    triangle.id = "icon";
    triangle.kind = Layer::Kind::Path;
    triangle.size = {18, 18};
    triangle.center = {9, 9};
    triangle.fill = Color::black();
    triangle.path.moveTo({4.827453, 18 - 14.959014});
    triangle.path.lineTo({5.925616, 18 - 2.406961});
    triangle.path.lineTo({16.246931, 18 - 9.634024});
    triangle.path.close();
    Surface surface(18, 18);
    Painter painter;
    painter.paintFull(surface, {triangle});
    PanelPixels pixels = panelPixelsOf(surface);
    StatusItemIcon icon{18, 18, std::vector<std::uint32_t>(18 * 18)};
    for (int y = 0; y < 18; ++y) std::memcpy(&icon.argb[std::size_t(y) * 18], &pixels.bytes[std::size_t(y) * pixels.stride], 18 * 4);
    return icon;
}

}  // namespace velmo
