// The application entry: the real main loop, the delegate's launch, and termination on SIGINT
// and SIGTERM.
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
#include "platform/foundation/Logger.h"
#include "platform/media/PulseAudioSourceMonitor.h"
#include "platform/desktop/X11StatusBarDesktop.h"
#include "platform/runtime/MainLoop.h"

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
    // The cursor is drawn on 32-bit windows; without them it keeps its state but shows nothing.
    if (desktop && desktop->hasArgbVisual()) {
        OverlayWindowLayer::install(desktop);
        dependencies.companion.overlayWindowManager = std::make_shared<OverlayWindowManager>(desktop);
    } else if (desktop) {
        logLine("⚠️ the blue cursor is not shown: the X11 display offers no 32-bit visual for its overlay");
    } else {
        logLine("⚠️ the blue cursor is not shown: the X11 display lacks the XInput 2 extension");
    }
    {
        CompanionAppDelegate delegate(std::move(dependencies));
        FdWatch signalWatch;
        if (signalFd >= 0)
            signalWatch = loop->watchFd(signalFd, FdReadable, [&](unsigned) {
                signalfd_siginfo info;
                while (::read(signalFd, &info, sizeof info) == sizeof info) {}
                delegate.applicationWillTerminate();
                loop->stop();
            });
        loop->post([&] { delegate.applicationDidFinishLaunching(); });
        loop->run();
        delegate.applicationWillTerminate();
        signalWatch.cancel();
        loop->runUntil([] { return false; }, 0.05);  // let the teardown's posted work run
    }
    OverlayWindowLayer::install(nullptr);
    StatusBarDesktop::install(nullptr);
    desktop.reset();
    loop->shutdown();
    MainLoop::install(nullptr);
    if (signalFd >= 0) ::close(signalFd);
    return 0;
}
