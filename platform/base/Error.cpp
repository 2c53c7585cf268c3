#include "platform/base/Error.h"

namespace velmo {

Error::Error(std::string domain, long code, std::string message)
    : domain_(std::move(domain)),
      code_(code),
      message_(std::move(message)) {}

std::string Error::description() const { return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + message_ + "\""; }

CancellationError::CancellationError()
    : Error("CancellationError", 1, "The task was cancelled.") {}

std::string describeException(const std::exception_ptr& error) {
    if (!error) return "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return e.description();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

std::string localizedDescriptionOf(const std::exception_ptr& error) {
    if (!error) return "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return e.localizedDescription();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

bool isCancellationError(const std::exception_ptr& error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError&) {
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace velmo
