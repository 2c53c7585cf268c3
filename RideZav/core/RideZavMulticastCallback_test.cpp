#include "RideZav/core/RideZavMulticastCallback.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace ridezav {
namespace {

TEST(RideZavMulticastCallback, CountsFollowSubscribeAndRelease) {
    RideZavMulticastCallback<int> multicast;
    std::vector<std::int64_t> counts;
    multicast.setOnSubscriberCountChanged([&](std::int64_t n) { counts.push_back(n); });
    int sum = 0;
    RegistrationToken first = multicast.subscribe([&](int v) { sum += v; });
    std::optional<RegistrationToken> second = multicast.subscribe([&](int v) { sum += 10 * v; });
    multicast.invoke(1);
    EXPECT_EQ(sum, 11);
    second.reset();
    multicast.invoke(1);
    EXPECT_EQ(sum, 12);
    EXPECT_EQ(counts, (std::vector<std::int64_t>{1, 2, 1}));
}

TEST(RideZavMulticastCallback, TokenOutlivingItsMulticastDoesNothing) {
    RegistrationToken token;
    int calls = 0;
    {
        RideZavMulticastCallback<> multicast;
        token = multicast.subscribe([&] { ++calls; });
        multicast.invoke();
    }
    token.reset();  // must not touch the released list
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(token);
}

TEST(RideZavMulticastCallback, CallbackMayReleaseItsOwnToken) {
    RideZavMulticastCallback<> multicast;
    std::vector<std::int64_t> counts;
    multicast.setOnSubscriberCountChanged([&](std::int64_t n) { counts.push_back(n); });
    int calls = 0;
    RegistrationToken token;
    token = multicast.subscribe([&] {
        ++calls;
        token.reset();  // would deadlock if the list lock were held during the call
    });
    multicast.invoke();
    multicast.invoke();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(multicast.subscriberCount(), 0u);
    EXPECT_EQ(counts, (std::vector<std::int64_t>{1, 0}));
}

TEST(RideZavMulticastCallback, CallbackMaySubscribeDuringInvoke) {
    RideZavMulticastCallback<> multicast;
    std::vector<RegistrationToken> tokens;
    int inner = 0;
    tokens.push_back(multicast.subscribe([&] {
        if (tokens.size() == 1) tokens.push_back(multicast.subscribe([&] { ++inner; }));
    }));
    multicast.invoke();
    EXPECT_EQ(inner, 0);  // joined after the snapshot
    multicast.invoke();
    EXPECT_EQ(inner, 1);
}

TEST(RideZavMulticastCallback, InvokingWithoutSubscribersDoesNothing) {
    RideZavMulticastCallback<const std::string&> multicast;
    multicast.invoke("home");
    EXPECT_EQ(multicast.subscriberCount(), 0u);
}

TEST(RegistrationToken, MoveTransfersTheSubscriptionAndAssignmentReleasesTheOld) {
    RideZavMulticastCallback<> multicast;
    RegistrationToken a = multicast.subscribe([] {});
    RegistrationToken b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(multicast.subscriberCount(), 1u);
    b = multicast.subscribe([] {});
    EXPECT_EQ(multicast.subscriberCount(), 1u);
    b = RegistrationToken();
    EXPECT_EQ(multicast.subscriberCount(), 0u);
}

}  // namespace
}  // namespace ridezav
