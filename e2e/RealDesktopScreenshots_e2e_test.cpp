// What the model is sent on a real desktop: openbox with a wallpaper feh keeps on the root
// window's pixmap and an xterm, with and without picom. The application runs with its real X11
// overlay up (onboarding done), the chord is held with XTest over a spoken phrase, and the two
// screenshots the messages service receives are compared with grabs of the same monitors once
// the application's windows are gone.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "RideZav/RideZavTesting.h"
#include "interface/CompanionAppDelegate.h"
#include "interface/VelmoComposition.h"
#include "interface/OverlayWindow.h"
#include "platform/desktop/LoginItem.h"
#include "platform/desktop/SimulatedLoginItem.h"
#include "platform/desktop/Permissions.h"
#include "platform/desktop/X11KeyEventTap.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/desktop/X11StatusBarDesktop.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/OriginOverride.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/MediaAuthorization.h"
#include "platform/media/SimulatedMediaAuthorization.h"
#include "platform/media/SimulatedAudioEngine.h"
#include "platform/media/SimulatedAudioPlayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/JpegTestImage.h"
#include "e2e/HostedServicesTesting.h"
#include "testing/LoopbackHttpServer.h"
#include "testing/RunningProgram.h"
#include "testing/ScreenComparison.h"
#include "testing/SpokenPhrase.h"
#include "testing/X11TestDesktop.h"
#include "testing/XTestKeyboard.h"
#include "voice/AppleSpeechTranscriptionProvider.h"
#include "voice/MirrinDictationManager.h"
// After GoogleTest and the project's headers: Xlib defines None and Bool as macros.
#include <X11/Xatom.h>
#include <X11/Xutil.h>

using namespace std::chrono_literals;
using namespace velmo;
using velmo::test::LoopbackAnswer;
using velmo::test::ScreenPixels;
using json = nlohmann::json;

namespace {

constexpr int kMonitorWidth = 1280, kMonitorHeight = 800;  // sent at their own size
constexpr const char* kBundleIdentifier = "com.korvale.velmo";

std::vector<std::uint8_t> base64Decode(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        int digit = c >= 'A' && c <= 'Z'   ? c - 'A'
                    : c >= 'a' && c <= 'z' ? c - 'a' + 26
                    : c >= '0' && c <= '9' ? c - '0' + 52
                    : c == '+'             ? 62
                    : c == '/'             ? 63
                                           : -1;
        if (digit < 0) continue;
        value = (value << 6) | unsigned(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(std::uint8_t(value >> bits));
        }
    }
    return bytes;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::vector<unsigned long> cardinals(Display* d, Window w, const char* name, Atom type) {
    Atom actual = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> values;
    if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 64, False, type, &actual, &format, &items, &after, &data) == Success &&
        data && format == 32) {
        const unsigned long* longs = reinterpret_cast<const unsigned long*>(data);
        values.assign(longs, longs + items);
    }
    if (data) XFree(data);
    return values;
}

// The application's viewable top-level windows, by the property they carry.
std::vector<Window> ownWindows(Display* d) {
    std::vector<Window> own;
    Window rootReturn = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &rootReturn, &parent, &children, &count)) return own;
    const Atom property = XInternAtom(d, X11ScreenLayer::bundleIdentifierProperty(), False);
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(d, children[i], &a) || a.map_state != IsViewable) continue;
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d, children[i], property, 0, 64, False, AnyPropertyType, &type, &format, &items, &after, &data) == Success &&
            data) {
            if (std::string(reinterpret_cast<char*>(data), items) == kBundleIdentifier) own.push_back(children[i]);
        }
        if (data) XFree(data);
    }
    if (children) XFree(children);
    return own;
}

// The screen once it stops changing (a compositing manager paints a little later).
ScreenPixels settledGrab(Display* d, int x) {
    ScreenPixels last = velmo::test::grabRoot(d, x, 0, kMonitorWidth, kMonitorHeight);
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(100ms);
        ScreenPixels now = velmo::test::grabRoot(d, x, 0, kMonitorWidth, kMonitorHeight);
        if (now.bgrx == last.bgrx) return now;
        last = std::move(now);
    }
    return last;
}

void pushToTalkOnOpenbox(bool withPicom) {
    const std::string variant = withPicom ? "openbox_picom" : "openbox";
    std::string why;
    auto phrase = velmo::test::speakPhrase("hello world. what is on my screen?", &why);
    ASSERT_TRUE(phrase.has_value()) << why;
    velmo::test::X11TestDesktop x(std::to_string(2 * kMonitorWidth) + "x" + std::to_string(kMonitorHeight) + "x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    ASSERT_TRUE(x.setMonitors({{"LEFT", 0, 0, kMonitorWidth, kMonitorHeight}, {"RIGHT", kMonitorWidth, 0, kMonitorWidth, kMonitorHeight}}));
    setenv("DISPLAY", x.displayName().c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/velmo-test-bus", 1);
    Display* d = x.connection();
    const velmo::test::ExecPlan::EnvironmentChanges display{{"DISPLAY", x.displayName()}};

    // The desktop: the window manager, a tiled wallpaper on the root's pixmap, a terminal.
    velmo::test::TestDirectory files;
    const std::string wallpaper = files / "wallpaper.png";
    ASSERT_TRUE(velmo::test::writePng(wallpaper, velmo::test::testPattern(700, 500)));
    velmo::test::RunningProgram openbox("/usr/bin/openbox", {"openbox"}, display);
    ASSERT_TRUE(openbox.started());
    const Window root = DefaultRootWindow(d);
    ASSERT_TRUE(waitUntil([&] { return !cardinals(d, root, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW).empty(); }, 10s)) << openbox.output();
    velmo::test::RunningProgram feh("/usr/bin/feh", {"feh", "--no-fehbg", "--bg-tile", wallpaper}, display);
    ASSERT_EQ(feh.waitForExit(Seconds(20)), 0) << feh.output();
    ASSERT_FALSE(cardinals(d, root, "_XROOTPMAP_ID", XA_PIXMAP).empty());
    velmo::test::RunningProgram xterm("/usr/bin/xterm", {"xterm", "-geometry", "90x30+200+150", "-e", "sleep 600"}, display);
    ASSERT_TRUE(xterm.started());
    ASSERT_TRUE(waitUntil([&] { return !cardinals(d, root, "_NET_CLIENT_LIST", XA_WINDOW).empty(); }, 10s)) << xterm.output();
    std::optional<velmo::test::RunningProgram> picom;
    if (withPicom) {
        picom.emplace("/usr/bin/picom", std::vector<std::string>{"picom", "--backend", "xrender", "--no-fading-openclose"}, display);
        ASSERT_TRUE(picom->started());
        ASSERT_TRUE(waitUntil([&] { return XGetSelectionOwner(d, XInternAtom(d, "_NET_WM_CM_S0", False)) != 0; }, 10s)) << picom->output();
    }
    x.movePointer(900, 600);  // on the left monitor, beside the terminal

    ScreenLayerScope screens(std::make_shared<X11ScreenLayer>());  // closed before the server goes
    // The real key tap and permission checks, as main installs them.
    DesktopPermissions::install(std::make_shared<X11DesktopPermissions>());
    KeyEventTapFactory::install(std::make_shared<X11KeyEventTapFactory>());
    VirtualMainLoopScope loopScope;
    auto& loop = loopScope.loop();
    UserDefaults::Scope defaults;
    UserDefaults::standard().setBool("hasScreenContentPermission", true);
    UserDefaults::standard().setBool("hasCompletedOnboarding", true);
    auto authorization = std::make_shared<SimulatedMediaAuthorization>();
    authorization->microphoneStatus = MediaAuthorizationStatus::authorized;
    MediaAuthorization::install(authorization);
    LoginItemService::install(std::make_shared<SimulatedLoginItem>());
    auto players = std::make_shared<SimulatedAudioPlayerFactory>();
    AudioPlayerFactory::install(players);
    ridezav::RideZavEventRecorder events;

    velmo::test::TestDirectory bundleDir;
    bundleDir.write("Velmo.app/Contents/Info.plist", std::string(R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
        <key>CFBundleIdentifier</key><string>)") + kBundleIdentifier +
                                                         R"(</string>
        <key>CFBundleShortVersionString</key><string>1.0.0</string>
        <key>AnthropicAPIKey</key><string>sk-e2e</string>
        <key>ElevenLabsVoiceID</key><string>voice-e2e</string></dict></plist>)");
    Bundle::Scope bundle(bundleDir / "Velmo.app");
    velmo::test::ScriptedMessagesAndSpeech services("a terminal");
    auto& messages = services.messages;

    auto desktop = X11StatusBarDesktop::open();
    ASSERT_TRUE(desktop && desktop->hasArgbVisual());
    StatusBarDesktop::install(desktop);
    OverlayWindowLayer::install(desktop);
    auto engine = std::make_shared<SimulatedAudioEngine>(AudioFormat::float32Planar(phrase->sampleRate, 1));
    MirrinDictationManager::Dependencies voice;
    voice.transcriptionProvider = std::make_unique<AppleSpeechTranscriptionProvider>();
    voice.audioEngine = engine;
    voice.authorization = authorization;
    auto dictation = MirrinDictationManager::create(std::move(voice));
    {
        auto deps =
            makeVelmoDelegateDependencies(VelmoConfiguration::read(), dictation, desktop, std::make_shared<OverlayWindowManager>(desktop));
        CompanionAppDelegate delegate(std::move(deps));
        delegate.applicationDidFinishLaunching();
        auto companion = delegate.companionManager();
        // The overlay is up on both monitors before the chord.
        ASSERT_TRUE(loop.runUntil([&] { return ownWindows(d).size() >= 2; }, 20s)) << ownWindows(d).size() << " own windows";
        loop.runUntil([] { return false; }, 0.5s);

        velmo::test::XTestKeyboard keyboard(x.displayName());
        ASSERT_TRUE(keyboard.isOpen());
        ASSERT_TRUE(keyboard.press("Control_L"));
        ASSERT_TRUE(keyboard.press("Alt_L"));
        ASSERT_TRUE(loop.runUntil(
            [&] { return dictation->isRecordingFromKeyboardShortcut().get() && !dictation->isPreparingToRecord().get(); }, 20s));
        engine->deliver(phrase->floatBuffers());
        ASSERT_TRUE(engine->waitUntilDelivered(20));
        loop.runUntilIdle();
        ASSERT_TRUE(keyboard.release("Alt_L"));
        ASSERT_TRUE(keyboard.release("Control_L"));
        ASSERT_TRUE(loop.runUntil([&] { return messages.requestCountWith("POST", "/v1/messages") > 0; }, 30s))
            << "no request; transcript: " << companion->lastTranscript()->value_or("(none)");

        const auto posts = messages.requestsWith("POST", "/v1/messages");
        const json content = json::parse(posts.at(0).body)["messages"].back()["content"];
        std::vector<velmo::test::DecodedJpeg> sent;
        for (const auto& part : content) {
            if (part["type"] != "image") continue;
            auto decoded = velmo::test::decodeJpeg(base64Decode(part["source"]["data"].get<std::string>()));
            ASSERT_TRUE(decoded);
            sent.push_back(std::move(*decoded));
        }
        ASSERT_EQ(sent.size(), 2u);

        // The same monitors without the application's windows: the cursor's one is sent first.
        const std::vector<Window> own = ownWindows(d);
        ASSERT_FALSE(own.empty());
        for (Window w : own) XUnmapWindow(d, w);
        XSync(d, False);
        const int origins[2] = {0, kMonitorWidth};
        for (int i = 0; i < 2; ++i) {
            SCOPED_TRACE(variant + " screenshot " + std::to_string(i + 1));
            const auto& jpeg = sent[std::size_t(i)];
            ASSERT_EQ(jpeg.width, kMonitorWidth);
            ASSERT_EQ(jpeg.height, kMonitorHeight);
            ScreenPixels shot;
            shot.width = jpeg.width;
            shot.height = jpeg.height;
            shot.bgrx.resize(shot.stride() * std::size_t(shot.height));
            for (std::size_t p = 0; p < std::size_t(shot.width) * std::size_t(shot.height); ++p) {
                shot.bgrx[p * 4] = jpeg.rgb[p * 3 + 2];
                shot.bgrx[p * 4 + 1] = jpeg.rgb[p * 3 + 1];
                shot.bgrx[p * 4 + 2] = jpeg.rgb[p * 3];
                shot.bgrx[p * 4 + 3] = 0xff;
            }
            const ScreenPixels seen = settledGrab(d, origins[i]);
            const std::string base = std::string(VELMO_TEST_OUTPUT_DIR) + "/real_desktop_" + variant + "_" + std::to_string(i + 1);
            EXPECT_TRUE(velmo::test::writePng(base + "_screenshot.png", shot));
            EXPECT_TRUE(velmo::test::writePng(base + "_grab.png", seen));
            const auto difference = velmo::test::compareScreens(shot, seen);
            EXPECT_LT(difference.mean, 0.05);
            EXPECT_LT(difference.blackOnlyPixels, 16u) << difference.blackOnlyInShot;
        }

        delegate.applicationWillTerminate();
        loop.runUntil([] { return false; }, 0.1s);
    }
    OverlayWindowLayer::install(nullptr);
    StatusBarDesktop::install(nullptr);
    AudioPlayerFactory::install(nullptr);
    LoginItemService::install(nullptr);
    MediaAuthorization::install(nullptr);
    KeyEventTapFactory::install(nullptr);
    DesktopPermissions::install(nullptr);
    if (picom) picom->signal(SIGTERM);
}

}  // namespace

TEST(RealDesktopScreenshots, PushToTalkSendsTheScreenWithoutTheOverlayUnderOpenbox) { pushToTalkOnOpenbox(false); }

TEST(RealDesktopScreenshots, PushToTalkSendsTheScreenWithoutTheOverlayUnderOpenboxAndPicom) { pushToTalkOnOpenbox(true); }
