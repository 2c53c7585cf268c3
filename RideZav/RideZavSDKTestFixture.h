#pragma once

// The facade tests' fixture: a facade of its own over a temporary data folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "RideZav/RideZavSDK.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "RideZav/RideZavTesting.h"
#include "RideZav/storage/StorageTesting.h"
#include "platform/runtime/VirtualMainLoop.h"

namespace ridezav {

inline constexpr const char* kGuardLine = "[RideZav] RideZav method was called without `setup` being complete. Call wil be ignored.";

// A facade of its own over a temporary data folder, on the virtual main loop.
class RideZavSDKTest : public testing::Test {
protected:
    ~RideZavSDKTest() override {
        loop.loop().runUntilIdle();
        RideZavLog::setDebug(false);
    }
    static RideZavConfig config(const std::string& key = "phc_facade") {
        RideZavConfig c(key, "http://127.0.0.1:9");
        c.disableReachabilityForTesting = true;
        c.disableQueueTimerForTesting = true;
        c.disableFlushOnBackgroundForTesting = true;
        c.captureApplicationLifecycleEvents = false;  // its events have tests of their own
        return c;
    }
    std::shared_ptr<RideZavSDK> setUp(RideZavConfig c) {
        auto sdk = RideZavSDK::create(c);
        sdk->setup(c);
        return sdk;
    }
    std::filesystem::path queueFolder(const std::string& key = "phc_facade") const {
        return sandbox.dataHome() / "com.example.velmo" / key / "ridezav.queueFolder";
    }
    // Events stored in a queue folder, as files or still in its journal.
    static std::ptrdiff_t eventFiles(const std::filesystem::path& folder) {
        return static_cast<std::ptrdiff_t>(storedContents(folder).size());
    }
    // The queued events, oldest first.
    std::vector<RideZavEvent> queued(const std::string& key = "phc_facade") const { return queuedEvents(queueFolder(key)); }

    velmo::VirtualMainLoopScope loop;
    velmo::test::StorageSandbox sandbox;
};

}  // namespace ridezav
