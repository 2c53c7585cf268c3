#pragma once

#include <string>

#include "platform/base/Error.h"

namespace velmo {

// Transport failures of the URL session, in the domain "NSURLErrorDomain" with the usual
// negative codes. Every failure of a transfer is one of these; anything the transport cannot
// name more precisely is `unknown`.
class URLError : public Error {
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
        dataLengthExceedsMaximum = -1103,
        secureConnectionFailed = -1200,
    };

    static constexpr const char* domainName = "NSURLErrorDomain";

    explicit URLError(Code code);
    // `detail` (the transport's own words) is appended to the standard message.
    URLError(Code code, const std::string& detail);

    Code urlCode() const noexcept { return static_cast<Code>(code()); }
    static std::string standardMessage(Code code);
    // Maps a libcurl result (and the socket's errno when curl reports one) onto a code.
    // `networkUsable` tells whether the machine has a usable network path right now.
    static Code codeForCurlResult(int curlCode, long osErrno, bool networkUsable);
};

bool isURLError(const std::exception_ptr& error, URLError::Code code);

}  // namespace velmo
