#include "interface/drawing/Painter.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

namespace velmo {

namespace {

constexpr double kPi = std::numbers::pi;
double radians(double degrees) { return degrees * kPi / 180.0; }

// Fixed font options, so text measures the same at every scale and on every machine.
cairo_font_options_t* fontOptions() {
    static cairo_font_options_t* options = [] {
        cairo_font_options_t* o = cairo_font_options_create();
        cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
        cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
        cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
        return o;
    }();
    return options;
}

PangoFontDescription* fontDescription(const Font& font) {
    PangoFontDescription* d = pango_font_description_new();
    pango_font_description_set_family(d, font.family.c_str());
    pango_font_description_set_absolute_size(d, font.size * PANGO_SCALE);
    pango_font_description_set_weight(d, PangoWeight(std::clamp(font.weight, 100, 1000)));
    return d;
}

PangoLayout* textLayout(PangoContext* context, const Layer& layer) {
    pango_cairo_context_set_font_options(context, fontOptions());
    PangoLayout* layout = pango_layout_new(context);
    PangoFontDescription* d = fontDescription(layer.font);
    pango_layout_set_font_description(layout, d);
    pango_font_description_free(d);
    pango_layout_set_text(layout, layer.text.c_str(), int(layer.text.size()));
    if (layer.wrapWidth) {
        pango_layout_set_width(layout, int(std::max(0.0, *layer.wrapWidth) * PANGO_SCALE));
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    }
    return layout;
}

void setColor(cairo_t* cr, const Color& c, double alphaScale) {
    cairo_set_source_rgba(cr, c.red, c.green, c.blue, std::clamp(c.opacity * alphaScale, 0.0, 1.0));
}

void appendPath(cairo_t* cr, const Path& path) {
    for (const auto& e : path.elements()) {
        switch (e.op) {
            case Path::Op::Move:
                cairo_move_to(cr, e.p[0].x, e.p[0].y);
                break;
            case Path::Op::Line:
                cairo_line_to(cr, e.p[0].x, e.p[0].y);
                break;
            case Path::Op::Curve:
                cairo_curve_to(cr, e.p[0].x, e.p[0].y, e.p[1].x, e.p[1].y, e.p[2].x, e.p[2].y);
                break;
            case Path::Op::Close:
                cairo_close_path(cr);
                break;
        }
    }
}

void appendCapsule(cairo_t* cr, double w, double h) {
    double r = std::min(w, h) / 2;
    cairo_new_sub_path(cr);
    cairo_arc(cr, w - r, r, r, -kPi / 2, 0);
    cairo_arc(cr, w - r, h - r, r, 0, kPi / 2);
    cairo_arc(cr, r, h - r, r, kPi / 2, kPi);
    cairo_arc(cr, r, r, r, kPi, 3 * kPi / 2);
    cairo_close_path(cr);
}

// An angular gradient around (cx, cy): a mesh of thin wedges whose colours run from `from` at
// `start` to `to` one turn later.
cairo_pattern_t* angularGradient(double cx, double cy, double radius, double start, const Color& from, const Color& to, double alphaScale) {
    constexpr int kSectors = 48;
    cairo_pattern_t* p = cairo_pattern_create_mesh();
    auto colorAt = [&](double f, double out[4]) {
        out[0] = from.red + (to.red - from.red) * f;
        out[1] = from.green + (to.green - from.green) * f;
        out[2] = from.blue + (to.blue - from.blue) * f;
        out[3] = std::clamp((from.opacity + (to.opacity - from.opacity) * f) * alphaScale, 0.0, 1.0);
    };
    for (int i = 0; i < kSectors; ++i) {
        double f0 = double(i) / kSectors, f1 = double(i + 1) / kSectors;
        double a0 = start + 2 * kPi * f0, a1 = start + 2 * kPi * f1;
        double k = 4.0 / 3.0 * std::tan((a1 - a0) / 4) * radius;
        double x0 = cx + radius * std::cos(a0), y0 = cy + radius * std::sin(a0);
        double x3 = cx + radius * std::cos(a1), y3 = cy + radius * std::sin(a1);
        cairo_mesh_pattern_begin_patch(p);
        cairo_mesh_pattern_move_to(p, cx, cy);
        cairo_mesh_pattern_line_to(p, x0, y0);
        cairo_mesh_pattern_curve_to(p, x0 - k * std::sin(a0), y0 + k * std::cos(a0), x3 + k * std::sin(a1), y3 - k * std::cos(a1), x3, y3);
        cairo_mesh_pattern_line_to(p, cx, cy);
        double c0[4], c1[4];
        colorAt(f0, c0);
        colorAt(f1, c1);
        cairo_mesh_pattern_set_corner_color_rgba(p, 0, c0[0], c0[1], c0[2], c0[3]);
        cairo_mesh_pattern_set_corner_color_rgba(p, 1, c0[0], c0[1], c0[2], c0[3]);
        cairo_mesh_pattern_set_corner_color_rgba(p, 2, c1[0], c1[1], c1[2], c1[3]);
        cairo_mesh_pattern_set_corner_color_rgba(p, 3, c1[0], c1[1], c1[2], c1[3]);
        cairo_mesh_pattern_end_patch(p);
    }
    return p;
}

// Three box blurs approximate a Gaussian of deviation `sigma` (pixels) on an A8 buffer.
void blurAlpha(unsigned char* data, int w, int h, int stride, double sigma) {
    if (sigma < 0.5 || w <= 0 || h <= 0) return;
    constexpr int n = 3;
    double ideal = std::sqrt(12 * sigma * sigma / n + 1);
    int wl = int(std::floor(ideal));
    if (wl % 2 == 0) --wl;
    int wu = wl + 2;
    int m = int(std::lround((12 * sigma * sigma - n * wl * wl - 4 * n * wl - 3 * n) / (-4.0 * wl - 4)));
    std::vector<unsigned char> tmp(std::size_t(std::max(w, h)));
    auto pass = [&](unsigned char* base, int count, int step, int radius) {
        // One row or column: a running sum over [i - radius, i + radius], zero outside.
        int span = 2 * radius + 1;
        int sum = 0;
        for (int i = 0; i < std::min(radius, count); ++i) sum += base[i * step];
        for (int i = 0; i < count; ++i) {
            int add = i + radius, drop = i - radius - 1;
            if (add < count) sum += base[add * step];
            if (drop >= 0) sum -= base[drop * step];
            tmp[std::size_t(i)] = (unsigned char)((sum + span / 2) / span);
        }
        for (int i = 0; i < count; ++i) base[i * step] = tmp[std::size_t(i)];
    };
    for (int k = 0; k < n; ++k) {
        int radius = ((k < m ? wl : wu) - 1) / 2;
        if (radius <= 0) continue;
        for (int y = 0; y < h; ++y) pass(data + y * stride, w, 1, radius);
        for (int x = 0; x < w; ++x) pass(data + x, h, stride, radius);
    }
}

double shadowPad(const Shadow& s) { return s.radius * 1.5 + 1; }

template <class V>
void appendBytes(std::string& key, const V& v) {
    key.append(reinterpret_cast<const char*>(&v), sizeof v);
}

std::string shadowKey(const Layer& l, double scale) {
    std::string key;
    key.reserve(128);
    appendBytes(key, int(l.kind));
    for (double d :
         {l.size.width, l.size.height, l.shadow.radius, scale, l.cornerRadius, l.lineWidth, l.trimFrom, l.trimTo, l.gradientFrom.opacity,
          l.gradientTo.opacity, l.gradientStartAngle, l.fill.opacity, l.stroke.opacity, l.font.size, l.clipCornerRadius.value_or(-1)})
        appendBytes(key, d);
    appendBytes(key, l.font.weight);
    appendBytes(key, l.image.get());
    key += l.font.family;
    key.push_back('\0');
    key += l.text;
    key.push_back('\0');
    for (const auto& e : l.path.elements()) {
        appendBytes(key, int(e.op));
        for (const auto& p : e.p) {
            appendBytes(key, p.x);
            appendBytes(key, p.y);
        }
    }
    return key;
}

PixelRect toPixels(const Rect& r, double scale, int width, int height) {
    int x0 = std::max(0, int(std::floor(r.minX() * scale)));
    int y0 = std::max(0, int(std::floor(r.minY() * scale)));
    int x1 = std::min(width, int(std::ceil(r.maxX() * scale)));
    int y1 = std::min(height, int(std::ceil(r.maxY() * scale)));
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

bool intersects(const PixelRect& a, const PixelRect& b) {
    return !a.empty() && !b.empty() && a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

PixelRect unite(const PixelRect& a, const PixelRect& b) {
    int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    int x1 = std::max(a.x + a.width, b.x + b.width), y1 = std::max(a.y + a.height, b.y + b.height);
    return {x0, y0, x1 - x0, y1 - y0};
}

// Overlapping rectangles become their union, until none overlap.
std::vector<PixelRect> mergeRects(std::vector<PixelRect> rects) {
    std::erase_if(rects, [](const PixelRect& r) { return r.empty(); });
    bool merged = true;
    while (merged) {
        merged = false;
        for (std::size_t i = 0; i < rects.size() && !merged; ++i)
            for (std::size_t j = i + 1; j < rects.size(); ++j)
                if (intersects(rects[i], rects[j])) {
                    rects[i] = unite(rects[i], rects[j]);
                    rects.erase(rects.begin() + std::ptrdiff_t(j));
                    merged = true;
                    break;
                }
    }
    return rects;
}

}  // namespace

std::uint64_t nextSurfaceSerial() {
    static std::atomic<std::uint64_t> next{0};
    return ++next;
}

struct Painter::ShadowMask {
    cairo_surface_t* surface = nullptr;
    double pad = 0;  // points beyond the layer's frame on each side
    ~ShadowMask() {
        if (surface) cairo_surface_destroy(surface);
    }
};

Surface::Surface(int widthPixels, int heightPixels, double scale)
    : width_(std::max(widthPixels, 1)),
      height_(std::max(heightPixels, 1)),
      scale_(scale > 0 ? scale : 1),
      surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width_, height_)),
      serial_(nextSurfaceSerial()) {
    if (cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS) throw std::runtime_error("cannot create a drawing surface");
}

Surface::~Surface() { cairo_surface_destroy(surface_); }

Surface::Pixel Surface::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return {};
    cairo_surface_flush(surface_);
    const unsigned char* data = cairo_image_surface_get_data(surface_);
    int stride = cairo_image_surface_get_stride(surface_);
    std::uint32_t v;
    std::memcpy(&v, data + y * stride + x * 4, 4);
    int a = int(v >> 24), r = int((v >> 16) & 255), g = int((v >> 8) & 255), b = int(v & 255);
    if (a == 0) return {0, 0, 0, 0};
    auto un = [a](int c) { return std::min(255, (c * 255 + a / 2) / a); };
    return {un(r), un(g), un(b), a};
}

bool Surface::writePNG(const std::string& path) const { return cairo_surface_write_to_png(surface_, path.c_str()) == CAIRO_STATUS_SUCCESS; }

// Fills the current path, then strokes its outline when the layer has one.
static void fillAndOutline(cairo_t* cr, const Layer& l, double alpha) {
    setColor(cr, l.fill, alpha);
    if (!l.outline) {
        cairo_fill(cr);
        return;
    }
    cairo_fill_preserve(cr);
    cairo_set_line_width(cr, l.lineWidth);
    setColor(cr, *l.outline, alpha);
    cairo_stroke(cr);
}

void drawLayerContent(cairo_t* cr, const Layer& l, double alpha) {
    double w = l.size.width, h = l.size.height;
    cairo_save(cr);
    if (l.clipCornerRadius) {
        Path clip;
        clip.addRoundedRect({0, 0, w, h}, *l.clipCornerRadius);
        appendPath(cr, clip);
        cairo_clip(cr);
    }
    cairo_new_path(cr);
    switch (l.kind) {
        case Layer::Kind::Path:
            appendPath(cr, l.path);
            // Open strokes (symbol images) end round, as drawn by hand.
            cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
            cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
            fillAndOutline(cr, l, alpha);
            break;
        case Layer::Kind::RoundedRect: {
            Path p;
            p.addRoundedRect({0, 0, w, h}, l.cornerRadius);
            appendPath(cr, p);
            fillAndOutline(cr, l, alpha);
            break;
        }
        case Layer::Kind::Capsule:
            appendCapsule(cr, w, h);
            fillAndOutline(cr, l, alpha);
            break;
        case Layer::Kind::CircleStroke:
            cairo_arc(cr, w / 2, h / 2, std::min(w, h) / 2, 0, 2 * kPi);
            cairo_set_line_width(cr, l.lineWidth);
            setColor(cr, l.stroke, alpha);
            cairo_stroke(cr);
            break;
        case Layer::Kind::GradientArc: {
            double r = std::min(w, h) / 2;
            double from = std::clamp(l.trimFrom, 0.0, 1.0), to = std::clamp(l.trimTo, 0.0, 1.0);
            if (to <= from) break;
            cairo_arc(cr, w / 2, h / 2, r, 2 * kPi * from, 2 * kPi * to);
            cairo_set_line_width(cr, l.lineWidth);
            cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
            cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
            cairo_set_miter_limit(cr, 10);
            cairo_pattern_t* gradient =
                angularGradient(w / 2, h / 2, r + l.lineWidth + 1, radians(l.gradientStartAngle), l.gradientFrom, l.gradientTo, alpha);
            cairo_set_source(cr, gradient);
            cairo_stroke(cr);
            cairo_pattern_destroy(gradient);
            break;
        }
        case Layer::Kind::Text: {
            if (l.text.empty()) break;
            PangoContext* context = pango_cairo_create_context(cr);
            PangoLayout* layout = textLayout(context, l);
            setColor(cr, l.fill, alpha);
            cairo_move_to(cr, 0, 0);
            pango_cairo_show_layout(cr, layout);
            g_object_unref(layout);
            g_object_unref(context);
            break;
        }
        case Layer::Kind::Image: {
            const LayerImage* img = l.image.get();
            if (!img || img->width <= 0 || img->height <= 0 || img->stride < img->width * 4 || img->stride % 4 != 0 ||
                img->pixels.size() < std::size_t(img->stride) * std::size_t(img->height))
                break;
            cairo_surface_t* source = cairo_image_surface_create_for_data(const_cast<unsigned char*>(img->pixels.data()),
                                                                          CAIRO_FORMAT_ARGB32, img->width, img->height, img->stride);
            double s = std::max(w / img->width, h / img->height);  // aspect fill
            cairo_rectangle(cr, 0, 0, w, h);
            cairo_clip(cr);
            cairo_translate(cr, (w - img->width * s) / 2, (h - img->height * s) / 2);
            cairo_scale(cr, s, s);
            cairo_set_source_surface(cr, source, 0, 0);
            cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
            // Filtering samples past the picture's edge: repeat the edge, or the rim turns see-through.
            cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
            cairo_paint_with_alpha(cr, std::clamp(alpha, 0.0, 1.0));
            cairo_surface_destroy(source);
            break;
        }
    }
    cairo_restore(cr);
}

Painter::Painter(std::size_t shadowCacheCapacity)
    : capacity_(std::max<std::size_t>(shadowCacheCapacity, 1)) {}
Painter::~Painter() = default;

void Painter::setShadowCacheEnabled(bool enabled) {
    cacheEnabled_ = enabled;
    if (!enabled) {
        cache_.clear();
        cacheOrder_.clear();
    }
}

Rect Painter::bounds(const Layer& l) {
    double w = l.size.width, h = l.size.height;
    double grow = 1;  // antialiasing
    if (l.kind == Layer::Kind::CircleStroke || l.kind == Layer::Kind::GradientArc || l.outline) grow += l.lineWidth / 2;
    auto transformed = [&](double x0, double y0, double x1, double y1, Point offset) {
        double c = std::cos(radians(l.rotation)), s = std::sin(radians(l.rotation));
        double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
        for (auto [x, y] : {std::pair{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}) {
            double dx = (x - w / 2) * l.scale, dy = (y - h / 2) * l.scale;
            double px = l.center.x + offset.x + dx * c - dy * s, py = l.center.y + offset.y + dx * s + dy * c;
            minX = std::min(minX, px);
            maxX = std::max(maxX, px);
            minY = std::min(minY, py);
            maxY = std::max(maxY, py);
        }
        return Rect{minX - 1, minY - 1, maxX - minX + 2, maxY - minY + 2};
    };
    Rect r = transformed(-grow, -grow, w + grow, h + grow, {0, 0});
    if (l.shadow.visible()) {
        double pad = shadowPad(l.shadow) + grow;
        Rect s = transformed(-pad, -pad, w + pad, h + pad, l.shadow.offset);
        double x0 = std::min(r.minX(), s.minX()), y0 = std::min(r.minY(), s.minY());
        double x1 = std::max(r.maxX(), s.maxX()), y1 = std::max(r.maxY(), s.maxY());
        r = {x0, y0, x1 - x0, y1 - y0};
    }
    return r;
}

Rect Painter::bounds(const LayerList& layers) {
    if (layers.empty()) return {};
    double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
    for (const Layer& l : layers) {
        const Rect r = bounds(l);
        x0 = std::min(x0, r.minX());
        y0 = std::min(y0, r.minY());
        x1 = std::max(x1, r.maxX());
        y1 = std::max(y1, r.maxY());
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

Size Painter::measureText(const std::string& text, const Font& font, std::optional<double> wrapWidth) {
    PangoFontMap* map = pango_cairo_font_map_get_default();
    PangoContext* context = pango_font_map_create_context(map);
    Layer l;
    l.text = text;
    l.font = font;
    l.wrapWidth = wrapWidth;
    PangoLayout* layout = textLayout(context, l);
    int w = 0, h = 0;
    pango_layout_get_size(layout, &w, &h);
    g_object_unref(layout);
    g_object_unref(context);
    return {double(w) / PANGO_SCALE, double(h) / PANGO_SCALE};
}

std::shared_ptr<Painter::ShadowMask> Painter::shadowMask(const Layer& l, double scale) {
    std::string key;
    if (cacheEnabled_) {
        key = shadowKey(l, scale);
        auto it = cache_.find(key);
        if (it != cache_.end()) {
            ++hits_;
            cacheOrder_.splice(cacheOrder_.begin(), cacheOrder_, it->second.second);
            return it->second.first;
        }
    }
    ++misses_;
    auto mask = std::make_shared<ShadowMask>();
    mask->pad = shadowPad(l.shadow);
    int wpx = int(std::ceil((l.size.width + 2 * mask->pad) * scale));
    int hpx = int(std::ceil((l.size.height + 2 * mask->pad) * scale));
    mask->surface = cairo_image_surface_create(CAIRO_FORMAT_A8, std::max(wpx, 1), std::max(hpx, 1));
    cairo_t* cr = cairo_create(mask->surface);
    cairo_scale(cr, scale, scale);
    cairo_translate(cr, mask->pad, mask->pad);
    drawLayerContent(cr, l, 1.0);
    cairo_destroy(cr);
    cairo_surface_flush(mask->surface);
    blurAlpha(cairo_image_surface_get_data(mask->surface), cairo_image_surface_get_width(mask->surface),
              cairo_image_surface_get_height(mask->surface), cairo_image_surface_get_stride(mask->surface), l.shadow.radius / 2 * scale);
    cairo_surface_mark_dirty(mask->surface);
    cairo_surface_set_device_scale(mask->surface, scale, scale);
    if (cacheEnabled_) {
        cacheOrder_.push_front(key);
        cache_[key] = {mask, cacheOrder_.begin()};
        while (cacheOrder_.size() > capacity_) {
            cache_.erase(cacheOrder_.back());
            cacheOrder_.pop_back();
        }
    }
    return mask;
}

void Painter::drawShadow(cairo_t* cr, double scale, const Layer& l) {
    auto mask = shadowMask(l, scale);
    cairo_save(cr);
    setColor(cr, l.shadow.color, std::clamp(l.shadow.opacity, 0.0, 1.0) * l.opacity);
    double x = l.center.x + l.shadow.offset.x - l.size.width / 2 - mask->pad;
    double y = l.center.y + l.shadow.offset.y - l.size.height / 2 - mask->pad;
    if (std::fmod(l.rotation, 360.0) == 0 && l.scale == 1) {
        // An upright shadow lands on whole pixels: a blur shows no difference, and the mask
        // is then copied without resampling.
        cairo_mask_surface(cr, mask->surface, std::round(x * scale) / scale, std::round(y * scale) / scale);
    } else {
        cairo_translate(cr, l.center.x + l.shadow.offset.x, l.center.y + l.shadow.offset.y);
        cairo_rotate(cr, radians(l.rotation));
        cairo_scale(cr, l.scale, l.scale);
        cairo_translate(cr, -l.size.width / 2, -l.size.height / 2);
        cairo_mask_surface(cr, mask->surface, -mask->pad, -mask->pad);
    }
    cairo_restore(cr);
}

void Painter::drawLayer(cairo_t* cr, double scale, const Layer& l) {
    if (l.opacity <= 0 || l.scale == 0 || l.size.width <= 0 || l.size.height <= 0) return;
    if (l.shadow.visible()) drawShadow(cr, scale, l);
    if (l.shadowOnly) return;
    cairo_save(cr);
    cairo_translate(cr, l.center.x, l.center.y);
    cairo_rotate(cr, radians(l.rotation));
    cairo_scale(cr, l.scale, l.scale);
    cairo_translate(cr, -l.size.width / 2, -l.size.height / 2);
    drawLayerContent(cr, l, std::min(l.opacity, 1.0));
    cairo_restore(cr);
}

void Painter::drawLayers(cairo_t* cr, double scale, const LayerList& layers, const std::vector<PixelRect>* only) {
    int width = cairo_image_surface_get_width(cairo_get_target(cr));
    int height = cairo_image_surface_get_height(cairo_get_target(cr));
    for (const auto& l : layers) {
        if (only) {
            PixelRect b = toPixels(bounds(l), scale, width, height);
            if (std::none_of(only->begin(), only->end(), [&](const PixelRect& d) { return intersects(b, d); })) continue;
        }
        drawLayer(cr, scale, l);
    }
}

std::vector<PixelRect> Painter::paintFull(Surface& surface, const LayerList& layers) {
    cairo_t* cr = cairo_create(surface.cairoSurface());
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_scale(cr, surface.scale(), surface.scale());
    drawLayers(cr, surface.scale(), layers, nullptr);
    cairo_destroy(cr);
    lastSurface_ = surface.serial();
    previous_ = layers;
    return {PixelRect{0, 0, surface.width(), surface.height()}};
}

std::vector<PixelRect> Painter::paint(Surface& surface, const LayerList& layers) {
    if (lastSurface_ != surface.serial()) return paintFull(surface, layers);

    std::unordered_map<std::string, const Layer*> before;
    for (const auto& l : previous_) before[l.id] = &l;
    std::unordered_map<std::string, const Layer*> after;
    for (const auto& l : layers) after[l.id] = &l;
    // Layers kept in both frames must keep their order, or the stacking changed everywhere.
    std::vector<std::string> keptBefore, keptAfter;
    for (const auto& l : previous_)
        if (after.count(l.id)) keptBefore.push_back(l.id);
    for (const auto& l : layers)
        if (before.count(l.id)) keptAfter.push_back(l.id);
    if (keptBefore != keptAfter || before.size() != previous_.size() || after.size() != layers.size()) return paintFull(surface, layers);

    double scale = surface.scale();
    int width = surface.width(), height = surface.height();
    std::vector<PixelRect> damage;
    for (const auto& l : layers) {
        auto it = before.find(l.id);
        if (it != before.end() && *it->second == l) continue;
        damage.push_back(toPixels(bounds(l), scale, width, height));
        if (it != before.end()) damage.push_back(toPixels(bounds(*it->second), scale, width, height));
    }
    for (const auto& l : previous_)
        if (!after.count(l.id)) damage.push_back(toPixels(bounds(l), scale, width, height));
    damage = mergeRects(std::move(damage));
    previous_ = layers;
    if (damage.empty()) return {};
    long long area = 0;
    for (const auto& d : damage) area += d.area();
    if (area * 2 > (long long)width * height) return paintFull(surface, layers);

    cairo_t* cr = cairo_create(surface.cairoSurface());
    for (const auto& d : damage) cairo_rectangle(cr, d.x, d.y, d.width, d.height);
    cairo_clip(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_scale(cr, scale, scale);
    drawLayers(cr, scale, layers, &damage);
    cairo_destroy(cr);
    return damage;
}

}  // namespace velmo
