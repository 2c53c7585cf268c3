
TEST(StatusNotifierItem, TheX11DesktopOffersTheNotifierItemBeforeTheTrayWhenAWatcherRuns) {
    CompanionTestEnvironment env;
    PrivateSessionBus bus;
    ASSERT_FALSE(bus.address().empty());
    velmo::testing::EnvironmentVariable address("DBUS_SESSION_BUS_ADDRESS", bus.address());
    velmo::testing::XvfbServer x("640x480x24");
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
