#include "platform/runtime/ProcessWide.h"

#include <gtest/gtest.h>

namespace {

struct Service {
    int value = 0;
};

}  // namespace

TEST(ProcessWide, AskingForAServiceNobodyInstalledEndsTheProgramNamingIt) {
    velmo::ProcessWide<Service> slot("test service");
    EXPECT_EQ(slot.installed(), nullptr);
    EXPECT_DEATH(slot.current(), "no test service is installed");
}

TEST(ProcessWide, TheInstalledOneIsHandedOutUntilItIsExchanged) {
    velmo::ProcessWide<Service> slot("test service");
    auto first = std::make_shared<Service>();
    EXPECT_EQ(slot.exchange(first), nullptr);
    EXPECT_EQ(slot.current(), first);
    auto second = std::make_shared<Service>();
    EXPECT_EQ(slot.exchange(second), first);
    EXPECT_EQ(slot.current(), second);
    EXPECT_EQ(slot.exchange(nullptr), second);
    EXPECT_EQ(slot.installed(), nullptr);
}
