#include "RideZav/delivery/RideZavApi.h"

#include <algorithm>
#include <mutex>

#include "RideZav/core/InternalRideZavError.h"
#include "RideZav/core/RideZavAPIDateFormatter.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavSdkIdentity.h"
#include "RideZav/core/WallClock.h"
#include "RideZav/delivery/Gzip.h"
#include "platform/foundation/SystemInfo.h"
#include "platform/base/URLComponents.h"
#include "platform/net/URLError.h"

namespace ridezav {

struct RideZavApi::Transport {
    std::mutex mutex;
    std::unique_ptr<velmo::URLSession> session;  // guarded by mutex; made for the first request
};

namespace {

// The two ingestion endpoints of the service and their assets endpoints.
const std::pair<const char*, const char*> kKnownEndpoints[] = {
    {"https://ingest.ridezav.com", "https://assets.ridezav.com"},
    {"https://eu.ingest.ridezav.com", "https://eu-assets.ridezav.com"},
};

std::string collapseSlashes(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(c);
    }
    return out;
}

// The answer as JSON (top-level fragments allowed). Throws the parse error.
Value readJSON(const std::string& data) {
    if (jsonNestingDepth(data) > RideZavApi::maximumAnswerDepth) {
        throw InternalRideZavError("JSON answer nested deeper than " + std::to_string(RideZavApi::maximumAnswerDepth) + " levels");
    }
    return valueFromJSON(OrderedJSON::parse(data));
}

// The answer's body as an object, for the log line of a refused request; none otherwise.
std::optional<Object> bodyObject(const std::string& data) {
    try {
        Value value = readJSON(data);
        if (auto* object = value.get<Object>()) return std::move(*object);
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::string describe(const std::optional<Object>& object) {
    if (!object) return "";
    auto json = toOrderedJSON(Value(*object));
    if (!json) return "";
    return json->dump(-1, ' ', false, OrderedJSON::error_handler_t::replace);
}

// JSON bytes of a body; none when it cannot be written (a non-finite number, bad UTF-8).
std::optional<std::string> serialise(const Value& body) {
    auto json = toOrderedJSON(body);
    if (!json) return std::nullopt;
    try {
        return json->dump();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool isSuccess(int status) { return status >= 200 && status <= 299; }

// A completion that carries neither an error nor an answer is taken as a transport error.
std::exception_ptr transportError(const std::optional<velmo::URLResponse>& response, std::exception_ptr error) {
    if (error) return error;
    if (!response) return std::make_exception_ptr(velmo::URLError(velmo::URLError::badServerResponse));
    return nullptr;
}

// Flags and remote configuration read their answers alike; `name` and `calling` are their words.
RideZavApi::JSONAnswer readJSONAnswer(const std::string& name, const std::string& failure, const std::string& success, bool localised,
                                      const std::string& data, const std::optional<velmo::URLResponse>& response,
                                      std::exception_ptr error) {
    if (auto failed = transportError(response, error)) {
        ridezavLog("Error calling the " + name + " API: " +
                   (localised ? velmo::localizedDescriptionOf(failed) : velmo::describeException(failed)) + (localised ? "" : "."));
        return {std::nullopt, failed};
    }
    // The transport hands over a body as bytes: an empty one is no body.
    if (data.empty()) {
        ridezavLog("Error parsing the " + name + " response: no data");
        return {std::nullopt, nullptr};
    }
    if (!isSuccess(response->statusCode)) {
        const std::string text =
            failure + "status: " + std::to_string(response->statusCode) + ", body: " + describe(bodyObject(data)) + ".";
        ridezavLog(text);
        return {std::nullopt, std::make_exception_ptr(InternalRideZavError(text))};
    }
    ridezavLog(success);
    try {
        Value value = readJSON(data);
        if (auto* object = value.get<Object>()) return {std::move(*object), nullptr};
        return {std::nullopt, nullptr};
    } catch (const std::exception&) {
        auto parseError = std::current_exception();
        ridezavLog("Error parsing the " + name + " response: " + velmo::describeException(parseError));
        return {std::nullopt, parseError};
    }
}

}  // namespace

RideZavApi::RideZavApi(std::shared_ptr<const RideZavConfig> config, velmo::Seconds defaultTimeout)
    : sharedConfig_(std::move(config)),
      config_(*sharedConfig_),
      defaultTimeout_(defaultTimeout),
      transport_(std::make_unique<Transport>()) {}

RideZavApi::RideZavApi(RideZavConfig config, velmo::Seconds defaultTimeout)
    : RideZavApi(std::make_shared<const RideZavConfig>(std::move(config)), defaultTimeout) {}

RideZavApi::~RideZavApi() {
    std::unique_ptr<velmo::URLSession> session;
    {
        std::lock_guard lock(transport_->mutex);
        session = std::move(transport_->session);
    }
    session.reset();  // outside the lock: cancels the transfers still running and joins its worker
}

velmo::URLSessionConfiguration RideZavApi::sessionConfig() const {
    velmo::URLSessionConfiguration configuration =
        config_.urlSessionConfiguration.value_or(velmo::URLSessionConfiguration::defaultSessionConfiguration());
    // This layer never caches answers, so every request already reloads.
    configuration.httpAdditionalHeaders = {
        {"Content-Type", "application/json; charset=utf-8"},
        {"User-Agent", rideZavSdkName() + "/" + rideZavVersion()},
    };
    return configuration;
}

std::optional<std::string> RideZavApi::ingestionURL(const RideZavConfig& config, std::string_view path,
                                                    const std::vector<velmo::URLQueryItem>& items) {
    auto components = velmo::URLComponents::fromString(config.host());
    if (!components) return std::nullopt;
    components->percentEncodedPath = collapseSlashes(components->percentEncodedPath + "/" + std::string(path));
    components->setQueryItems(items);
    if (items.empty()) components->percentEncodedQuery = "";
    return components->url();
}

std::string RideZavApi::assetsBase(const std::string& host) {
    for (const auto& [ingest, assets] : kKnownEndpoints)
        if (host == ingest) return assets;
    return host;
}

std::optional<std::string> RideZavApi::remoteConfigURL(const RideZavConfig& config) {
    auto components = velmo::URLComponents::fromString(assetsBase(config.host()));
    if (!components) return std::nullopt;
    std::string path = components->percentEncodedPath;
    while (!path.empty() && path.back() == '/') path.pop_back();
    // One segment whatever the key holds: a "/" or "?" in it cannot change the route.
    components->percentEncodedPath = path + "/array/" + velmo::percentEncodedPathSegment(config.apiKey()) + "/config";
    return components->url();
}

velmo::URLRequest RideZavApi::makeRequest(const std::string& url, const std::string& method) const {
    velmo::URLRequest request(url);
    request.timeoutInterval = defaultTimeout_;
    request.totalTimeoutInterval = defaultTimeout_;
    request.httpMethod = method;
    return request;
}

void RideZavApi::send(velmo::URLRequest request, bool compressed, DataCompletion completion) {
    velmo::URLSession* session = nullptr;
    {
        std::lock_guard lock(transport_->mutex);
        if (!transport_->session) {
            auto configuration = sessionConfig();
            // Requests stay independent of each other, as on sessions of their own.
            configuration.httpCookieStorage = false;
            try {
                transport_->session = std::make_unique<velmo::URLSession>(std::move(configuration));
            } catch (const std::exception& error) {
                // No thread for the session's worker: reported like any transport failure.
                completion(std::string(), std::nullopt, std::make_exception_ptr(velmo::URLError(velmo::URLError::unknown, error.what())));
                return;
            }
        }
        session = transport_->session.get();
    }
    if (compressed) {
        request.setValue("gzip", "Accept-Encoding");
        request.setValue("gzip", "Content-Encoding");
    }
    session->dataTask(std::move(request), std::move(completion))->resume();
}

void RideZavApi::batch(std::vector<RideZavEvent> events, Completion completion) {
    Array list;
    list.reserve(events.size());
    for (const auto& event : events) list.emplace_back(event.toJSON());
    Object body{{"api_key", config_.apiKey()},
                {"batch", std::move(list)},
                {"sent_at", RideZavAPIDateFormatter::shared().string(WallClock::current()->now())}};
    upload("batch", "/batch", serialise(Value(std::move(body))), std::move(completion));
}

void RideZavApi::batchJSON(std::vector<std::string> events, Completion completion) {
    // The body the object above would give, made from the events' own bytes.
    std::optional<std::string> body;
    try {
        std::size_t size = 64;
        for (const auto& event : events) size += event.size() + 1;
        std::string text;
        text.reserve(size);
        text += "{\"api_key\":";
        text += OrderedJSON(config_.apiKey()).dump();
        text += ",\"batch\":[";
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (i > 0) text += ',';
            text += events[i];
        }
        text += "],\"sent_at\":";
        text += OrderedJSON(RideZavAPIDateFormatter::shared().string(WallClock::current()->now())).dump();
        text += '}';
        body = std::move(text);
    } catch (const std::exception&) {
    }
    upload("batch", "/batch", std::move(body), std::move(completion));
}

void RideZavApi::snapshot(std::vector<RideZavEvent> events, Completion completion) {
    Array list;
    list.reserve(events.size());
    for (auto& event : events) {
        event.apiKey = config_.apiKey();
        list.emplace_back(event.toJSON());
    }
    upload("snapshot", config_.snapshotEndpoint(), serialise(Value(std::move(list))), std::move(completion));
}

void RideZavApi::upload(std::string_view whatView, const std::string& path, std::optional<std::string> body, Completion completion) {
    const std::string what(whatView);
    const auto url = ingestionURL(config_, path);
    if (!url) {
        ridezavLog("Malformed " + what + " URL error.");
        completion(RideZavBatchUploadInfo{});
        return;
    }
    if (!body) {
        ridezavLog("Error parsing the " + what + " body");
        completion(RideZavBatchUploadInfo{});
        return;
    }
    auto request = makeRequest(*url, "POST");
    try {
        request.httpBody = gzipped(*body);
    } catch (const GzipError& error) {
        ridezavLog("Error gzipping the " + what + " body: " + error.message + ".");
        completion(RideZavBatchUploadInfo{});
        return;
    }
    send(
        std::move(request), true,
        [what, completion = std::move(completion)](std::string data, std::optional<velmo::URLResponse> response, std::exception_ptr error) {
            completion(readUploadAnswer(what, data, response, std::move(error)));
        });
}

RideZavBatchUploadInfo RideZavApi::readUploadAnswer(std::string_view whatView, const std::string& data,
                                                    const std::optional<velmo::URLResponse>& response, std::exception_ptr error) {
    const std::string what(whatView);
    if (auto failed = transportError(response, error)) {
        ridezavLog("Error calling the " + what + " API: " + velmo::describeException(failed) + ".");
        RideZavBatchUploadInfo info;
        try {
            std::rethrow_exception(failed);
        } catch (const velmo::Error& e) {
            info.error = e;
        } catch (const std::exception& e) {
            info.error = velmo::Error(velmo::URLError::domainName, velmo::URLError::unknown, e.what());
        }
        return info;
    }
    const int status = response->statusCode;
    if (!isSuccess(status)) {
        ridezavLog("Error sending events to " + what + " API: status: " + std::to_string(status) + ", body: " + describe(bodyObject(data)) +
                   ".");
    } else {
        ridezavLog(what == "batch" ? "Events sent successfully." : "Snapshots sent successfully.");
    }
    return RideZavBatchUploadInfo{status, std::nullopt};
}

void RideZavApi::flags(const std::string& distinctId, const std::optional<std::string>& anonymousId, const Groups& groups,
                       const Object& personProperties, const std::optional<GroupProperties>& groupProperties, JSONCompletion completion) {
    const auto url = ingestionURL(config_, "/flags", {{"v", "2"}});
    if (!url) {
        ridezavLog("Malformed flags URL error.");
        completion(std::nullopt, nullptr);
        return;
    }
    Object groupsObject;
    for (const auto& [type, key] : groups) groupsObject.append(type, key);
    Object body{{"api_key", config_.apiKey()},
                {"distinct_id", distinctId},
                {"groups", std::move(groupsObject)},
                {"timezone", velmo::currentTimeZoneIdentifier()}};
    if (anonymousId) body.append("$anon_distinct_id", *anonymousId);
    if (!personProperties.empty()) body.append("person_properties", personProperties);
    if (groupProperties && !groupProperties->empty()) {
        Object groupsProperties;
        for (const auto& [type, properties] : *groupProperties) groupsProperties.append(type, properties);
        body.append("group_properties", std::move(groupsProperties));
    }
    if (config_.evaluationContexts && !config_.evaluationContexts->empty()) {
        Array contexts(config_.evaluationContexts->begin(), config_.evaluationContexts->end());
        body.append("evaluation_contexts", std::move(contexts));
    }
    auto bytes = serialise(Value(std::move(body)));
    if (!bytes) {
        ridezavLog("Error parsing the flags body");
        completion(std::nullopt, nullptr);
        return;
    }
    auto request = makeRequest(*url, "POST");
    request.httpBody = std::move(*bytes);
    send(std::move(request), false,
         [completion = std::move(completion)](std::string data, std::optional<velmo::URLResponse> response, std::exception_ptr error) {
             auto answer = readFlagsAnswer(data, response, std::move(error));
             completion(std::move(answer.object), std::move(answer.error));
         });
}

void RideZavApi::getRemoteConfig(JSONCompletion completion) {
    const auto url = remoteConfigURL(config_);
    if (!url) {
        ridezavLog("Error calling the remote config API: unable to create request");
        completion(std::nullopt, nullptr);
        return;
    }
    send(makeRequest(*url, "GET"), false,
         [completion = std::move(completion)](std::string data, std::optional<velmo::URLResponse> response, std::exception_ptr error) {
             auto answer = readRemoteConfigAnswer(data, response, std::move(error));
             completion(std::move(answer.object), std::move(answer.error));
         });
}

RideZavApi::JSONAnswer RideZavApi::readFlagsAnswer(const std::string& data, const std::optional<velmo::URLResponse>& response,
                                                   std::exception_ptr error) {
    return readJSONAnswer("flags", "Error calling flags API: ", "Flags called successfully.", false, data, response, std::move(error));
}

RideZavApi::JSONAnswer RideZavApi::readRemoteConfigAnswer(const std::string& data, const std::optional<velmo::URLResponse>& response,
                                                          std::exception_ptr error) {
    return readJSONAnswer("remote config", "Error calling the remote config API: ", "Remote config called successfully.", true, data,
                          response, std::move(error));
}

}  // namespace ridezav
