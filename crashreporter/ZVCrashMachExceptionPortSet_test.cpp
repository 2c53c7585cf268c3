#include "crashreporter/ZVCrashMachExceptionPortSet.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zvcrash {
namespace {

TEST(ZVCrashMachExceptionPortSet, PortsAndTheirRecordStandForEachOther) {
    ZVCrashMachExceptionPortSet set({{0x10, 0x6e, ZVCRASH_EXCEPTION_DEFAULT, 7}, {0x20, 0x40, 3, 4}});
    const auto record = set.asyncSafeRepresentation();
    ASSERT_EQ(2u, record.count);
    EXPECT_EQ(0x20u, record.ports[1]);
    EXPECT_EQ(0x40u, record.masks[1]);
    EXPECT_EQ(3, record.behaviors[1]);
    EXPECT_EQ(4, record.flavors[1]);
    ZVCrashMachExceptionPortSet back(record);
    EXPECT_EQ(set.set(), back.set());
}

TEST(ZVCrashMachExceptionPortSet, MoreThanOnePortPerExceptionTypeIsRefused) {
    std::vector<ZVCrashMachExceptionPort> fifteen(15, ZVCrashMachExceptionPort(1, 2, 1, 7));
    try {
        ZVCrashMachExceptionPortSet set(fifteen);
        FAIL() << "fifteen ports were accepted";
    } catch (const std::length_error& e) {
        EXPECT_STREQ("Set size of 15 exceeds EXC_TYPES_COUNT (14)", e.what());
    }
    fifteen.pop_back();
    EXPECT_EQ(14u, ZVCrashMachExceptionPortSet(fifteen).asyncSafeRepresentation().count);
    zvcrash_mach_exception_port_set record{};
    record.count = 15;
    EXPECT_THROW(ZVCrashMachExceptionPortSet{record}, std::length_error);
}

}  // namespace
}  // namespace zvcrash
