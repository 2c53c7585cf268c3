#pragma once

#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>

namespace velmo {

namespace detail {
// A spent callback was called again: debug builds print which and abort, release builds return.
#ifdef NDEBUG
inline void onceCallbackCalledAgain(const char*) {}
#else
[[noreturn]] void onceCallbackCalledAgain(const char* signature);
#endif
}  // namespace detail

// A callback that runs at most once: the completion of an operation, the action that ends a
// subscription. Calling it runs the function and lets go of it (its captures are released before
// the call returns). Calling it again, or calling one it was moved from, is a programming error:
// debug builds abort naming it, release builds ignore the call. Destroying it uncalled is allowed,
// and calling one made empty runs nothing but spends it. Move-only. (Not `Completion<T>`, which is
// a value a task awaits.)
// Thread-safety: none of its own; one thread at a time calls, tests or moves it.
template <class... Args>
class OnceCallback {
public:
    OnceCallback() = default;
    OnceCallback(std::nullptr_t) {}
    template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, OnceCallback> && std::is_constructible_v<std::function<void(Args...)>, F>)
        OnceCallback(F&& function)
        : function_(std::forward<F>(function)) {}
    OnceCallback(OnceCallback&& o) noexcept
        : function_(std::move(o.function_)),
          spent_(std::exchange(o.spent_, true)) {
        o.function_ = nullptr;
    }
    OnceCallback& operator=(OnceCallback&& o) noexcept {
        if (this != &o) {
            function_ = std::move(o.function_);
            o.function_ = nullptr;
            spent_ = std::exchange(o.spent_, true);
        }
        return *this;
    }
    OnceCallback(const OnceCallback&) = delete;
    OnceCallback& operator=(const OnceCallback&) = delete;

    // Holds a function that has not run yet.
    explicit operator bool() const { return !spent_ && function_ != nullptr; }
    // Called already, or moved from.
    bool isSpent() const { return spent_; }

    void operator()(Args... args) {
        if (spent_) {
            detail::onceCallbackCalledAgain(__PRETTY_FUNCTION__);
            return;
        }
        spent_ = true;
        // Out of the member first: the function may reach this callback again (test it, move it,
        // destroy its owner).
        auto function = std::move(function_);
        function_ = nullptr;
        if (function) function(std::forward<Args>(args)...);
    }

private:
    std::function<void(Args...)> function_;
    bool spent_ = false;
};

}  // namespace velmo
