#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/base/Error.h"
#include "platform/runtime/Task.h"
#include "platform/runtime/VirtualMainLoop.h"

namespace velmo::test {

// Starts a task on the main loop and keeps what it ended with, so tests can drive the loop,
// cancel it and look at its value or error.
template <class T>
class TaskProbe {
public:
    using Value = std::conditional_t<std::is_void_v<T>, Unit, T>;

    explicit TaskProbe(Task<T> task)
        : state_(std::make_shared<State>()) {
        runner_ = startTask([state = state_, task]() -> Task<void> {
            auto outcome = co_await outcomeOf(task);
            state->value = std::move(outcome.value);
            state->error = outcome.error;
            state->done = true;
        });
    }
    void cancel() const { runner_.cancel(); }
    bool done() const { return state_->done; }
    const std::optional<Value>& value() const { return state_->value; }
    std::exception_ptr error() const { return state_->error; }
    std::string errorDescription() const { return state_->error ? describeException(state_->error) : "no error"; }

    // Drives the loop (waiting for other threads, virtual clock unchanged) until the task ends.
    bool finish(VirtualMainLoop& loop, Seconds realTimeout = Seconds(10)) {
        return loop.runUntil([s = state_] { return s->done; }, realTimeout);
    }

private:
    struct State {
        std::optional<Value> value;
        std::exception_ptr error;
        bool done = false;
    };
    std::shared_ptr<State> state_;
    Task<void> runner_;
};

template <class T>
TaskProbe<T> awaitTask(VirtualMainLoop& loop, Task<T> task, Seconds realTimeout = Seconds(10)) {
    TaskProbe<T> probe(std::move(task));
    probe.finish(loop, realTimeout);
    return probe;
}

// The domain and code of an Error, or nothing for anything else.
struct ErrorIdentity {
    std::string domain;
    long code = 0;
    std::string message;
    bool operator==(const ErrorIdentity&) const = default;
};

inline std::optional<ErrorIdentity> errorIdentity(const std::exception_ptr& error) {
    if (!error) return std::nullopt;
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return ErrorIdentity{e.domain(), e.code(), e.localizedDescription()};
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace velmo::test
