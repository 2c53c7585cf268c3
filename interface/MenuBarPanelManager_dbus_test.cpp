// The StatusNotifierItem on a private session bus, with a watcher written here.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <systemd/sd-bus.h>
#include <unistd.h>
// After GoogleTest: Xlib defines None and Bool as macros.
#include <X11/Xlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "companion/CompanionTestEnvironment.h"
#include "interface/MenuBarPanelManager.h"
#include "platform/desktop/StatusNotifierItem.h"
#include "platform/desktop/X11StatusBarDesktop.h"
#include "testing/EnvironmentVariable.h"
#include "testing/XvfbServer.h"
#include "testing/PrivateSessionBus.h"
#include "testing/SimulatedStatusBarDesktop.h"

using namespace velmo;
using velmo::test::CompanionTestEnvironment;
using velmo::test::PrivateSessionBus;

namespace {

sd_bus* connect(const std::string& address) {
    sd_bus* bus = nullptr;
    sd_bus_new(&bus);
    sd_bus_set_address(bus, address.c_str());
    sd_bus_set_bus_client(bus, 1);
    if (sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

// Owns org.kde.StatusNotifierWatcher and records each registration.
class TestWatcher {
public:
    explicit TestWatcher(const std::string& address)
        : bus_(connect(address)) {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", &TestWatcher::onRegister, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        sd_bus_add_object_vtable(bus_, &slot_, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher", table, this);
        sd_bus_request_name(bus_, "org.kde.StatusNotifierWatcher", 0);
    }
    ~TestWatcher() {
        sd_bus_slot_unref(slot_);
        sd_bus_flush_close_unref(bus_);
    }
    void pump() {
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_flush(bus_);
    }
    sd_bus* bus() const { return bus_; }
    std::vector<std::string> registered;

private:
    static int onRegister(sd_bus_message* m, void* userdata, sd_bus_error*) {
        const char* service = nullptr;
        sd_bus_message_read(m, "s", &service);
        auto* self = static_cast<TestWatcher*>(userdata);
        self->registered.push_back(service ? service : "");
        return sd_bus_reply_method_return(m, "");
    }
    sd_bus* bus_;
    sd_bus_slot* slot_ = nullptr;
};

class NotifierDesktop : public velmo::test::SimulatedStatusBarDesktop {
public:
    std::shared_ptr<StatusItem> makeStatusItem() override { return notifierItem; }
    std::shared_ptr<StatusItem> notifierItem;
};

}  // namespace

TEST(StatusNotifierItem, RegistersServesItsIconOpensThePanelOnActivateAndRegistersAgainWithANewWatcher) {
    CompanionTestEnvironment env;
    PrivateSessionBus bus;
    ASSERT_FALSE(bus.address().empty());
    auto watcher = std::make_unique<TestWatcher>(bus.address());
    auto desktop = std::make_shared<NotifierDesktop>();
    // Root pixels of an 800-pixel-high primary screen, as the X11 desktop converts them.
    desktop->notifierItem = makeStatusNotifierItem({bus.address(), [](int x, int y) { return Point{x + 0.5, 800 - y - 0.5}; }, {}});
    ASSERT_TRUE(desktop->notifierItem);
    StatusBarDesktop::install(desktop);
    auto manager = MenuBarPanelManager::create(env.makeCompanion());
    ASSERT_TRUE(env.loop().runUntil([&] {
        watcher->pump();
        return watcher->registered.size() == 1;
    }));
    const std::string service = watcher->registered[0];
    EXPECT_EQ(service.rfind("org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-", 0), 0u) << service;

    // The icon: one 18 x 18 pixmap, white where the template triangle covers, clear elsewhere.
    struct Reply {
        sd_bus_message* message = nullptr;
        bool done = false;
    } pixmap;
    sd_bus_call_method_async(
        watcher->bus(), nullptr, service.c_str(), "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
        [](sd_bus_message* m, void* userdata, sd_bus_error*) {
            auto* r = static_cast<Reply*>(userdata);
            r->message = sd_bus_message_ref(m);
            r->done = true;
            return 0;
        },
        &pixmap, "ss", "org.kde.StatusNotifierItem", "IconPixmap");
    ASSERT_TRUE(env.loop().runUntil([&] {
        watcher->pump();
        return pixmap.done;
    }));
    ASSERT_FALSE(sd_bus_message_is_method_error(pixmap.message, nullptr));
    int width = 0, height = 0;
    const void* bytes = nullptr;
    size_t size = 0;
    ASSERT_GE(sd_bus_message_enter_container(pixmap.message, 'v', "a(iiay)"), 0);
    ASSERT_GE(sd_bus_message_enter_container(pixmap.message, 'a', "(iiay)"), 0);
    ASSERT_GE(sd_bus_message_enter_container(pixmap.message, 'r', "iiay"), 0);
    ASSERT_GE(sd_bus_message_read(pixmap.message, "ii", &width, &height), 0);
    ASSERT_GE(sd_bus_message_read_array(pixmap.message, 'y', &bytes, &size), 0);
    EXPECT_EQ(width, 18);
    EXPECT_EQ(height, 18);
    ASSERT_EQ(size, 18u * 18 * 4);
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    auto argbAt = [&](int x, int y) {
        const std::uint8_t* q = p + (std::size_t(y) * 18 + x) * 4;
        return (std::uint32_t(q[0]) << 24) | (q[1] << 16) | (q[2] << 8) | q[3];
    };
    EXPECT_EQ(argbAt(9, 9), 0xFFFFFFFFu);
    EXPECT_EQ(argbAt(16, 2), 0u);
    EXPECT_EQ(argbAt(1, 16), 0u);
    EXPECT_EQ(statusNotifierPixmapBytes(MenuBarPanelManager::makeMenuBarIcon(), 0xFFFFFF), std::vector<std::uint8_t>(p, p + size));
    sd_bus_message_unref(pixmap.message);

    // Activate at root (1000, 12): the panel hangs under a 24-point square around that point.
    sd_bus_call_method_async(watcher->bus(), nullptr, service.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                             nullptr, nullptr, "ii", 1000, 12);
    ASSERT_TRUE(env.loop().runUntil([&] {
        watcher->pump();
        return manager->isPanelVisible();
    }));
    // The point is (1000.5, 787.5); the square's bottom is 775.5.
    EXPECT_EQ(manager->panel()->frame(), (Rect{1000.5 - 160, 775.5 - 120 - 4, 320, 120}));
    sd_bus_call_method_async(watcher->bus(), nullptr, service.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem",
                             "SecondaryActivate", nullptr, nullptr, "ii", 1000, 12);
    ASSERT_TRUE(env.loop().runUntil([&] {
        watcher->pump();
        return !manager->isPanelVisible();
    }));

    // The watcher restarts: the item registers with the new one.
    watcher.reset();
    watcher = std::make_unique<TestWatcher>(bus.address());
    ASSERT_TRUE(env.loop().runUntil([&] {
        watcher->pump();
        return watcher->registered.size() == 1;
    }));
    EXPECT_EQ(watcher->registered[0], service);
    manager.reset();
    desktop->notifierItem.reset();
    StatusBarDesktop::install(nullptr);
}

TEST(StatusNotifierItem, WithoutAWatcherThereIsNoItem) {
    PrivateSessionBus bus;
    ASSERT_FALSE(bus.address().empty());
    EXPECT_FALSE(makeStatusNotifierItem({bus.address(), {}, {}}));
    EXPECT_FALSE(makeStatusNotifierItem({"unix:path=/nonexistent/bus", {}, {}}));
}

TEST(StatusNotifierItem, TheX11DesktopOffersTheNotifierItemBeforeTheTrayWhenAWatcherRuns) {
    CompanionTestEnvironment env;
    PrivateSessionBus bus;
    ASSERT_FALSE(bus.address().empty());
    velmo::test::EnvironmentVariable address("DBUS_SESSION_BUS_ADDRESS", bus.address());
    velmo::test::XvfbServer x("640x480x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    // A tray manager too: it is not used.
    Display* trayConnection = XOpenDisplay(x.display().c_str());
    ASSERT_TRUE(trayConnection);
    Window bar = XCreateSimpleWindow(trayConnection, DefaultRootWindow(trayConnection), 0, 0, 100, 24, 0, 0, 0);
    XSetSelectionOwner(trayConnection, XInternAtom(trayConnection, "_NET_SYSTEM_TRAY_S0", False), bar, CurrentTime);
    XSync(trayConnection, False);
    TestWatcher watcher(bus.address());
    auto desktop = X11StatusBarDesktop::open(x.display());
    ASSERT_TRUE(desktop);
    auto item = desktop->makeStatusItem();
    ASSERT_TRUE(item);
    EXPECT_EQ(X11StatusBarDesktop::windowOf(*item), 0u);  // not a tray icon
    EXPECT_TRUE(env.loop().runUntil([&] {
        watcher.pump();
        return watcher.registered.size() == 1;
    }));
    item.reset();
    desktop.reset();
    XCloseDisplay(trayConnection);
}

namespace {

void callActivate(sd_bus* bus, const std::string& service, const char* method, int x, int y, int* replies) {
    sd_bus_call_method_async(
        bus, nullptr, service.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", method,
        [](sd_bus_message*, void* userdata, sd_bus_error*) {
            ++*static_cast<int*>(userdata);
            return 0;
        },
        replies, "ii", x, y);
}

}  // namespace

TEST(StatusNotifierItem, ActivationPointsAtTheEndsOfTheIntRangeKeepThePanelInsideTheScreen) {
    CompanionTestEnvironment env;
    PrivateSessionBus bus;
    ASSERT_FALSE(bus.address().empty());
    velmo::test::EnvironmentVariable address("DBUS_SESSION_BUS_ADDRESS", bus.address());
    velmo::test::XvfbServer x("640x480x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    Display* d = XOpenDisplay(x.display().c_str());
    ASSERT_TRUE(d);
    TestWatcher watcher(bus.address());
    auto desktop = X11StatusBarDesktop::open(x.display());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto manager = MenuBarPanelManager::create(env.makeCompanion());
    ASSERT_TRUE(env.loop().runUntil([&] {
        watcher.pump();
        return watcher.registered.size() == 1;
    }));
    const std::string service = watcher.registered[0];
    struct Case {
        int x, y;
        int panelMidX;  // root pixels of the panel's centre column
    };
    const Case cases[] = {{INT32_MIN, INT32_MIN, 160}, {INT32_MAX, INT32_MAX, 480}, {INT32_MIN, INT32_MAX, 160}, {-70000, 70000, 160}};
    for (const Case& c : cases) {
        int replies = 0;
        callActivate(watcher.bus(), service, "Activate", c.x, c.y, &replies);
        ASSERT_TRUE(env.loop().runUntil([&] {
            watcher.pump();
            return replies == 1 && manager->isPanelVisible();
        })) << c.x
            << "," << c.y;
        const Window panel = X11StatusBarDesktop::windowOf(*manager->panel());
        XWindowAttributes a{};
        ASSERT_TRUE(XGetWindowAttributes(d, panel, &a));
        EXPECT_NEAR(a.x + a.width / 2, c.panelMidX, 1) << c.x << "," << c.y;
        EXPECT_GE(a.x, 0) << c.x << "," << c.y;
        EXPECT_LE(a.x + a.width, 640) << c.x << "," << c.y;
        EXPECT_GE(a.y, 0) << c.x << "," << c.y;
        EXPECT_LE(a.y + a.height, 480) << c.x << "," << c.y;
        callActivate(watcher.bus(), service, "SecondaryActivate", c.x, c.y, &replies);
        ASSERT_TRUE(env.loop().runUntil([&] {
            watcher.pump();
            return replies == 2 && !manager->isPanelVisible();
        }));
    }
    manager.reset();
    StatusBarDesktop::install(nullptr);
    desktop.reset();
    XCloseDisplay(d);
}

TEST(StatusNotifierItem, ActivateCallsQueuedTogetherAreAnsweredEachAndClickOnce) {
    CompanionTestEnvironment env;
    PrivateSessionBus bus;
    ASSERT_FALSE(bus.address().empty());
    TestWatcher watcher(bus.address());
    auto item = makeStatusNotifierItem({bus.address(), [](int x, int y) { return Point{x + 0.5, 800 - y - 0.5}; }, {}});
    ASSERT_TRUE(item);
    int clicks = 0;
    item->setAction([&] { ++clicks; });
    ASSERT_TRUE(env.loop().runUntil([&] {
        watcher.pump();
        return watcher.registered.size() == 1;
    }));
    const std::string service = watcher.registered[0];
    constexpr int calls = 200;
    int replies = 0;
    for (int i = 0; i < calls; ++i) callActivate(watcher.bus(), service, "Activate", 100 + i, 12, &replies);
    sd_bus_flush(watcher.bus());
    // The bus daemon, another process, forwards the calls at its own pace; on a loaded machine
    // it can still be passing them on when the item starts reading. Give it the time to queue
    // them all, so that what is measured is the item's coalescing, not the daemon's speed.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(env.loop().runUntil([&] {
        watcher.pump();
        return replies == calls;
    }));
    env.loop().runUntilIdle();
    EXPECT_GE(clicks, 1);
    EXPECT_LE(clicks, calls / 10);
    // The frame follows the last call.
    EXPECT_EQ(item->buttonWindowFrame(), (Rect{100 + calls - 1 + 0.5 - 12, 800 - 12 - 0.5 - 12, 24, 24}));
}
