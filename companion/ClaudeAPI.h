#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "companion/ModelServiceFields.h"
#include "platform/net/URLSession.h"
#include "platform/runtime/Task.h"

namespace velmo {

// The gateway to the streaming messages service: one request per call with the system prompt,
// the history, labelled images and the user's words; the reply's text deltas are read from the
// server-sent-event stream and returned whole when it ends. Bound to the main thread.
class ClaudeAPI {
public:
    struct Image {
        std::string data;  // encoded image bytes (PNG or JPEG)
        std::string label;
    };
    struct HistoryPair {
        std::string userPlaceholder;
        std::string assistantResponse;
    };

    static constexpr const char* errorDomain = "ClaudeAPI";

    // Stores the key and model, builds the session and starts the once-per-process warm-up.
    ClaudeAPI(std::string apiKey, std::string model);

    const ModelServiceFields& fields() const { return fields_; }

    // Starts at most one HEAD request to the service's origin per process; returns at once.
    void warmUpConnection();

    // The concatenated text deltas of the reply. Throws the transport's errors unchanged, and
    // Error("ClaudeAPI", status, "API Error (...") for a status outside 200-299.
    Task<std::string> streamMessage(std::vector<Image> images, std::string systemPrompt, std::vector<HistoryPair> conversationHistory,
                                    std::string userPrompt);

    // The serialised request body (compact JSON with the five members).
    static std::string makeRequestBody(const std::string& model, const std::vector<Image>& images, const std::string& systemPrompt,
                                       const std::vector<HistoryPair>& history, const std::string& userPrompt);
    static const char* mediaTypeFor(std::string_view imageData);

    // A reply is cut at this many bytes (on a character boundary); the rest of the stream is
    // not read. An error answer's body is logged up to `maximumErrorBodyBytes`.
    static constexpr std::size_t maximumReplyBytes = 256 * 1024;
    static constexpr std::size_t maximumErrorBodyBytes = 4096;

    // How one line of the event stream is handled.
    enum class LineResult { ignored, appended, done, full };
    // Appends a text delta to `reply` or ignores the line; throws Error("ClaudeAPI", -2, ...) for
    // an error event. A delta that would take the reply past `maximumReplyBytes` is cut there
    // and gives `full`.
    static LineResult handleStreamLine(std::string_view line, std::string& reply);

    // Tests only: lets one process check the warm-up more than once.
    static void resetWarmUpForTesting();

private:
    ModelServiceFields fields_;
};

}  // namespace velmo
