#pragma once

#include <exception>
#include <string>

namespace velmo {

// An application error: a domain, a code and a human-readable message.
// Thrown by value and caught by reference; `description()` is the one text used in log lines.
class Error : public std::exception {
public:
    Error(std::string domain, long code, std::string message);
    ~Error() override = default;

    const std::string& domain() const noexcept { return domain_; }
    long code() const noexcept { return code_; }
    // The message meant for people (what the platform calls the localized description).
    const std::string& localizedDescription() const noexcept { return message_; }
    const std::string& message() const noexcept { return message_; }

    // The single textual form written into log lines.
    virtual std::string description() const;

    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string domain_;
    long code_;
    std::string message_;
};

// An error whose description is its message alone (the transcription back-ends' errors).
class MessageError : public Error {
public:
    MessageError(std::string domain, std::string message)
        : Error(std::move(domain), 0, std::move(message)) {}
    std::string description() const override { return message(); }
};

// The error a cancelled task's awaited work ends with, distinct from any transfer's own
// cancellation error.
class CancellationError : public Error {
public:
    CancellationError();
};

// Textual description of any caught exception: an Error's description, else what().
std::string describeException(const std::exception_ptr& error);
// The localized description of any caught exception.
std::string localizedDescriptionOf(const std::exception_ptr& error);
bool isCancellationError(const std::exception_ptr& error);

}  // namespace velmo
