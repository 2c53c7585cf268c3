#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "RideZav/RideZavConfig.h"
#include "RideZav/core/RideZavValue.h"
#include "RideZav/delivery/RideZavBatchUploading.h"
#include "platform/base/URLComponents.h"
#include "platform/net/URLSession.h"
#include "platform/runtime/Duration.h"

namespace ridezav {

// The analytics library's only network client: the batch and snapshot uploads, the flags
// request and the remote configuration. It never retries and never throws; every failure goes
// to the completion and, with debug logging on, to one log line.
// Thread contract: every request from any thread; completions run on the main loop (the URL
// session's callback queue). Every request runs on one URL session, made for the first and kept
// for the client's life (guarded by its own lock), so its worker thread and connections serve
// them all; destroying the client cancels what still runs.
class RideZavApi : public RideZavBatchUploading {
public:
    // The decoded JSON object of a flags or remote-configuration answer, and the error.
    using JSONCompletion = std::function<void(std::optional<Object> object, std::exception_ptr error)>;
    using Groups = std::map<std::string, std::string>;
    using GroupProperties = std::map<std::string, Object>;

    // Reads the configuration it is given, so what remote settings change there (the snapshot
    // path) reaches the next request.
    explicit RideZavApi(std::shared_ptr<const RideZavConfig> config, velmo::Seconds defaultTimeout = velmo::Seconds(10));
    // On a configuration of its own.
    explicit RideZavApi(RideZavConfig config, velmo::Seconds defaultTimeout = velmo::Seconds(10));
    ~RideZavApi() override;
    RideZavApi(const RideZavApi&) = delete;
    RideZavApi& operator=(const RideZavApi&) = delete;

    const RideZavConfig& config() const { return config_; }
    velmo::Seconds defaultTimeout() const { return defaultTimeout_; }

    void batch(std::vector<RideZavEvent> events, Completion completion) override;
    void snapshot(std::vector<RideZavEvent> events, Completion completion) override;
    void batchJSON(std::vector<std::string> events, Completion completion) override;
    void flags(const std::string& distinctId, const std::optional<std::string>& anonymousId, const Groups& groups,
               const Object& personProperties, const std::optional<GroupProperties>& groupProperties, JSONCompletion completion);
    // Also completes with nothing when no request URL can be made: its caller waits for it.
    void getRemoteConfig(JSONCompletion completion);

    // The configuration's session configuration (or a default one) with exactly the common
    // headers, "Content-Type" and "User-Agent". A copy: the application's one is never changed.
    velmo::URLSessionConfiguration sessionConfig() const;

    // `path` on the ingestion host: the host's own path + "/" + path, runs of slashes collapsed;
    // the query is the items (present but empty without any). None when no URL can be made.
    static std::optional<std::string> ingestionURL(const RideZavConfig& config, std::string_view path,
                                                   const std::vector<velmo::URLQueryItem>& items = {});
    // The assets endpoint that goes with an ingestion host (any other host is its own).
    static std::string assetsBase(const std::string& host);
    // "/array/<key>/config" on the assets endpoint, the key as one path segment.
    static std::optional<std::string> remoteConfigURL(const RideZavConfig& config);

    // Answers, read as the callers need them. `what` is "batch" or "snapshot".
    static RideZavBatchUploadInfo readUploadAnswer(std::string_view what, const std::string& data,
                                                   const std::optional<velmo::URLResponse>& response, std::exception_ptr error);
    struct JSONAnswer {
        std::optional<Object> object;
        std::exception_ptr error;
    };
    static JSONAnswer readFlagsAnswer(const std::string& data, const std::optional<velmo::URLResponse>& response, std::exception_ptr error);
    static JSONAnswer readRemoteConfigAnswer(const std::string& data, const std::optional<velmo::URLResponse>& response,
                                             std::exception_ptr error);
    // Answers nested deeper than this are refused as malformed rather than read recursively.
    static constexpr std::size_t maximumAnswerDepth = kMaximumJSONDepth;

private:
    struct Transport;
    using DataCompletion = std::function<void(std::string, std::optional<velmo::URLResponse>, std::exception_ptr)>;
    void upload(std::string_view what, const std::string& path, std::optional<std::string> body, Completion completion);
    void send(velmo::URLRequest request, bool compressed, DataCompletion completion);
    velmo::URLRequest makeRequest(const std::string& url, const std::string& method) const;

    const std::shared_ptr<const RideZavConfig> sharedConfig_;
    const RideZavConfig& config_;
    const velmo::Seconds defaultTimeout_;
    const std::unique_ptr<Transport> transport_;
};

}  // namespace ridezav
