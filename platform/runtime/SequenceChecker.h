#pragma once

// Makes "bound to one thread" a checked fact. A class keeps a `SequenceChecker` member and calls
// `check()` at the top of each bound public method:
//
//     void Foo::stop() {
//         sequenceChecker_.check();
//         ...
//     }
//
// In debug builds the checker binds to the first thread that checks (objects are often made on
// one thread and handed to the one they live on) and a later check from any other thread
// prints the method and aborts, so the test that makes the wrong call fails there. In release
// builds (NDEBUG) it is an empty member whose checks compile to nothing; mark it
// [[no_unique_address]] and it takes no room either.

#include <atomic>
#include <thread>

namespace velmo {

class SequenceCheckerImpl {
public:
    // Whether the calling thread is the bound one; binds to it when none is bound yet.
    bool calledOnValidSequence() const {
        const std::thread::id self = std::this_thread::get_id();
        std::thread::id expected{};
        if (owner_.compare_exchange_strong(expected, self, std::memory_order_acq_rel)) return true;
        return expected == self;
    }
    // Aborts with the caller's name and place when called off the bound thread. (The builtins,
    // not std::source_location: clang 14 over libstdc++ 12 has no source_location.)
    void check(const char* function = __builtin_FUNCTION(), const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) const {
        if (!calledOnValidSequence()) fail(function, file, line);
    }
    // Forgets the bound thread; the next check binds again.
    void detach() { owner_.store(std::thread::id{}, std::memory_order_release); }

private:
    [[noreturn]] static void fail(const char* function, const char* file, unsigned line);

    mutable std::atomic<std::thread::id> owner_{};
};

class SequenceCheckerDoNothing {
public:
    bool calledOnValidSequence() const { return true; }
    void check(const char* = nullptr, const char* = nullptr, unsigned = 0) const {}
    void detach() {}
};

#ifdef NDEBUG
using SequenceChecker = SequenceCheckerDoNothing;
#else
using SequenceChecker = SequenceCheckerImpl;
#endif

}  // namespace velmo
