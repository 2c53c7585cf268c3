#include "crashreporter/async/ZVCrashHostInfo.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(ZVCrashHostInfo, ReadsTheReleaseNumbers) {
    struct Case {
        const char* release;
        ZVCrashHostInfoVersion version;
        bool logged;
    };
    const Case cases[] = {
        {"6.1.0-13-amd64", {6, 1, 0}, false},
        {"23.4.0", {23, 4, 0}, false},
        {"6.18.44-fc-v1523", {6, 18, 44}, false},
        {"23", {23, 0, 0}, true},
        {"6.1", {6, 1, 0}, true},
        {"6.x.2", {6, 0, 0}, true},
        {"linux", {0, 0, 0}, true},
        {"", {0, 0, 0}, true},
        {"99999999999999999999.1.0", {0, 0, 0}, true},
    };
    for (const Case& c : cases) {
        std::vector<std::string> lines;
        const ZVCrashHostInfo info(c.release, [&](std::string_view line) { lines.emplace_back(line); });
        EXPECT_EQ(c.version.major, info.darwinVersion().major) << c.release;
        EXPECT_EQ(c.version.minor, info.darwinVersion().minor) << c.release;
        EXPECT_EQ(c.version.revision, info.darwinVersion().revision) << c.release;
        if (c.logged) {
            EXPECT_EQ(std::vector<std::string>{std::string("[ZVCrashReporter] Unexpected kern.osrelease string format: ") + c.release},
                      lines);
        } else {
            EXPECT_TRUE(lines.empty()) << c.release;
        }
    }
}

TEST(ZVCrashHostInfo, ThisMachine) {
    struct utsname names {};
    ASSERT_EQ(0, uname(&names));
    unsigned long major = 0, minor = 0, revision = 0;
    ASSERT_EQ(3, sscanf(names.release, "%lu.%lu.%lu", &major, &minor, &revision));
    std::vector<std::string> lines;
    const auto info = ZVCrashHostInfo::currentHostInfo([&](std::string_view line) { lines.emplace_back(line); });
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(major, info->darwinVersion().major);
    EXPECT_EQ(minor, info->darwinVersion().minor);
    EXPECT_EQ(revision, info->darwinVersion().revision);
    EXPECT_TRUE(lines.empty());
    EXPECT_NE(nullptr, ZVCrashHostInfo::currentHostInfo());
}

}  // namespace
