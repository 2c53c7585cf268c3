#include "companion/ClaudeAPI.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <mutex>
#include <nlohmann/json.hpp>

#include "companion/StreamEvent.h"
#include "platform/net/Base64.h"
#include "platform/base/Logger.h"
#include "platform/base/URLComponents.h"

using namespace std::chrono_literals;

namespace velmo {

namespace {

constexpr const char* kMessagesURL = "https://api.anthropic.com/v1/messages";

std::mutex& warmUpLock() {
    static std::mutex m;
    return m;
}
bool& warmUpDone() {
    static bool done = false;
    return done;
}

// scheme://host[:port]/ of an absolute URL; empty when it has no host.
std::string originRootOf(const std::string& url) {
    auto components = URLComponents::fromString(url);
    if (!components || components->scheme.empty() || !components->host || components->host->empty()) return {};
    URLComponents root;
    root.scheme = components->scheme;
    root.percentEncodedUserInfo = components->percentEncodedUserInfo;
    root.host = components->host;
    root.port = components->port;
    root.percentEncodedPath = "/";
    return root.url().value_or("");
}

std::string jsonString(const std::string& s) { return nlohmann::json(s).dump(); }

}  // namespace

ClaudeAPI::ClaudeAPI(std::string apiKey, std::string model)
    : fields_{std::move(apiKey), kMessagesURL, std::move(model), nullptr} {
    URLSessionConfiguration configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration.timeoutIntervalForRequest = 120s;
    configuration.timeoutIntervalForResource = 300s;
    configuration.waitsForConnectivity = true;
    configuration.httpCookieStorage = false;
    fields_.session = std::make_shared<URLSession>(configuration);
    warmUpConnection();
}

void ClaudeAPI::resetWarmUpForTesting() {
    std::lock_guard lock(warmUpLock());
    warmUpDone() = false;
}

void ClaudeAPI::warmUpConnection() {
    {
        std::lock_guard lock(warmUpLock());
        if (warmUpDone()) return;
        warmUpDone() = true;  // a warm-up that cannot be sent still counts as done
    }
    std::string origin = originRootOf(fields_.apiURL);
    if (origin.empty()) return;
    URLRequest request(origin, Seconds(60));
    request.httpMethod = "HEAD";
    request.timeoutInterval = 10s;
    fields_.session->dataTask(request, [](std::string, std::optional<URLResponse>, std::exception_ptr) {})->resume();
}

const char* ClaudeAPI::mediaTypeFor(std::string_view data) {
    static constexpr unsigned char png[] = {0x89, 0x50, 0x4E, 0x47};
    if (data.size() >= 4 && std::memcmp(data.data(), png, 4) == 0) return "image/png";
    return "image/jpeg";
}

std::string ClaudeAPI::makeRequestBody(const std::string& model, const std::vector<Image>& images, const std::string& systemPrompt,
                                       const std::vector<HistoryPair>& history, const std::string& userPrompt) {
    // Written directly rather than through a JSON tree: the images dominate the body, and
    // their Base64 text needs no escaping, so it is encoded straight into place.
    std::vector<std::string> escaped;
    escaped.reserve(3 + history.size() * 2 + images.size());
    escaped.push_back(jsonString(model));
    escaped.push_back(jsonString(systemPrompt));
    for (const auto& pair : history) {
        escaped.push_back(jsonString(pair.userPlaceholder));
        escaped.push_back(jsonString(pair.assistantResponse));
    }
    for (const auto& image : images) escaped.push_back(jsonString(image.label));
    escaped.push_back(jsonString(userPrompt));

    std::size_t size = 256 + history.size() * 64 + images.size() * 128;
    for (const auto& s : escaped) size += s.size();
    for (const auto& image : images) size += Base64::encodedSize(image.data.size());

    std::string body;
    body.reserve(size);
    std::size_t next = 0;
    body += "{\"model\":";
    body += escaped[next++];
    body += ",\"max_tokens\":1024,\"stream\":true,\"system\":";
    body += escaped[next++];
    body += ",\"messages\":[";
    for (std::size_t i = 0; i < history.size(); ++i) {
        body += "{\"role\":\"user\",\"content\":";
        body += escaped[next++];
        body += "},{\"role\":\"assistant\",\"content\":";
        body += escaped[next++];
        body += "},";
    }
    body += "{\"role\":\"user\",\"content\":[";
    for (const auto& image : images) {
        body += "{\"type\":\"image\",\"source\":{\"type\":\"base64\",\"media_type\":\"";
        body += mediaTypeFor(image.data);
        body += "\",\"data\":\"";
        Base64::encodeAppending(image.data, body);
        body += "\"}},{\"type\":\"text\",\"text\":";
        body += escaped[next++];
        body += "},";
    }
    body += "{\"type\":\"text\",\"text\":";
    body += escaped[next++];
    body += "}]}]}";
    return body;
}

ClaudeAPI::LineResult ClaudeAPI::handleStreamLine(std::string_view line, std::string& reply) {
    constexpr std::string_view prefix = "data: ";
    if (line.substr(0, prefix.size()) != prefix) return LineResult::ignored;
    std::string_view payload = line.substr(prefix.size());
    if (payload == "[DONE]") return LineResult::done;
    std::optional<StreamEvent> event = StreamEvent::parse(payload);
    if (!event) return LineResult::ignored;
    if (event->type == "error") {
        // The service reports a failure inside a successful stream: the call fails with it.
        throw Error(errorDomain, -2, "Stream error: " + (event->errorMessage ? *event->errorMessage : std::string(payload)));
    }
    if (event->type != "content_block_delta" || !event->deltaIsObject || event->deltaType != "text_delta" || !event->deltaText)
        return LineResult::ignored;
    const std::string& text = *event->deltaText;
    if (reply.size() + text.size() <= maximumReplyBytes) {
        reply += text;
        return LineResult::appended;
    }
    // Cut before a continuation byte, never inside a character.
    std::size_t room = maximumReplyBytes - reply.size();
    while (room > 0 && (static_cast<unsigned char>(text[room]) & 0xC0) == 0x80) --room;
    reply.append(text, 0, room);
    return LineResult::full;
}

Task<std::string> ClaudeAPI::streamMessage(std::vector<Image> images, std::string systemPrompt,
                                           std::vector<HistoryPair> conversationHistory, std::string userPrompt) {
    if (!isValidHTTPHeaderValue(fields_.apiKey))
        throw Error(errorDomain, -3, "The API key holds a line break (CR or LF) and cannot be sent; nothing was sent.");
    auto session = fields_.session;

    URLRequest request(fields_.apiURL, Seconds(60));
    request.httpMethod = "POST";
    request.timeoutInterval = 120s;
    request.setValue(fields_.apiKey, "x-api-key");
    request.setValue("2023-06-01", "anthropic-version");
    request.setValue("application/json", "Content-Type");

    request.httpBody = makeRequestBody(fields_.model, images, systemPrompt, conversationHistory, userPrompt);
    char line[128];
    std::snprintf(line, sizeof line, "🌐 Claude streaming request: %.1fMB, %zu image(s)",
                  static_cast<double>(request.httpBody.size()) / 1048576.0, images.size());
    logLine(line);
    images.clear();  // the body holds them now

    URLSessionBytes bytes = co_await session->bytes(std::move(request));
    const URLResponse& response = bytes.response();
    if (!response.isHTTP()) throw Error(errorDomain, -1, "Invalid HTTP response");
    int status = response.statusCode;
    if (status < 200 || status > 299) {
        std::string body;
        bool first = true;
        while (auto l = co_await bytes.nextLine()) {
            if (!first) body += "\n";
            body += *l;
            first = false;
            if (body.size() > maximumErrorBodyBytes) {
                std::size_t cut = maximumErrorBodyBytes;
                while (cut > 0 && (static_cast<unsigned char>(body[cut]) & 0xC0) == 0x80) --cut;
                body.resize(cut);
                logLine("⚠️ Claude error body longer than " + std::to_string(maximumErrorBodyBytes) + " bytes; the rest is not read");
                break;
            }
        }
        throw Error(errorDomain, status, "API Error (" + std::to_string(status) + "): " + body);
    }
    std::string reply;
    while (auto l = co_await bytes.nextLine()) {
        const LineResult result = handleStreamLine(*l, reply);
        if (result == LineResult::done) break;
        if (result == LineResult::full) {
            logLine("⚠️ Claude reply reached " + std::to_string(maximumReplyBytes) + " bytes; the rest is dropped");
            break;
        }
    }
    co_return reply;
}

}  // namespace velmo
