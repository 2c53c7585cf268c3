#pragma once

#include <functional>
#include <vector>

#include "platform/runtime/MainLoop.h"

namespace velmo::test {

// Collects the finished callbacks and where they ran.
struct PlaybackFinishedLog {
    std::vector<bool> results;
    bool onMainThread = true;
    std::function<void(bool)> callback() {
        return [this](bool ok) {
            results.push_back(ok);
            onMainThread = onMainThread && velmo::MainLoop::isMainThread();
        };
    }
};

}  // namespace velmo::test
