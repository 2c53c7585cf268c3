#include <gtest/gtest.h>

#include <thread>

#include "platform/desktop/JpegEncoder.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/TaskProbe.h"
#include "testing/X11TestDesktop.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::TaskProbe;
using velmo::test::X11TestDesktop;

// Screenshots and content run on the layer's worker with its own connection while the main
// thread keeps asking for screens and the mouse on the other one.
TEST(X11ScreenLayerThreads, MainThreadQueriesRunWhileTheWorkerCaptures) {
    X11TestDesktop desktop("1600x1000x24");
    ASSERT_TRUE(desktop.isReady()) << desktop.failure();
    ASSERT_TRUE(desktop.setMonitors({{"A", 0, 0, 800, 1000}, {"B", 800, 0, 800, 1000}}));
    VirtualMainLoopScope loop;
    X11ScreenLayer layer({desktop.displayName(), true});
    auto content = TaskProbe(layer.shareableContent(false, true));
    ASSERT_TRUE(loop.loop().runUntil([&] { return content.done(); }, 20.0s));
    ASSERT_TRUE(content.value());

    std::vector<TaskProbe<Image>> shots;
    for (int i = 0; i < 12; ++i) {
        const ShareableDisplay& d = content.value()->displays[std::size_t(i % 2)];
        shots.push_back(TaskProbe(layer.captureImage({d, {}}, {640, 800})));
    }
    auto more = TaskProbe(layer.shareableContent(false, false));
    int queries = 0;
    bool finished = loop.loop().runUntil(
        [&] {
            EXPECT_EQ(layer.screens().size(), 2u);
            layer.mouseLocation();
            ++queries;
            for (const auto& s : shots)
                if (!s.done()) return false;
            return more.done();
        },
        30.0s);
    ASSERT_TRUE(finished);
    EXPECT_GT(queries, 0);
    for (const auto& s : shots) {
        ASSERT_TRUE(s.value());
        EXPECT_EQ(s.value()->width, 640);
    }
}

TEST(X11ScreenLayerThreads, OneEncoderSharedByThreadsTakesTurns) {
    JpegEncoder encoder;
    Image image;
    image.width = 320;
    image.height = 200;
    image.pixels.assign(image.stride() * 200, 0x80);
    std::vector<std::thread> threads;
    std::vector<std::size_t> sizes(4, 0);
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                auto jpeg = encoder.encode(image, 0.8);
                if (jpeg) sizes[t] = jpeg->size();
            }
        });
    }
    for (auto& t : threads) t.join();
    for (std::size_t s : sizes) EXPECT_EQ(s, sizes[0]);
    EXPECT_GT(sizes[0], 0u);
}
