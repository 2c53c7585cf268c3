#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace velmo {

// A worker thread running submitted blocks one at a time in FIFO order.
// Destruction runs what is already queued, then joins the worker.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> work);
    // Runs `work` on the queue and waits for it. Called from the queue itself it runs inline
    // (a serial queue waiting on itself would never finish).
    void sync(const std::function<void()>& work);
    bool isCurrent() const;
    const std::string& label() const { return label_; }

private:
    struct State;
    std::string label_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace velmo
