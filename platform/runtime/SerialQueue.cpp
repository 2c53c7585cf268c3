#include "platform/runtime/SerialQueue.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace velmo {

// Shared with the worker so that a queue released from one of its own blocks can finish safely.
struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> queue;
    bool stopping = false;
    std::thread::id worker;

    static void run(std::shared_ptr<State> self) {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(self->mutex);
                self->cv.wait(lock, [&] { return self->stopping || !self->queue.empty(); });
                if (self->queue.empty()) return;
                work = std::move(self->queue.front());
                self->queue.pop_front();
            }
            work();
        }
    }
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)),
      state_(std::make_shared<State>()) {
    std::unique_lock lock(state_->mutex);
    thread_ = std::thread(&State::run, state_);
    state_->worker = thread_.get_id();
    std::string name = label_.substr(0, 15);  // the kernel's thread-name limit
    pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->cv.notify_all();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // released from one of its own blocks: it finishes on its own
    } else {
        thread_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    std::lock_guard lock(state_->mutex);
    state_->queue.push_back(std::move(work));
    state_->cv.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    async([&] {
        work();
        std::lock_guard lock(doneMutex);
        done = true;
        doneCv.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const {
    std::lock_guard lock(state_->mutex);
    return state_->worker == std::this_thread::get_id();
}

}  // namespace velmo
