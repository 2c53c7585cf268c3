// Any client of the session bus may call the status item with any arguments: every call is
// answered (a reply or an error), nothing crashes, and the button frame stays on the X screen's
// coordinate range. Each input is a run of calls: a method byte, a signature byte, then the
// arguments' bytes.
#include <systemd/sd-bus.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/desktop/StatusNotifierItem.h"
#include "platform/desktop/X11GlobalSpace.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/PrivateSessionBus.h"

namespace {

constexpr const char* methods[][2] = {
    {"org.kde.StatusNotifierItem", "Activate"},    {"org.kde.StatusNotifierItem", "SecondaryActivate"},
    {"org.kde.StatusNotifierItem", "ContextMenu"}, {"org.kde.StatusNotifierItem", "Scroll"},
    {"org.freedesktop.DBus.Properties", "Get"},    {"org.freedesktop.DBus.Properties", "GetAll"},
    {"org.kde.StatusNotifierItem", "Unknown"},
};
constexpr const char* signatures[] = {"ii", "i", "", "s", "is", "iii", "ss", "dd", "uu", "ai"};

// The watcher: owns its name and takes registrations; its connection also makes the calls.
struct Caller {
    explicit Caller(const std::string& address) {
        sd_bus_new(&bus);
        sd_bus_set_address(bus, address.c_str());
        sd_bus_set_bus_client(bus, 1);
        if (sd_bus_start(bus) < 0) std::abort();
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", &Caller::onRegister, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        sd_bus_add_object_vtable(bus, nullptr, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher", table, this);
        sd_bus_request_name(bus, "org.kde.StatusNotifierWatcher", 0);
    }
    void pump() {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        sd_bus_flush(bus);
    }
    static int onRegister(sd_bus_message* m, void* userdata, sd_bus_error*) {
        const char* service = nullptr;
        if (sd_bus_message_read(m, "s", &service) >= 0 && service) static_cast<Caller*>(userdata)->service = service;
        return sd_bus_reply_method_return(m, "");
    }
    sd_bus* bus = nullptr;
    std::string service;
};

struct Reader {
    const std::uint8_t* p;
    std::size_t left;
    std::uint8_t byte() { return left ? (--left, *p++) : 0; }
    std::int32_t int32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return std::int32_t(v);
    }
    std::string text() {
        std::string s;
        for (std::size_t n = byte() % 64; n > 0 && left; --n) {
            const char c = char(byte());
            s.push_back(c ? c : 'x');
        }
        return s;
    }
};

int appendArguments(sd_bus_message* m, const char* signature, Reader& in) {
    int r = 0;
    for (const char* c = signature; *c && r >= 0; ++c) {
        switch (*c) {
            case 'i':
                r = sd_bus_message_append(m, "i", in.int32());
                break;
            case 'u':
                r = sd_bus_message_append(m, "u", std::uint32_t(in.int32()));
                break;
            case 'd': {
                const std::int32_t a = in.int32(), b = in.int32();
                double d = 0;
                const std::uint64_t bits = (std::uint64_t(std::uint32_t(a)) << 32) | std::uint32_t(b);
                std::memcpy(&d, &bits, sizeof d);
                r = sd_bus_message_append(m, "d", d);
                break;
            }
            case 's':
                r = sd_bus_message_append(m, "s", in.text().c_str());
                break;
            case 'a': {
                const std::int32_t values[2] = {in.int32(), in.int32()};
                r = sd_bus_message_append_array(m, 'i', values, sizeof values);
                ++c;
                break;
            }
        }
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static velmo::test::PrivateSessionBus bus;
    static velmo::VirtualMainLoopScope loop;
    static Caller caller(bus.address());
    static const velmo::X11GlobalSpace space({0, 0, 1920, 1080});
    static std::shared_ptr<velmo::StatusItem> item = [] {
        auto made = velmo::makeStatusNotifierItem({bus.address(), [](int x, int y) { return space.pointFromX11Pixel(x, y); }, {}});
        if (!made) std::abort();
        made->setAction([] {});
        return made;
    }();
    if (caller.service.empty() && !loop.loop().runUntil([] {
            caller.pump();
            return !caller.service.empty();
        }))
        std::abort();

    Reader in{data, size};
    int sent = 0;
    int answered = 0;
    while (in.left > 0 && sent < 64) {
        const auto& method = methods[in.byte() % std::size(methods)];
        const char* signature = signatures[in.byte() % std::size(signatures)];
        sd_bus_message* m = nullptr;
        if (sd_bus_message_new_method_call(caller.bus, &m, caller.service.c_str(), "/StatusNotifierItem", method[0], method[1]) < 0) break;
        if (appendArguments(m, signature, in) >= 0 && sd_bus_call_async(
                                                          caller.bus, nullptr, m,
                                                          [](sd_bus_message*, void* userdata, sd_bus_error*) {
                                                              ++*static_cast<int*>(userdata);
                                                              return 0;
                                                          },
                                                          &answered, 0) >= 0)
            ++sent;
        sd_bus_message_unref(m);
    }
    sd_bus_flush(caller.bus);
    if (!loop.loop().runUntil(
            [&] {
                caller.pump();
                return answered == sent;
            },
            velmo::Seconds(10)))
        std::abort();  // a call went unanswered
    loop.loop().runUntilIdle();
    if (auto frame = item->buttonWindowFrame()) {
        const velmo::X11Rect r = space.rectToX11(*frame);
        if (r.x < -32768 - 24 || r.x > 32767 + 24 || r.y < -32768 - 24 || r.y > 32767 + 24 || std::abs(r.width - 24) > 1 ||
            std::abs(r.height - 24) > 1)
            std::abort();
    }
    return 0;
}
