#include <benchmark/benchmark.h>

#include "companion/CompanionManagerTesting.h"
#include "companion/CompanionTestDoubles.h"
#include "interface/CompanionPanelView.h"
#include "interface/drawing/Painter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/runtime/VirtualMainLoop.h"

namespace velmo {
namespace {

CompanionPanelInputs allSet() {
    CompanionPanelInputs in;
    in.isOverlayVisible = true;
    in.hasMicrophonePermission = in.hasAccessibilityPermission = true;
    in.hasScreenRecordingPermission = in.hasScreenContentPermission = true;
    return in;
}

// Derive, lay out and paint the all-set panel at 2x, the whole card each time.
void BM_PanelLayoutAndPaint(benchmark::State& state) {
    Painter painter;
    for (auto _ : state) {
        LayoutNode tree = companionPanelLayout(makeCompanionPanelModel(allSet()));
        Size size = layout(tree, 320);
        Surface surface(640, int(size.height * 2 + 0.5), 2);
        painter.paintFull(surface, layoutLayers(tree, "panel."));
        benchmark::DoNotOptimize(surface.pixel(320, 20));
    }
}
BENCHMARK(BM_PanelLayoutAndPaint)->Unit(benchmark::kMillisecond);

// The permission poll assigns a flag its own value: the view re-derives and keeps its layout.
void BM_PanelUnchangedUpdate(benchmark::State& state) {
    VirtualMainLoopScope scope;
    UserDefaults::Scope defaults;
    auto companion =
        CompanionManager::create({std::make_shared<test::FakeDictationManager>(), std::make_shared<test::FakeShortcutMonitor>(),
                                  std::make_shared<HeadlessOverlayWindowManager>(), test::bundleServiceClients()});
    CompanionPanelView view(companion);
    scope.loop().runUntilIdle();
    for (auto _ : state) {
        velmo::test::writable(*companion).hasMicrophonePermission = false;
        scope.loop().runUntilIdle();
    }
    if (view.layoutCount() != 1) state.SkipWithError("an unchanged assignment re-laid the panel out");
}
BENCHMARK(BM_PanelUnchangedUpdate)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmo
