#include "platform/base/Logger.h"

#include <algorithm>
#include <cstdio>

namespace velmo {
namespace {
std::mutex& logMutex() {
    static std::mutex m;
    return m;
}
std::vector<LogCapture*>& captures() {
    static std::vector<LogCapture*> c;
    return c;
}
}  // namespace

void Logger::log(std::string_view line) {
    std::lock_guard lock(logMutex());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    for (LogCapture* capture : captures()) capture->append(line);
}

LogCapture::LogCapture() {
    std::lock_guard lock(logMutex());
    captures().push_back(this);
}

LogCapture::~LogCapture() {
    std::lock_guard lock(logMutex());
    auto& c = captures();
    c.erase(std::remove(c.begin(), c.end(), this), c.end());
}

void LogCapture::append(std::string_view line) {
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
