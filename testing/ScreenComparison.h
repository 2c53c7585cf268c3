#pragma once

#include <X11/Xlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmo::test {

// Blue-green-red-x pixels, 4 bytes a pixel, rows packed.
struct ScreenPixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bgrx;

    std::size_t stride() const { return std::size_t(width) * 4; }
};

// What the server shows in a rectangle of the root window now (XGetImage of the root, as any
// screenshot tool makes it).
ScreenPixels grabRoot(Display* display, int x, int y, int width, int height);

// Copies packed or padded pixels into a record of their own.
ScreenPixels screenPixels(const std::uint8_t* bgrx, int width, int height, std::size_t stride);

struct ScreenDifference {
    double mean = 1.0;  // mean absolute difference of the colour channels, 0-1
    // The share of pixels black in `shot` where the reference shows something else.
    double blackOnlyInShot = 1.0;
    std::size_t blackOnlyPixels = 0;
};
// A picture that shows misplaced tiles and lost areas: gradients both ways, a checker and a grid.
ScreenPixels testPattern(int width, int height);

// Compares two pictures of the same size (a different size is all different).
ScreenDifference compareScreens(const ScreenPixels& shot, const ScreenPixels& reference);

// Writes the pixels as an 8-bit RGB PNG; false when the file cannot be written.
bool writePng(const std::string& path, const ScreenPixels& pixels);

// Sets a wallpaper as desktop setters do: a pixmap of the root's depth painted with a pattern
// of gradients, made the root's background and, when `named`, named by `_XROOTPMAP_ID` and
// `ESETROOT_PMAP_ID`. A pixmap smaller than the screen is tiled. Returns it.
Pixmap setRootPixmapWallpaper(Display* display, int width, int height, bool named = true);

// A window that draws the desktop, as file managers do: full size, `_NET_WM_WINDOW_TYPE_DESKTOP`,
// below every other window, painted with a pattern of its own.
Window createDesktopWindow(Display* display, int x, int y, int width, int height);

}  // namespace velmo::test
