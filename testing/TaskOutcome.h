#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "platform/runtime/Task.h"

namespace velmo::testing {

// What a task ended with, filled in by a task that awaits it; drive the loop until `done`.
template <class T>
struct TaskOutcome {
    bool done = false;
    std::optional<T> value;
    std::exception_ptr error;
};

// Starts `task` (a posted start) and collects its value or error.
template <class T>
std::shared_ptr<TaskOutcome<T>> collect(Task<T> task) {
    auto outcome = std::make_shared<TaskOutcome<T>>();
    startTask([task, outcome]() -> Task<void> {
        try {
            outcome->value.emplace(co_await task);
        } catch (...) {
            outcome->error = std::current_exception();
        }
        outcome->done = true;
    });
    return outcome;
}

}  // namespace velmo::testing
