#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace velmo;

TEST(NotificationCenter, ObserversHearPostsByNameOnTheMainLoopUntilRemoved) {
    VirtualMainLoopScope scope;
    NotificationCenter center;
    std::vector<std::string> heard;
    auto token = center.addObserver("velmoDismissPanel", [&](const Notification& n) { heard.push_back(n.name); });
    auto other = center.addObserver("other", [&](const Notification& n) { heard.push_back(n.name); });
    center.post("velmoDismissPanel");
    EXPECT_TRUE(heard.empty());  // delivery is posted, never inline
    scope.loop().runUntilIdle();
    EXPECT_EQ(heard, std::vector<std::string>{"velmoDismissPanel"});

    center.post("velmoDismissPanel");
    center.removeObserver(token);  // removal also stops a delivery already posted
    scope.loop().runUntilIdle();
    EXPECT_EQ(heard.size(), 1u);
    EXPECT_EQ(center.observerCount("velmoDismissPanel"), 0u);
    EXPECT_EQ(center.observerCount("other"), 1u);
}
