#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "companion/CompanionTestEnvironment.h"
#include "interface/CompanionAppDelegate.h"
#include "interface/VelmoComposition.h"
#include "platform/desktop/ApplicationNotifications.h"
#include "platform/desktop/LoginItem.h"
#include "platform/desktop/SimulatedLoginItem.h"
#include "platform/foundation/BadPropertyLists.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/runtime/NotificationCenter.h"
#include "testing/RunningProgram.h"
#include "testing/PulseAudioServer.h"
#include "testing/SimulatedStatusBarDesktop.h"
#include "testing/XTestKeyboard.h"
#include "testing/XvfbServer.h"
#include "platform/media/PulseAudioSourceMonitor.h"
#include "voice/GlobalPushToTalkShortcutMonitor.h"
#include "voice/MirrinDictationManager.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::CompanionTestEnvironment;

namespace {

class CompanionAppDelegateTest : public testing::Test {
protected:
    CompanionTestEnvironment env;
    std::shared_ptr<SimulatedLoginItem> loginItem = std::make_shared<SimulatedLoginItem>();
    std::shared_ptr<HeadlessMenuBarPanelManager> panel;

    void SetUp() override { LoginItemService::install(loginItem); }
    void TearDown() override { LoginItemService::install(nullptr); }

    std::unique_ptr<CompanionAppDelegate> makeDelegate() {
        CompanionAppDelegate::Dependencies deps;
        deps.configuration = VelmoConfiguration::read();
        deps.analytics = makeVelmoAnalyticsConfig(*deps.configuration);
        deps.companion = env.dependencies();
        deps.makePanelManager = [this](std::shared_ptr<CompanionManager> companion) -> std::shared_ptr<MenuBarPanelManaging> {
            panel = HeadlessMenuBarPanelManager::create(std::move(companion));
            return panel;
        };
        return std::make_unique<CompanionAppDelegate>(std::move(deps));
    }
};

}  // namespace

TEST_F(CompanionAppDelegateTest, AFirstLaunchLogsInOrderRegistersAndOpensThePanelAfterAMoment) {
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    auto lines = env.log.lines();
    auto indexOf = [&](const std::string& prefix) {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0) return i;
        return lines.size();
    };
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "🎯 Velmo: Starting...");
    EXPECT_EQ(lines[1], "🎯 Velmo: Version unknown");  // no bundle in this test
    EXPECT_EQ(lines[2], "⚠️ Velmo: There is no bundle folder at " + Bundle::main().bundlePath() + "; no configuration is read");
    EXPECT_LT(indexOf("⚠️ Velmo: AnthropicAPIKey is not set in "), indexOf("🔑 Velmo start"));
    EXPECT_LT(indexOf("🔑 Velmo start"), indexOf("🎯 Velmo: Registered as login item"));
    EXPECT_LT(indexOf("🎯 Velmo: Registered as login item"), lines.size());
    EXPECT_EQ(UserDefaults::standard().integerForKey("NSInitialToolTipDelay"), 0);
    EXPECT_FALSE(UserDefaults::standard().objectForKey("NSInitialToolTipDelay").isNone());  // registered, not stored
    auto events = env.events.events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].event, "app_opened");
    EXPECT_EQ(events[0].properties["app_version"], "unknown");
    EXPECT_EQ(loginItem->registrations, 1);

    ASSERT_TRUE(panel);
    env.loop().advance(0.29s);
    EXPECT_EQ(panel->showCount(), 0);
    env.loop().advance(0.01s);
    EXPECT_EQ(panel->showCount(), 1);
    EXPECT_TRUE(panel->isPanelVisible());

    // A press of the chord dismisses it.
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    EXPECT_FALSE(panel->isPanelVisible());

    delegate->applicationWillTerminate();
    delegate->applicationWillTerminate();
    EXPECT_EQ(std::count(env.dictation->calls.begin(), env.dictation->calls.end(), "cancel keep"), 1);
}

TEST_F(CompanionAppDelegateTest, LaunchingPostsDidFinishLaunchingOnce) {
    int posted = 0;
    auto& center = NotificationCenter::defaultCenter();
    auto token = center.addObserver(ApplicationNotification::didFinishLaunching, [&](const Notification&) { ++posted; });
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    delegate->applicationDidFinishLaunching();
    env.loop().runUntilIdle();
    center.removeObserver(token);
    EXPECT_EQ(posted, 1);
}

TEST_F(CompanionAppDelegateTest, TheLaunchMakesTheApplicationActiveAClickElsewhereOrTheEndResignsItAndItsOwnWindowsActivateIt) {
    namespace N = ApplicationNotification;
    auto desktop = std::make_shared<velmo::test::SimulatedStatusBarDesktop>();
    StatusBarDesktop::install(desktop);
    std::vector<std::string> posted;
    auto& center = NotificationCenter::defaultCenter();
    std::vector<NotificationCenter::Token> tokens;
    for (const char* name : {N::didFinishLaunching, N::didBecomeActive, N::didResignActive})
        tokens.push_back(center.addObserver(name, [&posted, name](const Notification&) { posted.push_back(name); }));
    for (bool clickElsewhere : {true, false}) {
        posted.clear();
        auto delegate = makeDelegate();
        delegate->applicationDidFinishLaunching();
        env.loop().runUntilIdle();
        EXPECT_EQ(posted, (std::vector<std::string>{N::didFinishLaunching, N::didBecomeActive}));
        if (clickElsewhere) {
            desktop->mouseDown(MouseEventMask::leftMouseDown, {10, 10});
            desktop->mouseDown(MouseEventMask::rightMouseDown, {20, 10});  // already resigned
            env.loop().runUntilIdle();
            EXPECT_EQ(posted.size(), 3u);
            // Back to the status item: active again, and a second click there changes nothing.
            desktop->mouseDownInOwnWindow(MouseEventMask::leftMouseDown, {1000, 10});
            desktop->mouseDownInOwnWindow(MouseEventMask::leftMouseDown, {1000, 10});
            env.loop().runUntilIdle();
            EXPECT_EQ(posted,
                      (std::vector<std::string>{N::didFinishLaunching, N::didBecomeActive, N::didResignActive, N::didBecomeActive}));
            posted = {N::didFinishLaunching, N::didBecomeActive};
        }
        delegate->applicationWillTerminate();
        env.loop().runUntilIdle();
        EXPECT_EQ(posted, (std::vector<std::string>{N::didFinishLaunching, N::didBecomeActive, N::didResignActive}))
            << (clickElsewhere ? "click elsewhere" : "terminate");
    }
    EXPECT_TRUE(desktop->monitors.empty());  // each delegate removed its own
    EXPECT_TRUE(desktop->localMonitors.empty());
    for (const auto& token : tokens) center.removeObserver(token);
    StatusBarDesktop::install(nullptr);
}

TEST_F(CompanionAppDelegateTest, AReturningUserWithEverythingGrantedSeesNoPanelAndAnEnabledItemIsLeftAlone) {
    env.grantEverything();
    UserDefaults::standard().setBool("hasCompletedOnboarding", true);
    loginItem->currentStatus = LoginItemStatus::enabled;
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    env.loop().advance(1.0s);
    EXPECT_EQ(panel->showCount(), 0);
    EXPECT_TRUE(delegate->companionManager()->isOverlayVisible());
    EXPECT_EQ(loginItem->registrations, 0);
    EXPECT_TRUE(env.log.linesStartingWith("🎯 Velmo: Registered").empty());
    EXPECT_TRUE(env.log.linesStartingWith("⚠️ Velmo: Failed").empty());
    delegate->applicationWillTerminate();
}

TEST_F(CompanionAppDelegateTest, OnboardedButAPermissionMissingOpensThePanelAndAFailedRegistrationIsOneLine) {
    env.grantEverything();
    env.mediaAuthorization->microphoneStatus = MediaAuthorizationStatus::denied;
    UserDefaults::standard().setBool("hasCompletedOnboarding", true);
    loginItem->failRegistration = true;
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    env.loop().advance(0.3s);
    EXPECT_EQ(panel->showCount(), 1);
    EXPECT_EQ(env.log.linesStartingWith("⚠️ Velmo: Failed to register as login item: ").size(), 1u);
    delegate->applicationWillTerminate();
}

TEST_F(CompanionAppDelegateTest, AMissingPartIsRefusedWithOneMessage) {
    const std::vector<std::pair<const char*, std::function<void(CompanionAppDelegate::Dependencies&)>>> cases = {
        {"no configuration", [](auto& d) { d.configuration.reset(); }},
        {"no analytics set-up", [](auto& d) { d.analytics.reset(); }},
        {"no panel manager's maker", [](auto& d) { d.makePanelManager = nullptr; }},
        {"no dictation manager", [](auto& d) { d.companion.dictationManager = nullptr; }},
        {"no chord monitor", [](auto& d) { d.companion.shortcutMonitor = nullptr; }},
    };
    for (const auto& [what, remove] : cases) {
        CompanionAppDelegate::Dependencies deps;
        deps.configuration = VelmoConfiguration::read();
        deps.analytics = makeVelmoAnalyticsConfig(*deps.configuration);
        deps.companion = env.dependencies();
        deps.makePanelManager = [](std::shared_ptr<CompanionManager> companion) -> std::shared_ptr<MenuBarPanelManaging> {
            return HeadlessMenuBarPanelManager::create(std::move(companion));
        };
        remove(deps);
        EXPECT_THROW(CompanionAppDelegate{std::move(deps)}, std::invalid_argument) << what;
    }
}

TEST_F(CompanionAppDelegateTest, TheRealPartsAreTheDictationAndChordAHeadlessPanelWithoutADesktopAndAnOverlayThatDrawsNothing) {
    auto sources = std::make_shared<PulseAudioSourceMonitor>(std::chrono::milliseconds(100));
    auto configuration = VelmoConfiguration::read();
    auto deps = makeVelmoDelegateDependencies(configuration, makeVelmoDictationManager(configuration, sources), nullptr, nullptr);
    ASSERT_TRUE(deps.analytics);
    EXPECT_EQ(deps.analytics->apiKey(), velmoAnalyticsProjectKey);
    EXPECT_EQ(deps.analytics->host(), deps.configuration->analyticsIngestionHost);
    auto makePanel = deps.makePanelManager;
    CompanionAppDelegate delegate(std::move(deps));
    auto& companion = *delegate.companionManager();
    EXPECT_NE(dynamic_cast<MirrinDictationManager*>(&companion.dictationManager()), nullptr);
    EXPECT_NE(dynamic_cast<GlobalPushToTalkShortcutMonitor*>(&companion.shortcutMonitor()), nullptr);
    EXPECT_NE(dynamic_cast<HeadlessOverlayWindowManager*>(&companion.overlayWindowManager()), nullptr);
    EXPECT_NE(dynamic_cast<HeadlessMenuBarPanelManager*>(makePanel(delegate.companionManager()).get()), nullptr);
}

namespace {
struct ProcessResult {
    int status = -1;
    std::string output;
};

// Runs the velmo executable with the given environment additions, optionally sending SIGTERM
// once its start line is out (after `afterStart` ran and its awaited line came, when given).
ProcessResult runVelmo(const std::vector<std::string>& env, bool terminateAfterStart, std::function<void()> afterStart = {},
                       const std::string& awaitedLine = {}) {
    velmo::test::ExecPlan::EnvironmentChanges changes;
    for (const auto& e : env) {
        const auto eq = e.find('=');
        const std::string value = e.substr(eq + 1);
        changes.emplace_back(e.substr(0, eq), value.empty() ? std::nullopt : std::optional<std::string>(value));
    }
    velmo::test::RunningProgram velmo(VELMO_EXECUTABLE, {"velmo"}, changes);
    if (!velmo.started()) return {};
    const auto said = [&](const std::string& text) { return velmo.output().find(text) != std::string::npos; };
    if (terminateAfterStart && velmo.waitFor([&] { return said("🔑 Velmo start"); }, 30s)) {
        if (afterStart) afterStart();
        if (awaitedLine.empty() || velmo.waitFor([&] { return said(awaitedLine); }, 30s)) velmo.signal(SIGTERM);
    }
    const int status = velmo.waitForExit(30s);
    return {status, velmo.output()};
}
}  // namespace

TEST(VelmoExecutable, WithoutAnX11DisplayItExitsWithOneClearLine) {
    auto result = runVelmo({"DISPLAY=", "WAYLAND_DISPLAY=wayland-0"}, false);
    ASSERT_TRUE(WIFEXITED(result.status));
    EXPECT_NE(WEXITSTATUS(result.status), 0);
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
    EXPECT_NE(result.output.find("X11 display"), std::string::npos) << result.output;
}

TEST(VelmoExecutable, SaysAtStartWhatIsWrongWithTheConfiguration) {
    velmo::test::XvfbServer x("640x480x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    velmo::test::TestDirectory dir;
    dir.write("Velmo.app/Contents/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>AnthropicAPIKey</key><integer>42</integer>"
              "<key>ElevenLabsAPIKey</key><string>el-key-value</string><key>ElevenLabsVoiceID</key><string>v</string></dict></plist>");
    dir.write("Velmo.app/Contents/Resources/Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Anthr");
    const std::string app = dir / "Velmo.app";
    const std::string resource = app + "/Contents/Resources/Info.plist";
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {app,
         {"⚠️ Velmo: AnthropicAPIKey in " + app + "/Contents/Info.plist is not a string; it is ignored",
          "⚠️ Velmo: Cannot read " + resource + ": property list is malformed; its keys are ignored",
          "⚠️ Velmo: AnthropicAPIKey is not set in " + resource + "; requests to the messages service will be refused"}},
        {dir / "Missing.app",
         {"⚠️ Velmo: There is no bundle folder at " + dir / "Missing.app" + "; no configuration is read",
          "⚠️ Velmo: AnthropicAPIKey is not set in " + dir / "Missing.app/Contents/Resources/Info.plist" +
              "; requests to the messages service will be refused"}},
    };
    for (const auto& [bundle, expected] : cases) {
        auto result = runVelmo(
            {"DISPLAY=" + x.display(), "XDG_CONFIG_HOME=" + dir.path(), "PULSE_SERVER=unix:/nonexistent", "VELMO_BUNDLE=" + bundle}, true);
        ASSERT_TRUE(WIFEXITED(result.status)) << result.output;
        EXPECT_EQ(WEXITSTATUS(result.status), 0) << result.output;
        for (const auto& line : expected)
            EXPECT_NE(result.output.find("\n" + line + "\n"), std::string::npos) << line << "\n" << result.output;
        EXPECT_EQ(result.output.find("el-key-value"), std::string::npos) << result.output;
    }
}

// The configuration is read once and reported once, after the start line: a streaming back-end
// asked for without its key is one line (and the fallback it takes another), not two wordings
// on both sides of the start.
TEST(VelmoExecutable, WithTheStreamingBackEndChosenAndNoKeyTheStartLineComesFirstAndTheKeyIsReportedOnce) {
    velmo::test::XvfbServer x("640x480x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    velmo::test::TestDirectory dir;
    dir.write("Velmo.app/Contents/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key><string>1.0.0</string>"
              "</dict></plist>");
    dir.write("Velmo.app/Contents/Resources/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>VoiceTranscriptionProvider</key><string>assemblyai</string>"
              "<key>AnthropicAPIKey</key><string>a</string><key>ElevenLabsAPIKey</key><string>e</string>"
              "<key>ElevenLabsVoiceID</key><string>v</string></dict></plist>");
    auto result = runVelmo(
        {"DISPLAY=" + x.display(), "XDG_CONFIG_HOME=" + dir.path(), "PULSE_SERVER=unix:/nonexistent", "VELMO_BUNDLE=" + dir / "Velmo.app"},
        true);
    ASSERT_TRUE(WIFEXITED(result.status)) << result.output;
    EXPECT_EQ(result.output.rfind("🎯 Velmo: Starting...\n", 0), 0u) << result.output;
    std::vector<std::string> aboutTheStreamingService;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);)
        if (line.find("AssemblyAI") != std::string::npos) aboutTheStreamingService.push_back(line);
    EXPECT_EQ(aboutTheStreamingService,
              std::vector<std::string>{"⚠️ Transcription: AssemblyAI preferred but not configured, falling back"})
        << result.output;
    EXPECT_NE(result.output.find("\n⚠️ Transcription: using Apple Speech as fallback\n"), std::string::npos) << result.output;
}

TEST(VelmoExecutable, StartsOnAnX11DisplayAndStopsOnSigterm) {
    velmo::test::XvfbServer x("1024x768x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    velmo::test::TestDirectory config;
    auto result = runVelmo({"DISPLAY=" + x.display(), "XDG_CONFIG_HOME=" + config.path(), "PULSE_SERVER=unix:/nonexistent"}, true);
    ASSERT_TRUE(WIFEXITED(result.status)) << result.output;
    EXPECT_EQ(WEXITSTATUS(result.status), 0) << result.output;
    EXPECT_EQ(result.output.rfind("🎯 Velmo: Starting...\n🎯 Velmo: Version 1.0.0\n", 0), 0u) << result.output;
    EXPECT_NE(result.output.find("🔑 Velmo start — accessibility: true, screen: true, mic: false"), std::string::npos) << result.output;
    std::ifstream entry(config / "autostart/velmo.desktop");
    EXPECT_TRUE(entry.good());
}

// The application's own analytics set-up installs the lifecycle integration: the first launch
// records the bundle's version and build in the defaults and stores "Application Installed".
TEST(VelmoExecutable, ItsAnalyticsSetUpInstallsTheLifecycleIntegration) {
    velmo::test::XvfbServer x("640x480x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    velmo::test::TestDirectory dir;
    // Port 9 refuses connections: every event stays in the queue folder.
    dir.write("Velmo.app/Contents/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>com.korvale.velmo</string>"
              "<key>CFBundleShortVersionString</key><string>2.5</string><key>CFBundleVersion</key><string>41</string>"
              "<key>AnalyticsIngestionHost</key><string>http://127.0.0.1:9</string></dict></plist>");
    auto result = runVelmo({"DISPLAY=" + x.display(), "XDG_CONFIG_HOME=" + dir / "config", "XDG_DATA_HOME=" + dir / "data",
                            "PULSE_SERVER=unix:/nonexistent", "VELMO_BUNDLE=" + dir / "Velmo.app"},
                           true);
    ASSERT_TRUE(WIFEXITED(result.status)) << result.output;
    EXPECT_EQ(WEXITSTATUS(result.status), 0) << result.output;

    UserDefaults defaults(dir / "config/com.korvale.velmo/defaults.plist");
    EXPECT_EQ(defaults.stringForKey("VURVersionKey"), std::string("2.5"));
    EXPECT_EQ(defaults.stringForKey("VURBuildKeyV2"), std::string("41"));
    const auto events =
        ridezav::queuedEvents(std::filesystem::path(dir / "data/com.korvale.velmo") / velmoAnalyticsProjectKey / "ridezav.queueFolder");
    const auto installed = std::find_if(events.begin(), events.end(), [](const auto& e) { return e.event == "Application Installed"; });
    ASSERT_NE(installed, events.end()) << events.size() << " events stored";
    EXPECT_EQ(*installed->properties.find("version"), ridezav::Value("2.5"));
    EXPECT_EQ(*installed->properties.find("build"), ridezav::Value(41));
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.event == "app_opened"; }), 1);
}

// The launch reads the permissions once: a running sound server with a capture source must
// already count then, or the overlay would stay hidden for the whole run.
TEST(VelmoExecutable, ASoundServerWithACaptureSourceGrantsTheMicrophoneAtLaunch) {
    velmo::test::XvfbServer x("1024x768x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    velmo::test::PulseAudioServer pulse("velmo_launch_sink");
    ASSERT_TRUE(pulse.isRunning()) << pulse.failure();
    velmo::test::TestDirectory config;
    auto result = runVelmo({"DISPLAY=" + x.display(), "XDG_CONFIG_HOME=" + config.path(), "PULSE_SERVER=" + pulse.serverAddress()}, true);
    ASSERT_TRUE(WIFEXITED(result.status)) << result.output;
    EXPECT_NE(result.output.find("🔑 Velmo start — accessibility: true, screen: true, mic: true"), std::string::npos) << result.output;
}

TEST(VelmoExecutable, ABadDefaultsFileIsSetAsideWithOneLineAndTheAssistantRuns) {
    velmo::test::XvfbServer x("1024x768x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    for (const auto& [name, contents] : velmo::test::badPropertyLists()) {
        velmo::test::TestDirectory config;
        const std::string path = config.write("com.korvale.velmo/defaults.plist", contents);
        auto result = runVelmo({"DISPLAY=" + x.display(), "XDG_CONFIG_HOME=" + config.path(), "PULSE_SERVER=unix:/nonexistent"}, true);
        ASSERT_TRUE(WIFEXITED(result.status)) << name << "\n" << result.output;
        EXPECT_EQ(WEXITSTATUS(result.status), 0) << name << "\n" << result.output;
        const std::string line = "⚠️ Velmo: Ignoring unreadable user defaults: " + path + ": ";
        std::size_t count = 0;
        for (std::size_t at = result.output.find("Ignoring unreadable user defaults"); at != std::string::npos;
             at = result.output.find("Ignoring unreadable user defaults", at + 1))
            ++count;
        EXPECT_EQ(count, 1u) << name << "\n" << result.output;
        EXPECT_NE(result.output.find(line), std::string::npos) << name << "\n" << result.output;
        EXPECT_NE(result.output.find("🔑 Velmo start"), std::string::npos) << name << "\n" << result.output;
        std::ifstream corrupt(path + ".corrupt", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(corrupt), {}), contents) << name;
    }
}

TEST(VelmoExecutable, WithNoSoundServerAPressSaysThereIsNoAudioInputSource) {
    velmo::test::XvfbServer x("1024x768x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    velmo::test::TestDirectory config;
    const std::string line = "🎙️ MirrinDictationManager: no audio input source (no sound server)";
    auto press = [&] {
        velmo::test::XTestKeyboard keyboard(x.display());
        keyboard.press("Control_L");
        keyboard.press("Alt_L");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        keyboard.release("Alt_L");
        keyboard.release("Control_L");
    };
    auto result =
        runVelmo({"DISPLAY=" + x.display(), "XDG_CONFIG_HOME=" + config.path(), "PULSE_SERVER=unix:/nonexistent"}, true, press, line);
    ASSERT_TRUE(WIFEXITED(result.status)) << result.output;
    EXPECT_EQ(WEXITSTATUS(result.status), 0) << result.output;
    EXPECT_NE(result.output.find("🎙️ MirrinDictationManager: start requested (keyboardShortcut)\n" + line + "\n"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("permissions missing or denied"), std::string::npos) << result.output;
}
