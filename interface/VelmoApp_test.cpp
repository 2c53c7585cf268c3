// The velmo executable on a private X server: with onboarding done it shows the blue cursor on
// each monitor and lets clicks through; the X server going away mid-run ends it with one line
// and exit status 1, through the same stop path as SIGTERM, leaving its files whole.
#include <gtest/gtest.h>
// After GoogleTest: Xlib defines None and Bool as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/shape.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/WholeFile.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"
#include "testing/PulseAudioServer.h"
#include "testing/RunningProgram.h"
#include "testing/X11TestDesktop.h"
#include "testing/X11WindowInspection.h"
#include "testing/XvfbServer.h"

namespace {

using velmo::test::bundleIdentifierOf;
using velmo::test::factsOf;
using velmo::test::nextEvent;
using velmo::test::pixelOf;
using velmo::test::rootChildren;
using velmo::test::shapeContains;
using velmo::test::shapeOf;
using velmo::test::WindowFacts;

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kBlue = 0xff3380ffu;  // #3380FF, opaque

// velmo running with these environment additions, its standard output and error read as they come.
struct VelmoProcess : velmo::test::RunningProgram {
    explicit VelmoProcess(const velmo::test::ExecPlan::EnvironmentChanges& env)
        : RunningProgram(VELMO_EXECUTABLE, {"velmo"}, env) {}
};

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string onboardedDefaults() {
    return velmo::PropertyList::toXML(
        velmo::PlistValue::Dictionary{{"hasCompletedOnboarding", true}, {"hasScreenContentPermission", true}});
}

// ---- what the X server shows of velmo ----

// velmo's viewable top-level windows, bottom first: those that carry its bundle identifier.
std::vector<Window> velmoWindows(Display* d) {
    std::vector<Window> out;
    for (Window w : rootChildren(d))
        if (factsOf(d, w).viewable && bundleIdentifierOf(d, w) == "com.korvale.velmo") out.push_back(w);
    return out;
}

// Checks `condition` one round trip at a time until it holds or `seconds` pass; how long it took.
std::optional<double> secondsUntil(const std::function<bool()>& condition, double seconds = 30) {
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::duration<double>(seconds))
        if (condition()) return std::chrono::duration<double>(Clock::now() - start).count();
    return std::nullopt;
}

const std::vector<velmo::test::X11TestDesktop::Monitor> kMonitors{{"left", 0, 0, 1920, 1080}, {"right", 1920, 0, 1920, 1080}};

TEST(VelmoApp, OnboardedItShowsTheCursorBesideThePointerOnEachMonitorAndLetsClicksThrough) {
    velmo::test::X11TestDesktop x("3840x1080x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    ASSERT_TRUE(x.setMonitors(kMonitors));
    Display* d = x.connection();
    const Window beneath = x.createWindow(1920, 0, 1920, 1080, 0x808080);
    XSelectInput(d, beneath, ButtonPressMask);
    x.movePointer(1920 + 200, 300);
    velmo::test::PulseAudioServer pulse("velmo_overlay_sink");
    ASSERT_TRUE(pulse.isRunning()) << pulse.failure();
    velmo::test::TestDirectory config;
    config.write("com.korvale.velmo/defaults.plist", onboardedDefaults());

    VelmoProcess velmo({{"DISPLAY", x.displayName()},
                        {"XDG_CONFIG_HOME", config.path()},
                        {"XDG_DATA_HOME", config / "data"},
                        {"PULSE_SERVER", pulse.serverAddress()},
                        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}});
    ASSERT_TRUE(velmo.started());
    ASSERT_TRUE(velmo.waitForLineStarting("🔑 Velmo start — ")) << velmo.output();
    // The overlay shows at launch only with every permission; the microphone is the sound server.
    ASSERT_EQ(velmo.lineStarting("🔑 Velmo start — "),
              "🔑 Velmo start — accessibility: true, screen: true, mic: true, screenContent: true, onboarded: true");

    // One window per monitor, at its geometry: 32-bit, override-redirect, no input region.
    std::vector<Window> overlays;
    ASSERT_TRUE(velmo.waitFor([&] {
        overlays = velmoWindows(d);
        return overlays.size() == 2;
    })) << velmo.output();
    std::sort(overlays.begin(), overlays.end(), [&](Window a, Window b) { return factsOf(d, a).x < factsOf(d, b).x; });
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const WindowFacts f = factsOf(d, overlays[i]);
        EXPECT_TRUE(f.overrideRedirect);
        EXPECT_EQ(f.depth, 32);
        EXPECT_EQ(f.x, kMonitors[i].x);
        EXPECT_EQ(f.y, 0);
        EXPECT_EQ(f.width, 1920);
        EXPECT_EQ(f.height, 1080);
        EXPECT_TRUE(shapeOf(d, overlays[i], ShapeInput).empty());
    }
    const Window left = overlays[0], right = overlays[1];

    // The cursor beside the pointer, in the monitor's own coordinates, on that monitor only.
    ASSERT_TRUE(velmo.waitFor([&] { return pixelOf(d, right, 235, 325) == kBlue; })) << velmo.output();
    EXPECT_NE(pixelOf(d, left, 235, 325), kBlue);
    // Warps across and back; the real-time bound is generous (the half second is checked on the
    // virtual clock), the time taken is printed.
    x.movePointer(300, 400);
    auto across = secondsUntil([&] { return pixelOf(d, left, 335, 425) == kBlue; });
    ASSERT_TRUE(across) << velmo.output();
    x.movePointer(1920 + 700, 800);
    auto back = secondsUntil([&] { return pixelOf(d, right, 735, 825) == kBlue; });
    ASSERT_TRUE(back) << velmo.output();
    std::printf("the glyph followed a warp to the other monitor in %.3f s and back in %.3f s\n", *across, *back);
    EXPECT_TRUE(secondsUntil([&] { return pixelOf(d, left, 335, 425) != kBlue; }));

    // A click on the blue pixels reaches the window beneath. velmo is stopped meanwhile, so the
    // glyph stays drawn where the pointer now is.
    velmo.pause();
    x.movePointer(1920 + 735, 825);
    EXPECT_EQ(pixelOf(d, right, 735, 825), kBlue);
    const auto bounding = shapeOf(d, right, ShapeBounding);
    EXPECT_TRUE(bounding.empty() || shapeContains(bounding, 735, 825));  // nothing shaped out there
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    XEvent event{};
    EXPECT_TRUE(nextEvent(d, beneath, ButtonPressMask, event));
    EXPECT_EQ(event.xbutton.x, 735);
    EXPECT_EQ(event.xbutton.y, 825);
    velmo.resume();

    velmo.signal(SIGTERM);
    const int status = velmo.waitForExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << velmo.output();
    EXPECT_TRUE(secondsUntil([&] { return velmoWindows(d).empty(); }));
}

// The entries of /proc/<pid>/<folder> whose link names a socket (all of them for "task").
int countEntries(pid_t pid, const char* folder, bool socketsOnly) {
    int n = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/" + folder, error)) {
        if (!socketsOnly) {
            ++n;
            continue;
        }
        std::error_code linkError;
        const std::string target = std::filesystem::read_symlink(entry.path(), linkError).string();
        if (!linkError && target.rfind("socket:", 0) == 0) ++n;
    }
    return n;
}

// The X server's sockets grow by one for each client it accepts, so what velmo adds to them
// is the number of connections velmo holds.
TEST(VelmoApp, AtRestWithTheOverlayUpItHoldsOneXConnectionForTheMainThreadAndOneForCapture) {
    velmo::test::X11TestDesktop x("3840x1080x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    ASSERT_TRUE(x.setMonitors(kMonitors));
    Display* d = x.connection();
    velmo::test::PulseAudioServer pulse("velmo_rest_sink");
    ASSERT_TRUE(pulse.isRunning()) << pulse.failure();
    velmo::test::TestDirectory config;
    config.write("com.korvale.velmo/defaults.plist", onboardedDefaults());
    XSync(d, False);
    const int before = countEntries(x.serverPid(), "fd", true);

    VelmoProcess velmo({{"DISPLAY", x.displayName()},
                        {"XDG_CONFIG_HOME", config.path()},
                        {"XDG_DATA_HOME", config / "data"},
                        {"PULSE_SERVER", pulse.serverAddress()},
                        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}});
    ASSERT_TRUE(velmo.started());
    ASSERT_TRUE(velmo.waitFor([&] { return velmoWindows(d).size() == 2; })) << velmo.output();
    // At rest: the overlays drawn, nothing asked of it for a while.
    velmo.waitFor([] { return false; }, velmo::Seconds(1.5));
    const int connections = countEntries(x.serverPid(), "fd", true) - before;
    const int threads = countEntries(velmo.pid(), "task", false);
    std::printf("velmo at rest with the overlay up: %d X connections, %d threads\n", connections, threads);
    EXPECT_GE(connections, 1);
    EXPECT_LE(connections, 2);

    velmo.signal(SIGTERM);
    const int status = velmo.waitForExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << velmo.output();
    // Its connections are gone with it: the count measured only velmo's.
    EXPECT_TRUE(secondsUntil([&] { return countEntries(x.serverPid(), "fd", true) == before; }, 10));
}

struct Situation {
    const char* name;
    bool onboarded;  // with every permission granted: the cursor overlay shows and follows the mouse
};

TEST(VelmoApp, KillingTheXServerEndsVelmoWithExitStatusOneAndOneLineLeavingItsFilesWhole) {
    for (const Situation& situation : {Situation{"first launch, panel open", false}, Situation{"onboarded, overlay showing", true}}) {
        SCOPED_TRACE(situation.name);
        velmo::test::XvfbServer x("1280x800x24");
        ASSERT_TRUE(x.isRunning()) << x.failure();
        velmo::test::PulseAudioServer pulse("velmo_gone_sink");
        ASSERT_TRUE(pulse.isRunning()) << pulse.failure();
        velmo::test::TestDirectory config;
        const std::string defaultsPath = config / "com.korvale.velmo/defaults.plist";
        if (situation.onboarded) config.write("com.korvale.velmo/defaults.plist", onboardedDefaults());
        const std::string awaited =
            situation.onboarded ? "🔑 Velmo start — accessibility: true, screen: true, mic: true" : "🎯 Velmo: Registered as login item";
        VelmoProcess velmo({{"DISPLAY", x.display()},
                            {"XDG_CONFIG_HOME", config.path()},
                            {"XDG_DATA_HOME", config / "data"},
                            {"PULSE_SERVER", pulse.serverAddress()},
                            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}});
        ASSERT_TRUE(velmo.started());
        ASSERT_TRUE(velmo.waitForLineStarting(awaited)) << velmo.output();
        // The server goes while velmo draws: its panel or its overlay is up.
        Display* d = XOpenDisplay(x.display().c_str());
        ASSERT_TRUE(d);
        const bool shown = velmo.waitFor([&] { return !velmoWindows(d).empty(); });
        XCloseDisplay(d);  // before the server goes, or Xlib would end this test
        ASSERT_TRUE(shown) << velmo.output();
        x.kill();

        const int status = velmo.waitForExit();
        const std::string& output = velmo.output();
        ASSERT_NE(status, -1) << output;
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << output;
        EXPECT_EQ(WEXITSTATUS(status), 1) << output;
        const std::string line = "⚠️ Velmo: The X server of display " + x.display() + " went away; Velmo quits\n";
        EXPECT_EQ(occurrences(output, line), 1u) << output;
        EXPECT_EQ(output.find("XIO"), std::string::npos) << output;  // not Xlib's own ending
        // The line is the last thing velmo says (a sanitizer's summary may follow it).
        const std::size_t at = output.rfind(line);
        ASSERT_NE(at, std::string::npos) << output;
        EXPECT_EQ(output.find("Velmo", at + line.size()), std::string::npos) << output;

        // Whatever was written is whole: the defaults parse, the autostart entry is complete, and
        // no temporary file is left beside them.
        if (std::filesystem::exists(defaultsPath)) {
            auto defaults = velmo::PropertyList::parse(velmo::readWholeFile(defaultsPath).value_or(""));
            ASSERT_NE(defaults.asDictionary(), nullptr);
            if (situation.onboarded) {
                EXPECT_TRUE(defaults.asDictionary()->count("hasCompletedOnboarding"));
            }
        }
        const std::string entry = velmo::readWholeFile(config / "autostart/velmo.desktop").value_or("");
        ASSERT_FALSE(entry.empty());
        EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u) << entry;
        EXPECT_EQ(entry.back(), '\n') << entry;
        for (const char* folder : {"com.korvale.velmo", "autostart"}) {
            if (!std::filesystem::exists(config / folder)) continue;
            for (const auto& file : std::filesystem::directory_iterator(config / folder)) {
                const std::string name = file.path().filename();
                EXPECT_TRUE(name == "defaults.plist" || name == "velmo.desktop") << name;
            }
        }
    }
}

}  // namespace
