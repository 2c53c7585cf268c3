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
    // Event files in a queue folder; the queue's spare temporary file, made ready in the
    // background for the next write, is not one.
    static std::ptrdiff_t eventFiles(const std::filesystem::path& folder) {
        if (!std::filesystem::exists(folder)) return 0;
        std::ptrdiff_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().filename().string().rfind(".ridezav-tmp-", 0) != 0) ++n;
        return n;
    }
    // The queued events, oldest first.
    std::vector<RideZavEvent> queued(const std::string& key = "phc_facade") const {
        std::vector<std::pair<double, RideZavEvent>> found;
        if (!std::filesystem::exists(queueFolder(key))) return {};
        for (const auto& entry : std::filesystem::directory_iterator(queueFolder(key))) {
            auto contents = velmo::test::StorageSandbox::read(entry.path());
            if (!contents) continue;
            if (auto event = RideZavQueue::decodeEvent(*contents)) found.emplace_back(std::stod(entry.path().filename().string()), *event);
        }
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<RideZavEvent> out;
        for (auto& [n, e] : found) out.push_back(e);
        return out;
    }

    velmo::VirtualMainLoopScope loop;
    velmo::test::StorageSandbox sandbox;
};

}  // namespace ridezav
