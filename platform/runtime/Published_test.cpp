#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/runtime/Published.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace velmo;

TEST(Published, EveryAssignmentNotifiesBeforeTheValueIsStored) {
    ObjectWillChange willChange;
    Published<int> value(1, &willChange);
    std::vector<std::string> trace;
    Cancellable a = willChange.publisher().sink([&](const bool&) { trace.push_back("will change, still " + std::to_string(value.get())); });
    Cancellable b = value.publisher().sink(
        [&](const int& v) { trace.push_back("new " + std::to_string(v) + ", still " + std::to_string(value.get())); });
    value = 1;  // equal values notify too
    value = 2;
    EXPECT_EQ(value.get(), 2);
    EXPECT_EQ(trace, (std::vector<std::string>{"new 1, still 1",  // the current value on subscription
                                               "will change, still 1", "new 1, still 1", "will change, still 1", "new 2, still 1"}));
}

TEST(Published, ADroppedSubscriptionHearsNothingMoreEvenWhenDeliveryWasAlreadyPosted) {
    VirtualMainLoopScope scope;
    Published<int> value(0);
    std::vector<int> heard;
    auto sub = std::make_unique<Cancellable>(value.publisher().receiveOnMain().sink([&](const int& v) { heard.push_back(v); }));
    scope.loop().runUntilIdle();
    value = 5;
    EXPECT_EQ(heard, std::vector<int>{0});  // main-loop delivery is always posted
    sub.reset();  // the posted delivery of 5 must not arrive
    value = 6;
    scope.loop().runUntilIdle();
    EXPECT_EQ(heard, std::vector<int>{0});
}

TEST(Published, CombineLatestEmitsOnceEveryUpstreamHasAValueAndOnEachChange) {
    Published<bool> recording(false), finalizing(false), preparing(false);
    std::vector<std::tuple<bool, bool, bool>> seen;
    Cancellable sub = combineLatest(recording.publisher(), finalizing.publisher(), preparing.publisher())
                          .sink([&](const std::tuple<bool, bool, bool>& t) { seen.push_back(t); });
    preparing = true;
    recording = true;
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_tuple(false, false, false));
    EXPECT_EQ(seen[1], std::make_tuple(false, false, true));
    EXPECT_EQ(seen[2], std::make_tuple(true, false, true));

    Subject<int> numbers;
    Subject<std::string> words;
    std::vector<std::string> pairs;
    Cancellable sub2 = combineLatest(numbers.publisher(), words.publisher()).sink([&](const std::tuple<int, std::string>& t) {
        pairs.push_back(std::to_string(std::get<0>(t)) + std::get<1>(t));
    });
    numbers.send(1);
    numbers.send(2);
    words.send("a");
    numbers.send(3);
    EXPECT_EQ(pairs, (std::vector<std::string>{"2a", "3a"}));
    sub2.cancel();
    numbers.send(4);
    EXPECT_EQ(pairs.size(), 2u);
}

TEST(Published, SubscriptionOutlivingItsPropertyIsHarmless) {
    Cancellable sub;
    int calls = 0;
    {
        Published<int> value(3);
        sub = value.publisher().map([](const int& v) { return v * 2; }).sink([&](const int& v) { calls += v; });
    }
    sub.cancel();
    EXPECT_EQ(calls, 6);
}
