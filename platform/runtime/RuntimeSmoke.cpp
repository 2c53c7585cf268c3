// A small program that exercises the real main loop: a posted start, a repeating timer,
// a task that sleeps, and a clean stop. Used until the application entry exists.
#include <cstdio>
#include <memory>
#include <string>

#include "platform/foundation/Logger.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/Task.h"
#include "platform/runtime/Timer.h"

using namespace velmo;

int main() {
    auto loop = std::make_shared<RealMainLoop>();
    MainLoop::install(loop);
    int ticks = 0;
    auto timer = Timer::scheduled(0.1, true, [&](Timer&) { logLine("tick " + std::to_string(++ticks)); });
    startTask([&]() -> Task<void> {
        logLine("runtime smoke: started");
        co_await sleepFor(0.55);
        timer->invalidate();
        logLine("runtime smoke: done after " + std::to_string(ticks) + " ticks");
        loop->stop();
    });
    loop->run();
    MainLoop::install(nullptr);
    return ticks == 5 ? 0 : 1;
}
