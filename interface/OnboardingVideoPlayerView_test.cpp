#include <gtest/gtest.h>

#include "interface/OnboardingVideoPlayerView.h"
#include "interface/drawing/Painter.h"
#include "platform/media/SimulatedVideoPlayer.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace velmo;

namespace {
// A picture whose top half is red and bottom half green, `width` x `height`.
std::shared_ptr<VideoFrame> twoBandFrame(int width, int height) {
    auto f = std::make_shared<VideoFrame>();
    f->width = width;
    f->height = height;
    f->stride = width * 4;
    f->pixels.resize(std::size_t(f->stride * height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &f->pixels[std::size_t(y * f->stride + x * 4)];
            bool top = y < height / 2;
            p[0] = 0;  // blue
            p[1] = top ? 0 : 255;  // green
            p[2] = top ? 255 : 0;  // red
            p[3] = 255;
        }
    return f;
}
}  // namespace

TEST(OnboardingVideoPlayerView, AnEmptyPlayerIsLaidOutAndDrawsNothing) {
    VirtualMainLoopScope scope;
    auto view = OnboardingVideoPlayerView{nullptr}.makeView();
    view->setFrame({10, 20, 330, 186});
    view->layout();
    EXPECT_EQ(view->player, nullptr);
    EXPECT_EQ(view->playerLayer().player, nullptr);
    EXPECT_EQ(view->playerLayer().frame, (Rect{0, 0, 330, 186}));
    EXPECT_FALSE(view->currentImage());
}

TEST(OnboardingVideoPlayerView, SwappingThePlayerMovesTheViewAndItsLayerInOneStep) {
    VirtualMainLoopScope scope;
    auto first = std::make_shared<SimulatedVideoPlayer>("file:///a.m3u8", 10);
    auto second = std::make_shared<SimulatedVideoPlayer>("file:///b.m3u8", 10);
    auto view = OnboardingVideoPlayerView{first}.makeView();
    int redraws = 0;
    view->setNeedsDisplayHandler([&] { ++redraws; });
    EXPECT_EQ(view->player, first);
    EXPECT_EQ(view->playerLayer().player, first);
    first->showFrame(twoBandFrame(4, 4));
    EXPECT_EQ(redraws, 1);

    struct Step {
        std::shared_ptr<VideoPlayer> to;
    } steps[] = {{second}, {nullptr}, {first}};
    for (const auto& step : steps) {
        OnboardingVideoPlayerView{step.to}.updateView(*view);
        EXPECT_EQ(view->player, step.to);
        EXPECT_EQ(view->playerLayer().player, step.to);
    }
    redraws = 0;
    second->showFrame(twoBandFrame(4, 4));  // detached: no longer heard
    EXPECT_EQ(redraws, 0);
    first->showFrame(twoBandFrame(4, 4));
    EXPECT_EQ(redraws, 1);
}

TEST(OnboardingVideoPlayerView, ThePictureFillsTheResizedFrameKeepingItsAspect) {
    VirtualMainLoopScope scope;
    auto player = std::make_shared<SimulatedVideoPlayer>("file:///a.m3u8", 10);
    auto view = OnboardingVideoPlayerView{player}.makeView();
    view->setFrame({0, 0, 100, 50});
    view->layout();
    player->showFrame(twoBandFrame(100, 100));  // square into a wide frame: top and bottom cropped
    auto image = view->currentImage();
    EXPECT_EQ(image, view->currentImage());  // the same picture, the same image
    view->setFrame({0, 0, 330, 186});
    view->layout();
    EXPECT_EQ(view->playerLayer().frame, (Rect{0, 0, 330, 186}));
    // The picture drawn as the cursor view draws it: an image layer over the player layer's frame.
    Layer layer;
    layer.kind = Layer::Kind::Image;
    layer.image = view->currentImage();
    ASSERT_TRUE(layer.image);
    layer.size = {330, 186};
    layer.center = {165, 93};

    Surface surface(330, 186);
    Painter painter;
    painter.paintFull(surface, {layer});
    // 100x100 scaled to 330x330 and centred: the bands meet at the middle row, the corners are
    // filled (nothing letterboxed).
    auto top = surface.pixel(165, 80), bottom = surface.pixel(165, 106), corner = surface.pixel(0, 0);
    EXPECT_EQ(top.red, 255);
    EXPECT_EQ(top.green, 0);
    EXPECT_EQ(bottom.green, 255);
    EXPECT_EQ(bottom.red, 0);
    EXPECT_EQ(corner.alpha, 255);
    EXPECT_EQ(surface.pixel(329, 185).alpha, 255);
}
