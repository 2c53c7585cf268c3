#pragma once

// Asynchronous work as C++20 coroutines resumed on the main loop.
//
// A function returning Task<T> is a coroutine that does not run until it is either awaited by
// another task (it then runs inline as a child, sharing the awaiting task's cancellation) or
// started with `start()`, which posts its first step to the main loop. A started task runs to
// its end even when every handle is dropped; awaiting a started task waits for its result.
// Cancellation is cooperative: `cancel()` marks the task and cancels what it awaits right now
// (a sleep ends with CancellationError, a transfer with its own cancellation error).
//
// g++ 12 destroys the closure of a lambda written inside a full-expression that holds a
// co_await twice, thrown or not (other temporaries there are destroyed once). Name the lambda,
// or make the task, in a statement of its own:
//     auto onSubmit = [state](const std::string& text) { state->submit(text); };
//     co_await manager->startPushToTalkFromKeyboardShortcut(draft, onUpdate, onSubmit);

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/base/Error.h"
#include "platform/runtime/Cancellation.h"
#include "platform/runtime/MainLoop.h"

namespace velmo {

template <class T = void>
class Task;

namespace detail {

// The cancellation token of the task whose code is running on this thread right now.
CancellationToken*& currentTaskToken();

struct TaskCoreBase {
    CancellationTokenPtr token = std::make_shared<CancellationToken>();
    std::coroutine_handle<> frame;
    bool started = false;
    bool done = false;
    std::coroutine_handle<> inlineContinuation;  // a parent awaiting this task as its child
    std::vector<std::coroutine_handle<>> waiters;  // others awaiting a started task
    std::exception_ptr error;
};

template <class T>
struct TaskCore : TaskCoreBase {
    std::optional<T> value;
};
template <>
struct TaskCore<void> : TaskCoreBase {};

// Owns a frame that was never started, so dropping an unstarted task frees it.
template <class T>
struct TaskHolder {
    std::shared_ptr<TaskCore<T>> core;
    explicit TaskHolder(std::shared_ptr<TaskCore<T>> c)
        : core(std::move(c)) {}
    TaskHolder(const TaskHolder&) = delete;
    TaskHolder& operator=(const TaskHolder&) = delete;
    ~TaskHolder() {
        if (core && !core->started && core->frame) {
            auto frame = core->frame;
            core->frame = nullptr;
            frame.destroy();
        }
    }
};

template <class A>
concept TokenAwaitable = requires(A a, std::coroutine_handle<> h, CancellationTokenPtr t) {
    a.await_suspend(h, t);
};

// Every co_await inside a task goes through this wrapper: it hands the task's cancellation
// token to awaitables that take one and keeps `currentTaskToken` right across suspensions.
template <class A>
struct AwaitWrapper {
    A inner;
    TaskCoreBase* core;

    bool await_ready() { return inner.await_ready(); }
    template <class H>
    auto await_suspend(H h) {
        currentTaskToken() = nullptr;
        if constexpr (TokenAwaitable<A>) {
            return inner.await_suspend(std::coroutine_handle<>(h), core->token);
        } else {
            return inner.await_suspend(h);
        }
    }
    decltype(auto) await_resume() {
        currentTaskToken() = core->token.get();
        return inner.await_resume();
    }
};

struct PromiseBase {
    std::shared_ptr<TaskCoreBase> coreBase;

    struct InitialAwaiter {
        TaskCoreBase* core;
        bool await_ready() noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) noexcept {}
        void await_resume() noexcept { currentTaskToken() = core->token.get(); }
    };
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            std::shared_ptr<TaskCoreBase> core = h.promise().coreBase;
            core->done = true;
            core->frame = nullptr;
            auto continuation = core->inlineContinuation;
            auto waiters = std::move(core->waiters);
            core->waiters.clear();
            h.destroy();
            for (auto w : waiters) MainLoop::postToMain([w] { w.resume(); });
            currentTaskToken() = nullptr;
            return continuation ? continuation : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };

    InitialAwaiter initial_suspend() noexcept { return {coreBase.get()}; }
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() { coreBase->error = std::current_exception(); }

    template <class A>
    auto await_transform(A&& awaitable) {
        if constexpr (requires { awaitable.operator co_await(); }) {
            using Inner = decltype(awaitable.operator co_await());
            return AwaitWrapper<Inner>{awaitable.operator co_await(), coreBase.get()};
        } else {
            return AwaitWrapper<std::decay_t<A>>{std::forward<A>(awaitable), coreBase.get()};
        }
    }
};

template <class T>
struct TaskPromise : PromiseBase {
    std::shared_ptr<TaskCore<T>> core = std::make_shared<TaskCore<T>>();
    TaskPromise() { coreBase = core; }
    Task<T> get_return_object();
    template <class U>
    void return_value(U&& v) {
        core->value.emplace(std::forward<U>(v));
    }
};

template <>
struct TaskPromise<void> : PromiseBase {
    std::shared_ptr<TaskCore<void>> core = std::make_shared<TaskCore<void>>();
    TaskPromise() { coreBase = core; }
    Task<void> get_return_object();
    void return_void() {}
};

}  // namespace detail

template <class T>
class Task {
public:
    using promise_type = detail::TaskPromise<T>;
    using value_type = T;

    Task() = default;

    // Posts the task's first step to the main loop. Starting twice does nothing more.
    Task& start() {
        auto core = holder_->core;
        if (core->started) return *this;
        core->started = true;
        MainLoop::postToMain([core] {
            if (core->frame) core->frame.resume();
        });
        return *this;
    }

    void cancel() const {
        if (holder_) holder_->core->token->cancel();
    }
    bool isCancelled() const { return holder_ && holder_->core->token->isCancelled(); }
    bool isDone() const { return holder_ && holder_->core->done; }
    bool isValid() const { return holder_ != nullptr; }
    const CancellationTokenPtr& token() const { return holder_->core->token; }

    // Whether the task whose code is running now has been cancelled (false outside any task).
    static bool isCurrentCancelled() {
        auto* token = detail::currentTaskToken();
        return token && token->isCancelled();
    }
    // Throws CancellationError when the running task has been cancelled.
    static void checkCancellation() {
        if (isCurrentCancelled()) throw CancellationError();
    }

    // co_await support.
    struct Awaiter {
        std::shared_ptr<detail::TaskCore<T>> core;
        bool await_ready() const noexcept { return core->done; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting, CancellationTokenPtr token) {
            if (!core->started) {
                // Runs inline as a child of the awaiting task, sharing its cancellation.
                core->started = true;
                core->token = std::move(token);
                core->inlineContinuation = awaiting;
                return core->frame;
            }
            core->waiters.push_back(awaiting);
            return std::noop_coroutine();
        }
        T await_resume() {
            if (core->error) std::rethrow_exception(core->error);
            if constexpr (!std::is_void_v<T>) {
                // A task awaited inline has this one consumer: its result is handed over, not
                // copied (screenshots and replies are large). A started task may have several.
                if constexpr (std::is_copy_constructible_v<T>) {
                    if (core->inlineContinuation) return std::move(*core->value);
                    return *core->value;
                } else {
                    return std::move(*core->value);
                }
            }
        }
    };
    Awaiter operator co_await() const { return Awaiter{holder_->core}; }

private:
    template <class>
    friend struct detail::TaskPromise;
    explicit Task(std::shared_ptr<detail::TaskCore<T>> core)
        : holder_(std::make_shared<detail::TaskHolder<T>>(std::move(core))) {}

    std::shared_ptr<detail::TaskHolder<T>> holder_;
};

namespace detail {
template <class T>
Task<T> TaskPromise<T>::get_return_object() {
    core->frame = std::coroutine_handle<TaskPromise<T>>::from_promise(*this);
    return Task<T>(core);
}
inline Task<void> TaskPromise<void>::get_return_object() {
    core->frame = std::coroutine_handle<TaskPromise<void>>::from_promise(*this);
    return Task<void>(core);
}

template <class F>
using TaskOf = std::invoke_result_t<F&>;

template <class F>
TaskOf<F> runHeld(std::shared_ptr<F> callable) {
    if constexpr (std::is_void_v<typename TaskOf<F>::value_type>) {
        co_await (*callable)();
    } else {
        co_return co_await (*callable)();
    }
}
}  // namespace detail

// Starts a coroutine lambda as a task on the main loop (a posted start). The lambda object, with
// its captures, lives as long as the task runs.
template <class F>
auto startTask(F callable) -> detail::TaskOf<F> {
    auto task = detail::runHeld(std::make_shared<F>(std::move(callable)));
    task.start();
    return task;
}

// Suspends the running task for `duration` on the main loop's clock. Throws CancellationError
// when the task is cancelled before or during the wait.
struct SleepAwaiter {
    Seconds duration;
    struct State {
        std::coroutine_handle<> handle;
        std::atomic<bool> finished{false};
        bool cancelled = false;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    CancellationToken::Registration registration;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h, const CancellationTokenPtr& token) {
        state->handle = h;
        WorkItem item = MainLoop::postToMainAfter(duration, [s = state] {
            if (!s->finished.exchange(true)) s->handle.resume();
        });
        registration = token->onCancel([s = state, item] {
            item.cancel();
            if (!s->finished.exchange(true)) {
                s->cancelled = true;
                MainLoop::postToMain([s] { s->handle.resume(); });
            }
        });
    }
    void await_resume() {
        registration.reset();
        if (state->cancelled) throw CancellationError();
    }
};

inline SleepAwaiter sleepFor(Seconds duration) { return SleepAwaiter{duration, std::make_shared<SleepAwaiter::State>(), {}}; }

// A value produced by callback-style code on any thread and awaited by one task, which resumes
// on the main loop. The producer may install a cancel handler: cancelling the awaiting task calls
// it, and the producer then settles the completion with its own cancellation error. Without a
// handler, cancellation does not interrupt the wait.
template <class T>
class Completion {
    struct State {
        std::mutex mutex;
        bool settled = false;
        std::optional<T> value;
        std::exception_ptr error;
        std::coroutine_handle<> waiter;
        std::function<void()> onCancel;
    };

public:
    Completion()
        : state_(std::make_shared<State>()) {}

    void resolve(T value) const {
        settle([&](State& s) { s.value.emplace(std::move(value)); });
    }
    void fail(std::exception_ptr error) const {
        settle([&](State& s) { s.error = std::move(error); });
    }
    template <class E>
    void fail(E error) const {
        fail(std::make_exception_ptr(std::move(error)));
    }
    bool isSettled() const {
        std::lock_guard lock(state_->mutex);
        return state_->settled;
    }
    void setCancelHandler(std::function<void()> handler) const {
        std::lock_guard lock(state_->mutex);
        state_->onCancel = std::move(handler);
    }

    struct Awaiter {
        std::shared_ptr<State> state;
        CancellationToken::Registration registration;
        bool await_ready() {
            std::lock_guard lock(state->mutex);
            return state->settled;
        }
        bool await_suspend(std::coroutine_handle<> h, const CancellationTokenPtr& token) {
            {
                std::lock_guard lock(state->mutex);
                if (state->settled) return false;
                state->waiter = h;
            }
            registration = token->onCancel([s = state] {
                std::function<void()> handler;
                {
                    std::lock_guard lock(s->mutex);
                    if (s->settled) return;
                    handler = s->onCancel;
                }
                if (handler) handler();
            });
            return true;
        }
        T await_resume() {
            registration.reset();
            std::lock_guard lock(state->mutex);
            if (state->error) std::rethrow_exception(state->error);
            return std::move(*state->value);
        }
    };
    Awaiter operator co_await() const { return Awaiter{state_, {}}; }

private:
    template <class Set>
    void settle(Set&& set) const {
        std::coroutine_handle<> waiter;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->settled) return;
            set(*state_);
            state_->settled = true;
            waiter = state_->waiter;
            state_->onCancel = nullptr;
        }
        if (waiter) MainLoop::postToMain([waiter] { waiter.resume(); });
    }
    std::shared_ptr<State> state_;
};

struct Unit {
    bool operator==(const Unit&) const = default;
};

// What an awaited task ended with: its value, or the error it threw.
template <class T>
struct Outcome {
    std::optional<std::conditional_t<std::is_void_v<T>, Unit, T>> value;
    std::exception_ptr error;
};

// Awaits `task` and never throws: its error, cancellation included, comes back in the outcome.
// Lets a caller handle a failure outside a catch block, where co_await is not allowed.
template <class T>
Task<Outcome<T>> outcomeOf(Task<T> task) {
    Outcome<T> outcome;
    try {
        if constexpr (std::is_void_v<T>) {
            co_await task;
            outcome.value.emplace();
        } else {
            outcome.value.emplace(co_await task);
        }
    } catch (...) {
        outcome.error = std::current_exception();
    }
    co_return outcome;
}

}  // namespace velmo
