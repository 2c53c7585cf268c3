#include "crashreporter/ZVCrashSignalHandler.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace zvcrash {

namespace {
std::mutex& registrationMutex() {
    static std::mutex mutex;
    return mutex;
}

bool fail(std::optional<ZVCrashReporterError>* error, const char* description, int errnoValue) {
    if (error) *error = ZVCrashReporterError::posix(description, errnoValue);
    return false;
}
}  // namespace

ZVCrashSignalHandler& ZVCrashSignalHandler::sharedHandler() {
    // Never destroyed: a crash during exit still needs the stack and the chain.
    static auto* shared = new ZVCrashSignalHandler();
    return *shared;
}

ZVCrashSignalHandler::ZVCrashSignalHandler() {
    sigstk_.ss_sp = std::malloc(alternateStackSize);
    sigstk_.ss_size = sigstk_.ss_sp != nullptr ? alternateStackSize : 0;
    sigstk_.ss_flags = 0;
}

bool ZVCrashSignalHandler::registerHandlerWithSignal(int signo, std::optional<ZVCrashReporterError>* error) {
    std::lock_guard<std::mutex> guard(registrationMutex());
    if (sigstk_.ss_sp == nullptr) return fail(error, "Could not initialize alternative signal stack", ENOMEM);
    if (sigaltstack(&sigstk_, nullptr) != 0) return fail(error, "Could not initialize alternative signal stack", errno);
    zvcrash_async_signal_handler_append_forwarder();
    if (zvcrash_async_signal_handler_is_installed(signo)) return true;
    if (!zvcrash_async_signal_handler_install(signo)) return fail(error, "Failed to register signal handler", errno);
    return true;
}

bool ZVCrashSignalHandler::registerHandlerForSignal(int signo, zvcrash_signal_handler_callback_func callback, void* context,
                                                    std::optional<ZVCrashReporterError>* error) {
    if (!registerHandlerWithSignal(signo, error)) return false;
    zvcrash_async_signal_handler_prepend_callback(callback, context);
    return true;
}

void ZVCrashSignalHandler::resetHandlers() {
    std::lock_guard<std::mutex> guard(registrationMutex());
    zvcrash_async_signal_handler_reset();
}

}  // namespace zvcrash
