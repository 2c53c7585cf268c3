#include "platform/net/URLError.h"

#include <curl/curl.h>

#include <cerrno>

namespace velmo {

std::string URLError::standardMessage(Code code) {
    switch (code) {
        case cancelled:
            return "The request was cancelled.";
        case badURL:
            return "The request is malformed.";
        case timedOut:
            return "The request timed out.";
        case unsupportedURL:
            return "The URL's scheme is not supported.";
        case cannotFindHost:
            return "A server with the specified hostname could not be found.";
        case cannotConnectToHost:
            return "Could not connect to the server.";
        case networkConnectionLost:
            return "The network connection was lost.";
        case notConnectedToInternet:
            return "The Internet connection appears to be offline.";
        case badServerResponse:
            return "The server's response could not be understood.";
        case dataLengthExceedsMaximum:
            return "The resource exceeds the maximum size.";
        case secureConnectionFailed:
            return "A secure connection to the server could not be made.";
        case unknown:
            break;
    }
    return "The transfer failed.";
}

URLError::URLError(Code code)
    : Error(domainName, code, standardMessage(code)) {}

URLError::URLError(Code code, const std::string& detail)
    : Error(domainName, code, detail.empty() ? standardMessage(code) : standardMessage(code) + " (" + detail + ")") {}

URLError::Code URLError::codeForCurlResult(int curlCode, long osErrno, bool networkUsable) {
    switch (static_cast<CURLcode>(curlCode)) {
        case CURLE_OPERATION_TIMEDOUT:
            return timedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return networkUsable ? cannotFindHost : notConnectedToInternet;
        case CURLE_COULDNT_CONNECT:
            if (!networkUsable || osErrno == ENETUNREACH || osErrno == ENETDOWN) return notConnectedToInternet;
            return cannotConnectToHost;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2_STREAM:
            return networkConnectionLost;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP2:
        case CURLE_TOO_MANY_REDIRECTS:
            return badServerResponse;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
            return secureConnectionFailed;
        case CURLE_URL_MALFORMAT:
            return badURL;
        case CURLE_UNSUPPORTED_PROTOCOL:
            // Schemes are checked before a transfer starts, so here the server's reply was not
            // HTTP (libcurl's words for an answer without a status line).
            return badServerResponse;
        case CURLE_ABORTED_BY_CALLBACK:
            return cancelled;
        default:
            return unknown;
    }
}

bool isURLError(const std::exception_ptr& error, URLError::Code code) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return e.domain() == URLError::domainName && e.code() == code;
    } catch (...) {
        return false;
    }
}

}  // namespace velmo
