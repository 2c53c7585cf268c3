#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/media/SimulatedSpeechRecognizer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/SpokenPhrase.h"
#include "voice/AppleSpeechTranscriptionProvider.h"

using namespace velmo;

namespace {

// What a session reported through its three callbacks.
struct Reports {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> updates, finals, errors;

    MirrinTranscriptUpdateCallback update() {
        return [this](const std::string& t) { add(updates, t); };
    }
    MirrinFinalTranscriptCallback final() {
        return [this](const std::string& t) { add(finals, t); };
    }
    MirrinTranscriptionErrorCallback error() {
        return [this](std::exception_ptr e) { add(errors, localizedDescriptionOf(e)); };
    }
    void add(std::vector<std::string>& list, const std::string& value) {
        std::lock_guard lock(mutex);
        list.push_back(value);
        cv.notify_all();
    }
};

std::shared_ptr<const AudioPCMBuffer> someAudio() {
    auto b = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 2), 1024);
    b->setFrameLength(1024);
    return b;
}

struct Opened {
    std::shared_ptr<MirrinStreamingTranscriptionSession> session;
    std::exception_ptr error;
};

Opened open(VirtualMainLoop& loop, AppleSpeechTranscriptionProvider& provider, Reports& reports, std::vector<std::string> keyterms = {}) {
    Opened opened;
    startTask([&]() -> Task<void> {
        try {
            auto opening = provider.startStreamingSession(keyterms, reports.update(), reports.final(), reports.error());
            opened.session = co_await opening;
        } catch (...) {
            opened.error = std::current_exception();
        }
    });
    loop.runUntilIdle();
    return opened;
}

std::exception_ptr recognitionError(const std::string& message) { return std::make_exception_ptr(Error("SimulatedSpeech", 1, message)); }

class AppleSpeechSession : public testing::Test {
protected:
    VirtualMainLoopScope scope;
    std::shared_ptr<SimulatedSpeechRecognizer> recognizer = std::make_shared<SimulatedSpeechRecognizer>();
    AppleSpeechTranscriptionProvider provider{[this](const auto&) { return recognizer; }, [] { return std::string("en-US"); }};
    Reports reports;

    std::shared_ptr<MirrinStreamingTranscriptionSession> openSession() {
        auto opened = open(scope.loop(), provider, reports);
        EXPECT_TRUE(opened.session);
        return opened.session;
    }
    std::shared_ptr<SimulatedSpeechRecognitionTask> task() { return recognizer->lastTask(); }
};

}  // namespace

TEST_F(AppleSpeechSession, RequestsPartialDictationWithPunctuationOnTheDeviceWhenItCanAndIgnoresKeyterms) {
    struct Case {
        bool supportsOnDevice;
        std::vector<std::string> keyterms;
    } cases[] = {{true, {}}, {true, {"Xcode", "localhost"}}, {false, {}}, {false, {"Claude"}}};
    for (const auto& c : cases) {
        recognizer = std::make_shared<SimulatedSpeechRecognizer>("en-US", c.supportsOnDevice);
        auto opened = open(scope.loop(), provider, reports, c.keyterms);
        ASSERT_TRUE(opened.session);
        EXPECT_DOUBLE_EQ(opened.session->finalTranscriptFallbackDelaySeconds(), 1.8);
        const auto& request = *task()->request();
        EXPECT_TRUE(request.shouldReportPartialResults);
        EXPECT_EQ(request.taskHint, SpeechRecognitionTaskHint::dictation);
        EXPECT_TRUE(request.addsPunctuation);
        EXPECT_EQ(request.requiresOnDeviceRecognition, c.supportsOnDevice);
        EXPECT_EQ(recognizer->tasks().size(), 1u);  // recognition runs before any audio
    }
}

TEST(AppleSpeechTranscriptionProvider, PrefersTheUsersLocaleThenUSEnglishThenTheDefault) {
    VirtualMainLoopScope scope;
    struct Case {
        std::string current;
        std::vector<std::optional<std::string>> available;  // locales that yield a recogniser
        std::vector<std::optional<std::string>> asked;
        bool opens;
    } cases[] = {
        {"de-DE", {std::string("de-DE"), std::string("en-US")}, {std::string("de-DE")}, true},
        {"fr-FR", {std::string("en-US")}, {std::string("fr-FR"), std::string("en-US")}, true},
        {"fr-FR", {std::nullopt}, {std::string("fr-FR"), std::string("en-US"), std::nullopt}, true},
        {"fr-FR", {}, {std::string("fr-FR"), std::string("en-US"), std::nullopt}, false},
    };
    for (const auto& c : cases) {
        std::vector<std::optional<std::string>> asked;
        AppleSpeechTranscriptionProvider provider(
            [&](const std::optional<std::string>& locale) -> std::shared_ptr<SpeechRecognizer> {
                asked.push_back(locale);
                for (const auto& a : c.available)
                    if (a == locale) return std::make_shared<SimulatedSpeechRecognizer>(locale.value_or("default"));
                return nullptr;
            },
            [&] { return c.current; });
        Reports reports;
        auto opened = open(scope.loop(), provider, reports);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(opened.session != nullptr, c.opens);
        if (!c.opens) {
            ASSERT_TRUE(opened.error);
            try {
                std::rethrow_exception(opened.error);
            } catch (const AppleSpeechTranscriptionProviderError& e) {
                EXPECT_EQ(e.message(), "dictation is not available on this mac.");
                EXPECT_EQ(e.description(), "dictation is not available on this mac.");
            }
        }
    }
}

TEST_F(AppleSpeechSession, FinalRequestEndsTheAudioOnceAndLaterBuffersAreDropped) {
    auto session = openSession();
    session->appendAudioBuffer(someAudio());
    session->appendAudioBuffer(someAudio());
    session->requestFinalTranscript();
    session->requestFinalTranscript();
    session->appendAudioBuffer(someAudio());
    EXPECT_EQ(task()->receivedBufferCount(), 2);
    EXPECT_EQ(task()->endOfAudioCount(), 1);
}

TEST_F(AppleSpeechSession, PartialResultsUpdateAndAFinalResultIsDeliveredOnce) {
    auto session = openSession();
    task()->deliverResult("hello", false);
    task()->deliverResult("hello world", true);
    task()->deliverResult("hello world again", true);
    EXPECT_EQ(reports.updates, (std::vector<std::string>{"hello", "hello world", "hello world again"}));
    EXPECT_EQ(reports.finals, (std::vector<std::string>{"hello world"}));
    EXPECT_TRUE(reports.errors.empty());
}

TEST_F(AppleSpeechSession, ErrorsAfterTheFinalRequestDeliverRecognisedTextElseReportTheError) {
    struct Case {
        bool requestedFinal;
        std::string recognised;
        std::vector<std::string> finals;
        std::vector<std::string> errors;
    } cases[] = {
        {true, "call me ", {"call me "}, {}},  // delivered untrimmed
        {true, "   ", {}, {"recogniser gave up"}},  // nothing recognised
        {true, "", {}, {"recogniser gave up"}},
        {false, "call me", {}, {"recogniser gave up"}},  // still listening
    };
    for (const auto& c : cases) {
        reports.finals.clear();
        reports.errors.clear();
        auto session = openSession();
        if (!c.recognised.empty()) task()->deliverResult(c.recognised, false);
        if (c.requestedFinal) session->requestFinalTranscript();
        task()->deliverError(recognitionError("recogniser gave up"));
        EXPECT_EQ(reports.finals, c.finals) << "'" << c.recognised << "'";
        EXPECT_EQ(reports.errors, c.errors) << "'" << c.recognised << "'";
    }
}

TEST_F(AppleSpeechSession, AnErrorBesideAFinalResultIsNotLookedAtAndDeliveryAfterTheFinalErrorsWhenEmpty) {
    auto session = openSession();
    task()->deliver(SpeechRecognitionResult{"done", true}, recognitionError("ignored"));
    EXPECT_EQ(reports.finals, (std::vector<std::string>{"done"}));
    EXPECT_TRUE(reports.errors.empty());

    // After a delivery, an error with nothing recognised is still reported.
    auto second = openSession();
    task()->deliverResult("", true);
    second->requestFinalTranscript();
    task()->deliverError(recognitionError("late"));
    EXPECT_EQ(reports.finals, (std::vector<std::string>{"done", ""}));
    EXPECT_EQ(reports.errors, (std::vector<std::string>{"late"}));
}

TEST_F(AppleSpeechSession, CancelStopsTheTaskOnceAndLateResultsFollowTheSameRules) {
    auto session = openSession();
    auto recognition = task();
    session->cancel();
    session->cancel();
    EXPECT_EQ(recognition->cancelCount.load(), 1);
    recognition->deliverResult("late words", true);
    EXPECT_EQ(reports.finals, (std::vector<std::string>{"late words"}));
    session.reset();  // destroyed: results now go nowhere
    recognition->deliverResult("after destruction", true);
    recognition->deliverError(recognitionError("after destruction"));
    EXPECT_EQ(reports.updates.size(), 1u);
    EXPECT_TRUE(reports.errors.empty());
}

TEST_F(AppleSpeechSession, DestroyingARunningSessionCancelsItsRecognition) {
    auto session = openSession();
    auto recognition = task();
    session.reset();
    scope.loop().runUntilIdle();
    EXPECT_EQ(recognition->cancelCount.load(), 1);
}

TEST(AppleSpeechTranscriptionProvider, TranscribesASpokenPhraseWithThePlatformRecogniser) {
    VirtualMainLoopScope scope;
    std::string failure;
    auto phrase = velmo::test::speakPhrase("hello world. please call my mother tomorrow.", &failure);
    ASSERT_TRUE(phrase) << failure;
    AppleSpeechTranscriptionProvider provider;
    Reports reports;
    auto opened = open(scope.loop(), provider, reports);
    ASSERT_TRUE(opened.session) << localizedDescriptionOf(opened.error);
    for (const auto& buffer : phrase->floatBuffers(1024)) opened.session->appendAudioBuffer(buffer);
    opened.session->requestFinalTranscript();
    std::unique_lock lock(reports.mutex);
    ASSERT_TRUE(reports.cv.wait_for(lock, std::chrono::seconds(120), [&] { return !reports.finals.empty() || !reports.errors.empty(); }));
    ASSERT_TRUE(reports.errors.empty()) << reports.errors.front();
    const std::string text = reports.finals.front();
    bool heard = false;
    for (const char* word : {"hello", "world", "please", "call", "my", "mother", "tomorrow"})
        if (text.find(word) != std::string::npos) heard = true;
    EXPECT_TRUE(heard) << "recognised: " << text;
    lock.unlock();
    opened.session->cancel();
}
