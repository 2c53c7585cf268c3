#include "crashreporter/async/zvcrash_async_signal_info.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

TEST(ZVCrashSignalInfo, NamesComeFromThisHostsNumbers) {
    EXPECT_STREQ("SIGSEGV", zvcrash_async_signal_signame(SIGSEGV));
    EXPECT_STREQ("SIGBUS", zvcrash_async_signal_signame(SIGBUS));
    EXPECT_STREQ("SIGSYS", zvcrash_async_signal_signame(SIGSYS));
    // SIGIOT shares SIGABRT's number and never wins.
    EXPECT_STREQ("SIGABRT", zvcrash_async_signal_signame(SIGABRT));
    EXPECT_EQ(nullptr, zvcrash_async_signal_signame(33));
    EXPECT_EQ(nullptr, zvcrash_async_signal_signame(0));
}

TEST(ZVCrashSignalInfo, CodesAreNamedPerSignal) {
    EXPECT_STREQ("SEGV_MAPERR", zvcrash_async_signal_sigcode(SIGSEGV, SEGV_MAPERR));
    EXPECT_STREQ("SEGV_ACCERR", zvcrash_async_signal_sigcode(SIGSEGV, SEGV_ACCERR));
    EXPECT_STREQ("FPE_INTDIV", zvcrash_async_signal_sigcode(SIGFPE, FPE_INTDIV));
    EXPECT_STREQ("TRAP_TRACE", zvcrash_async_signal_sigcode(SIGTRAP, TRAP_TRACE));
    EXPECT_STREQ("BUS_NOOP", zvcrash_async_signal_sigcode(SIGBUS, 0));
    // SIGABRT and SIGTRAP with code 0 are written as numbers.
    EXPECT_EQ(nullptr, zvcrash_async_signal_sigcode(SIGABRT, 0));
    EXPECT_EQ(nullptr, zvcrash_async_signal_sigcode(SIGTRAP, 0));
    EXPECT_EQ(nullptr, zvcrash_async_signal_sigcode(SIGSEGV, 3));
}

TEST(ZVCrashSignalInfo, NumbersAreWrittenWithAHash) {
    char buffer[ZVCRASH_ASYNC_SIGNAL_NUMBER_TEXT_SIZE];
    const std::pair<int32_t, std::string> cases[] = {
        {0, "#0"}, {33, "#33"}, {-6, "#-6"}, {2147483647, "#2147483647"}, {-2147483647 - 1, "#-2147483648"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(text, zvcrash_async_signal_number_text(value, buffer));
}

}  // namespace
