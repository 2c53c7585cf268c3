#include "testing/ChildProcess.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "testing/EnvironmentVariable.h"

namespace {

struct Ran {
    std::string output;
    int status = -1;
};

// Forks, runs the plan in the child with its standard output on a pipe, and collects both.
Ran run(const velmo::test::ExecPlan& plan) {
    int out[2];
    if (pipe(out) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        plan.exec();
    }
    close(out[1]);
    Ran ran;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) ran.output.append(buf, std::size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ran;
}

}  // namespace

TEST(ExecPlan, FindsTheProgramOnThePathAndAppliesTheEnvironmentChanges) {
    velmo::test::EnvironmentVariable kept("VELMO_PLAN_KEPT", "kept");
    velmo::test::EnvironmentVariable removed("VELMO_PLAN_REMOVED", "there");
    velmo::test::EnvironmentVariable replaced("VELMO_PLAN_REPLACED", "old");
    const velmo::test::ExecPlan plan(
        "sh",
        {"sh", "-c",
         "printf '%s|%s|%s|%s' \"$VELMO_PLAN_KEPT\" \"${VELMO_PLAN_REMOVED-unset}\" \"$VELMO_PLAN_REPLACED\" \"$VELMO_PLAN_NEW\""},
        {{"VELMO_PLAN_REMOVED", std::nullopt}, {"VELMO_PLAN_REPLACED", "new"}, {"VELMO_PLAN_NEW", "added"}});
    const Ran ran = run(plan);
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.output, "kept|unset|new|added");
}

TEST(ExecPlan, AProgramThatCannotBeRunEndsTheChildWith127) {
    EXPECT_EQ(run(velmo::test::ExecPlan("velmo-no-such-program", {"velmo-no-such-program"})).status, 127);
    EXPECT_EQ(run(velmo::test::ExecPlan("/nonexistent/program", {"program"})).status, 127);
}
