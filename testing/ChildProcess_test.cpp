#include "testing/ChildProcess.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "testing/EnvironmentVariable.h"
#include "testing/RunningProgram.h"

TEST(ExecPlan, FindsTheProgramOnThePathAndAppliesTheEnvironmentChanges) {
    velmo::test::EnvironmentVariable kept("VELMO_PLAN_KEPT", "kept");
    velmo::test::EnvironmentVariable removed("VELMO_PLAN_REMOVED", "there");
    velmo::test::EnvironmentVariable replaced("VELMO_PLAN_REPLACED", "old");
    velmo::test::RunningProgram shell(
        "sh",
        {"sh", "-c",
         "printf '%s|%s|%s|%s' \"$VELMO_PLAN_KEPT\" \"${VELMO_PLAN_REMOVED-unset}\" \"$VELMO_PLAN_REPLACED\" \"$VELMO_PLAN_NEW\""},
        {{"VELMO_PLAN_REMOVED", std::nullopt}, {"VELMO_PLAN_REPLACED", "new"}, {"VELMO_PLAN_NEW", "added"}});
    const int status = shell.waitForExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(shell.output(), "kept|unset|new|added");
}

TEST(ExecPlan, AProgramThatCannotBeRunEndsTheChildWith127) {
    for (const char* program : {"velmo-no-such-program", "/nonexistent/program"}) {
        velmo::test::RunningProgram child(program, {"program"}, {});
        const int status = child.waitForExit();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << program << ": " << status;
    }
}
