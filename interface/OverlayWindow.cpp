#include "interface/OverlayWindow.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

#include "interface/drawing/Painter.h"
#include "platform/runtime/MainLoop.h"

namespace velmo {

// What a window draws: its view, a back buffer and the painter that keeps it up to date.
// Repaints are posted and coalesced, so many changes in one turn draw one frame.
struct OverlayWindow::Content {
    std::weak_ptr<OverlayPlatformWindow> window;
    BlueCursorView* view = nullptr;
    std::unique_ptr<Surface> surface;
    Painter painter;
    bool displayScheduled = false;

    void scheduleDisplay(const std::shared_ptr<Content>& self) {
        if (displayScheduled) return;
        displayScheduled = true;
        MainLoop::postToMain([weak = std::weak_ptr<Content>(self)] {
            if (auto c = weak.lock()) c->display();
        });
    }

    void display() {
        displayScheduled = false;
        auto w = window.lock();
        if (!w || !view || !surface) return;
        LayerList layers = view->layers();
        std::vector<PixelRect> damaged = painter.paint(*surface, layers);
        if (damaged.empty()) return;
        cairo_surface_t* s = surface->cairoSurface();
        cairo_surface_flush(s);
        const int width = surface->width(), height = surface->height();
        std::vector<WindowPixelRect> damage;
        for (const auto& r : damaged) damage.push_back(clip({r.x, r.y, r.width, r.height}, width, height));
        std::erase_if(damage, [](const WindowPixelRect& r) { return r.width <= 0 || r.height <= 0; });
        std::vector<WindowPixelRect> drawn;
        for (const auto& layer : layers) {
            if (leavesNoPixel(layer)) continue;
            Rect b = Painter::bounds(layer);
            int x0 = int(std::floor(b.minX())), y0 = int(std::floor(b.minY()));
            WindowPixelRect r = clip({x0, y0, int(std::ceil(b.maxX())) - x0, int(std::ceil(b.maxY())) - y0}, width, height);
            if (r.width > 0 && r.height > 0) drawn.push_back(r);
        }
        if (damage.empty()) return;
        w->present(cairo_image_surface_get_data(s), width, height, cairo_image_surface_get_stride(s), damage, drawn);
    }

    // A fill too faint for 8-bit alpha (the near-clear backdrop that covers the screen) draws
    // nothing, so it must not count as drawn.
    static bool leavesNoPixel(const Layer& layer) {
        using K = Layer::Kind;
        if (layer.opacity <= 0) return true;
        bool filled = layer.kind == K::Path || layer.kind == K::RoundedRect || layer.kind == K::Capsule || layer.kind == K::Text;
        return filled && !layer.shadow.visible() && layer.fill.opacity * layer.opacity < 0.5 / 255;
    }

    static WindowPixelRect clip(WindowPixelRect r, int width, int height) {
        int x0 = std::max(r.x, 0), y0 = std::max(r.y, 0);
        int x1 = std::min(r.x + r.width, width), y1 = std::min(r.y + r.height, height);
        return {x0, y0, x1 - x0, y1 - y0};
    }
};

OverlayWindow::OverlayWindow(const Screen& screen, OverlayWindowLayer& layer)
    : window_(layer.makeOverlayWindow(screen.frame)),
      content_(std::make_shared<Content>()) {
    content_->window = window_;
}

OverlayWindow::~OverlayWindow() { setContentView(nullptr); }

void OverlayWindow::setContentView(BlueCursorView* view) {
    if (content_->view) content_->view->setNeedsDisplayHandler(nullptr);
    content_->view = view;
    content_->surface.reset();
    if (!view) return;
    const Rect f = window_->frame();
    content_->surface = std::make_unique<Surface>(int(std::lround(f.width)), int(std::lround(f.height)));
    view->setNeedsDisplayHandler([weak = std::weak_ptr<Content>(content_)] {
        if (auto c = weak.lock()) c->scheduleDisplay(c);
    });
    content_->scheduleDisplay(content_);
}

void OverlayWindow::orderFrontRegardless() { window_->orderFrontRegardless(); }
void OverlayWindow::orderOut() { window_->orderOut(); }
Rect OverlayWindow::frame() const { return window_->frame(); }

// ---- the manager ----

namespace {
// One pointer sample serves every screen's view until the main loop's next turn.
std::function<Point()> sharedPointerSample(std::function<Point()> source) {
    struct Sample {
        std::optional<Point> point;
    };
    if (!source) source = [] { return ScreenLayer::current()->mouseLocation(); };
    auto sample = std::make_shared<Sample>();
    return [sample, source = std::move(source)] {
        if (!sample->point) {
            sample->point = source();
            MainLoop::postToMain([weak = std::weak_ptr<Sample>(sample)] {
                if (auto s = weak.lock()) s->point.reset();
            });
        }
        return *sample->point;
    };
}
}  // namespace

OverlayWindowManager::OverlayWindowManager(std::shared_ptr<OverlayWindowLayer> layer, BlueCursorView::Environment environment)
    : layer_(std::move(layer)),
      environment_(std::move(environment)) {}

OverlayWindowManager::~OverlayWindowManager() { hideOverlay(); }

void OverlayWindowManager::showOverlay(const std::vector<Screen>& screens, CompanionManager& companion) {
    sequenceChecker_.check();
    hideOverlay();
    const bool isFirstAppearance = !hasShownOverlayBefore_;
    hasShownOverlayBefore_ = true;
    if (screens.empty()) return;

    std::vector<Rect> frames;
    for (const auto& screen : screens) frames.push_back(screen.frame);
    BlueCursorView::Environment environment = environment_;
    if (!environment.mouseLocation && !environment.pointerMotion) environment.pointerMotion = ScreenLayer::current();
    environment.mouseLocation = sharedPointerSample(environment.mouseLocation);
    views_ = std::make_unique<BlueCursorOverlay>(frames, isFirstAppearance, companion, environment);
    for (std::size_t i = 0; i < screens.size(); ++i) {
        auto window = std::make_unique<OverlayWindow>(screens[i], *layer_);
        window->setContentView(views_->views()[i].get());
        overlayWindows_.push_back(std::move(window));
        overlayWindows_.back()->orderFrontRegardless();
    }
}

void OverlayWindowManager::hideOverlay() {
    sequenceChecker_.check();
    for (auto& window : overlayWindows_) {
        window->orderOut();
        window->setContentView(nullptr);
    }
    overlayWindows_.clear();
    views_.reset();
}

}  // namespace velmo
