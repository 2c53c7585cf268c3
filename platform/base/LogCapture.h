#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Logger.h"

namespace velmo {

// Collects every line logged while it lives (tests assert on them). Lines still reach stdout.
class LogCapture : private LogObserver {
public:
    LogCapture();
    ~LogCapture() override;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // Lines that start with the given prefix, in order.
    std::vector<std::string> linesStartingWith(std::string_view prefix) const;
    bool contains(std::string_view line) const;
    void clear();

private:
    void logged(std::string_view line) override;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace velmo
