#include "voice/OpenAIAudioTranscriptionProvider.h"

#include <nlohmann/json.hpp>

#include "platform/base/Logger.h"
#include "platform/base/UTF8.h"
#include "platform/base/UUID.h"
#include "platform/foundation/Unicode.h"
#include "platform/runtime/MainThreadBound.h"

using namespace std::chrono_literals;

namespace velmo {

namespace {

constexpr std::uint32_t kSampleRate = 16000;
constexpr std::uint16_t kChannels = 1;
constexpr std::uint16_t kBitsPerSample = 16;
constexpr std::size_t kWAVHeaderByteCount = 44;

// The answer rules: a 2xx reply's JSON "text" (trimmed, possibly empty), else its plain text.
std::string transcriptFromReply(const URLDataResponse& reply) {
    if (!reply.response.isHTTP()) throw OpenAIAudioTranscriptionProviderError("OpenAI transcription returned an invalid response.");
    const int status = reply.response.statusCode;
    if (status < 200 || status > 299) {
        const std::string_view kept = utf8Prefix(reply.data, OpenAIAudioTranscriptionSession::maximumErrorBodyBytes);
        throw OpenAIAudioTranscriptionProviderError("OpenAI transcription failed: " +
                                                    (isValidUTF8(kept) ? std::string(kept) : std::string("Unknown error")));
    }
    if (auto decoded = TranscriptionResponse::decode(reply.data)) return trimWhitespaceAndNewlines(decoded->text);
    if (isValidUTF8(reply.data)) {
        std::string text = trimWhitespaceAndNewlines(reply.data);
        if (!text.empty()) return text;
    }
    throw OpenAIAudioTranscriptionProviderError("OpenAI transcription returned an empty transcript.");
}

}  // namespace

std::optional<TranscriptionResponse> TranscriptionResponse::decode(std::string_view body) {
    nlohmann::json json = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return std::nullopt;
    auto text = json.find("text");
    if (text == json.end() || !text->is_string()) return std::nullopt;
    return TranscriptionResponse{text->get<std::string>()};
}

// ---------------------------------------------------------------------------------------------
// Provider

OpenAIAudioTranscriptionProvider::OpenAIAudioTranscriptionProvider(std::optional<std::string> apiKey, std::string modelName)
    : OpenAIAudioTranscriptionProvider(std::move(apiKey), std::move(modelName), Options{}) {}

OpenAIAudioTranscriptionProvider::OpenAIAudioTranscriptionProvider(std::optional<std::string> apiKey, std::string modelName,
                                                                   Options options)
    : apiKey_(apiKey && !apiKey->empty() ? std::move(apiKey) : std::nullopt),
      modelName_(modelName.empty() ? std::string(defaultModelName) : std::move(modelName)),
      options_(std::move(options)) {
    if (!options_.makeBoundaryIdentifier) options_.makeBoundaryIdentifier = [] { return UUID::random().uuidString(); };
}

std::optional<std::string> OpenAIAudioTranscriptionProvider::unavailableExplanation() const {
    if (apiKey_) return std::nullopt;
    return std::string(notConfiguredMessage);
}

Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> OpenAIAudioTranscriptionProvider::startStreamingSession(
    std::vector<std::string> keyterms, MirrinTranscriptUpdateCallback onTranscriptUpdate,
    MirrinFinalTranscriptCallback onFinalTranscriptReady, MirrinTranscriptionErrorCallback onError) {
    if (!apiKey_) throw OpenAIAudioTranscriptionProviderError(notConfiguredMessage);
    OpenAIAudioTranscriptionSession::Settings settings;
    settings.apiKey = *apiKey_;
    settings.modelName = modelName_;
    settings.keyterms = std::move(keyterms);
    settings.makeBoundaryIdentifier = options_.makeBoundaryIdentifier;
    settings.maximumBufferedByteCount = options_.maximumBufferedByteCount;
    co_return OpenAIAudioTranscriptionSession::make(std::move(settings), std::move(onTranscriptUpdate), std::move(onFinalTranscriptReady),
                                                    std::move(onError));
}

// ---------------------------------------------------------------------------------------------
// Session

std::shared_ptr<OpenAIAudioTranscriptionSession> OpenAIAudioTranscriptionSession::make(Settings settings,
                                                                                       MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                                                       MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                                                       MirrinTranscriptionErrorCallback onError) {
    return makeMainBound<OpenAIAudioTranscriptionSession>(PrivateTag{}, std::move(settings), std::move(onTranscriptUpdate),
                                                          std::move(onFinalTranscriptReady), std::move(onError));
}

OpenAIAudioTranscriptionSession::OpenAIAudioTranscriptionSession(PrivateTag, Settings settings,
                                                                 MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                                 MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                                 MirrinTranscriptionErrorCallback onError)
    : apiKey_(std::move(settings.apiKey)),
      modelName_(std::move(settings.modelName)),
      keyterms_(std::move(settings.keyterms)),
      makeBoundaryIdentifier_(settings.makeBoundaryIdentifier ? std::move(settings.makeBoundaryIdentifier)
                                                              : [] { return UUID::random().uuidString(); }),
      onTranscriptUpdate_(std::move(onTranscriptUpdate)),
      onFinalTranscriptReady_(std::move(onFinalTranscriptReady)),
      onError_(std::move(onError)),
      state_(settings.maximumBufferedByteCount),
      urlSession_(std::make_shared<URLSession>(urlSessionConfiguration())) {}

OpenAIAudioTranscriptionSession::~OpenAIAudioTranscriptionSession() {
    transcriptionUploadTask_.cancel();
    urlSession_.reset();
}

URLSessionConfiguration OpenAIAudioTranscriptionSession::urlSessionConfiguration() {
    URLSessionConfiguration configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration.timeoutIntervalForRequest = 45s;
    configuration.timeoutIntervalForResource = 90s;
    configuration.waitsForConnectivity = true;
    return configuration;
}

const std::string& OpenAIAudioTranscriptionSession::transcriptionURL() {
    static const std::string url = "https://api.openai.com/v1/audio/transcriptions";
    return url;
}

void OpenAIAudioTranscriptionSession::appendAudioBuffer(const std::shared_ptr<const AudioPCMBuffer>& buffer) {
    if (!buffer) return;
    MirrinPCM16Data bytes = audioPCM16Converter_.convert(*buffer);
    if (bytes.empty()) return;
    stateQueue_.async([this, bytes = std::move(bytes)] {
        if (state_.hasRequestedFinalTranscript || state_.isCancelled) return;
        state_.bufferedPCM16AudioData.append(bytes);
    });
}

void OpenAIAudioTranscriptionSession::requestFinalTranscript() {
    // Synchronous, so a `cancel` right after it always finds the upload task.
    std::optional<MirrinPCM16Data> audio;
    stateQueue_.sync([&] {
        if (state_.hasRequestedFinalTranscript || state_.isCancelled) return;
        state_.hasRequestedFinalTranscript = true;
        // Handed over rather than copied: nothing appends to the buffer from here on.
        audio = state_.bufferedPCM16AudioData.take();
    });
    if (!audio) return;
    transcriptionUploadTask_ = runUpload(weak_from_this(), std::move(*audio));
    transcriptionUploadTask_.start();
}

void OpenAIAudioTranscriptionSession::cancel() {
    stateQueue_.async([this] {
        state_.isCancelled = true;
        state_.bufferedPCM16AudioData.clear();
    });
    transcriptionUploadTask_.cancel();  // cancels the transfer in flight
    urlSession_.reset();
}

bool OpenAIAudioTranscriptionSession::isCancelledOnStateQueue() {
    bool cancelled = false;
    stateQueue_.sync([&] { cancelled = state_.isCancelled; });
    return cancelled;
}

void OpenAIAudioTranscriptionSession::deliverFinalTranscript(const std::string& text) {
    if (!onFinalTranscriptReady_.isSpent()) onFinalTranscriptReady_(text);
}

Task<void> OpenAIAudioTranscriptionSession::runUpload(std::weak_ptr<OpenAIAudioTranscriptionSession> weakSession, MirrinPCM16Data audio) {
    auto self = weakSession.lock();
    if (!self || Task<>::isCurrentCancelled() || self->isCancelledOnStateQueue() || !self->urlSession_) co_return;
    if (audio.empty()) {
        self->deliverFinalTranscript("");
        co_return;
    }
    const std::size_t wavByteCount = kWAVHeaderByteCount + audio.size();
    auto upload = uploadTranscription(self->urlSession_, self->apiKey_, self->modelName_, makeTranscriptionPrompt(self->keyterms_),
                                      self->makeBoundaryIdentifier_(), std::move(audio));
    // Not held across the upload: destroying the session cancels it.
    self.reset();

    std::string text;
    std::exception_ptr failure;
    try {
        text = co_await upload;
    } catch (...) {
        failure = std::current_exception();
    }

    self = weakSession.lock();
    if (!self || Task<>::isCurrentCancelled() || self->isCancelledOnStateQueue()) co_return;
    if (failure) {
        logLine("[OpenAI Transcription] ❌ Upload failed (audio size: " + std::to_string(wavByteCount) +
                " bytes): " + describeException(failure));
        if (self->onError_) self->onError_(failure);
        co_return;
    }
    if (!text.empty() && self->onTranscriptUpdate_) self->onTranscriptUpdate_(text);
    self->deliverFinalTranscript(text);
}

Task<std::string> OpenAIAudioTranscriptionSession::uploadTranscription(std::shared_ptr<URLSession> session, std::string apiKey,
                                                                       std::string modelName, std::optional<std::string> prompt,
                                                                       std::string boundaryIdentifier, MirrinPCM16Data audio) {
    const std::string authorization = "Bearer " + apiKey;
    if (!isValidHTTPHeaderValue(authorization))
        throw OpenAIAudioTranscriptionProviderError("The API key holds a line break (CR or LF) and cannot be sent; nothing was sent.");
    const std::string boundary = "Boundary-" + boundaryIdentifier;

    URLRequest request(transcriptionURL(), requestTimeout);
    request.httpMethod = "POST";
    request.setValue(authorization, "Authorization");
    request.setValue("multipart/form-data; boundary=" + boundary, "Content-Type");
    {
        // At most two copies of the audio live at once: the PCM and the WAV, then the WAV and the
        // body. Only the body travels.
        std::vector<std::uint8_t> wav = makeWAVData(audio, kSampleRate, kChannels, kBitsPerSample);
        MirrinPCM16Data().swap(audio);
        request.httpBody = makeMultipartBody(boundary, modelName, prompt, wav);
    }

    request.maximumBodyBytes = maximumReplyBytes;
    // A few bytes more, so the cut sees whether a character crosses the bound.
    request.maximumErrorBodyBytes = maximumErrorBodyBytes + 4;

    auto transfer = session->data(std::move(request));
    URLDataResponse reply;
    try {
        reply = co_await transfer;
    } catch (const URLError& error) {
        if (error.urlCode() != URLError::dataLengthExceedsMaximum) throw;
        throw OpenAIAudioTranscriptionProviderError("OpenAI transcription reply is longer than " + std::to_string(maximumReplyBytes) +
                                                    " bytes.");
    }
    co_return transcriptFromReply(reply);
}

std::optional<std::string> OpenAIAudioTranscriptionSession::makeTranscriptionPrompt(const std::vector<std::string>& keyterms) {
    std::string terms;
    for (const auto& keyterm : keyterms) {
        std::string term = trimWhitespaceAndNewlines(keyterm);
        if (term.empty()) continue;
        if (!terms.empty()) terms += ", ";
        terms += term;
    }
    if (terms.empty()) return std::nullopt;
    return "This is a short push-to-talk transcript for a coding and product app. Expect product names, technical terms, "
           "and app-specific vocabulary such as: " +
           terms + ".";
}

void OpenAIAudioTranscriptionSession::appendFormField(std::string& body, const std::string& boundary, const std::string& name,
                                                      const std::string& value) {
    body += "--";
    body += boundary;
    body += "\r\nContent-Disposition: form-data; name=\"";
    body += name;
    body += "\"\r\n\r\n";
    body += value;
    body += "\r\n";
}

std::string OpenAIAudioTranscriptionSession::makeMultipartBody(const std::string& boundary, const std::string& modelName,
                                                               const std::optional<std::string>& prompt,
                                                               const std::vector<std::uint8_t>& wavData) {
    static constexpr std::string_view fileHeader =
        "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"voice-input.wav\"\r\nContent-Type: audio/wav\r\n\r\n";
    std::string body;
    // Sized once: the audio is by far the largest part and is not copied twice.
    body.reserve(512 + 6 * boundary.size() + modelName.size() + (prompt ? prompt->size() : 0) + wavData.size());
    appendFormField(body, boundary, "model", modelName);
    appendFormField(body, boundary, "language", "en");
    appendFormField(body, boundary, "response_format", "json");
    if (prompt) appendFormField(body, boundary, "prompt", *prompt);
    body += "--";
    body += boundary;
    body += fileHeader;
    body.append(reinterpret_cast<const char*>(wavData.data()), wavData.size());
    body += "\r\n--";
    body += boundary;
    body += "--\r\n";
    return body;
}

}  // namespace velmo
