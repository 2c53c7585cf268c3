#include "platform/foundation/WebSocketError.h"

namespace velmo {

std::string WebSocketError::standardMessage(Code code) {
    switch (code) {
        case cancelled: return "The request was cancelled.";
        case badURL: return "The request is malformed.";
        case timedOut: return "The request timed out.";
        case unsupportedURL: return "The URL's scheme is not supported.";
        case cannotFindHost: return "A server with the specified hostname could not be found.";
        case cannotConnectToHost: return "Could not connect to the server.";
        case networkConnectionLost: return "The network connection was lost.";
        case notConnectedToInternet: return "The Internet connection appears to be offline.";
        case badServerResponse: return "The server's response could not be understood.";
        case secureConnectionFailed: return "A secure connection to the server could not be made.";
        case unknown: break;
    }
    return "The transfer failed.";
}

WebSocketError::WebSocketError(Code code) : Error(domainName, code, standardMessage(code)) {}

WebSocketError::WebSocketError(Code code, const std::string& detail)
    : Error(domainName, code, detail.empty() ? standardMessage(code) : standardMessage(code) + " (" + detail + ")") {}

bool isWebSocketError(const std::exception_ptr& error, WebSocketError::Code code) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const WebSocketError& e) {
        return e.webSocketCode() == code;
    } catch (...) {
        return false;
    }
}

}  // namespace velmo
