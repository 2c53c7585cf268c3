#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace velmo {

// The one instance of a platform service for the whole process: the installed one (tests put a
// simulated one in place), else the real one, made on first use and kept. Thread-safe.
template <class T>
class ProcessWide {
public:
    explicit ProcessWide(std::function<std::shared_ptr<T>()> makeDefault = nullptr)
        : makeDefault_(std::move(makeDefault)) {}

    std::shared_ptr<T> current() {
        std::lock_guard lock(mutex_);
        if (installed_) return installed_;
        if (!default_ && makeDefault_) default_ = makeDefault_();
        return default_;
    }
    // Installs `instance` (null brings back the default) and returns what was installed before.
    std::shared_ptr<T> exchange(std::shared_ptr<T> instance) {
        std::lock_guard lock(mutex_);
        std::swap(installed_, instance);
        return instance;
    }

private:
    std::mutex mutex_;
    std::function<std::shared_ptr<T>()> makeDefault_;
    std::shared_ptr<T> installed_;
    std::shared_ptr<T> default_;
};

}  // namespace velmo
