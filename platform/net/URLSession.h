#pragma once

// HTTP(S) transfers over libcurl. Each session has one worker thread that runs all of its
// transfers (so a connection opened by one request is reused by the next one to the same host);
// completions, responses and lines are delivered on the main loop. Awaiting tasks cancel their
// transfer when they are cancelled, and the await then fails with URLError::cancelled.
//
// Tests reach loopback servers through OriginOverride: the URL a request names is rewritten
// there just before it is connected, so clients keep building their real URLs.

#include <coroutine>
#include <cstring>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/net/URLError.h"
#include "platform/runtime/Task.h"
#include "platform/runtime/Duration.h"

namespace velmo {

using HTTPHeaderFields = std::vector<std::pair<std::string, std::string>>;

struct URLSessionConfiguration {
    // Longest silence (no byte sent or received, connecting included) before a transfer fails
    // with URLError::timedOut. A request's own `timeoutInterval` can only shorten it.
    Seconds timeoutIntervalForRequest{60};
    // Longest time a whole transfer may take, waiting for connectivity included.
    Seconds timeoutIntervalForResource{7 * 24 * 3600};
    // When true, a request made while the machine has no usable network waits for one until
    // the resource time-out instead of failing at once with URLError::notConnectedToInternet.
    bool waitsForConnectivity = false;
    // When true, cookies set by responses are kept in memory for the session and sent back on
    // its later requests. Responses are never cached by this layer, whatever the setting.
    bool httpCookieStorage = true;
    // Sent with every request of the session, after the request's own fields; a field the
    // request sets itself (names compare without case) is not sent twice.
    HTTPHeaderFields httpAdditionalHeaders;

    static URLSessionConfiguration defaultSessionConfiguration() { return {}; }
};

struct URLRequest {
    explicit URLRequest(std::string url, Seconds timeoutInterval = Seconds(60))
        : url(std::move(url)),
          timeoutInterval(timeoutInterval) {}

    std::string url;
    std::string httpMethod = "GET";
    Seconds timeoutInterval;
    // Longest time the whole transfer may take from its start, however busy the connection
    // stays; none: only the session's resource time-out bounds it.
    std::optional<Seconds> totalTimeoutInterval;
    std::string httpBody;
    // Bounds of a whole body (data and upload transfers). A 2xx body longer than
    // `maximumBodyBytes` fails the transfer with URLError::dataLengthExceedsMaximum; any other
    // body is kept to its first `maximumErrorBodyBytes` bytes and the transfer ends there.
    std::optional<std::size_t> maximumBodyBytes;
    std::optional<std::size_t> maximumErrorBodyBytes;

    // Replaces any field of the same name (names compare without case); keeps the order in
    // which fields were first set. An empty value is sent as an empty header.
    void setValue(const std::string& value, const std::string& field);
    std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
    const HTTPHeaderFields& allHTTPHeaderFields() const { return headers_; }

private:
    HTTPHeaderFields headers_;
};

struct URLResponse {
    std::string url;  // the URL the request named (before any origin override)
    int statusCode = 0;  // 0 when the answer was not HTTP
    HTTPHeaderFields headers;  // in the order received

    bool isHTTP() const { return statusCode > 0; }
    std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
};

struct URLDataResponse {
    std::string data;
    URLResponse response;
};

namespace detail {
struct URLTransfer;
struct URLSessionImpl;
struct URLLineStream;
}  // namespace detail

// A transfer started with a completion handler. `resume` starts it (once); `cancel` ends it,
// and the completion then reports URLError::cancelled.
class URLSessionDataTask {
public:
    void resume();
    void cancel();

private:
    friend class URLSession;
    URLSessionDataTask(std::shared_ptr<detail::URLSessionImpl> session, std::shared_ptr<detail::URLTransfer> transfer)
        : session_(std::move(session)),
          transfer_(std::move(transfer)) {}
    std::weak_ptr<detail::URLSessionImpl> session_;
    std::shared_ptr<detail::URLTransfer> transfer_;
    bool resumed_ = false;
};

// The body of a response read line by line as it arrives: lines end at "\n", and one "\r"
// before it is dropped; a last line without "\n" is delivered when the body ends. Empty lines
// are delivered. Dropping every copy before the end cancels the transfer.
class URLSessionBytes {
public:
    // A line longer than this fails the stream with URLError::badServerResponse instead of
    // being buffered without end.
    static constexpr std::size_t maximumLineLength = 1024 * 1024;

    URLSessionBytes() = default;
    const URLResponse& response() const { return response_; }

    // Awaitable: the next line, or nothing once the body has ended. Throws the transfer's
    // error (URLError) when it failed or was cancelled; lines still unread when a transfer is
    // cancelled are dropped.
    struct LineAwaiter;
    LineAwaiter nextLine() const;

private:
    friend class URLSession;
    URLSessionBytes(std::shared_ptr<detail::URLLineStream> stream, URLResponse response)
        : stream_(std::move(stream)),
          response_(std::move(response)) {}
    std::shared_ptr<detail::URLLineStream> stream_;
    URLResponse response_;
};

class URLSession {
public:
    explicit URLSession(URLSessionConfiguration configuration = URLSessionConfiguration::defaultSessionConfiguration());
    // Cancels every transfer still running (their completions report URLError::cancelled).
    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

    const URLSessionConfiguration& configuration() const { return configuration_; }

    // The completion runs on the main loop with the whole body, the response (when one came)
    // and the error (null on success).
    using DataTaskCompletion = std::function<void(std::string data, std::optional<URLResponse> response, std::exception_ptr error)>;
    std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, DataTaskCompletion completion);

    // Whole-body transfers. `upload` sends `body` in place of the request's own body.
    Task<URLDataResponse> data(URLRequest request);
    Task<URLDataResponse> upload(URLRequest request, std::string body);
    // Waits for the response header, then hands over the body as a line stream.
    Task<URLSessionBytes> bytes(URLRequest request);

    // Whether a transfer to `host` has a usable network path now. Tests replace it to play at
    // being offline; null restores the real check (a loopback host, or any interface that is
    // up and not loopback).
    using NetworkProbe = std::function<bool(const std::string& host)>;
    static void setNetworkProbe(NetworkProbe probe);

private:
    URLSessionConfiguration configuration_;
    std::shared_ptr<detail::URLSessionImpl> impl_;
};

// Whether `value` can travel as a header value: no CR, LF or NUL (they would split the header).
bool isValidHTTPHeaderValue(std::string_view value);
// The error a transfer fails with, before anything is sent, when one of `fields` cannot travel:
// a value holding CR, LF or NUL, or a name that is not an HTTP token. Nothing when all can.
std::optional<URLError> invalidHeaderFieldError(const HTTPHeaderFields& fields);

// `segment` as one URL path segment: everything but letters, digits and "-._~" is
// percent-encoded, and so are the dots of a "." or ".." segment.
std::string percentEncodedPathSegment(std::string_view segment);

// Splits a byte stream into lines as chunks arrive ("\n" ends a line; one "\r" before it is
// dropped). Used by the line stream and usable on its own.
class LineBuffer {
public:
    // Inline because streams may arrive a byte at a time.
    void append(const char* data, std::size_t size) {
        if (consumed_ != 0 && consumed_ >= buffer_.size() / 2) compact();
        if (size == 1) {
            mayHoldLine_ = mayHoldLine_ || *data == '\n';
            buffer_.push_back(*data);
            return;
        }
        if (!mayHoldLine_) mayHoldLine_ = findLineFeed(data, size) != nullptr;
        buffer_.append(data, size);
    }
    void append(std::string_view chunk) { append(chunk.data(), chunk.size()); }
    // Takes the next complete line into `line`; false when none is complete yet. After
    // `finish`, the unterminated rest (if not empty) comes out as a last line.
    bool nextLine(std::string& line) { return mayHoldLine_ && takeLine(line); }
    void finish() {
        finished_ = true;
        mayHoldLine_ = true;
    }
    bool hasCompleteLine();
    std::size_t bufferedBytes() const { return buffer_.size() - consumed_; }
    void clear();

    static const char* findLineFeed(const char* p, std::size_t n) {
        if (n < 16) {
            for (std::size_t i = 0; i < n; ++i)
                if (p[i] == '\n') return p + i;
            return nullptr;
        }
        return static_cast<const char*>(std::memchr(p, '\n', n));
    }

private:
    bool takeLine(std::string& line);
    void compact();

    std::string buffer_;
    std::size_t consumed_ = 0;  // bytes of buffer_ already handed out
    std::size_t scanned_ = 0;  // bytes of buffer_ known to hold no "\n" past consumed_
    bool finished_ = false;
    bool mayHoldLine_ = false;  // false: no "\n" past scanned_, and not finished
};

namespace detail {

// Consumer side of a streamed body, shared between the transfer thread and the awaiting task.
struct URLLineStream {
    std::mutex mutex;
    LineBuffer lines;
    std::optional<URLError> error;  // set when the transfer failed or was cancelled
    bool ended = false;  // the body ended (successfully or not)
    bool paused = false;  // the transfer waits for the reader to catch up
    std::coroutine_handle<> waiter;
    std::function<void()> cancelTransfer;  // asks the session to cancel the transfer
    std::function<void()> resumeTransfer;  // asks the session to resume a paused transfer
    ~URLLineStream();
    bool readyLocked() { return error || ended || lines.hasCompleteLine(); }
};

}  // namespace detail

struct URLSessionBytes::LineAwaiter {
    std::shared_ptr<detail::URLLineStream> stream;
    CancellationToken::Registration registration;

    bool await_ready();
    bool await_suspend(std::coroutine_handle<> h, const CancellationTokenPtr& token);
    std::optional<std::string> await_resume();
};

}  // namespace velmo
