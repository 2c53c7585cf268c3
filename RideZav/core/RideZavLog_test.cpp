#include "RideZav/core/RideZavLog.h"

#include <gtest/gtest.h>

#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"

namespace ridezav {
namespace {

TEST(RideZavLog, PrintsWithThePrefixOnlyWhileDebugIsOn) {
    velmo::LogCapture log;
    RideZavLog::setDebug(false);
    ridezavLog("hidden");
    RideZavLog::setDebug(true);
    ridezavLog("shown");
    RideZavLog::setDebug(false);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[RideZav] shown"}));
}

}  // namespace
}  // namespace ridezav
