// The application entry and the place the running program is put together: it reads the bundle
// configuration once (reported by the delegate after its start line), installs the real main
// loop, opens the status-bar desktop and, with a 32-bit visual, the overlay layer, and passes the
// configuration and the overlay to the application delegate, which makes the real dictation
// manager, chord monitor and panel manager. It ends the delegate on SIGINT and SIGTERM, on the
// Quit button, and with exit status 1 when the X server goes away.
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "interface/CompanionAppDelegate.h"
#include "interface/OverlayWindow.h"
#include "interface/VelmoConfiguration.h"
#include "platform/base/Logger.h"
#include "platform/media/PulseAudioSourceMonitor.h"
#include "platform/desktop/ApplicationTermination.h"
#include "platform/desktop/X11ErrorTrap.h"
#include "platform/desktop/X11StatusBarDesktop.h"
#include "platform/runtime/MainLoop.h"

using namespace std::chrono_literals;

using namespace velmo;

int main() {
    // Everything the assistant watches and draws lives on an X11 display.
    if (Display* display = XOpenDisplay(nullptr)) {
        XCloseDisplay(display);
    } else {
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
    PulseAudioSourceMonitor::shared()->waitUntilSettled(std::chrono::seconds(1));

    auto loop = std::make_shared<RealMainLoop>();
    MainLoop::install(loop);
    auto desktop = X11StatusBarDesktop::open();
    StatusBarDesktop::install(desktop);
    CompanionAppDelegate::Dependencies dependencies;
    // Read once here, written by the launch after its start line.
    dependencies.configuration = VelmoConfiguration::read();
    // The cursor is drawn on 32-bit windows; without them it keeps its state but shows nothing.
    if (desktop && desktop->hasArgbVisual()) {
        OverlayWindowLayer::install(desktop);
        dependencies.companion.overlayWindowManager = std::make_shared<OverlayWindowManager>(desktop);
    } else if (desktop) {
        logLine("⚠️ the blue cursor is not shown: the X11 display offers no 32-bit visual for its overlay");
    } else {
        logLine("⚠️ the blue cursor is not shown: the X11 display lacks the XInput 2 extension");
    }
    int exitStatus = 0;
    {
        CompanionAppDelegate delegate(std::move(dependencies));
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
    loop->shutdown();
    MainLoop::install(nullptr);
    if (signalFd >= 0) ::close(signalFd);
    return exitStatus;
}
