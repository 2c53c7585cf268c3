// The process's one POSIX signal handler for the crash reporter: one common handler per signal,
// a chain of callbacks (the newest first, then the actions that were installed before ours), and
// a 64 KiB alternate stack so that a stack overflow on the registering thread can still be reported.
#pragma once

#include <cstddef>
#include <optional>

#include "crashreporter/ZVCrashReporterError.h"
#include "crashreporter/async/zvcrash_async_signal_handler.h"

namespace zvcrash {

class ZVCrashSignalHandler {
public:
    static constexpr size_t alternateStackSize = 65536;

    // The shared instance, made on first use. Thread-safe.
    static ZVCrashSignalHandler& sharedHandler();

    // Installs the common handler for signo (once per signal) on an alternate stack for the
    // calling thread, then puts {callback, context} at the head of the chain, so the most recent
    // callback runs first. Failures: code 1 "Could not initialize alternative signal stack" or
    // "Failed to register signal handler", with errno underneath. Thread-safe.
    bool registerHandlerForSignal(int signo, zvcrash_signal_handler_callback_func callback, void* context,
                                  std::optional<ZVCrashReporterError>* error = nullptr);

    // The first half of the above: the stack, a forwarder to the earlier actions at the tail of
    // the chain, and the common handler when signo has none yet. Thread-safe.
    bool registerHandlerWithSignal(int signo, std::optional<ZVCrashReporterError>* error = nullptr);

    // Empties the chain and the saved actions; the installed handlers stay. Thread-safe.
    static void resetHandlers();

    ZVCrashSignalHandler(const ZVCrashSignalHandler&) = delete;
    ZVCrashSignalHandler& operator=(const ZVCrashSignalHandler&) = delete;

private:
    ZVCrashSignalHandler();

    stack_t sigstk_{};
};

}  // namespace zvcrash
