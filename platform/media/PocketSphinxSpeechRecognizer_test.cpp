#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/media/PocketSphinxSpeechRecognizer.h"
#include "testing/SpokenPhrase.h"

using namespace velmo;

namespace {

const std::vector<std::string> kPhraseWords = {"hello", "world", "please", "call", "my", "mother", "tomorrow"};
const char* kPhrase = "hello world. please call my mother tomorrow.";

// Collects what a recognition delivers.
struct Outcome {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<SpeechRecognitionResult> results;
    std::vector<std::thread::id> threads;
    std::exception_ptr error;

    SpeechRecognitionResultHandler handler() {
        return [this](const std::optional<SpeechRecognitionResult>& result, std::exception_ptr e) {
            std::lock_guard lock(mutex);
            if (result) results.push_back(*result);
            if (e) error = e;
            threads.push_back(std::this_thread::get_id());
            cv.notify_all();
        };
    }
    bool waitForFinal(double seconds) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return error || (!results.empty() && results.back().isFinal); });
    }
    bool hasFinal() {
        std::lock_guard lock(mutex);
        for (const auto& r : results)
            if (r.isFinal) return true;
        return false;
    }
};

}  // namespace

TEST(PocketSphinxSpeechRecognizer, ExistsForUSEnglishOnly) {
    ASSERT_TRUE(PocketSphinxSpeechRecognizer::isModelInstalled()) << "pocketsphinx-en-us is not installed";
    struct Case {
        const char* locale;
        bool supported;
    } cases[] = {{"en-US", true},  {"en_US.UTF-8", true}, {"EN-us", true}, {"en", true},
                 {"de-DE", false}, {"en-GB", false},      {"", false},     {"fr_FR@euro", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(PocketSphinxSpeechRecognizer::supportsLocale(c.locale), c.supported) << c.locale;
        EXPECT_EQ(PocketSphinxSpeechRecognizer::make(c.locale) != nullptr, c.supported) << c.locale;
    }
    auto recognizer = PocketSphinxSpeechRecognizer::make("en-US");
    EXPECT_EQ(recognizer->localeIdentifier(), "en-US");
    EXPECT_TRUE(recognizer->supportsOnDeviceRecognition());
}

// The bundle's model of everyday requests is mixed in when the first decoder is made (each test
// runs in a process of its own): with it, the start of a request that the general model alone
// hears as "oh come on to dab in the browser" comes out right.
TEST(PocketSphinxSpeechRecognizer, TheBundlesRequestModelIsMixedIntoTheGeneralOne) {
    Bundle::Scope bundle(VELMO_TEST_BUNDLE);
    ASSERT_TRUE(bundle.bundle().pathForResource("requests", "lm")) << "the build makes it";
    auto phrase = velmo::test::speakPhrase("open a new tab in the browser");
    ASSERT_TRUE(phrase);
    auto recognizer = PocketSphinxSpeechRecognizer::make("en-US");
    ASSERT_TRUE(recognizer);
    auto request = std::make_shared<SpeechAudioBufferRecognitionRequest>();
    Outcome outcome;
    auto task = recognizer->recognitionTask(request, outcome.handler());
    for (const auto& buffer : phrase->floatBuffers(1024)) request->appendAudioPCMBuffer(buffer);
    request->endAudio();
    ASSERT_TRUE(outcome.waitForFinal(120));
    std::lock_guard lock(outcome.mutex);
    ASSERT_FALSE(outcome.error);
    const std::string& text = outcome.results.back().formattedString;
    for (const char* word : {"open a new tab"}) EXPECT_NE(text.find(word), std::string::npos) << "recognised: " << text;
}

TEST(PocketSphinxSpeechRecognizer, RecognisesASpokenPhraseWithPartialResultsThenOneFinal) {
    std::string failure;
    auto phrase = velmo::test::speakPhrase(kPhrase, &failure);
    ASSERT_TRUE(phrase) << failure;
    auto recognizer = PocketSphinxSpeechRecognizer::make("en-US");
    ASSERT_TRUE(recognizer);

    auto request = std::make_shared<SpeechAudioBufferRecognitionRequest>();
    request->shouldReportPartialResults = true;
    Outcome outcome;
    auto task = recognizer->recognitionTask(request, outcome.handler());
    for (const auto& buffer : phrase->floatBuffers(1024)) request->appendAudioPCMBuffer(buffer);
    request->endAudio();
    ASSERT_TRUE(outcome.waitForFinal(120));

    std::lock_guard lock(outcome.mutex);
    ASSERT_FALSE(outcome.error);
    ASSERT_GE(outcome.results.size(), 2u);  // partial results came before the final one
    for (std::size_t i = 0; i + 1 < outcome.results.size(); ++i) EXPECT_FALSE(outcome.results[i].isFinal);
    const std::string& text = outcome.results.back().formattedString;
    bool heardAWord = false;
    for (const auto& word : kPhraseWords)
        if (text.find(word) != std::string::npos) heardAWord = true;
    EXPECT_TRUE(heardAWord) << "recognised: " << text;
    for (auto id : outcome.threads) {
        EXPECT_EQ(id, outcome.threads.front());  // one delivery thread
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST(PocketSphinxSpeechRecognizer, SilenceGivesAnEmptyFinalResult) {
    auto recognizer = PocketSphinxSpeechRecognizer::make("en-US");
    ASSERT_TRUE(recognizer);
    auto request = std::make_shared<SpeechAudioBufferRecognitionRequest>();
    Outcome outcome;
    auto task = recognizer->recognitionTask(request, outcome.handler());
    request->endAudio();
    ASSERT_TRUE(outcome.waitForFinal(120));
    std::lock_guard lock(outcome.mutex);
    EXPECT_FALSE(outcome.error);
    ASSERT_EQ(outcome.results.size(), 1u);
    EXPECT_TRUE(outcome.results[0].isFinal);
    EXPECT_EQ(outcome.results[0].formattedString, "");
}

TEST(PocketSphinxSpeechRecognizer, ACancelledTaskDeliversNothingMore) {
    auto phrase = velmo::test::speakPhrase(kPhrase);
    ASSERT_TRUE(phrase);
    auto recognizer = PocketSphinxSpeechRecognizer::make("en-US");
    auto request = std::make_shared<SpeechAudioBufferRecognitionRequest>();
    request->shouldReportPartialResults = false;
    Outcome cancelled;
    auto task = recognizer->recognitionTask(request, cancelled.handler());
    for (const auto& buffer : phrase->floatBuffers(1024)) request->appendAudioPCMBuffer(buffer);
    task->cancel();
    EXPECT_TRUE(task->isCancelled());
    request->endAudio();

    // Recognitions run in order on one thread: once a later one has finished, the cancelled
    // one has had every chance to deliver.
    auto laterRequest = std::make_shared<SpeechAudioBufferRecognitionRequest>();
    Outcome later;
    auto laterTask = recognizer->recognitionTask(laterRequest, later.handler());
    laterRequest->endAudio();
    ASSERT_TRUE(later.waitForFinal(120));
    EXPECT_FALSE(cancelled.hasFinal());
}
