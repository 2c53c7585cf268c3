#include "platform/base/LogCapture.h"

#include <algorithm>

namespace velmo {

LogCapture::LogCapture() { addLogObserver(this); }

LogCapture::~LogCapture() { removeLogObserver(this); }

void LogCapture::logged(std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> LogCapture::linesStartingWith(std::string_view prefix) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& l : lines_)
        if (std::string_view(l).substr(0, prefix.size()) == prefix) out.push_back(l);
    return out;
}

bool LogCapture::contains(std::string_view line) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

}  // namespace velmo
