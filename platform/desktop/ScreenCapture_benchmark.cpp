#include <benchmark/benchmark.h>

#include <X11/Xlib.h>

#include <map>
#include <memory>

#include "platform/desktop/ImageScaler.h"
#include "platform/desktop/JpegEncoder.h"
#include "platform/desktop/X11FrameGrabber.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/TaskProbe.h"
#include "testing/X11TestDesktop.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::TaskProbe;
using velmo::test::X11TestDesktop;

namespace {

// Something like a desktop: a gradient, window-like panels and rows of text-sized marks, so
// the encoder has the kind of detail a real screen gives it.
std::vector<std::uint8_t> desktopLikePixels(int width, int height) {
    std::vector<std::uint8_t> p(std::size_t(width) * std::size_t(height) * 4);
    std::uint32_t seed = 12345;
    auto random = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* d = p.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 4;
            d[0] = std::uint8_t(120 + y * 100 / height);
            d[1] = std::uint8_t(60 + x * 80 / width);
            d[2] = 40;
            d[3] = 0;
        }
    }
    for (int w = 0; w < 6; ++w) {
        int left = int(random() % std::uint32_t(width * 2 / 3)), top = int(random() % std::uint32_t(height * 2 / 3));
        int right = std::min(width, left + width / 3), bottom = std::min(height, top + height / 3);
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x) {
                std::uint8_t* d = p.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 4;
                d[0] = d[1] = d[2] = 245;
            }
            // Lines of text: dark marks of a few pixels on every other 16-pixel band.
            if ((y - top) % 16 < 9 && ((y - top) / 16) % 2 == 0) {
                for (int x = left + 8; x < right - 8; x += 7) {
                    std::uint32_t r = random();
                    if (r % 5 == 0) continue;
                    for (int k = 0; k < int(2 + r % 4) && x + k < right; ++k) {
                        std::uint8_t* d = p.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x + k)) * 4;
                        d[0] = d[1] = d[2] = std::uint8_t(20 + r % 60);
                    }
                }
            }
        }
    }
    return p;
}

constexpr const char* kOwnBundle = "com.velmo.benchmark";

// One private Xvfb per source size for the whole run, its one monitor painted like a desktop,
// with the application's own overlay above it as it is while Velmo runs: a 32-bit window over
// the whole monitor, shaped to the cursor it draws.
X11TestDesktop* desktopOf(int width, int height) {
    static std::map<std::pair<int, int>, std::unique_ptr<X11TestDesktop>> desktops;
    auto& slot = desktops[{width, height}];
    if (!slot) {
        slot = std::make_unique<X11TestDesktop>(std::to_string(width) + "x" + std::to_string(height) + "x24");
        if (!slot->isReady()) return nullptr;
        if (Window overlay = slot->createTranslucentWindow(0, 0, width, height, 0xff3380ff)) {
            slot->shapeWindow(overlay, {{short(width / 2), short(height / 2), 40, 40}});
            X11ScreenLayer::setOwningBundleIdentifier(slot->connection(), overlay, kOwnBundle);
        }
        // Painted after the overlay was shaped: the root keeps no pixels a window covered.
        slot->putRootPixels(0, 0, width, height, desktopLikePixels(width, height));
    }
    return slot->isReady() ? slot.get() : nullptr;
}

struct Capture {
    VirtualMainLoopScope loop;
    std::unique_ptr<X11ScreenLayer> layer;
    ShareableDisplay display;
    std::vector<ShareableWindow> ownWindows;  // left out of every shot, as the application leaves its own
    bool ready = false;

    Capture(X11TestDesktop* desktop, bool shm, bool leaveOutOwnWindows) {
        if (!desktop) return;
        layer = std::make_unique<X11ScreenLayer>(X11ScreenLayer::Options{desktop->displayName(), shm});
        auto content = TaskProbe(layer->shareableContent(false, true));
        loop.loop().runUntil([&] { return content.done(); }, 20.0s);
        if (!content.value() || content.value()->displays.empty() || layer->usesSharedMemory() != shm) return;
        display = content.value()->displays[0];
        for (const auto& w : content.value()->windows) {
            if (leaveOutOwnWindows && w.owningApplication && w.owningApplication->bundleIdentifier == kOwnBundle) ownWindows.push_back(w);
        }
        ready = !leaveOutOwnWindows || !ownWindows.empty();
    }
    // The image is moved out of the task, as a caller awaiting it gets it.
    std::optional<Image> shot(StreamConfiguration configuration) {
        std::optional<Image> image;
        bool done = false;
        startTask([&]() -> Task<void> {
            try {
                ContentFilter filter{display, ownWindows};  // a named filter: g++ 12 frees a braced temporary twice
                image = co_await layer->captureImage(std::move(filter), configuration);
            } catch (...) {
            }
            done = true;
        });
        loop.loop().runUntil([&] { return done; }, 20.0s);
        return image;
    }
};

// Both source sizes, each read through shared memory and through XGetImage.
void sourcesByBothPaths(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h", "shm"});
    for (auto [w, h] : {std::pair{1920, 1080}, std::pair{2560, 1440}}) {
        b->Args({w, h, 1});
        b->Args({w, h, 0});
    }
    b->Unit(benchmark::kMillisecond);
}

// Both source sizes through shared memory with and without the own overlay left out, and
// through XGetImage with it left out.
void capturesByBothPaths(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h", "shm", "own"});
    for (auto [w, h] : {std::pair{1920, 1080}, std::pair{2560, 1440}}) {
        b->Args({w, h, 1, 1});
        b->Args({w, h, 1, 0});
        b->Args({w, h, 0, 1});
    }
    b->Unit(benchmark::kMillisecond);
}

// The whole capture of one display as the application asks for it: grab, its own windows
// left out, scale to 1280 wide, JPEG at 0.8.
void BM_CaptureDisplay(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    Capture capture(desktopOf(width, height), state.range(2) != 0, state.range(3) != 0);
    if (!capture.ready) {
        state.SkipWithError("no Xvfb, or no own window to leave out");
        return;
    }
    const StreamConfiguration size{1280, 1280 * height / width};
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::optional<Image> image = capture.shot(size);
        auto jpeg = image ? capture.layer->jpegRepresentation(*image, 0.8) : std::nullopt;
        if (!jpeg) {
            state.SkipWithError("capture failed");
            return;
        }
        bytes = jpeg->size();
    }
    state.counters["jpeg_bytes"] = double(bytes);
    state.SetLabel(state.range(2) ? "XShm" : "XGetImage");
}
BENCHMARK(BM_CaptureDisplay)->Apply(capturesByBothPaths);

// The bare encoder on the already-scaled pixels the capture produces.
void BM_JpegEncodeOnly(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    Capture capture(desktopOf(width, height), true, false);
    std::optional<Image> image = capture.ready ? capture.shot({1280, 1280 * height / width}) : std::nullopt;
    if (!image) {
        state.SkipWithError("no Xvfb");
        return;
    }
    JpegEncoder encoder;
    for (auto _ : state) benchmark::DoNotOptimize(encoder.encode(*image, 0.8));
}
BENCHMARK(BM_JpegEncodeOnly)->ArgNames({"w", "h"})->Args({1920, 1080})->Args({2560, 1440})->Unit(benchmark::kMillisecond);

// Reading the display's pixels alone, by shared memory and by XGetImage.
void BM_GrabDisplay(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    X11TestDesktop* desktop = desktopOf(width, height);
    Display* display = desktop ? XOpenDisplay(desktop->displayName().c_str()) : nullptr;
    if (!display) {
        state.SkipWithError("no Xvfb");
        return;
    }
    {
        X11FrameGrabber grabber(display, state.range(2) != 0);
        for (auto _ : state) {
            auto pixels = grabber.grab(DefaultRootWindow(display), 0, 0, width, height);
            benchmark::DoNotOptimize(pixels.data[0]);
        }
        state.SetLabel(grabber.usesSharedMemory() ? "XShm" : "XGetImage");
        state.SetBytesProcessed(state.iterations() * std::int64_t(width) * height * 4);
    }
    XCloseDisplay(display);
}
BENCHMARK(BM_GrabDisplay)->Apply(sourcesByBothPaths);

// Scaling alone, from the source size to 1280 wide.
void BM_ScaleDisplay(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    std::vector<std::uint8_t> source = desktopLikePixels(width, height);
    const int outWidth = 1280, outHeight = 1280 * height / width;
    std::vector<std::uint8_t> out(std::size_t(outWidth) * std::size_t(outHeight) * 4);
    ImageScaler scaler;
    for (auto _ : state) {
        scaler.scale(source.data(), width, height, std::size_t(width) * 4, out.data(), outWidth, outHeight, std::size_t(outWidth) * 4);
        benchmark::DoNotOptimize(out[0]);
    }
}
BENCHMARK(BM_ScaleDisplay)->ArgNames({"w", "h"})->Args({1920, 1080})->Args({2560, 1440})->Unit(benchmark::kMillisecond);

}  // namespace
