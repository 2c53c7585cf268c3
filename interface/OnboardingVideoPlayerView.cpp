#include "interface/OnboardingVideoPlayerView.h"

namespace velmo {

AVPlayerNSView::AVPlayerNSView(Rect frame)
    : frame_(frame) {
    layout();
}

AVPlayerNSView::~AVPlayerNSView() { setPlayerLayerPlayer(nullptr); }

void AVPlayerNSView::setPlayerLayerPlayer(std::shared_ptr<VideoPlayer> newPlayer) {
    if (playerLayer_.player == newPlayer) return;
    if (playerLayer_.player && frameObserver_) playerLayer_.player->removeFrameObserver(*frameObserver_);
    frameObserver_.reset();
    playerLayer_.player = std::move(newPlayer);
    convertedFrame_.reset();
    image_.reset();
    if (playerLayer_.player) {
        std::weak_ptr<std::function<void()>> weak = needsDisplay_;
        frameObserver_ = playerLayer_.player->addFrameObserver([weak] {
            if (auto handler = weak.lock(); handler && *handler) (*handler)();
        });
    }
}

void AVPlayerNSView::layout() { playerLayer_.frame = {0, 0, frame_.width, frame_.height}; }

void AVPlayerNSView::setNeedsDisplayHandler(std::function<void()> handler) { *needsDisplay_ = std::move(handler); }

std::shared_ptr<const LayerImage> AVPlayerNSView::currentImage() const {
    if (!playerLayer_.player) return nullptr;
    std::shared_ptr<const VideoFrame> frame = playerLayer_.player->currentFrame();
    if (!frame || frame->width <= 0 || frame->height <= 0) return nullptr;
    if (frame != convertedFrame_) {
        // BGRA with opaque alpha is premultiplied ARGB32 already.
        auto image = std::make_shared<LayerImage>();
        image->width = frame->width;
        image->height = frame->height;
        image->stride = frame->stride;
        image->pixels = frame->pixels;
        image_ = std::move(image);
        convertedFrame_ = std::move(frame);
    }
    return image_;
}

std::unique_ptr<AVPlayerNSView> OnboardingVideoPlayerView::makeView() const {
    auto view = std::make_unique<AVPlayerNSView>(Rect{});
    updateView(*view);
    return view;
}

void OnboardingVideoPlayerView::updateView(AVPlayerNSView& view) const {
    view.player = player;
    view.setPlayerLayerPlayer(player);
}

}  // namespace velmo
