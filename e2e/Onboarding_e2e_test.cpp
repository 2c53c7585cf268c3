// The interface end to end on a private X server with two monitors and a tray: the application
// runs in a child process (the real main loop, the X11 status item, panel and overlay windows,
// the real chord monitor, screen capture and video player, the loopback messages and speech
// services), and this process watches its log and the screen, presses the chord with XTest and
// ends it with SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "RideZav/RideZavTesting.h"
#include "companion/CompanionTestEnvironment.h"
#include "interface/CompanionAppDelegate.h"
#include "interface/VelmoComposition.h"
#include "interface/CompanionPanelView.h"
#include "interface/MenuBarPanelManager.h"
#include "interface/OverlayWindow.h"
#include "interface/drawing/Painter.h"
#include "platform/desktop/LoginItem.h"
#include "platform/desktop/SimulatedLoginItem.h"
#include "platform/desktop/Permissions.h"
#include "platform/desktop/X11Connection.h"
#include "platform/desktop/X11KeyEventTap.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/desktop/X11StatusBarDesktop.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/Logger.h"
#include "platform/base/OriginOverride.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/GStreamerVideoPlayer.h"
#include "platform/media/MediaAuthorization.h"
#include "platform/media/SimulatedMediaAuthorization.h"
#include "platform/media/SimulatedAudioEngine.h"
#include "platform/media/SimulatedAudioPlayer.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/NotificationCenter.h"
#include "testing/LoopbackHttpServer.h"
#include "testing/SpokenPhrase.h"
#include "testing/X11TestDesktop.h"
#include "testing/X11WindowInspection.h"
#include "testing/XTestKeyboard.h"
#include "voice/AppleSpeechTranscriptionProvider.h"
#include "voice/GlobalPushToTalkShortcutMonitor.h"
#include "voice/MirrinDictationManager.h"
// After GoogleTest and the project's headers: Xlib defines None and Bool as macros.
#include <X11/Xutil.h>
#include <cairo.h>
#include <X11/extensions/XTest.h>

#include "testing/TestTrayManager.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::LoopbackAnswer;
using velmo::test::sseReply;

namespace {

constexpr int kMonitorWidth = 1280, kMonitorHeight = 800;
constexpr int kMouseX = 300, kMouseY = 250;  // root pixels, on the left monitor
constexpr int kDemoX = 900, kDemoY = 200;  // the demonstration's tag, screenshot pixels
constexpr int kAnswerX = 500, kAnswerY = 600;  // the spoken answer's tag
constexpr const char* noSessionBus = "unix:path=/nonexistent/velmo-test-bus";

// The chord monitor the application would make, counting its stops.
class CountingShortcutMonitor : public PushToTalkShortcutMonitoring {
public:
    void start() override { real_.start(); }
    void stop() override {
        ++stops;
        real_.stop();
    }
    Publisher<ShortcutTransition> shortcutTransitions() const override { return real_.shortcutTransitions(); }
    int stops = 0;

private:
    GlobalPushToTalkShortcutMonitor real_;
};

// The child: the application as its entry runs it, with the services on loopback, the
// recogniser fed a spoken phrase and the panel's Start pressed once the panel is up. Logs go
// to `logFd`; it never returns.
[[noreturn]] void runApplication(int logFd, const std::string& bundlePath, const std::string& displayName,
                                 const velmo::test::SpokenPhrase& phrase) {
    dup2(logFd, 1);
    setenv("DISPLAY", displayName.c_str(), 1);
    setenv("PULSE_SERVER", "unix:/nonexistent", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", noSessionBus, 1);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);

    Bundle::Scope bundle(bundlePath);
    UserDefaults::Scope defaults;
    UserDefaults::standard().setBool("hasScreenContentPermission", true);
    auto authorization = std::make_shared<SimulatedMediaAuthorization>();
    authorization->microphoneStatus = MediaAuthorizationStatus::authorized;
    MediaAuthorization::install(authorization);
    LoginItemService::install(std::make_shared<SimulatedLoginItem>());
    auto players = std::make_shared<SimulatedAudioPlayerFactory>();
    players->readFile = [](const std::string& path) -> std::optional<std::string> {
        return access(path.c_str(), R_OK) == 0 ? std::optional<std::string>("music") : std::nullopt;
    };
    AudioPlayerFactory::install(players);
    VideoOutputOptions video;
    video.nullAudioOutput = true;
    // Twice as fast: the demonstration still comes at 40 s of the video, 20 s of the test's.
    video.rate = 2.0;
    VideoPlayerFactory::install(std::make_shared<GStreamerVideoPlayerFactory>(video));
    ridezav::RideZavEventRecorder events;

    velmo::test::LoopbackHttpServer messages, speech;
    OriginOverride::Scope toMessages("api.anthropic.com", messages.origin());
    OriginOverride::Scope toSpeech("api.elevenlabs.io", speech.origin());
    messages.route("HEAD", "/", LoopbackAnswer::text(200, ""));
    messages.route("POST", "/v1/messages", [](const velmo::test::RecordedRequest& r) {
        bool demo = r.body.find("showing off during onboarding") != std::string::npos;
        std::string reply =
            demo ? "ooh, a tidy budget sheet [POINT:" + std::to_string(kDemoX) + "," + std::to_string(kDemoY) + ":budget sheet]"
                 : "it is right here [POINT:" + std::to_string(kAnswerX) + "," + std::to_string(kAnswerY) + ":file menu]";
        return LoopbackAnswer::streamed(200, {sseReply({reply})});
    });
    speech.route("POST", "/v1/text-to-speech/voice-e2e", LoopbackAnswer::text(200, std::string(4096, '\xFF'), "audio/mpeg"));

    auto loop = std::make_shared<RealMainLoop>();
    MainLoop::install(loop);
    // Put together as main does: the main thread's parts on one connection.
    auto connection = X11Connection::open();
    X11ScreenLayer::Options screenOptions;
    screenOptions.connection = connection;
    auto screenLayer = std::make_shared<X11ScreenLayer>(std::move(screenOptions));
    ScreenLayer::install(screenLayer);
    KeyEventTapFactory::install(std::make_shared<X11KeyEventTapFactory>(connection));
    DesktopPermissions::install(std::make_shared<X11DesktopPermissions>(connection));
    auto desktop = connection ? X11StatusBarDesktop::open(connection, screenLayer) : nullptr;
    if (!desktop || !desktop->hasArgbVisual()) {
        std::printf("🧪 no X11 status-bar desktop with a 32-bit visual\n");
        std::fflush(stdout);
        _exit(3);
    }
    StatusBarDesktop::install(desktop);
    OverlayWindowLayer::install(desktop);

    auto engine = std::make_shared<SimulatedAudioEngine>(AudioFormat::float32Planar(phrase.sampleRate, 1));
    MirrinDictationManager::Dependencies voice;
    voice.transcriptionProvider = std::make_unique<AppleSpeechTranscriptionProvider>();
    voice.audioEngine = engine;
    voice.authorization = authorization;
    auto dictation = MirrinDictationManager::create(std::move(voice));
    auto shortcut = std::make_shared<CountingShortcutMonitor>();

    std::shared_ptr<CompanionPanelView> panelView;
    auto dependencies =
        makeVelmoDelegateDependencies(VelmoConfiguration::read(), dictation, desktop, std::make_shared<OverlayWindowManager>(desktop));
    dependencies.companion.shortcutMonitor = shortcut;
    dependencies.makePanelManager = [&panelView](std::shared_ptr<CompanionManager> companion) -> std::shared_ptr<MenuBarPanelManaging> {
        return MenuBarPanelManager::create(std::move(companion), [&panelView](const std::shared_ptr<CompanionManager>& c) {
            panelView = std::make_shared<CompanionPanelView>(c);
            return panelView;
        });
    };
    {
        CompanionAppDelegate delegate(std::move(dependencies));
        // Where the panel's Start is once the panel is up: the watcher waits for it to be drawn,
        // takes its picture and clicks it with XTest.
        auto started = std::make_shared<bool>(false);
        auto pressStart = Timer::scheduled(0.1s, true, [&, started](Timer& t) {
            auto manager = std::dynamic_pointer_cast<MenuBarPanelManager>(delegate.menuBarPanelManager());
            if (*started || !manager || !manager->isPanelVisible() || !manager->panel() || !panelView) return;
            *started = true;
            t.invalidate();
            // Window points: the card starts inside the room the window leaves for its shadow.
            const PanelMargins m = panelView->margins();
            for (const auto& [id, frame] : buttonFrames(panelView->tree()))
                if (id == companion_panel_button::start) {
                    std::printf("🧪 Start at %lu %d %d %d\n", X11StatusBarDesktop::windowOf(*manager->panel()),
                                int(m.left + frame.midX()), int(m.top + frame.midY()), int(m.left + frame.minX()));
                    std::fflush(stdout);
                    return;
                }
            std::printf("🧪 no Start button\n");
            std::fflush(stdout);
        });
        // The microphone hears the phrase once recording has begun.
        auto delivered = std::make_shared<bool>(false);
        Cancellable recording =
            dictation->isRecordingFromKeyboardShortcut().publisher().receiveOnMain().sink([&, delivered](const bool& on) {
                if (!on || *delivered) return;
                *delivered = true;
                MainLoop::postToMainAfter(0.3s, [&] {
                    engine->deliver(phrase.floatBuffers());
                    std::thread([engine] {
                        engine->waitUntilDelivered(20);
                        std::printf("🧪 phrase delivered\n");
                        std::fflush(stdout);
                    }).detach();
                });
            });
        // When the video ends or fails, for the watcher's timeline.
        auto launched = std::chrono::steady_clock::now();
        auto stamp = [launched](const char* what) {
            std::printf("🧪 %s at %.1f s\n", what, std::chrono::duration<double>(std::chrono::steady_clock::now() - launched).count());
            std::fflush(stdout);
        };
        auto ended = NotificationCenter::defaultCenter().addObserver(VideoPlayer::didPlayToEndTimeNotification,
                                                                     [stamp](const Notification&) { stamp("video ended"); });
        auto failed = NotificationCenter::defaultCenter().addObserver(VideoPlayer::failedToPlayNotification,
                                                                      [stamp](const Notification&) { stamp("video failed"); });
        auto shown = std::make_shared<bool>(false);
        Cancellable showing = delegate.companionManager()->showOnboardingVideo().publisher().sink([stamp, shown](const bool& on) {
            if (on != *shown) stamp(on ? "video shown" : "video stopped");
            *shown = on;
        });
        FdWatch signalWatch = loop->watchFd(signalFd, FdReadable, [&](unsigned) {
            signalfd_siginfo info;
            while (::read(signalFd, &info, sizeof info) == sizeof info) {
            }
            delegate.applicationWillTerminate();
            loop->stop();
        });
        loop->post([&] { delegate.applicationDidFinishLaunching(); });
        loop->run();
        delegate.applicationWillTerminate();  // as the entry does: a second call changes nothing
        signalWatch.cancel();
        recording.cancel();
        showing.cancel();
        NotificationCenter::defaultCenter().removeObserver(ended);
        NotificationCenter::defaultCenter().removeObserver(failed);
        pressStart->invalidate();
        loop->runUntil([] { return false; }, 0.05s);
        std::string names;
        for (const auto& n : events.names()) names += " " + n;
        std::printf("🧪 events:%s\n🧪 chord monitor stops: %d\n🧪 speech requests: %zu\n", names.c_str(), shortcut->stops,
                    speech.requestCountWith("POST", "/v1/text-to-speech/voice-e2e"));
        std::fflush(stdout);
    }
    _exit(0);
}

// Collects the child's log lines as they come.
class LogReader {
public:
    explicit LogReader(int fd)
        : fd_(fd),
          thread_([this] { run(); }) {}
    ~LogReader() {
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::optional<std::size_t> find(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < lines_.size(); ++i)
            if (lines_[i].rfind(prefix, 0) == 0) return i;
        return std::nullopt;
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    void run() {
        std::string pending;
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            pending.append(buffer, std::size_t(n));
            std::size_t at;
            while ((at = pending.find('\n')) != std::string::npos) {
                std::lock_guard lock(mutex_);
                lines_.push_back(pending.substr(0, at));
                pending.erase(0, at + 1);
            }
        }
    }
    int fd_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

bool waitFor(const std::function<bool()>& condition, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

struct Rgb {
    int r = 0, g = 0, b = 0;
};

// What the screen shows: the root with every window over it, as the X server composes it.
class Screenshot {
public:
    Screenshot(Display* d, int x, int y, int width, int height)
        : x_(x),
          y_(y) {
        image_ = XGetImage(d, DefaultRootWindow(d), x, y, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
    }
    ~Screenshot() {
        if (image_) XDestroyImage(image_);
    }
    Rgb at(int x, int y) const {
        if (!image_) return {-1, -1, -1};
        unsigned long p = XGetPixel(image_, x - x_, y - y_);
        return {int((p >> 16) & 0xFF), int((p >> 8) & 0xFF), int(p & 0xFF)};
    }
    // Pixels of the box around (x, y) that are the cursor's blue.
    int bluePixelsAround(int x, int y, int radius) const {
        int count = 0;
        for (int py = y - radius; py <= y + radius; ++py)
            for (int px = x - radius; px <= x + radius; ++px) {
                if (px < x_ || py < y_ || px >= x_ + image_->width || py >= y_ + image_->height) continue;
                Rgb c = at(px, py);
                if (c.b > 200 && c.r < 110 && c.g > 90 && c.g < 170) ++count;
            }
        return count;
    }
    bool writePNG(const std::string& path) const {
        Surface surface(image_->width, image_->height);
        cairo_surface_t* cs = surface.cairoSurface();
        cairo_surface_flush(cs);
        unsigned char* data = cairo_image_surface_get_data(cs);
        int stride = cairo_image_surface_get_stride(cs);
        for (int py = 0; py < image_->height; ++py)
            for (int px = 0; px < image_->width; ++px) {
                std::uint32_t p = std::uint32_t(XGetPixel(image_, px, py)) | 0xFF000000u;
                std::memcpy(data + py * stride + px * 4, &p, 4);
            }
        cairo_surface_mark_dirty(cs);
        return surface.writePNG(path);
    }

private:
    XImage* image_ = nullptr;
    int x_, y_;
};

bool isVideoNavy(Rgb c) { return std::abs(c.r - 0x10) < 8 && std::abs(c.g - 0x18) < 8 && std::abs(c.b - 0x28) < 8; }

// Whether the video's background shows anywhere on the left monitor: sampled every 8 pixels,
// it covers hundreds of samples (the glyph's glow over black matches a few).
bool videoOnScreen(Display* d) {
    Screenshot s(d, 0, 0, kMonitorWidth, kMonitorHeight);
    int navy = 0;
    for (int y = 0; y < kMonitorHeight; y += 8)
        for (int x = 0; x < kMonitorWidth; x += 8)
            if (isVideoNavy(s.at(x, y))) ++navy;
    return navy > 200;
}

}  // namespace

TEST(OnboardingEndToEnd, StartPlaysTheVideoBesideTheCursorPointsAndTheChordThenAnswers) {
    std::string why;
    auto phrase = velmo::test::speakPhrase("hello there. what is on my screen?", &why);
    ASSERT_TRUE(phrase.has_value()) << why;
    velmo::test::X11TestDesktop x(std::to_string(2 * kMonitorWidth) + "x" + std::to_string(kMonitorHeight) + "x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    ASSERT_TRUE(x.setMonitors({{"left", 0, 0, kMonitorWidth, kMonitorHeight}, {"right", kMonitorWidth, 0, kMonitorWidth, kMonitorHeight}}));
    Display* d = x.connection();
    // The root's own background, so what the overlay uncovers is grey again.
    XSetWindowBackground(d, DefaultRootWindow(d), 0x506070);
    XClearWindow(d, DefaultRootWindow(d));
    XSync(d, False);
    velmo::test::TestTrayManager tray(x.displayName(), 2000, 0, 400, 24);
    ASSERT_TRUE(tray.isOpen());
    x.movePointer(kMouseX, kMouseY);

    velmo::test::TestDirectory bundleDir;
    bundleDir.write("Velmo.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
        <key>CFBundleShortVersionString</key><string>1.0.0</string>
        <key>AnthropicAPIKey</key><string>sk-e2e</string>
        <key>ElevenLabsAPIKey</key><string>xi-e2e</string>
        <key>ElevenLabsVoiceID</key><string>voice-e2e</string>
        <key>VoiceTranscriptionProvider</key><string>apple</string></dict></plist>)");
    bundleDir.write("Velmo.app/Contents/Resources/ff.mp3", "ID3");
    std::filesystem::create_directory_symlink(VELMO_ONBOARDING_VIDEO_DIR, bundleDir / "Velmo.app/Contents/Resources/video");

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        runApplication(pipeFds[1], bundleDir / "Velmo.app", x.displayName(), *phrase);
    }
    ASSERT_GT(pid, 0);
    close(pipeFds[1]);
    LogReader log(pipeFds[0]);
    const std::string out = VELMO_TEST_OUTPUT_DIR;
    // The child's log beside the pictures, however the test ends (its timeline is stamped).
    struct LogFile {
        const LogReader& log;
        std::string path;
        ~LogFile() {
            std::ofstream file(path);
            for (const auto& line : log.lines()) file << line << "\n";
        }
    } logFile{log, out + "/onboarding-e2e.log"};
    // A failed assertion leaves early: the child goes first, so the reader sees its end.
    struct Child {
        pid_t pid;
        bool reaped = false;
        ~Child() {
            if (reaped) return;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } child{pid};
    auto end = [&] {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        child.reaped = true;
    };

    // Start-up: its lines in order, the icon docked, the panel up by itself.
    ASSERT_TRUE(waitFor([&] { return tray.pump() && tray.icon() != 0; }, 60)) << "the icon never docked";
    ASSERT_TRUE(waitFor([&] { return log.find("🔑 Velmo start").has_value(); }, 60));
    auto starting = log.find("🎯 Velmo: Starting..."), version = log.find("🎯 Velmo: Version 1.0.0"), start = log.find("🔑 Velmo start");
    ASSERT_TRUE(starting && version && start);
    EXPECT_LT(*starting, *version);
    EXPECT_LT(*version, *start);
    EXPECT_EQ(log.lines()[*start], "🔑 Velmo start — accessibility: true, screen: true, mic: true, screenContent: true, onboarded: false");
    ASSERT_TRUE(waitFor([&] { return log.find("🧪 Start at").has_value() || log.find("🧪 no Start").has_value(); }, 60));
    ASSERT_FALSE(log.find("🧪 no Start").has_value());
    // A real click on Start, in the panel window's own pixels once it shows them, then the
    // pointer back for the cursor.
    {
        unsigned long panelWindow = 0;
        int buttonX = 0, buttonY = 0, buttonLeft = 0;
        ASSERT_EQ(std::sscanf(log.lines()[*log.find("🧪 Start at")].c_str(), "🧪 Start at %lu %d %d %d", &panelWindow, &buttonX,
                              &buttonY, &buttonLeft),
                  4);
        int rootX = 0, rootY = 0, rootLeft = 0;
        auto toRoot = [&] {
            Window child = 0;
            int unusedY = 0;
            return XTranslateCoordinates(d, Window(panelWindow), DefaultRootWindow(d), buttonX, buttonY, &rootX, &rootY, &child) &&
                   XTranslateCoordinates(d, Window(panelWindow), DefaultRootWindow(d), buttonLeft + 6, buttonY, &rootLeft, &unusedY,
                                         &child);
        };
        // The button's own blue at its left end: the panel is mapped and drawn.
        bool drawn = waitFor(
            [&] {
                if (!velmo::test::factsOf(d, Window(panelWindow)).viewable || !toRoot()) return false;
                Rgb c = Screenshot(d, rootLeft, rootY, 1, 1).at(rootLeft, rootY);
                return std::abs(c.r - 0x25) < 8 && std::abs(c.g - 0x63) < 8 && std::abs(c.b - 0xEB) < 8;
            },
            60);
        ASSERT_TRUE(drawn) << "the panel never showed its Start button";
        EXPECT_TRUE(Screenshot(d, 0, 0, 2 * kMonitorWidth, kMonitorHeight).writePNG(out + "/onboarding-e2e-panel.png"));
        x.movePointer(rootX, rootY);
        XTestFakeButtonEvent(d, 1, True, CurrentTime);
        XTestFakeButtonEvent(d, 1, False, CurrentTime);
        XSync(d, False);
        // Start dismisses the panel as it begins the onboarding.
        ASSERT_TRUE(waitFor([&] { return !velmo::test::factsOf(d, Window(panelWindow)).viewable; }, 60))
            << "the click on Start did nothing";
        x.movePointer(kMouseX, kMouseY);
    }

    // The welcome, then the video beside the cursor: (10, 18) right of and below the glyph,
    // which sits (35, 25) from the pointer.
    const int videoX = kMouseX + 35 + 10, videoY = kMouseY + 25 + 18;
    bool videoShown = waitFor(
        [&] {
            Screenshot s(d, videoX, videoY, 330, 186);
            // The title card's navy at both ends of its top row, grey outside its corner.
            return isVideoNavy(s.at(videoX + 40, videoY + 20)) && isVideoNavy(s.at(videoX + 290, videoY + 20)) &&
                   isVideoNavy(s.at(videoX + 165, videoY + 170));
        },
        60);
    EXPECT_TRUE(videoShown) << "no video beside the cursor";

    // 40 s into the video the demonstration points at the spot it was told of.
    ASSERT_TRUE(waitFor([&] { return log.find("🎯 Onboarding demo: pointing at").has_value(); }, 90)) << "no demonstration";
    EXPECT_EQ(log.lines()[*log.find("🎯 Onboarding demo: pointing at")],
              "🎯 Onboarding demo: pointing at \"budget sheet\" — \"ooh, a tidy budget sheet\"");
    // The glyph stays there while the comment types and for 6 s after.
    bool glyphAtTarget = waitFor(
        [&] {
            Screenshot s(d, kDemoX - 40, kDemoY - 40, 81, 81);
            return s.bluePixelsAround(kDemoX, kDemoY, 40) > 20;
        },
        10);
    EXPECT_TRUE(glyphAtTarget) << "no blue glyph where the demonstration points";
    // For the picture: the comment's bubble typed out, its right end still for 0.3 s (a
    // character comes every 0.03 to 0.06 s). Its left end is 10 right of the glyph, which
    // stands (8, 12) from the spot.
    const int bubbleLeft = kDemoX + 8 + 10, bubbleRow = kDemoY + 12 + 18;
    auto bubbleRight = [&] {
        Screenshot s(d, bubbleLeft, bubbleRow - 8, 300, 17);
        int right = 0;
        for (int y = bubbleRow - 8; y <= bubbleRow + 8; ++y)
            for (int x = bubbleLeft; x < bubbleLeft + 300; ++x)
                if (s.bluePixelsAround(x, y, 0) > 0) right = std::max(right, x);
        return right;
    };
    int lastRight = 0;
    auto lastChange = std::chrono::steady_clock::now();
    waitFor(
        [&] {
            int right = bubbleRight();
            auto now = std::chrono::steady_clock::now();
            if (right != lastRight) {
                lastRight = right;
                lastChange = now;
                return false;
            }
            return right > bubbleLeft + 60 && now - lastChange > std::chrono::milliseconds(300);
        },
        5);
    EXPECT_TRUE(Screenshot(d, 0, 0, 2 * kMonitorWidth, kMonitorHeight).writePNG(out + "/onboarding-e2e-demo.png"));

    // The video ends; once it is stopped the chord is heard again.
    if (!waitFor([&] { return !videoOnScreen(d); }, 60)) {
        Screenshot(d, 0, 0, 2 * kMonitorWidth, kMonitorHeight).writePNG(out + "/onboarding-e2e-stuck.png");
        std::string lines;
        for (const auto& l : log.lines()) lines += l + "\n";
        ADD_FAILURE() << "the video stayed; the log:\n" << lines;
    }
    ASSERT_TRUE(waitFor([&] { return log.find("🧪 video stopped").has_value(); }, 60)) << "the video was never stopped";
    velmo::test::XTestKeyboard keyboard(x.displayName());
    ASSERT_TRUE(keyboard.isOpen());
    ASSERT_TRUE(keyboard.press("Control_L"));
    ASSERT_TRUE(keyboard.press("Alt_L"));
    bool delivered = waitFor([&] { return log.find("🧪 phrase delivered").has_value(); }, 60);
    ASSERT_TRUE(keyboard.release("Alt_L"));
    ASSERT_TRUE(keyboard.release("Control_L"));
    if (!delivered) {
        end();
        FAIL() << "the chord started no recording";
    }
    ASSERT_TRUE(waitFor([&] { return log.find("🎯 Element pointing: (").has_value(); }, 60)) << "no answer";
    EXPECT_EQ(log.lines()[*log.find("🎯 Element pointing: (")], "🎯 Element pointing: (500, 600) → \"file menu\"");
    EXPECT_TRUE(waitFor(
        [&] {
            Screenshot s(d, kAnswerX - 40, kAnswerY - 40, 81, 81);
            return s.bluePixelsAround(kAnswerX, kAnswerY, 40) > 20;
        },
        10))
        << "the cursor did not fly to the answer";

    // SIGTERM: a clean exit, the companion stopped once.
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    child.reaped = true;
    log.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    auto events = log.find("🧪 events:");
    ASSERT_TRUE(events);
    const std::string names = log.lines()[*events];
    std::size_t at = 0;
    for (const char* e : {"app_opened", "onboarding_started", "onboarding_demo_triggered", "onboarding_video_completed",
                          "push_to_talk_started", "user_message_sent", "ai_response_received"}) {
        std::size_t found = names.find(std::string(" ") + e, at);
        EXPECT_NE(found, std::string::npos) << e << " in" << names;
        if (found != std::string::npos) at = found;
    }
    EXPECT_TRUE(log.find("🧪 chord monitor stops: 1").has_value());
    // The answer was spoken: one request to the speech service, and no speech error.
    EXPECT_TRUE(log.find("🧪 speech requests: 1").has_value());
    EXPECT_FALSE(log.find("⚠️ ElevenLabs TTS error").has_value());
    EXPECT_EQ(names.find(" tts_error"), std::string::npos) << names;
}
