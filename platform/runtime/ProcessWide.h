#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>

namespace velmo {

// The one instance of a platform service for the whole process, installed by `main` (tests
// install simulated ones). Nothing is made on first use: asking for a service nobody installed
// is a fault of the program, so `current()` says which and aborts. Thread-safe.
template <class T>
class ProcessWide {
public:
    explicit ProcessWide(const char* name)
        : name_(name) {}

    std::shared_ptr<T> current() {
        std::lock_guard lock(mutex_);
        if (!installed_) {
            std::fprintf(stderr, "velmo: no %s is installed (main installs the real one, a test its simulated one)\n", name_);
            std::abort();
        }
        return installed_;
    }
    // The installed instance, or null where having none is a state of its own (no desktop).
    std::shared_ptr<T> installed() {
        std::lock_guard lock(mutex_);
        return installed_;
    }
    // Installs `instance` (null: none) and returns what was installed before.
    std::shared_ptr<T> exchange(std::shared_ptr<T> instance) {
        std::lock_guard lock(mutex_);
        std::swap(installed_, instance);
        return instance;
    }

private:
    const char* name_;
    std::mutex mutex_;
    std::shared_ptr<T> installed_;
};

}  // namespace velmo
