#pragma once

#include <exception>
#include <string>

#include "platform/foundation/Error.h"

namespace velmo {

// Failures of WebSocket tasks, in the domain "NSURLErrorDomain" with the URL loading system's
// negative codes and standard messages, so callers treat them like any other transfer failure.
class WebSocketError : public Error {
public:
    enum Code : long {
        unknown = -1,
        cancelled = -999,
        badURL = -1000,
        timedOut = -1001,
        unsupportedURL = -1002,
        cannotFindHost = -1003,
        cannotConnectToHost = -1004,
        networkConnectionLost = -1005,
        notConnectedToInternet = -1009,
        badServerResponse = -1011,
        secureConnectionFailed = -1200,
    };

    static constexpr const char* domainName = "NSURLErrorDomain";

    explicit WebSocketError(Code code);
    // `detail` (what went wrong, in the transport's words) is appended to the standard message.
    WebSocketError(Code code, const std::string& detail);

    Code webSocketCode() const noexcept { return static_cast<Code>(code()); }
    static std::string standardMessage(Code code);
};

bool isWebSocketError(const std::exception_ptr& error, WebSocketError::Code code);

}  // namespace velmo
