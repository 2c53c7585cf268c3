// velmo-xmeter: counts the X requests every other client of a display sends for a while, with
// the RECORD extension, and optionally keeps the pointer moving meanwhile (XTest, 60 moves a
// second along a circle across the screen). Used by tools/idle-profile.
//
//   velmo-xmeter [--seconds N] [--move]      (DISPLAY names the server)
//
// Prints key=value lines: seconds, requests, requests_per_second, image_uploads (PutImage and
// MIT-SHM ShmPutImage requests), frames (runs of image uploads from one client into one window,
// the way one presented frame sends its damaged rectangles), pointer_moves, the busiest request
// kinds, and at the end each viewable top-level window that carries velmo's bundle identifier
// (window=WIDTHxHEIGHT+X+Y depth D), so that no frames can be told from no overlay.
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/record.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/desktop/X11WindowTree.h"

namespace {

constexpr int shmPutImageMinor = 3;

struct Counts {
    std::vector<XID> ownClients;  // the meter's own connections' requests are not counted
    XID mask = 0;
    int shmOpcode = -1;
    long requests = 0;
    long imageUploads = 0;
    long frames = 0;
    XID lastUploader = 0;
    std::uint32_t lastDrawable = 0;
    bool inUploadRun = false;
    std::map<std::string, long> byKind;
    std::map<int, std::string> extensionNames;
};

std::string kindOf(const Counts& c, int major, int minor) {
    if (major < 128) return "core " + std::to_string(major);
    auto it = c.extensionNames.find(major);
    return (it != c.extensionNames.end() ? it->second : "extension " + std::to_string(major)) + " " + std::to_string(minor);
}

void intercepted(XPointer closure, XRecordInterceptData* data) {
    auto& c = *reinterpret_cast<Counts*>(closure);
    const bool own = std::find(c.ownClients.begin(), c.ownClients.end(), data->id_base & c.mask) != c.ownClients.end();
    if (data->category == XRecordFromClient && data->data_len > 0 && !own) {
        const unsigned char* request = data->data;
        const int major = request[0], minor = request[1];
        ++c.requests;
        ++c.byKind[kindOf(c, major, minor)];
        const bool upload = (major == X_PutImage || (major == c.shmOpcode && minor == shmPutImageMinor)) && data->data_len >= 2;
        if (upload) {
            // Both requests name their drawable in the second 4-byte unit (the client's byte
            // order, which is ours on one machine).
            std::uint32_t drawable = 0;
            std::memcpy(&drawable, request + 4, sizeof drawable);
            ++c.imageUploads;
            if (!c.inUploadRun || c.lastUploader != data->id_base || c.lastDrawable != drawable) ++c.frames;
            c.inUploadRun = true;
            c.lastUploader = data->id_base;
            c.lastDrawable = drawable;
        } else if (data->id_base == c.lastUploader) {
            c.inUploadRun = false;
        }
    }
    XRecordFreeData(data);
}

void listVelmoWindows(Display* d) {
    const Atom bundle = XInternAtom(d, "_VELMO_BUNDLE_IDENTIFIER", True);
    if (bundle == 0) return;
    const std::vector<Window> children = velmo::x11TopLevelWindows(d);
    for (std::size_t i = 0; i < children.size(); ++i) {
        XWindowAttributes a{};
        if (!XGetWindowAttributes(d, children[i], &a) || a.map_state != IsViewable) continue;
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* value = nullptr;
        if (XGetWindowProperty(d, children[i], bundle, 0, 0, False, AnyPropertyType, &type, &format, &count, &after, &value) == Success &&
            type != 0)
            std::printf("window=%dx%d+%d+%d depth %d\n", a.width, a.height, a.x, a.y, a.depth);
        if (value) XFree(value);
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 30;
    bool move = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--move")) {
            move = true;
        } else {
            std::fprintf(stderr, "usage: velmo-xmeter [--seconds N] [--move]\n");
            return 2;
        }
    }
    Display* control = XOpenDisplay(nullptr);
    Display* data = XOpenDisplay(nullptr);
    Display* pointer = XOpenDisplay(nullptr);
    if (!control || !data || !pointer) {
        std::fprintf(stderr, "velmo-xmeter: cannot open the display\n");
        return 1;
    }
    int major = 0, minor = 0;
    if (!XRecordQueryVersion(control, &major, &minor)) {
        std::fprintf(stderr, "velmo-xmeter: the server has no RECORD extension\n");
        return 1;
    }
    Counts counts;
    counts.mask = XRecordIdBaseMask(pointer);
    // Our own requests, recognised by the client part of an id each connection made.
    for (Display* own : {control, data, pointer}) {
        Window probe = XCreateSimpleWindow(own, DefaultRootWindow(own), 0, 0, 1, 1, 0, 0, 0);
        counts.ownClients.push_back(probe & counts.mask);
        XDestroyWindow(own, probe);
        XSync(own, False);
    }
    int count = 0;
    char** names = XListExtensions(control, &count);
    for (int i = 0; i < count; ++i) {
        int opcode = 0, event = 0, error = 0;
        if (XQueryExtension(control, names[i], &opcode, &event, &error)) {
            counts.extensionNames[opcode] = names[i];
            if (!std::strcmp(names[i], "MIT-SHM")) counts.shmOpcode = opcode;
        }
    }
    if (names) XFreeExtensionList(names);

    XRecordRange* range = XRecordAllocRange();
    range->core_requests.first = 1;
    range->core_requests.last = 127;
    range->ext_requests.ext_major.first = 128;
    range->ext_requests.ext_major.last = 255;
    range->ext_requests.ext_minor.first = 0;
    range->ext_requests.ext_minor.last = 255;
    XRecordClientSpec clients = XRecordAllClients;
    XRecordContext context = XRecordCreateContext(control, 0, &clients, 1, &range, 1);
    XSync(control, False);
    if (!context || !XRecordEnableContextAsync(data, context, intercepted, reinterpret_cast<XPointer>(&counts))) {
        std::fprintf(stderr, "velmo-xmeter: cannot record\n");
        return 1;
    }

    const int width = DisplayWidth(pointer, DefaultScreen(pointer)), height = DisplayHeight(pointer, DefaultScreen(pointer));
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    long moves = 0;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(now - start).count();
        if (elapsed >= seconds) break;
        if (move && now >= next) {
            // Once round an ellipse across the whole root every 4 s.
            const double a = elapsed * M_PI / 2;
            XTestFakeMotionEvent(pointer, DefaultScreen(pointer), int(width / 2 + width * 0.4 * std::cos(a)),
                                 int(height / 2 + height * 0.35 * std::sin(a)), CurrentTime);
            XFlush(pointer);
            ++moves;
            next += std::chrono::microseconds(16667);
        }
        XRecordProcessReplies(data);
        pollfd p{ConnectionNumber(data), POLLIN, 0};
        poll(&p, 1, move ? 4 : 50);
    }
    XRecordDisableContext(control, context);
    XSync(control, False);
    XRecordProcessReplies(data);
    XRecordFreeContext(control, context);
    XFree(range);

    std::printf("seconds=%.1f\n", seconds);
    std::printf("requests=%ld\n", counts.requests);
    std::printf("requests_per_second=%.2f\n", counts.requests / seconds);
    std::printf("image_uploads=%ld\n", counts.imageUploads);
    std::printf("frames=%ld\n", counts.frames);
    std::printf("pointer_moves=%ld\n", moves);
    std::vector<std::pair<long, std::string>> busiest;
    for (const auto& [kind, n] : counts.byKind) busiest.emplace_back(n, kind);
    std::sort(busiest.rbegin(), busiest.rend());
    for (std::size_t i = 0; i < busiest.size() && i < 6; ++i) std::printf("kind=%s:%ld\n", busiest[i].second.c_str(), busiest[i].first);
    listVelmoWindows(control);
    XCloseDisplay(pointer);
    XCloseDisplay(data);
    XCloseDisplay(control);
    return 0;
}
