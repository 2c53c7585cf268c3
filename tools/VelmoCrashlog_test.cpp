#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

#include "platform/base/WholeFile.h"
#include "testing/RunningProgram.h"

using namespace std::chrono_literals;
using velmo::test::RunningProgram;

namespace {

int exitStatus(RunningProgram& program) {
    const int status = program.waitForExit(30s);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    return WEXITSTATUS(status);
}

TEST(VelmoCrashlog, PrintsTheFixtureReport) {
    RunningProgram program(VELMO_CRASHLOG, {"velmo-crashlog", VELMO_CRASH_FIXTURES "/fixture.zvcrash"}, {});
    ASSERT_TRUE(program.started());
    EXPECT_EQ(0, exitStatus(program));
    EXPECT_EQ(velmo::readWholeFile(VELMO_CRASH_FIXTURES "/fixture.txt").value_or(""), program.output());
}

TEST(VelmoCrashlog, ReportsAnUnreadableFileInOneLine) {
    RunningProgram program(VELMO_CRASHLOG, {"velmo-crashlog", VELMO_CRASH_FIXTURES "/fixture.txt"}, {});
    ASSERT_TRUE(program.started());
    EXPECT_EQ(1, exitStatus(program));
    EXPECT_EQ(VELMO_CRASH_FIXTURES "/fixture.txt: Could not decode invalid crash log header\n", program.output());
}

}  // namespace
