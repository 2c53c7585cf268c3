#include "platform/net/URLSession.h"

#include <curl/curl.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <limits>
#include <cstring>
#include <thread>

#include "platform/base/OriginOverride.h"
#include "platform/base/URLComponents.h"

namespace velmo {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A reader that falls this far behind pauses the transfer until it catches up.
constexpr std::size_t kStreamPauseBytes = 4 * 1024 * 1024;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

std::optional<std::string> findField(const HTTPHeaderFields& fields, const std::string& name) {
    for (const auto& [n, v] : fields)
        if (equalsIgnoringCase(n, name)) return v;
    return std::nullopt;
}

// The host as the network probe takes it: an IPv6 literal without its brackets.
std::string probeHostOf(const URLComponents& url) {
    std::string host = url.host.value_or("");
    if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    return host;
}

std::string hostOf(const std::string& url) {
    auto components = URLComponents::fromString(url);
    return components ? probeHostOf(*components) : std::string();
}

bool isLoopbackHost(const std::string& host) { return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0; }

bool realNetworkProbe(const std::string& host) {
    if (isLoopbackHost(host)) return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return true;  // cannot tell: let the connection attempt decide
    bool usable = false;
    for (ifaddrs* a = list; a && !usable; a = a->ifa_next) {
        if (!a->ifa_addr || (a->ifa_flags & IFF_LOOPBACK) || !(a->ifa_flags & IFF_UP) || !(a->ifa_flags & IFF_RUNNING)) continue;
        int family = a->ifa_addr->sa_family;
        usable = family == AF_INET || family == AF_INET6;
    }
    freeifaddrs(list);
    return usable;
}

std::mutex& probeMutex() {
    static std::mutex m;
    return m;
}
URLSession::NetworkProbe& probeSlot() {
    static URLSession::NetworkProbe probe;
    return probe;
}
bool networkUsable(const std::string& host) {
    URLSession::NetworkProbe probe;
    {
        std::lock_guard lock(probeMutex());
        probe = probeSlot();
    }
    return probe ? probe(host) : realNetworkProbe(host);
}

// Transfers fail only with URLError; the stream keeps a copy so no exception object is shared
// between the transfer thread and the reader.
URLError asURLError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const URLError& e) {
        return e;
    } catch (const std::exception& e) {
        return URLError(URLError::unknown, e.what());
    } catch (...) {
        return URLError(URLError::unknown);
    }
}

bool holdsLineBreak(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

void curlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// libcurl's global set-up (and OpenSSL's under it) is not thread-safe: made lazily by the first
// session on a worker thread, it could run while the main thread is already tearing OpenSSL
// down at exit, and crash. Doing it while the program loads, before any thread, avoids that.
[[maybe_unused]] const bool curlReadyAtLoad = (curlGlobalInit(), true);

long millisFrom(double seconds) {
    if (!(seconds > 0)) return 1;
    if (seconds > 1e8) seconds = 1e8;
    return std::max(1L, static_cast<long>(seconds * 1000.0));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Requests and responses

bool isValidHTTPHeaderValue(std::string_view value) { return !holdsLineBreak(value); }

std::optional<URLError> invalidHeaderFieldError(const HTTPHeaderFields& fields) {
    auto isTokenChar = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    };
    for (const auto& [name, value] : fields) {
        if (name.empty() || !std::all_of(name.begin(), name.end(), isTokenChar) || holdsLineBreak(value)) {
            // The value is never repeated: it is often a key.
            return URLError(URLError::badURL, "header \"" + name + "\" holds a line break or is not a valid name; nothing was sent");
        }
    }
    return std::nullopt;
}

std::string percentEncodedPathSegment(std::string_view segment) {
    if (segment == "." || segment == "..") return segment.size() == 1 ? "%2E" : "%2E%2E";
    return URLComponents::percentEncode(segment);
}

void URLRequest::setValue(const std::string& value, const std::string& field) {
    for (auto& [n, v] : headers_) {
        if (equalsIgnoringCase(n, field)) {
            v = value;
            return;
        }
    }
    headers_.emplace_back(field, value);
}

std::optional<std::string> URLRequest::valueForHTTPHeaderField(const std::string& field) const { return findField(headers_, field); }

std::optional<std::string> URLResponse::valueForHTTPHeaderField(const std::string& field) const { return findField(headers, field); }

// ---------------------------------------------------------------------------------------------
// Line splitting

void LineBuffer::compact() {
    buffer_.erase(0, consumed_);
    scanned_ = scanned_ > consumed_ ? scanned_ - consumed_ : 0;
    consumed_ = 0;
}

bool LineBuffer::hasCompleteLine() {
    if (!mayHoldLine_) return false;
    if (scanned_ < consumed_) scanned_ = consumed_;
    if (findLineFeed(buffer_.data() + scanned_, buffer_.size() - scanned_) != nullptr) return true;
    scanned_ = buffer_.size();
    mayHoldLine_ = finished_;
    return finished_ && consumed_ < buffer_.size();
}

bool LineBuffer::takeLine(std::string& line) {
    if (scanned_ < consumed_) scanned_ = consumed_;
    const char* base = buffer_.data();
    const char* nl = findLineFeed(base + scanned_, buffer_.size() - scanned_);
    std::size_t end;
    std::size_t next;
    if (nl) {
        end = nl - base;
        next = end + 1;
    } else if (finished_ && consumed_ < buffer_.size()) {
        end = buffer_.size();
        next = end;
    } else {
        scanned_ = buffer_.size();
        mayHoldLine_ = finished_;
        return false;
    }
    std::size_t lineEnd = end;
    if (nl && lineEnd > consumed_ && base[lineEnd - 1] == '\r') --lineEnd;
    line.assign(base + consumed_, lineEnd - consumed_);
    consumed_ = next;
    scanned_ = next;
    return true;
}

void LineBuffer::clear() {
    buffer_.clear();
    consumed_ = 0;
    scanned_ = 0;
    mayHoldLine_ = finished_;
}

// ---------------------------------------------------------------------------------------------
// The session's worker

namespace detail {

struct URLTransfer {
    explicit URLTransfer(URLRequest r)
        : request(std::move(r)),
          targetURL(OriginOverride::apply(request.url)) {}

    URLRequest request;
    std::string targetURL;  // after the origin override

    // Hooks, called on the worker thread. Without `onData` the body is collected in `received`.
    std::function<void(const URLResponse&)> onResponse;
    std::function<bool(const char*, std::size_t)> onData;  // false: not taken, pause
    std::function<void(URLTransfer&, std::exception_ptr)> onComplete;

    std::string received;
    std::optional<URLResponse> response;

    // Worker-only state.
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    URLResponse pending;
    bool finished = false;
    bool paused = false;
    bool bodyOverLimit = false;  // the write stopped at one of the request's body bounds
    SteadyClock::time_point lastActivity;
    SteadyClock::time_point resourceDeadline;
    double idleTimeout = 60;
    curl_off_t lastDown = 0, lastUp = 0;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    void touch() { lastActivity = SteadyClock::now(); }
};

struct URLSessionImpl {
    explicit URLSessionImpl(URLSessionConfiguration c)
        : config(std::move(c)) {
        curlGlobalInit();
        multi = curl_multi_init();
        share = curl_share_init();
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    }
    ~URLSessionImpl() {
        curl_multi_cleanup(multi);
        curl_share_cleanup(share);
    }

    URLSessionConfiguration config;
    CURLM* multi = nullptr;
    CURLSH* share = nullptr;
    std::thread worker;

    std::mutex mutex;
    std::vector<std::function<void()>> commands;
    bool stopping = false;

    // Worker-only.
    std::vector<std::shared_ptr<URLTransfer>> active;
    std::vector<std::shared_ptr<URLTransfer>> waiting;  // for connectivity

    // Runs `command` on the worker; false when the session is shutting down.
    bool submit(std::function<void()> command) {
        {
            std::lock_guard lock(mutex);
            if (stopping) return false;
            commands.push_back(std::move(command));
        }
        curl_multi_wakeup(multi);
        return true;
    }

    void start(const std::shared_ptr<URLTransfer>& t) {
        if (!submit([this, t] { begin(t); })) complete(*t, std::make_exception_ptr(URLError(URLError::cancelled)));
    }
    void cancel(const std::shared_ptr<URLTransfer>& t) {
        submit([this, t] { finish(t, std::make_exception_ptr(URLError(URLError::cancelled))); });
    }
    void resume(const std::shared_ptr<URLTransfer>& t) {
        submit([t] {
            if (!t->finished && t->paused && t->easy) {
                t->paused = false;
                t->touch();
                curl_easy_pause(t->easy, CURLPAUSE_CONT);
            }
        });
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        curl_multi_wakeup(multi);
        if (!worker.joinable()) return;
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();  // released by a hook of its own: the loop ends when the hook returns
        } else {
            worker.join();
        }
    }

    static void complete(URLTransfer& t, std::exception_ptr error) {
        t.finished = true;
        auto hook = std::move(t.onComplete);
        auto onData = std::move(t.onData);
        auto onResponse = std::move(t.onResponse);
        t.onComplete = nullptr;
        t.onData = nullptr;
        t.onResponse = nullptr;
        if (hook) hook(t, std::move(error));
        // The hooks hold what was handed to the awaiting task (its completion, its error); they
        // are let go on the main loop, where the task lets go of its own references.
        MainLoop::postToMain([hook = std::move(hook), onData = std::move(onData), onResponse = std::move(onResponse)] {});
    }

    void release(URLTransfer& t) {
        if (t.easy) {
            curl_multi_remove_handle(multi, t.easy);
            curl_easy_cleanup(t.easy);
            t.easy = nullptr;
        }
        if (t.headerList) {
            curl_slist_free_all(t.headerList);
            t.headerList = nullptr;
        }
    }

    void finish(const std::shared_ptr<URLTransfer>& t, std::exception_ptr error) {
        if (t->finished) return;
        release(*t);
        std::erase(active, t);
        std::erase(waiting, t);
        complete(*t, std::move(error));
    }

    double idleTimeoutFor(const URLRequest& r) const {
        double idle = config.timeoutIntervalForRequest.count();
        const double asked = r.timeoutInterval.count();
        if (asked > 0 && asked < idle) idle = asked;
        return idle;
    }

    void begin(const std::shared_ptr<URLTransfer>& t) {
        if (t->finished) return;
        t->idleTimeout = idleTimeoutFor(t->request);
        const auto started = SteadyClock::now();
        t->resourceDeadline = started + std::chrono::milliseconds(millisFrom(config.timeoutIntervalForResource.count()));
        if (t->request.totalTimeoutInterval) {
            t->resourceDeadline =
                std::min(t->resourceDeadline, started + std::chrono::milliseconds(millisFrom(t->request.totalTimeoutInterval->count())));
        }
        for (const auto& [name, value] : config.httpAdditionalHeaders) {
            if (!t->request.valueForHTTPHeaderField(name)) t->request.setValue(value, name);
        }
        if (auto problem = invalidHeaderFieldError(t->request.allHTTPHeaderFields())) {
            complete(*t, std::make_exception_ptr(*problem));
            return;
        }
        auto requested = URLComponents::fromString(t->request.url);
        auto target = URLComponents::fromString(t->targetURL);
        if (!requested || !target) {
            complete(*t, std::make_exception_ptr(URLError(URLError::badURL, t->request.url)));
            return;
        }
        auto fetchable = [](const URLComponents& u) { return (u.scheme == "http" || u.scheme == "https") && u.host && !u.host->empty(); };
        if (!fetchable(*requested) || !fetchable(*target)) {
            complete(*t, std::make_exception_ptr(URLError(URLError::unsupportedURL, t->request.url)));
            return;
        }
        connectOrWait(t);
    }

    void connectOrWait(const std::shared_ptr<URLTransfer>& t) {
        if (!networkUsable(hostOf(t->targetURL))) {
            if (config.waitsForConnectivity) {
                waiting.push_back(t);
            } else {
                complete(*t, std::make_exception_ptr(URLError(URLError::notConnectedToInternet)));
            }
            return;
        }
        connect(t);
    }

    void connect(const std::shared_ptr<URLTransfer>& t) {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(t->resourceDeadline - SteadyClock::now()).count();
        if (remaining <= 0) {
            complete(*t, std::make_exception_ptr(URLError(URLError::timedOut)));
            return;
        }
        CURL* e = curl_easy_init();
        t->easy = e;
        t->pending = URLResponse{};
        t->response.reset();
        t->received.clear();
        t->bodyOverLimit = false;
        const URLRequest& r = t->request;
        curl_easy_setopt(e, CURLOPT_URL, t->targetURL.c_str());
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        // A redirect is the caller's answer to read (the upload queue keeps its batch on one).
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_PRIVATE, t.get());
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorBuffer);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &URLSessionImpl::onHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &URLSessionImpl::onWrite);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &URLSessionImpl::onProgress);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, t.get());
        curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining));
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, millisFrom(t->idleTimeout));
        if (config.httpCookieStorage) {
            curl_easy_setopt(e, CURLOPT_SHARE, share);
            curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");
        }

        const std::string& method = r.httpMethod;
        bool sendsBody = !r.httpBody.empty() || method == "POST" || method == "PUT" || method == "PATCH";
        if (method == "HEAD") {
            curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
        } else if (sendsBody) {
            curl_easy_setopt(e, CURLOPT_POST, 1L);
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.httpBody.size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.httpBody.data());
            if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        } else if (method != "GET") {
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        }

        curl_slist* list = nullptr;
        for (const auto& [name, value] : r.allHTTPHeaderFields()) {
            // libcurl drops "Name:" with nothing after it; "Name;" is its way to send it empty.
            std::string line = value.empty() ? name + ";" : name + ": " + value;
            list = curl_slist_append(list, line.c_str());
        }
        // Neither wait for "100 Continue" before large bodies nor label bodies as form data.
        if (!r.valueForHTTPHeaderField("Expect")) list = curl_slist_append(list, "Expect:");
        if (sendsBody && !r.valueForHTTPHeaderField("Content-Type")) list = curl_slist_append(list, "Content-Type:");
        t->headerList = list;
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);

        t->touch();
        t->paused = false;
        t->lastDown = t->lastUp = 0;
        curl_multi_add_handle(multi, e);
        active.push_back(t);
    }

    static void deliverResponse(URLTransfer& t) {
        if (t.response || t.pending.statusCode < 200) return;
        t.response = t.pending;
        if (t.onResponse) t.onResponse(*t.response);
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        auto& t = *static_cast<URLTransfer*>(user);
        std::size_t n = size * count;
        t.touch();
        if (t.response) return n;  // trailers
        std::string_view line(data, n);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (line.rfind("HTTP/", 0) == 0) {
            t.pending = URLResponse{};
            t.pending.url = t.request.url;
            auto space = line.find(' ');
            if (space != std::string_view::npos) t.pending.statusCode = std::atoi(std::string(line.substr(space + 1, 3)).c_str());
        } else if (line.empty()) {
            deliverResponse(t);  // interim 1xx answers are skipped
        } else if ((line.front() == ' ' || line.front() == '\t') && !t.pending.headers.empty()) {
            // A continuation of blanks only adds nothing to the folded value.
            auto start = line.find_first_not_of(" \t");
            if (start != std::string_view::npos) {
                auto& value = t.pending.headers.back().second;
                value += " ";
                auto end = line.find_last_not_of(" \t");
                value += line.substr(start, end + 1 - start);
            }
        } else {
            auto colon = line.find(':');
            std::string_view name = line.substr(0, colon);
            std::string_view value = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
            auto start = value.find_first_not_of(" \t");
            value = start == std::string_view::npos ? std::string_view() : value.substr(start);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
            t.pending.headers.emplace_back(std::string(name), std::string(value));
        }
        return n;
    }

    static size_t onWrite(char* data, size_t size, size_t count, void* user) {
        auto& t = *static_cast<URLTransfer*>(user);
        std::size_t n = size * count;
        t.touch();
        deliverResponse(t);
        if (!t.onData) {
            const bool success = t.response && t.response->statusCode / 100 == 2;
            const auto& limit = success ? t.request.maximumBodyBytes : t.request.maximumErrorBodyBytes;
            if (limit && t.received.size() + n > *limit) {
                if (!success) t.received.append(data, *limit - t.received.size());
                t.bodyOverLimit = true;
                return CURL_WRITEFUNC_ERROR;
            }
            t.received.append(data, n);
            return n;
        }
        if (!t.onData(data, n)) {
            t.paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        return n;
    }

    static int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
        auto& t = *static_cast<URLTransfer*>(user);
        if (dlnow != t.lastDown || ulnow != t.lastUp) {
            t.lastDown = dlnow;
            t.lastUp = ulnow;
            t.touch();
        }
        return 0;
    }

    void onDone(CURL* easy, CURLcode result) {
        URLTransfer* raw = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, reinterpret_cast<char**>(&raw));
        auto it = std::find_if(active.begin(), active.end(), [raw](const auto& p) { return p.get() == raw; });
        if (it == active.end()) return;
        std::shared_ptr<URLTransfer> t = *it;
        if (t->bodyOverLimit) {
            const bool success = t->response && t->response->statusCode / 100 == 2;
            finish(t, success ? std::make_exception_ptr(URLError(URLError::dataLengthExceedsMaximum)) : nullptr);
            return;
        }
        if (result == CURLE_OK) {
            if (!t->response) {
                long code = 0;
                curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
                t->pending.url = t->request.url;
                t->pending.statusCode = static_cast<int>(code);
                deliverResponse(*t);
            }
            finish(t, t->response ? nullptr : std::make_exception_ptr(URLError(URLError::badServerResponse)));
            return;
        }
        long osErrno = 0;
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
        std::string detail = t->errorBuffer[0] ? std::string(t->errorBuffer) : curl_easy_strerror(result);
        bool usable = networkUsable(hostOf(t->targetURL));
        URLError::Code code = URLError::codeForCurlResult(result, osErrno, usable);
        if (code == URLError::notConnectedToInternet && config.waitsForConnectivity && !t->response) {
            release(*t);
            std::erase(active, t);
            waiting.push_back(t);
            return;
        }
        finish(t, std::make_exception_ptr(URLError(code, detail)));
    }

    void checkTimers() {
        auto now = SteadyClock::now();
        std::vector<std::shared_ptr<URLTransfer>> expired;
        for (const auto& t : active) {
            auto idle = std::chrono::duration<double>(now - t->lastActivity).count();
            if (!t->paused && idle > t->idleTimeout) expired.push_back(t);
        }
        for (const auto& t : expired) finish(t, std::make_exception_ptr(URLError(URLError::timedOut)));
        std::vector<std::shared_ptr<URLTransfer>> ready;
        expired.clear();
        for (const auto& t : waiting) {
            if (now >= t->resourceDeadline)
                expired.push_back(t);
            else if (networkUsable(hostOf(t->targetURL)))
                ready.push_back(t);
        }
        for (const auto& t : expired) finish(t, std::make_exception_ptr(URLError(URLError::timedOut)));
        for (const auto& t : ready) {
            std::erase(waiting, t);
            connect(t);
        }
    }

    // How long the worker may sleep: until a command wakes it when nothing is in flight, else
    // until curl's next timer, the nearest idle timeout or the next look at connectivity.
    int sleepMs() {
        constexpr int kForever = std::numeric_limits<int>::max();
        if (active.empty() && waiting.empty()) return kForever;
        double seconds = waiting.empty() ? 1.0 : 0.05;
        const auto now = SteadyClock::now();
        for (const auto& t : active) {
            if (t->paused) continue;
            double idle = std::chrono::duration<double>(now - t->lastActivity).count();
            seconds = std::min(seconds, t->idleTimeout - idle);
        }
        int ms = int(std::ceil(std::max(0.0, seconds) * 1000));
        long curlMs = -1;
        if (curl_multi_timeout(multi, &curlMs) == CURLM_OK && curlMs >= 0) ms = std::min<long>(ms, curlMs);
        return ms;
    }

    void run() {
        for (;;) {
            std::vector<std::function<void()>> batch;
            bool stop;
            {
                std::lock_guard lock(mutex);
                batch.swap(commands);
                stop = stopping;
            }
            for (auto& command : batch) command();
            if (stop) break;
            checkTimers();
            int running = 0;
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued))
                if (msg->msg == CURLMSG_DONE) onDone(msg->easy_handle, msg->data.result);
            curl_multi_poll(multi, nullptr, 0, sleepMs(), nullptr);
        }
        auto all = active;
        all.insert(all.end(), waiting.begin(), waiting.end());
        for (const auto& t : all) finish(t, std::make_exception_ptr(URLError(URLError::cancelled)));
    }
};

URLLineStream::~URLLineStream() {
    if (!ended && !error && cancelTransfer) cancelTransfer();
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Session

void URLSession::setNetworkProbe(NetworkProbe probe) {
    std::lock_guard lock(probeMutex());
    probeSlot() = std::move(probe);
}

URLSession::URLSession(URLSessionConfiguration configuration)
    : configuration_(configuration),
      impl_(std::make_shared<detail::URLSessionImpl>(std::move(configuration))) {
    // The worker keeps the session's state alive: it may outlive the session when the last
    // reference goes from one of the worker's own completion hooks.
    impl_->worker = std::thread([impl = impl_] { impl->run(); });
}

URLSession::~URLSession() { impl_->stop(); }

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URLRequest request, DataTaskCompletion completion) {
    auto t = std::make_shared<detail::URLTransfer>(std::move(request));
    auto shared = std::make_shared<DataTaskCompletion>(std::move(completion));
    t->onComplete = [shared](detail::URLTransfer& transfer, std::exception_ptr error) {
        std::string data = error ? std::string() : std::move(transfer.received);
        std::optional<URLResponse> response = transfer.response;
        MainLoop::postToMain([shared, data = std::move(data), response = std::move(response), error = std::move(error)]() mutable {
            if (*shared) (*shared)(std::move(data), std::move(response), error);
        });
    };
    return std::shared_ptr<URLSessionDataTask>(new URLSessionDataTask(impl_, std::move(t)));
}

void URLSessionDataTask::resume() {
    if (resumed_) return;
    resumed_ = true;
    if (auto session = session_.lock()) {
        session->start(transfer_);
    } else {
        detail::URLSessionImpl::complete(*transfer_, std::make_exception_ptr(URLError(URLError::cancelled)));
    }
}

void URLSessionDataTask::cancel() {
    if (!resumed_) {
        resumed_ = true;
        detail::URLSessionImpl::complete(*transfer_, std::make_exception_ptr(URLError(URLError::cancelled)));
        return;
    }
    if (auto session = session_.lock()) session->cancel(transfer_);
}

Task<URLDataResponse> URLSession::data(URLRequest request) {
    auto impl = impl_;
    if (Task<>::isCurrentCancelled()) throw URLError(URLError::cancelled);  // nothing is sent
    auto t = std::make_shared<detail::URLTransfer>(std::move(request));
    Completion<URLDataResponse> done;
    t->onComplete = [done](detail::URLTransfer& transfer, std::exception_ptr error) {
        if (error)
            done.fail(std::move(error));
        else
            done.resolve(URLDataResponse{std::move(transfer.received), *transfer.response});
    };
    done.setCancelHandler([weak = std::weak_ptr(impl), t] {
        if (auto s = weak.lock()) s->cancel(t);
    });
    impl->start(t);
    co_return co_await done;
}

Task<URLDataResponse> URLSession::upload(URLRequest request, std::string body) {
    request.httpBody = std::move(body);
    if (request.httpMethod == "GET") request.httpMethod = "POST";
    co_return co_await data(std::move(request));
}

Task<URLSessionBytes> URLSession::bytes(URLRequest request) {
    auto impl = impl_;
    if (Task<>::isCurrentCancelled()) throw URLError(URLError::cancelled);  // nothing is sent
    auto t = std::make_shared<detail::URLTransfer>(std::move(request));
    auto stream = std::make_shared<detail::URLLineStream>();
    Completion<URLResponse> head;
    std::weak_ptr<detail::URLLineStream> weakStream = stream;
    std::weak_ptr<detail::URLSessionImpl> weakImpl = impl;

    auto wake = [](detail::URLLineStream& s) {
        auto waiter = s.waiter;
        s.waiter = nullptr;
        return waiter;
    };
    t->onResponse = [head](const URLResponse& response) { head.resolve(response); };
    t->onData = [weakStream, wake](const char* data, std::size_t size) {
        auto s = weakStream.lock();
        if (!s) return true;
        std::coroutine_handle<> waiter;
        {
            std::lock_guard lock(s->mutex);
            if (s->error) return true;  // cancelled by the reader: drop
            // Pause only while the reader has whole lines to work through, or a very long line
            // could never complete.
            if (s->lines.bufferedBytes() >= kStreamPauseBytes && s->lines.hasCompleteLine()) {
                s->paused = true;
                return false;
            }
            s->lines.append(data, size);
            if (s->lines.bufferedBytes() > URLSessionBytes::maximumLineLength && !s->lines.hasCompleteLine()) {
                // The rest of the transfer is dropped above; the reader hears why.
                s->error = URLError(URLError::badServerResponse,
                                    "a line of the answer is longer than " + std::to_string(URLSessionBytes::maximumLineLength) + " bytes");
                s->lines.clear();
                waiter = wake(*s);
            } else if (s->waiter && s->readyLocked()) {
                waiter = wake(*s);
            }
        }
        if (waiter) MainLoop::postToMain([waiter] { waiter.resume(); });
        return true;
    };
    t->onComplete = [head, weakStream, wake](detail::URLTransfer&, std::exception_ptr error) {
        // The error object is read here before it is handed to the awaiting task, which may
        // drop it at once.
        std::optional<URLError> failure;
        if (error) failure = asURLError(error);
        if (auto s = weakStream.lock()) {
            std::coroutine_handle<> waiter;
            {
                std::lock_guard lock(s->mutex);
                if (!s->error && !s->ended) {
                    if (failure) {
                        s->error = failure;
                    } else {
                        s->ended = true;
                        s->lines.finish();
                    }
                }
                if (s->waiter) waiter = wake(*s);
            }
            if (waiter) MainLoop::postToMain([waiter] { waiter.resume(); });
        }
        if (error)
            head.fail(std::move(error));
        else
            head.fail(URLError(URLError::badServerResponse));  // no-op once the header came
    };
    stream->cancelTransfer = [weakImpl, t] {
        if (auto s = weakImpl.lock()) s->cancel(t);
    };
    stream->resumeTransfer = [weakImpl, t] {
        if (auto s = weakImpl.lock()) s->resume(t);
    };
    head.setCancelHandler(stream->cancelTransfer);
    impl->start(t);
    URLResponse response = co_await head;
    co_return URLSessionBytes(std::move(stream), std::move(response));
}

// ---------------------------------------------------------------------------------------------
// Reading lines

namespace {
// Ends the stream with the cancellation error at once and cancels its transfer.
void cancelStream(const std::shared_ptr<detail::URLLineStream>& s) {
    std::coroutine_handle<> waiter;
    std::function<void()> cancelTransfer;
    {
        std::lock_guard lock(s->mutex);
        if (!s->error && !s->ended) cancelTransfer = s->cancelTransfer;
        if (!s->error) s->error = URLError(URLError::cancelled);
        s->lines.clear();
        waiter = s->waiter;
        s->waiter = nullptr;
    }
    if (cancelTransfer) cancelTransfer();
    if (waiter) MainLoop::postToMain([waiter] { waiter.resume(); });
}
}  // namespace

URLSessionBytes::LineAwaiter URLSessionBytes::nextLine() const { return LineAwaiter{stream_, {}}; }

bool URLSessionBytes::LineAwaiter::await_ready() {
    if (!stream) return true;
    if (Task<>::isCurrentCancelled()) cancelStream(stream);
    std::lock_guard lock(stream->mutex);
    return stream->readyLocked();
}

bool URLSessionBytes::LineAwaiter::await_suspend(std::coroutine_handle<> h, const CancellationTokenPtr& token) {
    {
        std::lock_guard lock(stream->mutex);
        if (stream->readyLocked()) return false;
        stream->waiter = h;
    }
    registration = token->onCancel([weak = std::weak_ptr(stream)] {
        if (auto s = weak.lock()) cancelStream(s);
    });
    return true;
}

std::optional<std::string> URLSessionBytes::LineAwaiter::await_resume() {
    registration.reset();
    if (!stream) return std::nullopt;
    std::string line;
    bool resumeTransfer = false;
    {
        std::lock_guard lock(stream->mutex);
        // A cancelled stream has no lines left: cancelling drops them.
        if (stream->lines.nextLine(line)) {
            if (stream->paused && stream->lines.bufferedBytes() < kStreamPauseBytes / 2) {
                stream->paused = false;
                resumeTransfer = true;
            }
        } else if (stream->error) {
            throw URLError(*stream->error);
        } else {
            return std::nullopt;
        }
    }
    if (resumeTransfer && stream->resumeTransfer) stream->resumeTransfer();
    return line;
}

}  // namespace velmo
