#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/media/PocketSphinxSpeechRecognizer.h"
#include "testing/SpokenPhrase.h"

using namespace velmo;

namespace {

// Everyday push-to-talk requests of 4 to 10 words: the set the recogniser's settings were
// chosen on, a second set that only checked the choices, and a third written after the
// settings and the model of requests were fixed, which nothing was ever tuned on.
const std::vector<const char*> kPhrases = {
    "what time is it in london",
    "open my calendar for tomorrow",
    "how do i change the font size",
    "send an email to my boss",
    "what is the weather like today",
    "show me how to save this file",
    "turn the volume down a little",
    "where is the settings button on this page",
    "can you explain what this error means",
    "close all the windows on the left",
    "find the nearest coffee shop",
    "read the first paragraph out loud",
    "why is my computer running so slowly",
    "move this picture to the trash",
    "help me write a short reply to this message",
};
const std::vector<const char*> kCheckPhrases = {
    "set a timer for ten minutes",
    "what does this button do",
    "how do i make the text bold",
    "play some music in the background",
    "copy this link to the clipboard",
    "remind me to call my mother tonight",
    "how much memory does this program use",
    "zoom in on the picture please",
    "what is the capital of france",
    "scroll down to the bottom of the page",
    "open a new tab in the browser",
    "how do i undo my last change",
    "translate this sentence into spanish",
    "print the document on the office printer",
    "who wrote this article",
};
const std::vector<const char*> kHeldOutPhrases = {
    "how do i take a screenshot of my screen",
    "what is the name of this song",
    "make the window a bit bigger",
    "where did i save my resume",
    "show me the latest news about the election",
    "is there a faster way to do this",
    "why does my laptop keep freezing",
    "put these photos in a new folder",
    "how many days until christmas",
    "check my spelling in this letter",
    "what should i cook for dinner tonight",
    "turn on dark mode for this app",
    "which button sends the form",
    "tell me a joke about cats",
    "how long will the download take",
};

std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        std::string clean;
        for (char c : w) {
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '\'') clean += char(std::tolower(static_cast<unsigned char>(c)));
        }
        if (!clean.empty()) words.push_back(clean);
    }
    return words;
}

// Reference words matched by the best alignment (substitutions and deletions miss; inserted
// words cost nothing here but show in the word error rate).
struct Alignment {
    int hits = 0;
    int errors = 0;  // substitutions + deletions + insertions
};
Alignment align(const std::vector<std::string>& ref, const std::vector<std::string>& hyp) {
    const std::size_t n = ref.size(), m = hyp.size();
    // cost, then hits, of aligning prefixes
    std::vector<std::vector<std::pair<int, int>>> d(n + 1, std::vector<std::pair<int, int>>(m + 1));
    for (std::size_t i = 0; i <= n; ++i) d[i][0] = {int(i), 0};
    for (std::size_t j = 0; j <= m; ++j) d[0][j] = {int(j), 0};
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            bool same = ref[i - 1] == hyp[j - 1];
            std::pair<int, int> diag{d[i - 1][j - 1].first + (same ? 0 : 1), d[i - 1][j - 1].second + (same ? 1 : 0)};
            std::pair<int, int> del{d[i - 1][j].first + 1, d[i - 1][j].second};
            std::pair<int, int> ins{d[i][j - 1].first + 1, d[i][j - 1].second};
            auto better = [](auto a, auto b) { return a.first < b.first || (a.first == b.first && a.second > b.second); };
            d[i][j] = diag;
            if (better(del, d[i][j])) d[i][j] = del;
            if (better(ins, d[i][j])) d[i][j] = ins;
        }
    }
    return {d[n][m].second, d[n][m].first};
}

struct Final {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<std::string> text;
    std::chrono::steady_clock::time_point at;
};

}  // namespace

// The phrases spoken by espeak-ng at 140 words a minute, each fed to the recogniser in real time
// as 1024-frame capture buffers at 22 050 Hz (VELMO_RECOGNISER_FAST=1 feeds them at once, for
// quicker tuning; the latency is then not meaningful). Counters: the share of the reference
// words recognised, the word error rate, and the median time from the end of the audio to the
// final result. Argument 0 is the tuning set, 1 the checking set, 2 the held-out set.
static void BM_RecogniserWordAccuracy(benchmark::State& state) {
    const std::vector<const char*>& phrases = state.range(0) == 0 ? kPhrases : state.range(0) == 1 ? kCheckPhrases : kHeldOutPhrases;
    auto recognizer = PocketSphinxSpeechRecognizer::make("en-US");
    if (!recognizer) {
        state.SkipWithError("pocketsphinx-en-us is not installed");
        return;
    }
    std::vector<velmo::test::SpokenPhrase> spoken;
    for (const char* text : phrases) {
        std::string failure;
        auto phrase = velmo::test::speakPhrase(text, &failure);
        if (!phrase) {
            state.SkipWithError(("espeak-ng: " + failure).c_str());
            return;
        }
        spoken.push_back(std::move(*phrase));
    }
    const bool fast = std::getenv("VELMO_RECOGNISER_FAST") != nullptr;
    int hits = 0, errors = 0, words = 0;
    std::vector<double> latencies;
    for (auto _ : state) {
        hits = errors = words = 0;
        latencies.clear();
        for (std::size_t p = 0; p < spoken.size(); ++p) {
            auto request = std::make_shared<SpeechAudioBufferRecognitionRequest>();
            Final final;
            auto task =
                recognizer->recognitionTask(request, [&](const std::optional<SpeechRecognitionResult>& result, std::exception_ptr error) {
                    if ((result && result->isFinal) || error) {
                        std::lock_guard lock(final.mutex);
                        final.text = result ? result->formattedString : "";
                        final.at = std::chrono::steady_clock::now();
                        final.cv.notify_all();
                    }
                });
            const auto start = std::chrono::steady_clock::now();
            std::uint64_t frames = 0;
            for (const auto& buffer : spoken[p].floatBuffers(1024)) {
                frames += buffer->frameLength();
                if (!fast) {
                    std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                              std::chrono::duration<double>(frames / spoken[p].sampleRate)));
                }
                request->appendAudioPCMBuffer(buffer);
            }
            const auto ended = std::chrono::steady_clock::now();
            request->endAudio();
            std::unique_lock lock(final.mutex);
            final.cv.wait_for(lock, std::chrono::seconds(60), [&] { return final.text.has_value(); });
            const auto ref = wordsOf(phrases[p]);
            const auto got = wordsOf(final.text.value_or(""));
            Alignment a = align(ref, got);
            hits += a.hits;
            errors += a.errors;
            words += int(ref.size());
            latencies.push_back(std::chrono::duration<double, std::milli>(final.at - ended).count());
            if (std::getenv("VELMO_RECOGNISER_VERBOSE")) {
                std::fprintf(stderr, "%-45s -> %s\n", phrases[p], final.text.value_or("(none)").c_str());
            }
        }
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["word_accuracy"] = words ? double(hits) / words : 0;
    state.counters["word_error_rate"] = words ? double(errors) / words : 0;
    state.counters["words"] = words;
    state.counters["final_after_end_ms"] = latencies.empty() ? 0 : latencies[latencies.size() / 2];
}
BENCHMARK(BM_RecogniserWordAccuracy)->ArgName("set")->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
