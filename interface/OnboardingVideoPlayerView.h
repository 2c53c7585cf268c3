#pragma once

// The bridge that shows the onboarding's video player beside the cursor: `AVPlayerNSView`
// hosts a player layer that draws the player's current picture aspect-fill into its frame, and
// `OnboardingVideoPlayerView` is the value the cursor view makes on every evaluation, which
// creates that view and keeps its player in step with the published one.
//
// Thread contract: main thread only. The view never starts, pauses or seeks the player.

#include <functional>
#include <memory>
#include <optional>

#include "interface/drawing/Layer.h"
#include "platform/media/VideoPlayer.h"

namespace velmo {

// Where a player's pictures are drawn: the frame they fill (aspect fill, cropping what
// overflows) and the player they come from.
struct VideoPlayerLayer {
    std::shared_ptr<VideoPlayer> player;
    Rect frame{};
};

class AVPlayerNSView {
public:
    explicit AVPlayerNSView(Rect frame);
    ~AVPlayerNSView();
    AVPlayerNSView(const AVPlayerNSView&) = delete;
    AVPlayerNSView& operator=(const AVPlayerNSView&) = delete;

    // Holds the shown player strongly; the layer's player is set separately, as the wrapper does.
    std::shared_ptr<VideoPlayer> player;
    const VideoPlayerLayer& playerLayer() const { return playerLayer_; }
    // Attaches the layer to `player` (or to none), following its pictures from now on.
    void setPlayerLayerPlayer(std::shared_ptr<VideoPlayer> player);

    Rect frame() const { return frame_; }
    void setFrame(Rect frame) { frame_ = frame; }
    // The player layer covers the whole view after any resize.
    void layout();

    // The current picture as an image of the player layer's size, or null without a player or a
    // picture. The same picture gives the same image, so an unchanged frame draws nothing.
    std::shared_ptr<const LayerImage> currentImage() const;
    // Called when the layer's player shows a new picture.
    void setNeedsDisplayHandler(std::function<void()> handler);

private:
    Rect frame_;
    VideoPlayerLayer playerLayer_;
    std::optional<VideoPlayer::ObserverToken> frameObserver_;
    std::shared_ptr<std::function<void()>> needsDisplay_ = std::make_shared<std::function<void()>>();
    mutable std::shared_ptr<const VideoFrame> convertedFrame_;
    mutable std::shared_ptr<const LayerImage> image_;
};

// A value the cursor view makes with the companion's published player (or none).
struct OnboardingVideoPlayerView {
    const std::shared_ptr<VideoPlayer> player;

    // A view of the zero frame (its host sizes it) showing `player`.
    std::unique_ptr<AVPlayerNSView> makeView() const;
    // Puts this value's player into the view and its layer in one step, none included.
    void updateView(AVPlayerNSView& view) const;
};

}  // namespace velmo
