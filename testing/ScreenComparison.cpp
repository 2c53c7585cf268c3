#include "testing/ScreenComparison.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmo::test {

namespace {

std::uint32_t channelMask(unsigned long mask, int value) {
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return std::uint32_t((unsigned long)(value & 0xff) << shift);
}

// A pattern that shows misplaced tiles and lost areas: gradients in both directions and a grid.
void patternPixel(int x, int y, int& r, int& g, int& b) {
    r = (x * 255) / 1024 % 256;
    g = (y * 255) / 768 % 256;
    b = ((x / 64 + y / 64) % 2) ? 200 : 60;
    if (x % 97 == 0 || y % 89 == 0) r = g = b = 250;
}

void putPattern(Display* display, Drawable drawable, Visual* visual, int depth, int width, int height, int shift) {
    XImage* image = XCreateImage(display, visual, unsigned(depth), ZPixmap, 0, nullptr, unsigned(width), unsigned(height), 32, 0);
    image->data = static_cast<char*>(std::malloc(std::size_t(image->bytes_per_line) * std::size_t(height)));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int r = 0, g = 0, b = 0;
            patternPixel(x + shift, y + shift, r, g, b);
            XPutPixel(image, x, y,
                      channelMask(visual->red_mask, r) | channelMask(visual->green_mask, g) | channelMask(visual->blue_mask, b));
        }
    }
    GC gc = XCreateGC(display, drawable, 0, nullptr);
    XPutImage(display, drawable, gc, image, 0, 0, 0, 0, unsigned(width), unsigned(height));
    XFreeGC(display, gc);
    XDestroyImage(image);
}

void appendChunk(std::vector<std::uint8_t>& png, const char* type, const std::vector<std::uint8_t>& data) {
    auto put32 = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) png.push_back(std::uint8_t(v >> s));
    };
    put32(std::uint32_t(data.size()));
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put32(std::uint32_t(crc32(0, png.data() + start, uInt(png.size() - start))));
}

}  // namespace

ScreenPixels grabRoot(Display* display, int x, int y, int width, int height) {
    ScreenPixels pixels;
    XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
    if (!image) return pixels;
    pixels.width = width;
    pixels.height = height;
    pixels.bgrx.resize(pixels.stride() * std::size_t(height));
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            unsigned long p = XGetPixel(image, column, row);
            std::uint8_t* d = pixels.bgrx.data() + std::size_t(row) * pixels.stride() + std::size_t(column) * 4;
            d[0] = std::uint8_t(p);
            d[1] = std::uint8_t(p >> 8);
            d[2] = std::uint8_t(p >> 16);
            d[3] = 0xff;
        }
    }
    XDestroyImage(image);
    return pixels;
}

ScreenPixels screenPixels(const std::uint8_t* bgrx, int width, int height, std::size_t stride) {
    ScreenPixels pixels;
    pixels.width = width;
    pixels.height = height;
    pixels.bgrx.resize(pixels.stride() * std::size_t(height));
    for (int y = 0; y < height; ++y)
        std::memcpy(pixels.bgrx.data() + std::size_t(y) * pixels.stride(), bgrx + std::size_t(y) * stride, pixels.stride());
    return pixels;
}

ScreenPixels testPattern(int width, int height) {
    ScreenPixels pixels;
    pixels.width = width;
    pixels.height = height;
    pixels.bgrx.resize(pixels.stride() * std::size_t(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int r = 0, g = 0, b = 0;
            patternPixel(x, y, r, g, b);
            std::uint8_t* d = pixels.bgrx.data() + std::size_t(y) * pixels.stride() + std::size_t(x) * 4;
            d[0] = std::uint8_t(b);
            d[1] = std::uint8_t(g);
            d[2] = std::uint8_t(r);
            d[3] = 0xff;
        }
    }
    return pixels;
}

ScreenDifference compareScreens(const ScreenPixels& shot, const ScreenPixels& reference) {
    ScreenDifference result;
    if (shot.width != reference.width || shot.height != reference.height || shot.width == 0 || shot.height == 0) return result;
    double sum = 0;
    std::size_t blackOnly = 0;
    const std::size_t count = std::size_t(shot.width) * std::size_t(shot.height);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* a = shot.bgrx.data() + i * 4;
        const std::uint8_t* b = reference.bgrx.data() + i * 4;
        int brightestA = 0, brightestB = 0;
        for (int k = 0; k < 3; ++k) {
            sum += std::abs(int(a[k]) - int(b[k]));
            brightestA = std::max(brightestA, int(a[k]));
            brightestB = std::max(brightestB, int(b[k]));
        }
        if (brightestA < 12 && brightestB >= 40) ++blackOnly;
    }
    result.mean = sum / (double(count) * 3 * 255);
    result.blackOnlyInShot = double(blackOnly) / double(count);
    result.blackOnlyPixels = blackOnly;
    return result;
}

bool writePng(const std::string& path, const ScreenPixels& pixels) {
    std::vector<std::uint8_t> raw;
    raw.reserve((std::size_t(pixels.width) * 3 + 1) * std::size_t(pixels.height));
    for (int y = 0; y < pixels.height; ++y) {
        raw.push_back(0);  // no filter
        const std::uint8_t* row = pixels.bgrx.data() + std::size_t(y) * pixels.stride();
        for (int x = 0; x < pixels.width; ++x) {
            raw.push_back(row[x * 4 + 2]);
            raw.push_back(row[x * 4 + 1]);
            raw.push_back(row[x * 4]);
        }
    }
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::vector<std::uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), uLong(raw.size()), 6) != Z_OK) return false;
    packed.resize(packedSize);
    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<std::uint8_t> header;
    for (std::uint32_t v : {std::uint32_t(pixels.width), std::uint32_t(pixels.height)}) {
        for (int s = 24; s >= 0; s -= 8) header.push_back(std::uint8_t(v >> s));
    }
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", packed);
    appendChunk(png, "IEND", {});
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
    return std::fclose(file) == 0 && written;
}

Pixmap setRootPixmapWallpaper(Display* display, int width, int height, bool named) {
    const int screen = DefaultScreen(display);
    const Window root = DefaultRootWindow(display);
    Pixmap pixmap = XCreatePixmap(display, root, unsigned(width), unsigned(height), unsigned(DefaultDepth(display, screen)));
    putPattern(display, pixmap, DefaultVisual(display, screen), DefaultDepth(display, screen), width, height, 0);
    for (const char* name : {"_XROOTPMAP_ID", "ESETROOT_PMAP_ID"}) {
        if (!named) break;
        XChangeProperty(display, root, XInternAtom(display, name, False), XA_PIXMAP, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&pixmap), 1);
    }
    XSetWindowBackgroundPixmap(display, root, pixmap);
    XClearWindow(display, root);
    XSync(display, False);
    return pixmap;
}

Window createDesktopWindow(Display* display, int x, int y, int width, int height) {
    const int screen = DefaultScreen(display);
    const Window root = DefaultRootWindow(display);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0;
    Window window = XCreateWindow(display, root, x, y, unsigned(width), unsigned(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                  CWOverrideRedirect | CWBackPixel, &attributes);
    Atom type = XInternAtom(display, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&type), 1);
    XClassHint hint{const_cast<char*>("desktop"), const_cast<char*>("TestDesktop")};
    XSetClassHint(display, window, &hint);
    XMapWindow(display, window);
    XLowerWindow(display, window);
    XSync(display, False);
    Pixmap content = XCreatePixmap(display, window, unsigned(width), unsigned(height), unsigned(DefaultDepth(display, screen)));
    putPattern(display, content, DefaultVisual(display, screen), DefaultDepth(display, screen), width, height, 37);
    XSetWindowBackgroundPixmap(display, window, content);
    XFreePixmap(display, content);
    XClearWindow(display, window);
    XSync(display, False);
    return window;
}

}  // namespace velmo::test
