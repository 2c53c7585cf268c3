#include "platform/desktop/ApplicationTermination.h"

#include <mutex>

#include "platform/runtime/MainLoop.h"

namespace velmo {

namespace {
std::mutex& handlerMutex() {
    static std::mutex mutex;
    return mutex;
}
ApplicationTermination::Handler& installedHandler() {
    static ApplicationTermination::Handler handler;
    return handler;
}
}  // namespace

void ApplicationTermination::setHandler(Handler handler) {
    std::lock_guard lock(handlerMutex());
    installedHandler() = std::move(handler);
}

void ApplicationTermination::terminate(int exitStatus) {
    // Never inline: the caller may be a button's action in the middle of a redraw, or Xlib's
    // handler of a lost connection.
    MainLoop::postToMain([exitStatus] {
        Handler handler;
        {
            std::lock_guard lock(handlerMutex());
            handler = installedHandler();
        }
        if (handler) handler(exitStatus);
    });
}

}  // namespace velmo
