#include "platform/media/PocketSphinxSpeechRecognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <sphinxbase/ngram_model.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/base/Error.h"
#include "platform/foundation/Bundle.h"
#include "platform/media/AudioConverter.h"
#include "platform/runtime/SerialQueue.h"

namespace velmo {

namespace {

const char* kModelDirectory = "/usr/share/pocketsphinx/model/en-us";
const char* kErrorDomain = "PocketSphinxSpeechRecognizer";
constexpr double kDecoderSampleRate = 16000.0;

std::string modelPath(const char* file) { return std::string(kModelDirectory) + "/" + file; }

// The general model, mixed in equal parts with the model of everyday requests to an assistant
// where the bundle has it: every word of the general model can still be recognised, while the
// phrasings people use with an assistant win more often over sound-alikes.
bool useLanguageModel(ps_decoder_t* decoder, cmd_ln_t* config) {
    logmath_t* logmath = ps_get_logmath(decoder);
    ngram_model_t* general = ngram_model_read(config, modelPath("en-us.lm.bin").c_str(), NGRAM_AUTO, logmath);
    if (!general) return false;
    ngram_model_t* model = general;
    if (auto requests = Bundle::main().pathForResource("requests", "lm")) {
        if (ngram_model_t* asked = ngram_model_read(config, requests->c_str(), NGRAM_AUTO, logmath)) {
            ngram_model_t* models[] = {asked, general};
            const char* names[] = {"requests", "general"};
            const float32 weights[] = {0.5f, 0.5f};
            // The set owns both models from here on.
            if (ngram_model_t* mixed = ngram_model_set_init(config, models, const_cast<char**>(names), weights, 2)) {
                model = mixed;
            } else {
                ngram_model_free(asked);
            }
        }
    }
    const bool ok = ps_set_lm(decoder, "speech", model) == 0 && ps_set_search(decoder, "speech") == 0;
    ngram_model_free(model);  // the search keeps its own reference
    return ok;
}

// The recognition thread and the decoders, which are used only on that thread.
class RecognitionWorker {
public:
    static RecognitionWorker& shared() {
        // Never destroyed: tasks may still be queued while the process exits.
        static RecognitionWorker* worker = new RecognitionWorker;
        return *worker;
    }

    SerialQueue queue{"velmo.speech"};

    ps_decoder_t* acquireDecoder() {
        if (!idle_.empty()) {
            ps_decoder_t* decoder = idle_.back();
            idle_.pop_back();
            return decoder;
        }
        static std::once_flag quiet;
        std::call_once(quiet, [] { err_set_logfp(nullptr); });
        std::string hmm = modelPath("en-us"), dict = modelPath("cmudict-en-us.dict");
        // A wider acoustic search (16 Gaussians per frame instead of 4, no cap on active
        // states) pays for itself in words on short push-to-talk phrases while the final
        // result still comes a few tens of milliseconds after the audio ends; spectral noise
        // removal stays on (turning it off lost about one word in ten). A lighter language
        // weight found a few more words but made the final lattice search several times
        // longer. The second, flat lexicon pass is left out: on phrases this short it finds
        // no more words than the lattice search of the first pass, and most of its work falls
        // after the end of the audio, where the user waits for the result. Dither keeps
        // stretches of digital silence (a muted or gated input) from reading as extreme
        // spectra; its seed is fixed so the same audio gives the same words.
        cmd_ln_t* config =
            cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-dict", dict.c_str(), "-samprate", "16000", "-remove_noise", "yes",
                        "-topn", "16", "-maxhmmpf", "-1", "-fwdflat", "no", "-dither", "yes", "-seed", "1", "-logfn", "/dev/null", nullptr);
        if (!config) return nullptr;
        ps_decoder_t* decoder = ps_init(config);
        if (decoder && !useLanguageModel(decoder, config)) {
            ps_free(decoder);
            decoder = nullptr;
        }
        cmd_ln_free_r(config);  // the decoder keeps its own reference
        return decoder;
    }

    // One decoder is kept for the next recognition; any other is freed.
    void releaseDecoder(ps_decoder_t* decoder) {
        if (!decoder) return;
        if (idle_.empty()) {
            idle_.push_back(decoder);
        } else {
            ps_free(decoder);
        }
    }

private:
    std::vector<ps_decoder_t*> idle_;
};

// The state of one recognition, touched only on the recognition thread (apart from the flag).
struct Recognition {
    std::atomic<bool> cancelled{false};
    SpeechRecognitionResultHandler handler;
    bool reportPartialResults = true;
    ps_decoder_t* decoder = nullptr;
    bool inUtterance = false;
    bool finished = false;
    std::unique_ptr<AudioConverter> converter;
    std::optional<AudioFormat> converterInput;
    std::string lastPartial;

    void deliver(const std::optional<SpeechRecognitionResult>& result, std::exception_ptr error) {
        if (!cancelled.load() && handler) handler(result, error);
    }

    void fail(const std::string& message) {
        finish();
        deliver(std::nullopt, std::make_exception_ptr(Error(kErrorDomain, 1, message)));
    }

    void finish() {
        finished = true;
        if (decoder) {
            if (inUtterance) ps_end_utt(decoder);
            inUtterance = false;
            RecognitionWorker::shared().releaseDecoder(decoder);
            decoder = nullptr;
        }
        converter.reset();
    }

    bool begin() {
        if (decoder) return true;
        decoder = RecognitionWorker::shared().acquireDecoder();
        if (!decoder) {
            fail("the speech recognition model could not be loaded.");
            return false;
        }
        if (ps_start_utt(decoder) < 0) {
            fail("speech recognition could not start.");
            return false;
        }
        inUtterance = true;
        return true;
    }

    // Converts what the converter can give now (or, at the end, everything it holds) and decodes it.
    void decode(const AudioPCMBuffer* buffer, bool end) {
        if (!converter) return;
        bool handed = false;
        const double ratio = kDecoderSampleRate / converterInput->sampleRate;
        std::uint32_t capacity = std::uint32_t(std::ceil((buffer ? buffer->frameLength() : 0) * ratio)) + 1024;
        auto output = AudioPCMBuffer::make(converter->outputFormat(), capacity);
        if (!output) return;
        for (;;) {
            AudioConverterOutputStatus status = converter->convert(*output, [&](AudioConverterInputStatus& s) -> const AudioPCMBuffer* {
                if (buffer && !handed) {
                    handed = true;
                    s = AudioConverterInputStatus::haveData;
                    return buffer;
                }
                s = end ? AudioConverterInputStatus::endOfStream : AudioConverterInputStatus::noDataNow;
                return nullptr;
            });
            if (status == AudioConverterOutputStatus::error) return;
            if (output->frameLength() > 0) ps_process_raw(decoder, output->int16ChannelData(), output->frameLength(), FALSE, FALSE);
            if (status != AudioConverterOutputStatus::haveData) return;
        }
    }

    void process(const std::shared_ptr<const AudioPCMBuffer>& buffer) {
        if (cancelled.load() || finished) return;
        if (!begin()) return;
        if (buffer) {
            if (!converterInput || !(*converterInput == buffer->format())) {
                decode(nullptr, true);  // what the previous format left behind
                converterInput = buffer->format();
                converter = AudioConverter::make(buffer->format(), AudioFormat::int16Interleaved(kDecoderSampleRate, 1));
            }
            decode(buffer.get(), false);
            if (!reportPartialResults || cancelled.load()) return;
            std::int32_t score = 0;
            const char* hypothesis = ps_get_hyp(decoder, &score);
            std::string text = hypothesis ? hypothesis : "";
            if (!text.empty() && text != lastPartial) {
                lastPartial = text;
                deliver(SpeechRecognitionResult{text, false}, nullptr);
            }
            return;
        }
        decode(nullptr, true);
        ps_end_utt(decoder);
        inUtterance = false;
        std::int32_t score = 0;
        const char* hypothesis = ps_get_hyp(decoder, &score);
        std::string text = hypothesis ? hypothesis : "";
        finish();
        deliver(SpeechRecognitionResult{text, true}, nullptr);
    }
};

class PocketSphinxRecognitionTask : public SpeechRecognitionTask {
public:
    PocketSphinxRecognitionTask(std::shared_ptr<SpeechAudioBufferRecognitionRequest> request, std::shared_ptr<Recognition> recognition)
        : request_(std::move(request)),
          recognition_(std::move(recognition)) {}
    ~PocketSphinxRecognitionTask() override { cancel(); }

    void cancel() override {
        if (recognition_->cancelled.exchange(true)) return;
        request_->detach();
        RecognitionWorker::shared().queue.async([r = recognition_] {
            if (!r->finished) r->finish();
        });
    }
    bool isCancelled() const override { return recognition_->cancelled.load(); }

private:
    std::shared_ptr<SpeechAudioBufferRecognitionRequest> request_;
    std::shared_ptr<Recognition> recognition_;
};

}  // namespace

bool PocketSphinxSpeechRecognizer::isModelInstalled() {
    std::error_code ec;
    return std::filesystem::is_directory(modelPath("en-us"), ec) && std::filesystem::is_regular_file(modelPath("en-us.lm.bin"), ec) &&
           std::filesystem::is_regular_file(modelPath("cmudict-en-us.dict"), ec);
}

bool PocketSphinxSpeechRecognizer::supportsLocale(const std::string& localeIdentifier) {
    std::string id = localeIdentifier.substr(0, localeIdentifier.find_first_of(".@"));
    for (char& c : id) {
        if (c == '_') c = '-';
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return id == "en-us" || id == "en";
}

std::shared_ptr<PocketSphinxSpeechRecognizer> PocketSphinxSpeechRecognizer::make(const std::string& localeIdentifier) {
    if (!supportsLocale(localeIdentifier) || !isModelInstalled()) return nullptr;
    return std::make_shared<PocketSphinxSpeechRecognizer>();
}

std::shared_ptr<SpeechRecognitionTask> PocketSphinxSpeechRecognizer::recognitionTask(
    std::shared_ptr<SpeechAudioBufferRecognitionRequest> request, SpeechRecognitionResultHandler handler) {
    auto recognition = std::make_shared<Recognition>();
    recognition->handler = std::move(handler);
    recognition->reportPartialResults = request->shouldReportPartialResults;
    auto task = std::make_shared<PocketSphinxRecognitionTask>(request, recognition);
    request->attach([recognition](const std::shared_ptr<const AudioPCMBuffer>& buffer) {
        RecognitionWorker::shared().queue.async([recognition, buffer] { recognition->process(buffer); });
    });
    return task;
}

}  // namespace velmo
