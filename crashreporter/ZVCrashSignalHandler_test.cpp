#include "crashreporter/ZVCrashSignalHandler.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include "crashreporter/CrashChildTesting.h"

namespace zvcrash {
namespace {

using testing::runInChild;
using testing::writeText;

// The descriptor the running child reports through, for handlers that get no context.
int childOutput = -1;

void earlierHandler(int) { writeText(childOutput, "earlier;"); }

// Like the reporter's own: says what it saw and never forwards.
bool reportAndStop(int signo, siginfo_t*, void*, void* context, zvcrash_signal_handler_callback*) {
    writeText(*static_cast<int*>(context), signo == SIGSEGV ? "reported SIGSEGV;" : "reported;");
    return false;
}

bool noteAndForward(int signo, siginfo_t* info, void* uap, void* context, zvcrash_signal_handler_callback* next) {
    writeText(*static_cast<int*>(context), "seen;");
    return zvcrash_signal_callback_invoke(next, signo, info, uap);
}

bool noteStack(int, siginfo_t*, void*, void* context, zvcrash_signal_handler_callback*) {
    stack_t current;
    sigaltstack(nullptr, &current);
    writeText(*static_cast<int*>(context), (current.ss_flags & SS_ONSTACK) != 0 ? "on the alternate stack;" : "on the thread's stack;");
    return false;
}

void installPlainHandler(int signo, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signo, &action, nullptr);
}

volatile uintptr_t lowAddress = 0x10;

__attribute__((noinline)) void storeToLowAddress() { *reinterpret_cast<volatile int*>(lowAddress) = 1; }

// Deeper than any stack; the limit only keeps the compiler from calling it endless.
volatile int recursionLimit = 1 << 30;

__attribute__((noinline)) int recurseUntilTheStackEnds(int depth) {
    volatile char frame[256];
    frame[depth % sizeof(frame)] = static_cast<char>(depth);
    if (depth >= recursionLimit) return frame[0];
    return recurseUntilTheStackEnds(depth + 1) + frame[0];
}

TEST(ZVCrashSignalHandler, ACallbackAtTheHeadThatDoesNotForwardLetsTheDefaultActionEndTheProcess) {
    auto outcome = runInChild([](int fd) {
        childOutput = fd;
        installPlainHandler(SIGSEGV, earlierHandler);
        static int context;
        context = fd;
        ASSERT_TRUE(ZVCrashSignalHandler::sharedHandler().registerHandlerForSignal(SIGSEGV, reportAndStop, &context));
        storeToLowAddress();
        writeText(fd, "survived;");
    });
    EXPECT_TRUE(outcome.signaled(SIGSEGV)) << outcome.describe();
    EXPECT_EQ("reported SIGSEGV;", outcome.output);
}

TEST(ZVCrashSignalHandler, ForwardersOverADefaultActionRaiseTheSignalAgainOnce) {
    auto outcome = runInChild([](int fd) {
        static int context;
        context = fd;
        installPlainHandler(SIGUSR1, SIG_DFL);
        ASSERT_TRUE(ZVCrashSignalHandler::sharedHandler().registerHandlerForSignal(SIGUSR1, noteAndForward, &context));
        raise(SIGUSR1);
        writeText(fd, "survived;");
    });
    EXPECT_TRUE(outcome.signaled(SIGUSR1)) << outcome.describe();
    EXPECT_EQ("seen;", outcome.output);
}

TEST(ZVCrashSignalHandler, RegisteringTwiceInstallsOnceAndKeepsTheFirstSavedAction) {
    auto outcome = runInChild([](int fd) {
        childOutput = fd;
        installPlainHandler(SIGUSR1, earlierHandler);
        auto& handler = ZVCrashSignalHandler::sharedHandler();
        ASSERT_TRUE(handler.registerHandlerWithSignal(SIGUSR1));
        ASSERT_TRUE(handler.registerHandlerWithSignal(SIGUSR1));
        struct sigaction installed;
        sigaction(SIGUSR1, nullptr, &installed);
        if (installed.sa_sigaction == zvcrash_async_signal_handler_entry) writeText(fd, "ours;");
        raise(SIGUSR1);
        writeText(fd, "survived;");
    });
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    // The two forwarders hand the signal on once, to the handler that was there first.
    EXPECT_EQ("ours;earlier;survived;", outcome.output);
}

TEST(ZVCrashSignalHandler, ASavedIgnoreCountsAsHandled) {
    auto outcome = runInChild([](int fd) {
        installPlainHandler(SIGUSR2, SIG_IGN);
        ASSERT_TRUE(ZVCrashSignalHandler::sharedHandler().registerHandlerWithSignal(SIGUSR2));
        raise(SIGUSR2);
        writeText(fd, "survived;");
    });
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ("survived;", outcome.output);
}

TEST(ZVCrashSignalHandler, AStackOverflowOnTheRegisteringThreadIsHandledOnTheAlternateStack) {
    auto outcome = runInChild([](int fd) {
        static int context;
        context = fd;
        ASSERT_TRUE(ZVCrashSignalHandler::sharedHandler().registerHandlerForSignal(SIGSEGV, noteStack, &context));
        recurseUntilTheStackEnds(0);
    });
    EXPECT_TRUE(outcome.signaled(SIGSEGV)) << outcome.describe();
    EXPECT_EQ("on the alternate stack;", outcome.output);
}

TEST(ZVCrashSignalHandler, ASignalThatCannotBeCaughtIsRefusedWithTheSystemsReason) {
    auto outcome = runInChild([](int fd) {
        std::optional<ZVCrashReporterError> error;
        if (ZVCrashSignalHandler::sharedHandler().registerHandlerWithSignal(SIGKILL, &error)) return;
        writeText(fd, error->message().c_str());
        writeText(fd, ";");
        writeText(fd, std::to_string(error->code()).c_str());
        writeText(fd, ";");
        writeText(fd, error->underlyingError()->domain().c_str());
        writeText(fd, error->underlyingError()->code() == EINVAL ? ";EINVAL" : ";other");
    });
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ("Failed to register signal handler;1;NSPOSIXErrorDomain;EINVAL", outcome.output);
}

}  // namespace
}  // namespace zvcrash
