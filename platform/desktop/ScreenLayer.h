#pragma once

// The desktop's screens, pointer and screen capture as the application sees them: what can be
// captured (displays and on-screen windows), a one-shot screenshot of one display with some
// windows left out, the list of screens with their device descriptions, the mouse position and
// JPEG encoding. Real on X11 (X11ScreenLayer), simulated for tests (SimulatedScreenLayer).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/desktop/Geometry.h"
#include "platform/runtime/Published.h"
#include "platform/runtime/Task.h"

namespace velmo {

// The application that owns a window.
struct RunningApplication {
    std::string bundleIdentifier;
    std::string applicationName;
    std::int64_t processID = 0;
    bool operator==(const RunningApplication&) const = default;
};

// A display that can be captured. `width` and `height` are whole points; `frame` is in global
// points like every screen frame.
struct ShareableDisplay {
    std::uint32_t displayID = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    Rect frame;
    bool operator==(const ShareableDisplay&) const = default;
};

struct ShareableWindow {
    std::uint32_t windowID = 0;
    Rect frame;
    std::optional<RunningApplication> owningApplication;
    bool isOnScreen = true;
    bool operator==(const ShareableWindow&) const = default;
};

struct ShareableContent {
    std::vector<ShareableDisplay> displays;
    // Back to front: a later window lies above an earlier one.
    std::vector<ShareableWindow> windows;
};

// What one screenshot shows: one display, without the listed windows.
struct ContentFilter {
    ShareableDisplay display;
    std::vector<ShareableWindow> excludedWindows;
};

// The output of one screenshot. Zero means "not set": the display's own size in pixels is used.
struct StreamConfiguration {
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const StreamConfiguration&) const = default;
};

// Leaves new elements uninitialised, so a buffer about to be overwritten is not cleared first.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using PixelBytes = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

// A JPEG made from an image's pixels while they were captured.
struct PreparedJpeg {
    int quality = 0;  // 1..100, see JpegEncoder::qualityForCompressionFactor
    const std::uint8_t* pixels = nullptr;  // the buffer it was made from
    std::size_t pixelBytes = 0;
    std::vector<std::uint8_t> bytes;
};

// Pixels with the top-left origin, 4 bytes each in memory order blue, green, red and a fourth
// byte that carries nothing (JPEG encoding ignores it).
struct Image {
    int width = 0;
    int height = 0;
    PixelBytes pixels;  // width * 4 bytes per row, no padding
    std::uint32_t displayID = 0;  // the display it shows (0 when none)
    // Set by a layer that encodes while it captures; it serves only these very pixels (a copy
    // of the image encodes anew), so whoever changes them in place resets it.
    std::shared_ptr<const PreparedJpeg> preparedJpeg;

    std::size_t stride() const { return std::size_t(width) * 4; }
    // The prepared JPEG when it was made from these pixels at this quality.
    const std::vector<std::uint8_t>* preparedJpegAt(int quality) const {
        const PreparedJpeg* p = preparedJpeg.get();
        return p && p->quality == quality && p->pixels == pixels.data() && p->pixelBytes == pixels.size() ? &p->bytes : nullptr;
    }
};

// A value in a screen's device description.
using DescriptionValue = std::variant<std::int64_t, double, std::string>;
using DeviceDescription = std::map<std::string, DescriptionValue>;

inline constexpr const char* kScreenNumberKey = "NSScreenNumber";

// One screen of the desktop. Its device description carries the display number under
// "NSScreenNumber", the same number as the display's `displayID`.
struct Screen {
    Rect frame;
    std::string localizedName;
    DeviceDescription deviceDescription;
};

// The value as an unsigned 32-bit number, when it is exactly one (integers in range, or a
// double holding such an integer); otherwise none.
std::optional<std::uint32_t> unsigned32Value(const DescriptionValue& value);
// The screen's "NSScreenNumber" as an unsigned 32-bit number, when it has one.
std::optional<std::uint32_t> screenNumber(const Screen& screen);

class ScreenLayer {
public:
    virtual ~ScreenLayer() = default;

    // The displays and the windows that can be captured. Fails with the layer's error when the
    // desktop cannot be reached.
    virtual Task<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) = 0;
    // One screenshot of the filter's display, without its excluded windows, scaled to the
    // configured size. Runs without blocking the main thread; resumes on the main loop.
    virtual Task<Image> captureImage(ContentFilter filter, StreamConfiguration configuration) = 0;
    // The screens, the primary one (origin (0, 0)) first. Empty when there is no desktop.
    virtual std::vector<Screen> screens() = 0;
    // The mouse position in global points.
    virtual Point mouseLocation() = 0;
    // Calls `moved` on the main loop after the pointer moved, while the returned subscription
    // lives. Only where `announcesPointerMotion()` holds does silence mean the pointer stayed
    // where it was; by default it never does, and the pointer must be asked again.
    virtual Cancellable observePointerMotion(std::function<void()> moved) {
        (void)moved;
        return {};
    }
    virtual bool announcesPointerMotion() { return false; }
    // The image as JPEG at the given compression factor (0 smallest .. 1 best); none on failure.
    virtual std::optional<std::vector<std::uint8_t>> jpegRepresentation(const Image& image, double compressionFactor) = 0;

    // The layer of this process: the X11 one main installed, or a test's; none is a fault.
    static std::shared_ptr<ScreenLayer> current();
    // The installed layer or null, for those that do without one (the analytics context).
    static std::shared_ptr<ScreenLayer> installed();
    // Installs a layer for the process; null: none.
    static void install(std::shared_ptr<ScreenLayer> layer);
};

// Installs a layer for the life of the scope, then puts the previous one back.
class ScreenLayerScope {
public:
    explicit ScreenLayerScope(std::shared_ptr<ScreenLayer> layer);
    ~ScreenLayerScope();
    ScreenLayerScope(const ScreenLayerScope&) = delete;
    ScreenLayerScope& operator=(const ScreenLayerScope&) = delete;

private:
    std::shared_ptr<ScreenLayer> previous_;
};

}  // namespace velmo
