#include "testing/RunningProgram.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

using namespace std::chrono_literals;
using velmo::test::RunningProgram;

TEST(RunningProgram, ReadsOutputAndErrorTogetherAndGivesTheExitStatus) {
    RunningProgram program("sh", {"sh", "-c", "echo \"one $WORD\"; echo two >&2; exit 3"}, {{"WORD", "word"}});
    ASSERT_TRUE(program.started());
    EXPECT_TRUE(program.waitForLineStarting("two", 10s)) << program.output();
    EXPECT_EQ(program.lineStarting("one"), "one word");
    EXPECT_EQ(program.lineStarting("three"), "");
    const int status = program.waitForExit(10s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(program.output(), "one word\ntwo\n");
}

TEST(RunningProgram, WaitingEndsWithTheOutputAndAProgramThatOutlivesItsTimeIsKilled) {
    {
        RunningProgram program("sh", {"sh", "-c", "echo done"}, {});
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(program.waitFor([] { return false; }, 60s));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // not the whole minute
        EXPECT_EQ(program.output(), "done\n");
    }
    RunningProgram sleeper("sh", {"sh", "-c", "exec sleep 600"}, {});
    EXPECT_EQ(sleeper.waitForExit(0.1s), -1);
    RunningProgram stopped("sh", {"sh", "-c", "echo up; exec sleep 600"}, {});
    ASSERT_TRUE(stopped.waitForLineStarting("up", 10s));
    stopped.signal(SIGTERM);
    const int status = stopped.waitForExit(10s);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}
