// The application entry and the one place the running program is put together. main builds the
// platform once: the real main loop; one X11 connection that the key tap, the screen layer's
// questions, the permission checks and the status-bar desktop (with, given a 32-bit visual, the
// overlay layer) share on the main thread, and one more of the screen layer's own for its capture
// thread; the sound-source monitor; the audio and video player factories; the workspace; the login
// item. It installs each for the process (the parts ask for them by their `current()`, and tests
// install simulated ones instead), reads the bundle configuration once (reported by the delegate
// after its start line) and builds from it, the desktop and the overlay the application delegate's
// parts (VelmoComposition.cpp: the dictation manager, the chord monitor, the service clients, the
// panel manager, the analytics set-up); the delegate takes nothing real on its own. It ends the
// delegate on SIGINT and SIGTERM, on the Quit button, and with exit status 1 when the X server goes
// away, then takes everything down in the reverse order.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "interface/CompanionAppDelegate.h"
#include "interface/OverlayWindow.h"
#include "interface/VelmoComposition.h"
#include "interface/VelmoConfiguration.h"
#include "platform/base/Logger.h"
#include "platform/desktop/ApplicationTermination.h"
#include "platform/desktop/LoginItem.h"
#include "platform/desktop/Permissions.h"
#include "platform/desktop/Workspace.h"
#include "platform/desktop/X11Connection.h"
#include "platform/desktop/X11ErrorTrap.h"
#include "platform/desktop/X11KeyEventTap.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/desktop/X11StatusBarDesktop.h"
#include "platform/media/GStreamerVideoPlayer.h"
#include "platform/media/MediaAuthorization.h"
#include "platform/media/MpegAudioPlayer.h"
#include "platform/media/PulseAudioSourceMonitor.h"
#include "platform/runtime/MainLoop.h"

using namespace std::chrono_literals;

using namespace velmo;

int main() {
    // Everything the assistant watches and draws lives on an X11 display.
    std::shared_ptr<X11Connection> connection = X11Connection::open();
    if (!connection) {
        const char* name = std::getenv("DISPLAY");
        std::fprintf(stderr, "velmo: cannot open the X11 display %s; Velmo needs an X11 desktop (set DISPLAY)\n",
                     name && name[0] ? name : "(DISPLAY is not set)");
        return 1;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts, so all inherit it
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);

    // The launch reads the microphone permission once, and the sound server's first answer
    // takes a few milliseconds: without it the microphone would count as missing for this run.
    auto sources = std::make_shared<PulseAudioSourceMonitor>();
    PulseAudioSourceMonitor::install(sources);
    sources->waitUntilSettled(std::chrono::seconds(1));

    auto loop = std::make_shared<RealMainLoop>();
    MainLoop::install(loop);
    connection->watchOnMainLoop();
    X11ScreenLayer::Options screenOptions;
    screenOptions.connection = connection;
    auto screenLayer = std::make_shared<X11ScreenLayer>(std::move(screenOptions));
    ScreenLayer::install(screenLayer);
    KeyEventTapFactory::install(std::make_shared<X11KeyEventTapFactory>(connection));
    DesktopPermissions::install(std::make_shared<X11DesktopPermissions>(connection));
    MediaAuthorization::install(std::make_shared<LinuxMediaAuthorization>(sources));
    AudioPlayerFactory::install(std::make_shared<MpegAudioPlayerFactory>());
    VideoPlayerFactory::install(std::make_shared<GStreamerVideoPlayerFactory>());
    Workspace::install(makeXdgWorkspace());
    LoginItemService::install(XdgAutostartLoginItem::forCurrentExecutable());
    auto desktop = X11StatusBarDesktop::open(connection, screenLayer);
    StatusBarDesktop::install(desktop);
    // The cursor is drawn on 32-bit windows; without them it keeps its state but shows nothing.
    std::shared_ptr<OverlayWindowManaging> overlay;
    if (desktop && desktop->hasArgbVisual()) {
        OverlayWindowLayer::install(desktop);
        overlay = std::make_shared<OverlayWindowManager>(desktop);
    } else if (desktop) {
        logLine("⚠️ the blue cursor is not shown: the X11 display offers no 32-bit visual for its overlay");
    } else {
        logLine("⚠️ the blue cursor is not shown: the X11 display lacks the XInput 2 extension");
    }
    int exitStatus = 0;
    {
        // The configuration is read once here and written by the launch after its start line.
        VelmoConfiguration configuration = VelmoConfiguration::read();
        auto dictation = makeVelmoDictationManager(configuration, sources);
        CompanionAppDelegate delegate(
            makeVelmoDelegateDependencies(std::move(configuration), std::move(dictation), desktop, std::move(overlay)));
        // Every way out goes through here: the delegate's termination step, then the loop stops.
        bool ending = false;
        auto end = [&](int status) {
            if (ending) return;
            ending = true;
            exitStatus = status;
            delegate.applicationWillTerminate();
            loop->stop();
        };
        ApplicationTermination::setHandler(end);
        setX11ServerLossHandler([&](const X11ServerLoss& loss) {
            logLine("⚠️ Velmo: The X server of display " + loss.displayName + " went away; Velmo quits");
            if (loss.processEndsOnReturn) {
                end(1);  // Xlib ends the process as this returns
            } else {
                ApplicationTermination::terminate(1);
            }
        });
        FdWatch signalWatch;
        if (signalFd >= 0)
            signalWatch = loop->watchFd(signalFd, FdReadable, [&](unsigned) {
                signalfd_siginfo info;
                while (::read(signalFd, &info, sizeof info) == sizeof info) {
                }
                end(0);
            });
        loop->post([&] { delegate.applicationDidFinishLaunching(); });
        loop->run();
        end(exitStatus);
        signalWatch.cancel();
        loop->runUntil([] { return false; }, 0.05s);  // let the teardown's posted work run
        ApplicationTermination::setHandler(nullptr);
        // Later losses (closing what is left of a gone server) end the process with the same status.
        setX11ServerLossHandler([](const X11ServerLoss&) {});
    }
    OverlayWindowLayer::install(nullptr);
    StatusBarDesktop::install(nullptr);
    desktop.reset();
    LoginItemService::install(nullptr);
    Workspace::install(nullptr);
    VideoPlayerFactory::install(nullptr);
    AudioPlayerFactory::install(nullptr);
    MediaAuthorization::install(nullptr);
    DesktopPermissions::install(nullptr);
    KeyEventTapFactory::install(nullptr);
    ScreenLayer::install(nullptr);
    screenLayer.reset();
    connection.reset();
    loop->shutdown();
    MainLoop::install(nullptr);
    PulseAudioSourceMonitor::install(nullptr);
    if (signalFd >= 0) ::close(signalFd);
    return exitStatus;
}
