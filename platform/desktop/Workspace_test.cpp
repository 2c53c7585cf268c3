#include "platform/desktop/Workspace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/foundation/TestDirectory.h"
#include "testing/EnvironmentVariable.h"
#include "testing/PrivateSessionBus.h"

using namespace velmo;
using velmo::test::EnvironmentVariable;
using velmo::test::TestDirectory;

namespace {

const std::string accessibility = "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
const std::string screenCapture = "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";
const std::string microphone = "x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone";

// A program on a private PATH that appends its arguments to a file.
void writeRecorder(const TestDirectory& dir, const std::string& name) {
    const std::string path = dir.write("bin/" + name, "#!/bin/sh\necho \"" + name + " $*\" >> " + dir / "ran" + "\n");
    chmod(path.c_str(), 0755);
}

std::string waitForFile(const std::string& path) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        if (!text.empty() && text.back() == '\n') return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

}  // namespace

TEST(SettingsPages, EachLinkMapsToTheRunningDesktopsOwnPageWhenItsProgramIsThere) {
    TestDirectory dir;
    writeRecorder(dir, "gnome-control-center");
    writeRecorder(dir, "systemsettings");
    EnvironmentVariable path("PATH", dir / "bin");
    using Command = std::optional<std::vector<std::string>>;
    const struct {
        std::string link, desktop;
        Command expected;
    } cases[] = {
        {accessibility, "GNOME", std::vector<std::string>{"gnome-control-center", "universal-access"}},
        {accessibility, "ubuntu:GNOME", std::vector<std::string>{"gnome-control-center", "universal-access"}},
        {accessibility, "KDE", std::vector<std::string>{"systemsettings", "kcm_access"}},
        {screenCapture, "GNOME", std::vector<std::string>{"gnome-control-center", "privacy"}},
        {screenCapture, "KDE", std::nullopt},
        {microphone, "KDE", std::vector<std::string>{"systemsettings", "kcm_pulseaudio"}},
        {accessibility, "XFCE", std::nullopt},
        {accessibility, "", std::nullopt},
        {"x-apple.systempreferences:com.apple.preference.security?Privacy_Camera", "GNOME", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(settingsCommandForLink(c.link, c.desktop), c.expected) << c.link << " on " << c.desktop;

    EnvironmentVariable emptyPath("PATH", dir / "nothing-here");
    EXPECT_EQ(settingsCommandForLink(accessibility, "GNOME"), std::nullopt);
}

TEST(SettingsPages, TheRealWorkspaceStartsThePageDetachedOrSaysInOneLineThatThereIsNone) {
    TestDirectory dir;
    writeRecorder(dir, "gnome-control-center");
    EnvironmentVariable path("PATH", dir / "bin" + ":/usr/bin:/bin");
    Workspace::install(makeXdgWorkspace());
    {
        EnvironmentVariable desktop("XDG_CURRENT_DESKTOP", "GNOME");
        LogCapture log;
        EXPECT_TRUE(Workspace::shared()->openURL(accessibility));
        EXPECT_EQ(waitForFile(dir / "ran"), "gnome-control-center universal-access\n");
        EXPECT_TRUE(log.lines().empty());
        // The intermediate child is reaped at once: this process has no child left.
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    }
    {
        EnvironmentVariable desktop("XDG_CURRENT_DESKTOP", "XFCE");
        LogCapture log;
        EXPECT_FALSE(Workspace::shared()->openURL(screenCapture));
        EXPECT_EQ(log.lines(), std::vector<std::string>{"⚠️ Velmo: This desktop has no settings page to open for " + screenCapture});
    }
}

TEST(SettingsPages, WithoutAFileManagerOnTheBusTheBundlesFolderIsOpened) {
    TestDirectory dir;
    writeRecorder(dir, "xdg-open");
    EnvironmentVariable path("PATH", dir / "bin" + ":/usr/bin:/bin");
    EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir / "no-bus");
    EnvironmentVariable runtime("XDG_RUNTIME_DIR", dir.path());
    Workspace::install(makeXdgWorkspace());
    Workspace::shared()->activateFileViewerSelecting({"/opt/some where/Velmo.app"});
    EXPECT_EQ(waitForFile(dir / "ran"), "xdg-open /opt/some where\n");
}

TEST(SettingsPages, AProgramThatIsNotThereIsNotStarted) {
    TestDirectory dir;
    EnvironmentVariable path("PATH", dir.path());
    EXPECT_FALSE(spawnDetached({"velmo-no-such-program"}));
    EXPECT_FALSE(spawnDetached({}));
}

TEST(SettingsPages, TheBundleIsShownThroughTheFileManagerOnTheSessionBus) {
    velmo::test::PrivateSessionBus bus;
    ASSERT_FALSE(bus.address().empty());
    EnvironmentVariable address("DBUS_SESSION_BUS_ADDRESS", bus.address());
    // A file manager that records what it is asked to show.
    sd_bus* fileManager = nullptr;
    ASSERT_GE(sd_bus_new(&fileManager), 0);
    sd_bus_set_address(fileManager, bus.address().c_str());
    sd_bus_set_bus_client(fileManager, 1);
    ASSERT_GE(sd_bus_start(fileManager), 0);
    struct Shown {
        std::vector<std::string> uris;
        std::string startupId = "unset";
    } shown;
    static const sd_bus_vtable table[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD(
            "ShowItems", "ass", "",
            [](sd_bus_message* m, void* userdata, sd_bus_error*) {
                auto* s = static_cast<Shown*>(userdata);
                char** uris = nullptr;
                const char* startup = nullptr;
                if (sd_bus_message_read_strv(m, &uris) >= 0 && uris) {
                    for (char** u = uris; *u; ++u) {
                        s->uris.push_back(*u);
                        std::free(*u);
                    }
                    std::free(uris);
                }
                if (sd_bus_message_read(m, "s", &startup) >= 0) s->startupId = startup;
                return sd_bus_reply_method_return(m, "");
            },
            SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    sd_bus_slot* slot = nullptr;
    ASSERT_GE(sd_bus_add_object_vtable(fileManager, &slot, "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1", table, &shown),
              0);
    ASSERT_GE(sd_bus_request_name(fileManager, "org.freedesktop.FileManager1", 0), 0);

    TestDirectory dir;
    writeRecorder(dir, "xdg-open");
    EnvironmentVariable path("PATH", dir / "bin" + ":/usr/bin:/bin");
    Workspace::install(makeXdgWorkspace());
    Workspace::shared()->activateFileViewerSelecting({"/opt/some where/Velmo.app"});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (shown.uris.empty() && std::chrono::steady_clock::now() < deadline) {
        while (sd_bus_process(fileManager, nullptr) > 0) {
        }
        sd_bus_wait(fileManager, 100000);
    }
    EXPECT_EQ(shown.uris, std::vector<std::string>{"file:///opt/some%20where/Velmo.app"});
    EXPECT_EQ(shown.startupId, "");
    EXPECT_FALSE(std::ifstream(dir / "ran").good());  // no fallback
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(fileManager);
}
