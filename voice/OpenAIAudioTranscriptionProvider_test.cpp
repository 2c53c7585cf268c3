#include "voice/OpenAIAudioTranscriptionProvider.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <map>
#include <thread>

#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/base/OriginOverride.h"
#include "platform/media/SimulatedAudioEngine.h"
#include "platform/media/SimulatedMediaAuthorization.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackHttpServer.h"
#include "testing/MultipartFormData.h"
#include "testing/TaskProbe.h"
#include "voice/MirrinDictationManager.h"

using namespace std::chrono_literals;

using namespace velmo;
using namespace std::string_literals;
using velmo::test::errorIdentity;
using velmo::test::ErrorIdentity;
using velmo::test::Gate;
using velmo::test::LoopbackAnswer;
using velmo::test::LoopbackHttpServer;
using velmo::test::MultipartFormData;
using velmo::test::RecordedRequest;

namespace {

const std::string kIdentifier = "6F9619FF-8B86-4011-B42D-00C04FC964FF";
const std::string kPath = "/v1/audio/transcriptions";
const std::string kUploadFailed = "[OpenAI Transcription] ❌ Upload failed (audio size: ";
const std::string kDomain = "OpenAIAudioTranscriptionProviderError";

// A mono buffer at 16 kHz holding exactly these samples (the rate the service takes, so the
// conversion only quantises).
std::shared_ptr<const AudioPCMBuffer> samples16k(const std::vector<float>& samples) {
    auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(16000, 1), std::uint32_t(samples.size()));
    std::copy(samples.begin(), samples.end(), buffer->floatChannelData(0));
    buffer->setFrameLength(std::uint32_t(samples.size()));
    return buffer;
}

// 1024 frames of a tone at 48 kHz, as a microphone tap delivers them.
std::shared_ptr<const AudioPCMBuffer> microphoneBuffer(int index, std::uint32_t channels = 1) {
    auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, channels), 1024);
    for (std::uint32_t c = 0; c < channels; ++c)
        for (std::uint32_t i = 0; i < 1024; ++i)
            buffer->floatChannelData(c)[i] = 0.4f * std::sin(float(index * 1024 + i) * 0.05f + float(c));
    buffer->setFrameLength(1024);
    return buffer;
}

std::vector<std::shared_ptr<const AudioPCMBuffer>> microphoneBuffers(int count, int first = 0) {
    std::vector<std::shared_ptr<const AudioPCMBuffer>> out;
    for (int i = 0; i < count; ++i) out.push_back(microphoneBuffer(first + i));
    return out;
}

// What a fresh session keeps of these buffers, converted in order by a converter of its own.
MirrinPCM16Data convertedAudio(const std::vector<std::shared_ptr<const AudioPCMBuffer>>& buffers) {
    MirrinPCM16AudioConverter converter;
    MirrinPCM16Data out;
    for (const auto& b : buffers) {
        auto bytes = converter.convert(*b);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

std::uint32_t le32(const std::string& s, std::size_t at) {
    return std::uint32_t(std::uint8_t(s[at])) | std::uint32_t(std::uint8_t(s[at + 1])) << 8 | std::uint32_t(std::uint8_t(s[at + 2])) << 16 |
           std::uint32_t(std::uint8_t(s[at + 3])) << 24;
}
std::uint16_t le16(const std::string& s, std::size_t at) { return std::uint16_t(std::uint8_t(s[at]) | std::uint8_t(s[at + 1]) << 8); }

std::string asString(const MirrinPCM16Data& bytes) { return std::string(bytes.begin(), bytes.end()); }

LoopbackAnswer json(int status, std::string body) { return LoopbackAnswer::text(status, std::move(body), "application/json"); }

class UploadSession : public testing::Test {
protected:
    VirtualMainLoopScope scope;
    LoopbackHttpServer server;
    OriginOverride::Scope redirect{"api.openai.com", server.origin()};
    LogCapture log;

    std::vector<std::string> updates, finals;
    std::vector<std::exception_ptr> errors;
    bool calledOffTheMainThread = false;
    std::shared_ptr<MirrinStreamingTranscriptionSession> session;

    void TearDown() override {
        if (session) session->cancel();
        scope.loop().runUntilIdle();
        session.reset();
        scope.loop().runUntilIdle();
    }

    static OpenAIAudioTranscriptionProvider provider(std::optional<std::string> key = "sk-test",
                                                     std::size_t cap = MirrinPCM16AudioAccumulator::defaultMaximumByteCount) {
        OpenAIAudioTranscriptionProvider::Options options;
        options.makeBoundaryIdentifier = [] { return kIdentifier; };
        options.maximumBufferedByteCount = cap;
        return OpenAIAudioTranscriptionProvider(std::move(key), "gpt-4o-transcribe", std::move(options));
    }

    // Opens a session whose callbacks are recorded here.
    void open(std::vector<std::string> keyterms = {}, OpenAIAudioTranscriptionProvider p = provider()) {
        updates.clear();
        finals.clear();
        errors.clear();
        auto opening = p.startStreamingSession(
            std::move(keyterms),
            [this](const std::string& t) {
                calledOffTheMainThread |= !MainLoop::isMainThread();
                updates.push_back(t);
            },
            [this](const std::string& t) {
                calledOffTheMainThread |= !MainLoop::isMainThread();
                finals.push_back(t);
            },
            [this](std::exception_ptr e) {
                calledOffTheMainThread |= !MainLoop::isMainThread();
                errors.push_back(e);
            });
        auto probe = velmo::test::awaitTask(scope.loop(), std::move(opening));
        ASSERT_TRUE(probe.value()) << probe.errorDescription();
        session = *probe.value();
        ASSERT_TRUE(session);
    }

    void answerWith(LoopbackAnswer answer) { server.route("POST", kPath, std::move(answer)); }
    void append(const std::vector<std::shared_ptr<const AudioPCMBuffer>>& buffers) {
        for (const auto& b : buffers) session->appendAudioBuffer(b);
    }
    bool finished() const { return !finals.empty() || !errors.empty(); }
    // No callback came and no line was logged.
    bool silent() const { return finals.empty() && updates.empty() && errors.empty() && ownLines().empty(); }
    // A session answered by `answer`, holding `buffers` microphone buffers.
    void openWithAudio(LoopbackAnswer answer, int buffers = 3) {
        answerWith(std::move(answer));
        open();
        append(microphoneBuffers(buffers));
    }
    // Requests the transcript and drives the loop until the session has answered.
    void requestAndWait() {
        session->requestFinalTranscript();
        ASSERT_TRUE(scope.loop().runUntil([this] { return finished(); }));
    }
    // Lets anything still on its way arrive (real time; the clock stays).
    void drain(double seconds = 0.3) {
        scope.loop().runUntil([] { return false; }, Seconds(seconds));
    }
    // Drives the loop until the server has recorded `count` requests (the upload's first step
    // runs on the main thread).
    bool uploadReachesTheServer(std::size_t count) {
        return scope.loop().runUntil([this, count] { return server.requests().size() >= count; });
    }
    RecordedRequest onlyUpload() {
        auto posts = server.requestsWith("POST", kPath);
        EXPECT_EQ(posts.size(), 1u);
        return posts.empty() ? RecordedRequest{} : posts[0];
    }
    std::vector<std::string> ownLines() const { return log.linesStartingWith("[OpenAI Transcription]"); }
};

}  // namespace

TEST(OpenAIAudioTranscriptionProvider, IsTheUploadBackEndAndNeedsItsKey) {
    VirtualMainLoopScope scope;
    OpenAIAudioTranscriptionProvider configured("sk-1", "whisper-1");
    EXPECT_EQ(configured.displayName(), "OpenAI");
    EXPECT_FALSE(configured.requiresSpeechRecognitionPermission());
    EXPECT_TRUE(configured.isConfigured());
    EXPECT_EQ(configured.unavailableExplanation(), std::nullopt);
    EXPECT_EQ(configured.modelName(), "whisper-1");
    EXPECT_EQ(OpenAIAudioTranscriptionProvider("sk-1", "").modelName(), "gpt-4o-transcribe");

    for (auto key : {std::optional<std::string>(), std::optional<std::string>("")}) {
        OpenAIAudioTranscriptionProvider unconfigured(key, "gpt-4o-transcribe");
        EXPECT_FALSE(unconfigured.isConfigured());
        EXPECT_EQ(unconfigured.unavailableExplanation(), "OpenAI transcription is not configured. Add OpenAIAPIKey to Info.plist.");
        auto opening = unconfigured.startStreamingSession({}, nullptr, nullptr, nullptr);
        auto probe = velmo::test::awaitTask(scope.loop(), std::move(opening));
        EXPECT_EQ(errorIdentity(probe.error()),
                  (ErrorIdentity{kDomain, 0, "OpenAI transcription is not configured. Add OpenAIAPIKey to Info.plist."}));
        EXPECT_EQ(describeException(probe.error()), "OpenAI transcription is not configured. Add OpenAIAPIKey to Info.plist.");
    }

    auto config = OpenAIAudioTranscriptionSession::urlSessionConfiguration();
    EXPECT_EQ(config.timeoutIntervalForRequest, 45s);
    EXPECT_EQ(config.timeoutIntervalForResource, 90s);
    EXPECT_TRUE(config.waitsForConnectivity);
    EXPECT_EQ(OpenAIAudioTranscriptionSession::requestTimeout, 60s);
    EXPECT_EQ(OpenAIAudioTranscriptionSession::transcriptionURL(), "https://api.openai.com/v1/audio/transcriptions");
}

TEST(OpenAIAudioTranscriptionProvider, IsTheUploadRowOfTheStandardSelection) {
    std::map<std::string, std::string> config{{"VoiceTranscriptionProvider", "openai"}, {"OpenAIAPIKey", " sk-9 "}};
    LogCapture log;
    auto provider = makeTranscriptionProvider(
        [&](const std::string& key) -> std::optional<std::string> {
            auto it = config.find(key);
            return it == config.end() ? std::nullopt : std::optional<std::string>(it->second);
        },
        MirrinTranscriptionProviderFactories::standard());
    auto* upload = dynamic_cast<OpenAIAudioTranscriptionProvider*>(provider.get());
    ASSERT_NE(upload, nullptr) << provider->displayName();
    EXPECT_EQ(upload->apiKey(), "sk-9");
    EXPECT_EQ(upload->modelName(), "gpt-4o-transcribe");
    EXPECT_TRUE(log.linesStartingWith("⚠️").empty());
}

TEST_F(UploadSession, OpeningSendsNothingAndTheFallbackIsEightSeconds) {
    open();
    EXPECT_EQ(session->finalTranscriptFallbackDelaySeconds(), 8.0);
    append(microphoneBuffers(3));
    drain(0.1);
    EXPECT_EQ(server.connectionCount(), 0u);
    EXPECT_TRUE(finals.empty() && updates.empty() && errors.empty());
}

TEST_F(UploadSession, PostsTheGoldenBodyWithItsTwoHeaders) {
    answerWith(json(200, R"({"text":"Xcode on localhost"})"));
    open({"Xcode", " localhost\n"});
    session->appendAudioBuffer(samples16k({0.0f, 0.0f, 0.0f}));
    session->appendAudioBuffer(samples16k({0.0f}));
    requestAndWait();

    const std::string boundary = "Boundary-" + kIdentifier;
    const std::string golden =
        "--Boundary-6F9619FF-8B86-4011-B42D-00C04FC964FF\r\n"
        "Content-Disposition: form-data; name=\"model\"\r\n"
        "\r\n"
        "gpt-4o-transcribe\r\n"
        "--Boundary-6F9619FF-8B86-4011-B42D-00C04FC964FF\r\n"
        "Content-Disposition: form-data; name=\"language\"\r\n"
        "\r\n"
        "en\r\n"
        "--Boundary-6F9619FF-8B86-4011-B42D-00C04FC964FF\r\n"
        "Content-Disposition: form-data; name=\"response_format\"\r\n"
        "\r\n"
        "json\r\n"
        "--Boundary-6F9619FF-8B86-4011-B42D-00C04FC964FF\r\n"
        "Content-Disposition: form-data; name=\"prompt\"\r\n"
        "\r\n"
        "This is a short push-to-talk transcript for a coding and product app. Expect product names, technical terms, and "
        "app-specific vocabulary such as: Xcode, localhost.\r\n"
        "--Boundary-6F9619FF-8B86-4011-B42D-00C04FC964FF\r\n"
        "Content-Disposition: form-data; name=\"file\"; filename=\"voice-input.wav\"\r\n"
        "Content-Type: audio/wav\r\n"
        "\r\n"
        "RIFF"
        "\x2C\0\0\0"
        "WAVE"
        "fmt "
        "\x10\0\0\0"
        "\x01\0"
        "\x01\0"
        "\x80\x3E\0\0"
        "\0\x7D\0\0"
        "\x02\0"
        "\x10\0"
        "data"
        "\x08\0\0\0"
        "\0\0\0\0\0\0\0\0"
        "\r\n"
        "--Boundary-6F9619FF-8B86-4011-B42D-00C04FC964FF--\r\n"s;

    RecordedRequest upload = onlyUpload();
    EXPECT_EQ(upload.method, "POST");
    EXPECT_EQ(upload.target, kPath);
    EXPECT_EQ(upload.body, golden);
    EXPECT_EQ(upload.header("Authorization"), "Bearer sk-test");
    EXPECT_EQ(upload.header("Content-Type"), "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(upload.headerCount("Authorization"), 1u);
    EXPECT_EQ(upload.headerCount("Content-Type"), 1u);

    EXPECT_EQ(updates, std::vector<std::string>{"Xcode on localhost"});
    EXPECT_EQ(finals, std::vector<std::string>{"Xcode on localhost"});
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(calledOffTheMainThread);
    EXPECT_TRUE(ownLines().empty());
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("sk-test"), std::string::npos) << line;
}

TEST_F(UploadSession, BoundariesAreFreshRandomIdentifiersWithoutAnOverride) {
    answerWith(json(200, R"({"text":"a"})"));
    std::vector<std::string> boundaries;
    for (int i = 0; i < 2; ++i) {
        OpenAIAudioTranscriptionProvider real("sk-test", "gpt-4o-transcribe");
        open({}, std::move(real));
        append(microphoneBuffers(3));
        requestAndWait();
        auto posts = server.requestsWith("POST", kPath);
        ASSERT_EQ(posts.size(), std::size_t(i + 1));
        auto boundary = MultipartFormData::boundaryFromContentType(posts.back().header("Content-Type").value_or(""));
        ASSERT_TRUE(boundary);
        ASSERT_EQ(boundary->size(), 9u + 36u) << *boundary;
        EXPECT_EQ(boundary->substr(0, 9), "Boundary-");
        EXPECT_EQ(boundary->find_first_not_of("0123456789ABCDEF-", 9), std::string::npos) << *boundary;
        EXPECT_NO_THROW(MultipartFormData::parse(posts.back()));
        boundaries.push_back(*boundary);
    }
    EXPECT_NE(boundaries[0], boundaries[1]);
}

TEST_F(UploadSession, ThePromptFieldComesOnlyWithNonBlankKeyTerms) {
    answerWith(json(200, R"({"text":"ok"})"));
    const std::string sentence =
        "This is a short push-to-talk transcript for a coding and product app. Expect product names, technical terms, and "
        "app-specific vocabulary such as: ";
    struct Case {
        const char* what;
        std::vector<std::string> keyterms;
        std::optional<std::string> prompt;
    } cases[] = {
        {"no key terms", {}, std::nullopt},
        {"only blank key terms", {" ", "\n\t", ""}, std::nullopt},
        {"trimmed, order and duplicates kept", {" Xcode ", "", "localhost", "Xcode"}, sentence + "Xcode, localhost, Xcode."},
        {"one term", {"Velmo"}, sentence + "Velmo."},
    };
    std::size_t uploads = 0;
    for (const auto& c : cases) {
        open(c.keyterms);
        append(microphoneBuffers(2));
        requestAndWait();
        auto posts = server.requestsWith("POST", kPath);
        ASSERT_EQ(posts.size(), ++uploads) << c.what;
        MultipartFormData form = MultipartFormData::parse(posts.back());
        std::vector<std::string> names{"model", "language", "response_format"};
        if (c.prompt) names.push_back("prompt");
        names.push_back("file");
        EXPECT_EQ(form.names(), names) << c.what;
        EXPECT_EQ(form.part("model")->data, "gpt-4o-transcribe");
        EXPECT_EQ(form.part("language")->data, "en");
        EXPECT_EQ(form.part("response_format")->data, "json");
        if (c.prompt) {
            ASSERT_NE(form.part("prompt"), nullptr) << c.what;
            EXPECT_EQ(form.part("prompt")->data, *c.prompt) << c.what;
        }
        EXPECT_EQ(OpenAIAudioTranscriptionSession::makeTranscriptionPrompt(c.keyterms), c.prompt) << c.what;
        for (const auto& part : form.parts) {
            EXPECT_EQ(part.headers.size(), part.name == "file" ? 2u : 1u) << c.what << " " << part.name;
            EXPECT_EQ(part.filename.has_value(), part.name == "file") << c.what;
        }
        session->cancel();
    }
}

TEST_F(UploadSession, TheFilePartIsAWAVOfTheConvertedAudio) {
    answerWith(json(200, R"({"text":"ok"})"));
    open();
    auto buffers = microphoneBuffers(20);
    buffers.push_back(microphoneBuffer(20, 2));  // a device switch to stereo mid-way
    append(buffers);
    requestAndWait();
    const MirrinPCM16Data expected = [&] {
        // The stereo buffer gets a converter of its own, as the session's does.
        auto mono = convertedAudio({buffers.begin(), buffers.end() - 1});
        auto stereo = convertedAudio({buffers.back()});
        mono.insert(mono.end(), stereo.begin(), stereo.end());
        return mono;
    }();
    ASSERT_GT(expected.size(), 20u * 600);

    MultipartFormData form = MultipartFormData::parse(onlyUpload());
    const auto* file = form.part("file");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->filename, "voice-input.wav");
    EXPECT_EQ(file->header("Content-Type"), "audio/wav");
    const std::string& wav = file->data;
    ASSERT_EQ(wav.size(), 44 + expected.size());
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(wav, 4), 36 + expected.size());
    EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(le32(wav, 16), 16u);  // format chunk size
    EXPECT_EQ(le16(wav, 20), 1);  // integer PCM
    EXPECT_EQ(le16(wav, 22), 1);  // mono
    EXPECT_EQ(le32(wav, 24), 16000u);  // sample rate
    EXPECT_EQ(le32(wav, 28), 32000u);  // bytes per second
    EXPECT_EQ(le16(wav, 32), 2);  // block alignment
    EXPECT_EQ(le16(wav, 34), 16);  // bits per sample
    EXPECT_EQ(wav.substr(36, 4), "data");
    EXPECT_EQ(le32(wav, 40), expected.size());
    EXPECT_TRUE(wav.substr(44) == asString(expected));
}

TEST_F(UploadSession, WithoutAudioNothingIsSentAndTheFinalTranscriptIsEmpty) {
    answerWith(json(200, R"({"text":"never asked"})"));
    auto empty = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 1), 1024);  // no frames
    struct Case {
        const char* what;
        std::vector<std::shared_ptr<const AudioPCMBuffer>> buffers;
    } cases[] = {
        {"no buffer at all", {}},
        {"buffers without frames", {empty, empty}},
        {"a null buffer", {nullptr}},
    };
    for (const auto& c : cases) {
        open();
        append(c.buffers);
        requestAndWait();
        EXPECT_EQ(finals, std::vector<std::string>{""}) << c.what;
        EXPECT_TRUE(updates.empty()) << c.what;
        EXPECT_TRUE(errors.empty()) << c.what;
        session->requestFinalTranscript();
        drain(0.05);
        EXPECT_EQ(finals.size(), 1u) << c.what;
    }
    EXPECT_EQ(server.connectionCount(), 0u);
    EXPECT_TRUE(ownLines().empty());
}

TEST_F(UploadSession, ASecondRequestStartsNoSecondUpload) {
    openWithAudio(json(200, R"({"text":"once"})"));
    session->requestFinalTranscript();
    session->requestFinalTranscript();
    ASSERT_TRUE(scope.loop().runUntil([this] { return finished(); }));
    session->requestFinalTranscript();
    drain();
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(finals, std::vector<std::string>{"once"});
    EXPECT_EQ(updates, std::vector<std::string>{"once"});
}

TEST_F(UploadSession, AudioAfterTheRequestIsLeftOut) {
    answerWith(json(200, R"({"text":"ok"})"));
    open();
    auto before = microphoneBuffers(6);
    append(before);
    session->requestFinalTranscript();
    append(microphoneBuffers(3, 6));  // still in flight on the tap thread after the release
    ASSERT_TRUE(scope.loop().runUntil([this] { return finished(); }));
    append(microphoneBuffers(2, 9));
    MultipartFormData form = MultipartFormData::parse(onlyUpload());
    ASSERT_NE(form.part("file"), nullptr);
    EXPECT_TRUE(form.part("file")->data.substr(44) == asString(convertedAudio(before)));
}

TEST_F(UploadSession, BufferedAudioStopsAtTheCap) {
    answerWith(json(200, R"({"text":"capped"})"));
    open({}, provider("sk-test", 1000));
    auto buffers = microphoneBuffers(4);
    append(buffers);
    requestAndWait();
    MultipartFormData form = MultipartFormData::parse(onlyUpload());
    ASSERT_NE(form.part("file"), nullptr);
    EXPECT_EQ(le32(form.part("file")->data, 40), 1000u);
    EXPECT_TRUE(form.part("file")->data.substr(44) == asString(convertedAudio(buffers)).substr(0, 1000));
    EXPECT_EQ(log.linesStartingWith("⚠️ Transcription: recording reached its limit of 1000 bytes").size(), 1u);
    EXPECT_EQ(finals, std::vector<std::string>{"capped"});
}

TEST_F(UploadSession, TheAnswerBecomesTheTranscriptOrAnError) {
    struct Case {
        const char* what;
        LoopbackAnswer answer;
        std::optional<std::string> transcript;  // nothing: fails with `message`
        std::string message;
    } cases[] = {
        {"JSON text, trimmed", json(200, "{\"text\":\" \\n Hello there.\\u00A0\\n\",\"duration\":1.5}"), "Hello there.", ""},
        {"JSON text inside other members", json(201, R"({"usage":{"type":"tokens"},"text":"inner"})"), "inner", ""},
        {"last success status", json(299, R"({"text":"edge"})"), "edge", ""},
        {"plain text, trimmed", LoopbackAnswer::text(200, "\n  plain words \t\n"), "plain words", ""},
        {"JSON of another shape is plain text", json(200, R"({"text":5})"), R"({"text":5})", ""},
        {"blank JSON text", json(200, R"({"text":"   \n"})"), "", ""},
        {"blank plain text", LoopbackAnswer::text(200, " \r\n\t "), std::nullopt, "OpenAI transcription returned an empty transcript."},
        {"empty body", LoopbackAnswer::text(200, ""), std::nullopt, "OpenAI transcription returned an empty transcript."},
        {"success that is not UTF-8", LoopbackAnswer::text(200, "\xFF\xFE"), std::nullopt,
         "OpenAI transcription returned an empty transcript."},
        {"401 with its JSON message verbatim",
         json(401, "{\n  \"error\": {\"message\": \"Incorrect API key provided: sk-test.\", \"type\": \"invalid_request_error\"}\n}\n"),
         std::nullopt,
         "OpenAI transcription failed: {\n  \"error\": {\"message\": \"Incorrect API key provided: sk-test.\", \"type\": "
         "\"invalid_request_error\"}\n}\n"},
        {"500 whose body is not UTF-8", LoopbackAnswer::text(500, "\xC3\x28 broken"), std::nullopt,
         "OpenAI transcription failed: Unknown error"},
        {"300 is not success", json(300, R"({"text":"no"})"), std::nullopt, R"(OpenAI transcription failed: {"text":"no"})"},
        {"429 with an empty body", LoopbackAnswer::text(429, ""), std::nullopt, "OpenAI transcription failed: "},
        // 20 MB of error text: its first 4 KiB, cut before the character that straddles the bound.
        {"a huge error body is cut", LoopbackAnswer::text(503, std::string(4095, 'e') + "\xC3\xA9" + std::string(20'000'000, 'x')),
         std::nullopt, "OpenAI transcription failed: " + std::string(4095, 'e')},
        {"a transcript of 1 MiB is read", LoopbackAnswer::text(200, std::string(1024 * 1024, 'w')), std::string(1024 * 1024, 'w'), ""},
        {"a longer one fails", LoopbackAnswer::text(200, std::string(1024 * 1024 + 1, 'w')), std::nullopt,
         "OpenAI transcription reply is longer than 1048576 bytes."},
    };
    for (auto& c : cases) {
        answerWith(c.answer);
        open();
        auto buffers = microphoneBuffers(3);
        append(buffers);
        LogCapture caseLog;
        requestAndWait();
        drain(0.02);
        if (c.transcript) {
            EXPECT_EQ(finals, std::vector<std::string>{*c.transcript}) << c.what;
            EXPECT_EQ(updates, c.transcript->empty() ? std::vector<std::string>{} : std::vector<std::string>{*c.transcript}) << c.what;
            EXPECT_TRUE(errors.empty()) << c.what;
            EXPECT_TRUE(caseLog.linesStartingWith("[OpenAI Transcription]").empty()) << c.what;
        } else {
            EXPECT_TRUE(finals.empty()) << c.what;
            EXPECT_TRUE(updates.empty()) << c.what;
            ASSERT_EQ(errors.size(), 1u) << c.what;
            EXPECT_EQ(errorIdentity(errors[0]), (ErrorIdentity{kDomain, 0, c.message})) << c.what;
            const std::size_t wavSize = 44 + convertedAudio(buffers).size();
            EXPECT_EQ(caseLog.linesStartingWith("[OpenAI Transcription]"),
                      std::vector<std::string>{kUploadFailed + std::to_string(wavSize) + " bytes): " + c.message})
                << c.what;
        }
        EXPECT_FALSE(calledOffTheMainThread) << c.what;
        session->cancel();
    }
}

TEST_F(UploadSession, AResetConnectionIsATransportFailure) {
    answerWith(LoopbackAnswer::connectionReset());
    open();
    auto buffers = microphoneBuffers(2);
    append(buffers);
    requestAndWait();
    EXPECT_TRUE(finals.empty());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(isURLError(errors[0], URLError::networkConnectionLost)) << describeException(errors[0]);
    EXPECT_EQ(ownLines(), std::vector<std::string>{kUploadFailed + std::to_string(44 + convertedAudio(buffers).size()) +
                                                   " bytes): " + describeException(errors[0])});
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(UploadSession, AKeyWithALineBreakIsRefusedBeforeAnythingIsSent) {
    answerWith(json(200, R"({"text":"should not be asked"})"));
    for (const char* key : {"sk-1\r\nX-Injected: 1", "sk-1\nX", "sk-1\r"}) {
        open({}, provider(std::string(key)));
        append(microphoneBuffers(2));
        LogCapture caseLog;
        requestAndWait();
        ASSERT_EQ(errors.size(), 1u);
        const std::string message = "The API key holds a line break (CR or LF) and cannot be sent; nothing was sent.";
        EXPECT_EQ(errorIdentity(errors[0]), (ErrorIdentity{kDomain, 0, message}));
        ASSERT_EQ(caseLog.linesStartingWith(kUploadFailed).size(), 1u);
        EXPECT_NE(caseLog.linesStartingWith(kUploadFailed)[0].find(" bytes): " + message), std::string::npos);
        EXPECT_TRUE(finals.empty());
        session->cancel();
    }
    drain(0.05);
    EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_F(UploadSession, CancelDuringTheUploadCallsNothingBackAndLogsNothing) {
    // The answer comes only after the cancel.
    auto gate = std::make_shared<Gate>();
    openWithAudio(json(200, R"({"text":"too late"})").heldBy(gate));
    session->requestFinalTranscript();
    ASSERT_TRUE(uploadReachesTheServer(1));
    session->cancel();
    session->cancel();  // twice is harmless
    gate->release();
    ASSERT_TRUE(scope.loop().runUntil([this] { return server.closedConnectionCount() == 1; }));
    drain();
    EXPECT_TRUE(silent());

    // The answer, or a failure, has reached the client but the main thread has not handled it.
    for (LoopbackAnswer arrived : {json(200, R"({"text":"arrived"})"), LoopbackAnswer::connectionReset()}) {
        openWithAudio(arrived);
        const std::size_t sent = server.requests().size();
        session->requestFinalTranscript();
        scope.loop().runUntilIdle();  // the upload starts; its outcome waits for the loop
        ASSERT_TRUE(server.waitForRequests(sent + 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        session->cancel();
        drain();
        EXPECT_TRUE(silent());
    }
}

TEST_F(UploadSession, CancelBeforeTheUploadStartsSendsNothing) {
    openWithAudio(json(200, R"({"text":"never"})"));
    session->cancel();
    session->requestFinalTranscript();  // after a cancel: nothing
    drain(0.05);

    open();
    append(microphoneBuffers(3));
    session->requestFinalTranscript();
    session->cancel();  // before the upload's first step has run on the main thread
    drain();
    EXPECT_EQ(server.connectionCount(), 0u);
    EXPECT_TRUE(silent());
}

TEST_F(UploadSession, DestroyingTheSessionCancelsItsUpload) {
    auto gate = std::make_shared<Gate>();
    openWithAudio(json(200, R"({"text":"orphan"})").heldBy(gate));
    session->requestFinalTranscript();
    ASSERT_TRUE(uploadReachesTheServer(1));
    session.reset();
    gate->release();
    ASSERT_TRUE(scope.loop().runUntil([this] { return server.closedConnectionCount() == 1; }));
    drain();
    EXPECT_TRUE(silent());
}

// The upload back-end behind the dictation manager, as the companion drives it.
class UploadDictation : public UploadSession {
protected:
    std::shared_ptr<SimulatedAudioEngine> engine = std::make_shared<SimulatedAudioEngine>(AudioFormat::float32Planar(48000, 1));
    std::shared_ptr<MirrinDictationManager> manager;
    std::vector<std::string> submitted;
    Task<void> start;

    void SetUp() override {
        MirrinDictationManager::Dependencies d;
        d.transcriptionProvider = std::make_unique<OpenAIAudioTranscriptionProvider>(provider());
        d.audioEngine = engine;
        d.authorization = std::make_shared<SimulatedMediaAuthorization>();
        manager = MirrinDictationManager::create(std::move(d));
    }
    void TearDown() override {
        start.cancel();
        manager->cancelDictation(false);
        scope.loop().runUntilIdle();
        manager.reset();
        UploadSession::TearDown();
    }
    void speak(int buffers) {
        auto m = manager;
        start = startTask([m, this]() -> Task<void> {
            auto starting = m->startPushToTalkFromKeyboardShortcut(
                "", [](const std::string&) {}, [this](const std::string& s) { submitted.push_back(s); });
            co_await starting;
        });
        scope.loop().runUntilIdle();
        ASSERT_TRUE(*manager->isRecordingFromKeyboardShortcut());
        engine->deliver(microphoneBuffers(buffers));
        ASSERT_TRUE(engine->waitUntilDelivered());
        scope.loop().runUntilIdle();
        manager->stopPushToTalk(MirrinDictationStartSource::keyboardShortcut);
        scope.loop().runUntilIdle();
    }
};

TEST_F(UploadDictation, AnAnswerWithinTheFallbackIsSubmittedOnce) {
    answerWith(json(200, R"({"text":" open the settings "})"));
    speak(30);
    ASSERT_TRUE(scope.loop().runUntil([this] { return !submitted.empty(); }));
    EXPECT_EQ(submitted, std::vector<std::string>{"open the settings"});
    EXPECT_FALSE(manager->isDictationBusy());
    scope.loop().advance(10s);
    EXPECT_EQ(submitted.size(), 1u);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(UploadDictation, AnAnswerSlowerThanTheFallbackIsDroppedAfterTheDictationEnds) {
    auto gate = std::make_shared<Gate>();
    answerWith(json(200, R"({"text":"much too late"})").heldBy(gate));
    speak(30);
    ASSERT_TRUE(server.waitForRequests(1));  // the upload went out at the release
    EXPECT_TRUE(*manager->isFinalizingTranscript());

    scope.loop().advance(7.999s);
    EXPECT_TRUE(*manager->isFinalizingTranscript());
    scope.loop().advance(0.001s);
    // Finished by the fallback with no text, so nothing is submitted.
    EXPECT_FALSE(manager->isDictationBusy());
    EXPECT_TRUE(submitted.empty());

    gate->release();
    ASSERT_TRUE(scope.loop().runUntil([this] { return server.closedConnectionCount() == 1; }));
    drain();
    EXPECT_TRUE(submitted.empty());
    EXPECT_TRUE(ownLines().empty());
    EXPECT_TRUE(log.linesStartingWith("❌").empty());
}
