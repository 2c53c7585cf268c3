#include "crashreporter/async/ZVCrashProcessInfo.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <string>

namespace {

// A stat line of the kernel's form with the given name, parent and start ticks.
std::string statLine(const std::string& name, pid_t parent, unsigned long long startTicks) {
    return "4242 (" + name + ") S " + std::to_string(parent) + " 4242 4242 34816 4242 4194560 1186 0 0 0 3 1 0 0 20 0 1 0 " +
           std::to_string(startTicks) + " 9453568 892 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 3 0 0 0 0 0\n";
}

const std::string untraced = "Name:\tvelmo\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t4242\nPid:\t4242\nPPid:\t77\nTracerPid:\t0\n";
const std::string traced = "Name:\tvelmo\nPPid:\t77\nTracerPid:\t3131\nUid:\t0\n";

TEST(ZVCrashProcessInfo, ReadsTheKernelsRecord) {
    const auto info = ZVCrashProcessInfo::fromProcTexts(4242, statLine("velmo", 77, 12345), untraced, 1'700'000'000, 100);
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(4242, info->processID());
    EXPECT_EQ("velmo", info->processName());
    EXPECT_EQ(77, info->parentProcessID());
    EXPECT_EQ(1'700'000'123, info->startTime().tv_sec);
    EXPECT_EQ(450'000, info->startTime().tv_usec);
    EXPECT_FALSE(info->isTraced());
    EXPECT_TRUE(ZVCrashProcessInfo::fromProcTexts(4242, statLine("velmo", 77, 1), traced, 0, 100)->isTraced());
}

TEST(ZVCrashProcessInfo, NameRunsFromTheFirstOpeningToTheLastClosingParenthesis) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"a) S 1 (b", "a) S 1 (b"},
        {"two words", "two words"},
        {"", std::nullopt},
        {"\x80zz", std::nullopt},
        // The kernel cut the name inside a three-byte character.
        {"assistant-ver\xE2\x82", "assistant-ver"},
        {"abcdefghijklmnop", "abcdefghijklmnop"},
        {"abcdefghijklmnopqrst", "abcdefghijklmnop"},
    };
    for (const auto& [name, expected] : cases) {
        const auto info = ZVCrashProcessInfo::fromProcTexts(1, statLine(name, 5, 10), untraced, 0, 100);
        ASSERT_NE(nullptr, info) << name;
        EXPECT_EQ(expected, info->processName()) << name;
        EXPECT_EQ(5, info->parentProcessID()) << name;
    }
}

TEST(ZVCrashProcessInfo, MalformedRecordsGiveNothing) {
    EXPECT_EQ(nullptr, ZVCrashProcessInfo::fromProcTexts(1, "4242 (velmo S 77", untraced, 0, 100));
    EXPECT_EQ(nullptr, ZVCrashProcessInfo::fromProcTexts(1, "4242 (velmo) S 77 1 1", untraced, 0, 100));
    EXPECT_EQ(nullptr, ZVCrashProcessInfo::fromProcTexts(1, statLine("velmo", 77, 1), untraced, 0, 0));
    std::string badParent = statLine("velmo", 77, 1);
    badParent.replace(badParent.find(" 77 "), 4, " x7 ");
    EXPECT_EQ(nullptr, ZVCrashProcessInfo::fromProcTexts(1, badParent, untraced, 0, 100));
    // No such process.
    EXPECT_EQ(nullptr, ZVCrashProcessInfo::withProcessID(INT_MAX));
}

TEST(ZVCrashProcessInfo, ThisProcess) {
    const auto info = ZVCrashProcessInfo::currentProcessInfo();
    ASSERT_NE(nullptr, info);
    char name[17] = {};
    ASSERT_EQ(0, prctl(PR_GET_NAME, name));
    EXPECT_EQ(getpid(), info->processID());
    EXPECT_EQ(std::string(name), info->processName());
    EXPECT_EQ(getppid(), info->parentProcessID());
    EXPECT_LE(info->startTime().tv_sec, time(nullptr));
    EXPECT_GT(info->startTime().tv_sec, 1'500'000'000);
    EXPECT_FALSE(info->isTraced());

    const auto parent = ZVCrashProcessInfo::withProcessID(getppid());
    ASSERT_NE(nullptr, parent);
    EXPECT_EQ(getppid(), parent->processID());
    EXPECT_LE(parent->startTime().tv_sec, info->startTime().tv_sec);
}

TEST(ZVCrashProcessInfo, TracedWhileATracerIsAttached) {
    int attached[2];
    int release[2];
    ASSERT_EQ(0, pipe(attached));
    ASSERT_EQ(0, pipe(release));
    const pid_t self = getpid();
    // Where the kernel only lets ancestors trace, let the child through (fails harmlessly elsewhere).
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const pid_t tracer = fork();
    ASSERT_GE(tracer, 0);
    if (tracer == 0) {
        alarm(20);
        const char ok = ptrace(PTRACE_SEIZE, self, nullptr, nullptr) == 0 ? 1 : 0;
        (void)!write(attached[1], &ok, 1);
        char byte;
        (void)!read(release[0], &byte, 1);
        // Exiting detaches.
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(1, read(attached[0], &ok, 1));
    const auto whileTraced = ZVCrashProcessInfo::currentProcessInfo();
    ASSERT_EQ(1, write(release[1], "x", 1));
    int status = 0;
    ASSERT_EQ(tracer, waitpid(tracer, &status, 0));
    prctl(PR_SET_PTRACER, 0, 0, 0, 0);
    for (int fd : {attached[0], attached[1], release[0], release[1]}) close(fd);

    if (ok != 1) GTEST_SKIP() << "this system lets no process trace another";
    ASSERT_NE(nullptr, whileTraced);
    EXPECT_TRUE(whileTraced->isTraced());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(ZVCrashProcessInfo::currentProcessInfo()->isTraced());
}

}  // namespace
