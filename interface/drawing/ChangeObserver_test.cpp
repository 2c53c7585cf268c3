#include "interface/drawing/ChangeObserver.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/VirtualMainLoop.h"

namespace velmo {
namespace {

TEST(ChangeObserver, CoalescesToTheEndOfTheTurnAndFiresOnlyOnDifference) {
    VirtualMainLoopScope scope;
    Published<int> level(0);
    Published<std::optional<std::string>> frame;
    ChangeObserver observer;
    std::vector<std::pair<int, int>> seen;
    std::vector<std::optional<std::string>> frameAtChange;
    int bodies = 0;
    observer.onChange(level, [&](int old, int now) {
        seen.emplace_back(old, now);
        frameAtChange.push_back(*frame);
    });
    observer.watch(frame);
    observer.onAnyChange([&] { ++bodies; });

    // One turn: three assignments, and a value published after the one handled.
    MainLoop::postToMain([&] {
        level = 1;
        level = 2;
        level = 3;
        frame = std::string("screen 2");
    });
    scope.loop().runUntilIdle();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (std::pair{0, 3}));
    EXPECT_EQ(frameAtChange[0], std::optional<std::string>("screen 2"));
    EXPECT_EQ(bodies, 1);

    // Back and forth within a turn: no difference, no handler; the body still re-evaluates.
    MainLoop::postToMain([&] {
        level = 5;
        level = 3;
    });
    scope.loop().runUntilIdle();
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(bodies, 2);

    MainLoop::postToMain([&] { level = 4; });
    scope.loop().runUntilIdle();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], (std::pair{3, 4}));
}

TEST(ChangeObserver, NothingIsDeliveredAfterTheObserverIsGone) {
    VirtualMainLoopScope scope;
    Published<int> level(0);
    int calls = 0;
    {
        ChangeObserver observer;
        observer.onChange(level, [&](int, int) { ++calls; });
        level = 1;  // delivery pending
    }
    scope.loop().runUntilIdle();
    EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace velmo
