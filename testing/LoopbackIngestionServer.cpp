#include "testing/LoopbackIngestionServer.h"

#include <zlib.h>

#include <chrono>
#include <cstring>

namespace velmo::test {

std::optional<std::string> gunzip(const std::string& compressed) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    std::string out;
    char buffer[16384];
    int status;
    do {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
    } while (status == Z_OK);
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!whole) return std::nullopt;
    return out;
}

std::optional<std::string> LoopbackIngestionServer::Request::header(const std::string& name) const {
    RecordedRequest probe;
    probe.headers = headers;
    return probe.header(name);
}

LoopbackIngestionServer::Answer LoopbackIngestionServer::Answer::status(int code, std::string body) {
    return Answer{LoopbackAnswer::text(code, std::move(body), "application/json")};
}

LoopbackIngestionServer::Answer LoopbackIngestionServer::Answer::held(std::shared_ptr<Gate> gate, int code, std::string body) {
    auto answer = status(code, std::move(body));
    answer.answer.heldBy(std::move(gate));
    return answer;
}

LoopbackIngestionServer::Answer LoopbackIngestionServer::Answer::dropped() { return Answer{LoopbackAnswer::connectionReset()}; }

LoopbackIngestionServer::Answer LoopbackIngestionServer::Answer::closedWithoutReply() { return Answer{LoopbackAnswer::rawBytes("")}; }

LoopbackIngestionServer::LoopbackIngestionServer(std::string snapshotPath)
    : snapshotPath_(std::move(snapshotPath)) {
    standing_[Route::batch] = Answer::status(200, R"({"status":1})");
    standing_[Route::snapshot] = Answer::status(200, R"({"status":1})");
    standing_[Route::flags] = Answer::status(200, R"({"flags":{},"featureFlags":{},"featureFlagPayloads":{}})");
    standing_[Route::remoteConfig] = Answer::status(200, "{}");
    standing_[Route::unknown] = Answer::status(404, R"({"error":"not found"})");
    http_.setFallback([this](const RecordedRequest& request) { return respond(request); });
}

LoopbackIngestionServer::~LoopbackIngestionServer() { http_.stop(); }

LoopbackIngestionServer::Route LoopbackIngestionServer::routeOf(const std::string& path) const {
    auto endsWith = [&](const std::string& tail) {
        return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (endsWith("/batch")) return Route::batch;
    if (endsWith("/flags")) return Route::flags;
    if (endsWith(snapshotPath_)) return Route::snapshot;
    const auto array = path.find("/array/");
    if (array != std::string::npos && endsWith("/config") && path.size() > array + 7 + 7) return Route::remoteConfig;
    return Route::unknown;
}

LoopbackAnswer LoopbackIngestionServer::respond(const RecordedRequest& recorded) {
    Request request;
    request.method = recorded.method;
    request.path = recorded.path;
    const auto question = recorded.target.find('?');
    if (question != std::string::npos) request.query = recorded.target.substr(question + 1);
    request.headers = recorded.headers;
    request.route = routeOf(recorded.path);
    request.body = recorded.body;
    request.gzipped = recorded.header("Content-Encoding") == "gzip";
    request.inflated = !request.gzipped;
    if (request.gzipped) {
        if (auto plain = gunzip(recorded.body)) {
            request.body = std::move(*plain);
            request.inflated = true;
        }
    }
    if (request.inflated && !request.body.empty()) {
        auto json = nlohmann::ordered_json::parse(request.body, nullptr, false);
        if (!json.is_discarded()) request.json = std::move(json);
    }
    std::unique_lock lock(mutex_);
    const Route route = request.route;
    requests_.push_back(std::move(request));
    changed_.notify_all();
    auto& queued = next_[route];
    if (!queued.empty()) {
        auto answer = std::move(queued.front());
        queued.pop_front();
        return answer.answer;
    }
    return standing_[route].answer;
}

bool LoopbackIngestionServer::waitForRequests(std::size_t count, Seconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void LoopbackIngestionServer::answer(Route route, Answer answer) {
    std::lock_guard lock(mutex_);
    standing_[route] = std::move(answer);
}

void LoopbackIngestionServer::answerNext(Route route, Answer answer) {
    std::lock_guard lock(mutex_);
    next_[route].push_back(std::move(answer));
}

std::vector<LoopbackIngestionServer::Request> LoopbackIngestionServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<LoopbackIngestionServer::Request> LoopbackIngestionServer::requestsOf(Route route) const {
    std::lock_guard lock(mutex_);
    std::vector<Request> out;
    for (const auto& r : requests_)
        if (r.route == route) out.push_back(r);
    return out;
}

}  // namespace velmo::test
