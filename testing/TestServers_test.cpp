#include <gtest/gtest.h>

#include "testing/PulseAudioServer.h"
#include "testing/XvfbServer.h"

using namespace velmo::test;

TEST(XvfbServer, StartsOnItsOwnDisplayAndAnswersClients) {
    XvfbServer x("640x480x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    EXPECT_EQ(x.display().front(), ':');
    EXPECT_EQ(x.run("xrandr --query >/dev/null 2>&1"), 0);
}

TEST(PulseAudioServer, StartsWithItsNullSink) {
    PulseAudioServer pulse("velmo_probe");
    ASSERT_TRUE(pulse.isRunning()) << pulse.failure();
    std::string cmd = "PULSE_SERVER=" + pulse.serverAddress() + " pactl list short sinks | grep -q velmo_probe";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}
