#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

namespace ridezav {

// An error as error tracking reads it: the name of the error's own type, a domain and code, the
// descriptions meant for people and for developers, and the error it came from. Any caught
// exception bridges to one. Plain value; the underlying link is shared and compared by identity.
class PlatformError : public std::exception {
public:
    // The type name of an error made directly as a PlatformError; error tracking reports such
    // an error under its domain instead.
    static constexpr const char* plainTypeName = "PlatformError";

    PlatformError(std::string domain, std::int64_t code, std::string localizedDescription = "",
                  std::shared_ptr<PlatformError> underlyingError = nullptr);

    // A project error (velmo::Error) keeps its domain, code and message, and the name of its
    // own type unless it is the plain velmo::Error; any other C++ exception becomes an error of
    // domain "<namespace>.<type>" (dots for "::"), code 0, its what() as the description.
    static PlatformError bridge(const std::exception& error);
    // The same for whatever the pointer holds; a thrown non-exception keeps its type's name.
    static PlatformError bridge(const std::exception_ptr& error);

    const std::string& typeName() const noexcept { return typeName_; }
    const std::string& domain() const noexcept { return domain_; }
    std::int64_t code() const noexcept { return code_; }
    const std::string& localizedDescription() const noexcept { return localizedDescription_; }
    const std::optional<std::string>& debugDescription() const noexcept { return debugDescription_; }
    const std::shared_ptr<PlatformError>& underlyingError() const noexcept { return underlyingError_; }

    void setTypeName(std::string name) { typeName_ = std::move(name); }
    void setDebugDescription(std::optional<std::string> description) { debugDescription_ = std::move(description); }
    void setUnderlyingError(std::shared_ptr<PlatformError> error) { underlyingError_ = std::move(error); }

    const char* what() const noexcept override { return localizedDescription_.c_str(); }

private:
    std::string typeName_ = plainTypeName;
    std::string domain_;
    std::int64_t code_;
    std::string localizedDescription_;
    std::optional<std::string> debugDescription_;
    std::shared_ptr<PlatformError> underlyingError_;
};

// A named exception with a reason, possibly caused by another one. Raised through `raise`, it
// carries the return addresses of the stack it was raised on; one never raised carries none.
class PlatformException : public std::exception {
public:
    PlatformException(std::string name, std::optional<std::string> reason = std::nullopt,
                      std::shared_ptr<PlatformException> underlyingException = nullptr);

    // Records the calling thread's return addresses (innermost first) and throws a copy.
    [[noreturn]] void raise();
    [[noreturn]] static void raise(std::string name, std::optional<std::string> reason = std::nullopt,
                                   std::shared_ptr<PlatformException> underlyingException = nullptr);

    const std::string& name() const noexcept { return name_; }
    const std::optional<std::string>& reason() const noexcept { return reason_; }
    const std::shared_ptr<PlatformException>& underlyingException() const noexcept { return underlying_; }
    void setUnderlyingException(std::shared_ptr<PlatformException> exception) { underlying_ = std::move(exception); }
    const std::vector<std::uintptr_t>& callStackReturnAddresses() const noexcept { return returnAddresses_; }

    const char* what() const noexcept override { return reason_ ? reason_->c_str() : name_.c_str(); }

private:
    std::string name_;
    std::optional<std::string> reason_;
    std::shared_ptr<PlatformException> underlying_;
    std::vector<std::uintptr_t> returnAddresses_;
};

// The calling thread's return addresses, innermost first, from backtrace(3); the caller's own
// frame is the first.
std::vector<std::uintptr_t> currentCallStackReturnAddresses();

}  // namespace ridezav
