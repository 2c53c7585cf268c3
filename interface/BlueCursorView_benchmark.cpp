#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>

#include "companion/CompanionManagerTesting.h"
#include "companion/CompanionTestDoubles.h"
#include "interface/BlueCursorView.h"
#include "interface/drawing/Painter.h"
#include "platform/runtime/VirtualMainLoop.h"

namespace velmo {
namespace {

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// A 10 s episode on one 2560 x 1440 screen, repainted with damage limits whenever the view asks:
// 0.6 s following a moving mouse, still until 1.5 s, then a flight, the bubble typed, held 6 s,
// faded, and the flight back; the rest still. Counts the frames painted while nothing moves
// (1.25-1.5 s and 3.6-8.5 s, once the springs have settled).
void BM_CursorEpisode(benchmark::State& state) {
    const Rect screen{0, 0, 2560, 1440};
    double cpu = 0, painted = 0, quietPainted = 0, episodes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        VirtualMainLoopScope scope;
        auto& loop = scope.loop();
        auto companion =
            CompanionManager::create({std::make_shared<test::FakeDictationManager>(), std::make_shared<test::FakeShortcutMonitor>(),
                                      std::make_shared<HeadlessOverlayWindowManager>(), test::bundleServiceClients()});
        Point mouse{600, 800};
        BlueCursorView::Environment env;
        env.mouseLocation = [&] { return mouse; };
        env.random = std::make_shared<SeededCursorRandomSource>(1);
        env.referenceDateSeconds = [&] { return loop.now(); };
        Surface surface(2560, 1440);
        Painter painter;
        bool quiet = false;
        state.ResumeTiming();
        double start = threadCpuSeconds();
        {
            BlueCursorView view(screen, false, *companion, env);
            bool dirty = true;
            view.setNeedsDisplayHandler([&] { dirty = true; });
            view.appear();
            double t0 = loop.now();
            // The window's 60 Hz presentation: paints only when the view asked since the last.
            auto present = Timer::scheduled(Seconds(1.0 / 60.0), true, [&](Timer&) {
                if (!dirty) return;
                dirty = false;
                auto damage = painter.paint(surface, view.layers());
                if (!damage.empty()) {
                    ++painted;
                    if (quiet) ++quietPainted;
                }
            });
            auto at = [&](double s) { loop.advance(Seconds(t0 + s - loop.now())); };
            for (int i = 1; i <= 36; ++i) {  // following
                mouse = {600 + 8.0 * i, 800 + 2.0 * std::sin(i / 6.0)};
                loop.advance(Seconds(1.0 / 60.0));
            }
            at(1.25);  // the follow spring has settled
            quiet = true;
            at(1.5);
            quiet = false;
            // A spot 480 pt away: a 0.6 s flight.
            Point from = view.state().cursorPosition;
            Point target{from.x + 384, from.y + 288};
            velmo::test::writable(*companion).detectedElementScreenLocation = Point{target.x - 8, screen.height - (target.y - 12)};
            velmo::test::writable(*companion).detectedElementDisplayFrame = screen;
            at(3.6);  // landed, typed, the bubble's spring settled
            quiet = true;
            at(8.5);  // the hold ends 6 s after the typing, then the fade and the flight back
            quiet = false;
            at(10.0);
            present->invalidate();
        }
        loop.runUntilIdle();
        cpu += threadCpuSeconds() - start;
        ++episodes;
        state.PauseTiming();
        companion.reset();
        state.ResumeTiming();
    }
    state.counters["cpu_ms_per_episode"] = cpu / episodes * 1000;
    state.counters["core_percent"] = cpu / episodes / 10.0 * 100;
    state.counters["frames_painted"] = painted / episodes;
    state.counters["frames_painted_while_still"] = quietPainted / episodes;
}
BENCHMARK(BM_CursorEpisode)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace velmo
