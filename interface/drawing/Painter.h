#pragma once

// The painter: turns layer lists into pixels with Cairo and Pango, into an offscreen surface
// (tests, velmo-render) or a window's back buffer, repainting only what changed.
//
// Thread contract: a Painter and the surfaces it paints are used from one thread at a time
// (the main thread in the application).

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "interface/drawing/Layer.h"

typedef struct _cairo_surface cairo_surface_t;
typedef struct _cairo cairo_t;

namespace velmo {

// Whole pixels, origin top-left.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelRect&) const = default;
    bool empty() const { return width <= 0 || height <= 0; }
    long long area() const { return empty() ? 0 : (long long)width * height; }
};

// An ARGB32 (premultiplied) image in memory: `scale` pixels per point. Transparent when made.
class Surface {
public:
    Surface(int widthPixels, int heightPixels, double scale = 1);
    ~Surface();
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    double scale() const { return scale_; }
    cairo_surface_t* cairoSurface() const { return surface_; }
    // Unique per surface made in this process (a new surface may reuse an old one's address).
    std::uint64_t serial() const { return serial_; }

    // Straight (un-premultiplied) colour of one pixel; transparent outside the surface.
    struct Pixel {
        int red = 0, green = 0, blue = 0, alpha = 0;
    };
    Pixel pixel(int x, int y) const;
    // Writes a PNG; false when the file cannot be written.
    bool writePNG(const std::string& path) const;

private:
    int width_;
    int height_;
    double scale_;
    cairo_surface_t* surface_;
    std::uint64_t serial_;
};

class Painter {
public:
    explicit Painter(std::size_t shadowCacheCapacity = 64);
    ~Painter();
    Painter(const Painter&) = delete;
    Painter& operator=(const Painter&) = delete;

    // Draws `layers` (bottom first) into `surface`, repainting only the union of the previous
    // and current boxes of the layers that changed since the last frame this painter drew
    // there (any other surface, or a change of order, repaints everything). Returns the pixel
    // rectangles repainted, for a window to copy out; empty when nothing changed.
    std::vector<PixelRect> paint(Surface& surface, const LayerList& layers);
    // Clears and repaints the whole surface.
    std::vector<PixelRect> paintFull(Surface& surface, const LayerList& layers);

    // Everything a layer can touch, its shadow included, in points.
    static Rect bounds(const Layer& layer);
    // The union of the layers' bounds; empty at the origin for no layers.
    static Rect bounds(const LayerList& layers);
    // The logical size of `text` laid out with `font`, wrapped at `wrapWidth` when given.
    static Size measureText(const std::string& text, const Font& font, std::optional<double> wrapWidth = std::nullopt);

    // The blurred-shadow cache: keyed by (shape, size, radius), least recently used dropped.
    void setShadowCacheEnabled(bool enabled);
    std::size_t shadowCacheSize() const { return cacheOrder_.size(); }
    std::size_t shadowCacheHits() const { return hits_; }
    std::size_t shadowCacheMisses() const { return misses_; }

private:
    struct ShadowMask;
    void drawLayers(cairo_t* cr, double scale, const LayerList& layers, const std::vector<PixelRect>* only);
    void drawLayer(cairo_t* cr, double scale, const Layer& layer);
    void drawShadow(cairo_t* cr, double scale, const Layer& layer);
    std::shared_ptr<ShadowMask> shadowMask(const Layer& layer, double scale);

    std::size_t capacity_;
    bool cacheEnabled_ = true;
    std::list<std::string> cacheOrder_;  // most recent first
    std::unordered_map<std::string, std::pair<std::shared_ptr<ShadowMask>, std::list<std::string>::iterator>> cache_;
    std::size_t hits_ = 0;
    std::size_t misses_ = 0;

    std::uint64_t lastSurface_ = 0;
    LayerList previous_;
};

// Draws one layer's content at the current transform, with its layer origin at (0, 0);
// used by the painter and by shadow masks. Exposed for overlay windows that compose by hand.
void drawLayerContent(cairo_t* cr, const Layer& layer, double alphaScale);

}  // namespace velmo
