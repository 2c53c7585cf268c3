#include "platform/media/MpegAudioPlayer.h"

#include <mpg123.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include "platform/base/WholeFile.h"
#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {

void initDecoderLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

// Where decoded samples go. `write` blocks for about as long as the samples take to play.
class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    virtual void write(const std::int16_t* samples, std::size_t frames) = 0;
    virtual void drain() = 0;
    // Drops what is buffered but not yet heard (after a stop).
    virtual void flush() {}
};

class PulseOutput : public AudioOutput {
public:
    static std::unique_ptr<PulseOutput> open(const AudioOutputOptions& options, int rate, int channels) {
        pa_sample_spec spec{PA_SAMPLE_S16NE, static_cast<std::uint32_t>(rate), static_cast<std::uint8_t>(channels)};
        // A short buffer keeps stop prompt.
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(100 * 1000, &spec));
        attr.prebuf = static_cast<std::uint32_t>(-1);
        attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(-1);
        int error = 0;
        pa_simple* s = pa_simple_new(options.pulseServer.empty() ? nullptr : options.pulseServer.c_str(), "Velmo", PA_STREAM_PLAYBACK,
                                     options.sink.empty() ? nullptr : options.sink.c_str(), "speech", &spec, nullptr, &attr, &error);
        if (!s) return nullptr;
        return std::unique_ptr<PulseOutput>(new PulseOutput(s, channels));
    }
    ~PulseOutput() override { pa_simple_free(stream_); }
    void write(const std::int16_t* samples, std::size_t frames) override {
        int error = 0;
        pa_simple_write(stream_, samples, frames * channels_ * sizeof(std::int16_t), &error);
    }
    void drain() override {
        int error = 0;
        pa_simple_drain(stream_, &error);
    }
    void flush() override {
        int error = 0;
        pa_simple_flush(stream_, &error);
    }

private:
    PulseOutput(pa_simple* s, int channels)
        : stream_(s),
          channels_(channels) {}
    pa_simple* stream_;
    int channels_;
};

// No sound: waits as long as the samples would take to play, on the monotonic clock.
class NullOutput : public AudioOutput {
public:
    NullOutput(int rate, std::mutex& mutex, std::condition_variable& cv, const std::atomic<bool>& stop)
        : rate_(rate),
          mutex_(mutex),
          cv_(cv),
          stop_(stop),
          next_(std::chrono::steady_clock::now()) {}
    void write(const std::int16_t*, std::size_t frames) override {
        next_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(double(frames) / rate_));
        std::unique_lock lock(mutex_);
        cv_.wait_until(lock, next_, [&] { return stop_.load(); });
    }
    void drain() override {}

private:
    int rate_;
    std::mutex& mutex_;
    std::condition_variable& cv_;
    const std::atomic<bool>& stop_;
    std::chrono::steady_clock::time_point next_;
};

}  // namespace

// Decodes the clip held in memory, frame by frame, as 16-bit samples.
struct MpegAudioPlayer::Decoder {
    mpg123_handle* handle = nullptr;
    int rate = 0;
    int channels = 0;
    std::vector<std::int16_t> pending;  // decoded while probing, not yet played

    ~Decoder() {
        if (handle) mpg123_delete(handle);
    }

    // Opens `data` and decodes up to its first audio frame; false when there is none.
    bool open(const std::string& data) {
        initDecoderLibrary();
        int error = 0;
        handle = mpg123_new(nullptr, &error);
        if (!handle) return false;
        mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
        mpg123_format_none(handle);
        const long* rates = nullptr;
        std::size_t count = 0;
        mpg123_rates(&rates, &count);
        for (std::size_t i = 0; i < count; ++i) mpg123_format(handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
        if (mpg123_open_feed(handle) != MPG123_OK) return false;
        if (mpg123_feed(handle, reinterpret_cast<const unsigned char*>(data.data()), data.size()) != MPG123_OK) return false;
        for (;;) {
            std::size_t frames = 0;
            const std::int16_t* samples = nullptr;
            int result = decodeFrame(samples, frames);
            if (result == MPG123_NEW_FORMAT) continue;
            if (result != MPG123_OK) return false;
            if (frames == 0) continue;
            pending.assign(samples, samples + frames * channels);
            return rate > 0 && channels > 0;
        }
    }

    // One frame's samples (valid until the next call), or a non-OK mpg123 result.
    int decodeFrame(const std::int16_t*& samples, std::size_t& frames) {
        off_t number = 0;
        unsigned char* audio = nullptr;
        std::size_t bytes = 0;
        int result = mpg123_decode_frame(handle, &number, &audio, &bytes);
        if (result == MPG123_NEW_FORMAT) {
            long r = 0;
            int ch = 0, enc = 0;
            mpg123_getformat(handle, &r, &ch, &enc);
            rate = static_cast<int>(r);
            channels = ch;
            return result;
        }
        if (result != MPG123_OK) return result;
        samples = reinterpret_cast<const std::int16_t*>(audio);
        frames = channels > 0 ? bytes / sizeof(std::int16_t) / channels : 0;
        return MPG123_OK;
    }
};

MpegAudioPlayer::MpegAudioPlayer(std::string data, AudioOutputOptions options)
    : data_(std::move(data)),
      options_(std::move(options)) {
    decoder_ = std::make_unique<Decoder>();
    if (!decoder_->open(data_)) throw AudioPlayerError::notAudioData();
    rate_ = decoder_->rate;
    channels_ = decoder_->channels;
}

MpegAudioPlayer::~MpegAudioPlayer() { stop(); }

void MpegAudioPlayer::setVolume(float volume) { volume_.store(std::clamp(volume, 0.0f, 1.0f)); }

bool MpegAudioPlayer::play() {
    if (playing_.load()) return true;
    joinThread();
    if (atEnd_.load()) {
        // Played to the end before: start again from the beginning.
        auto fresh = std::make_unique<Decoder>();
        if (!fresh->open(data_)) return false;
        decoder_ = std::move(fresh);
        atEnd_ = false;
        framesPlayed_ = 0;
    }
    stopRequested_ = false;
    playing_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void MpegAudioPlayer::stop() {
    {
        std::lock_guard lock(waitMutex_);
        stopRequested_ = true;
    }
    waitCv_.notify_all();
    joinThread();
    playing_ = false;
}

void MpegAudioPlayer::joinThread() {
    if (thread_.joinable()) thread_.join();
}

void MpegAudioPlayer::run() {
    std::unique_ptr<AudioOutput> output;
    if (!options_.nullOutputOnly) output = PulseOutput::open(options_, rate_, channels_);
    usedSoundServer_ = output != nullptr;
    if (!output) output = std::make_unique<NullOutput>(rate_, waitMutex_, waitCv_, stopRequested_);

    std::vector<std::int16_t> scaled;
    auto emit = [&](const std::int16_t* samples, std::size_t frames) {
        float v = volume_.load();
        const std::int16_t* out = samples;
        if (v < 1.0f) {
            scaled.assign(samples, samples + frames * channels_);
            for (auto& s : scaled) s = static_cast<std::int16_t>(static_cast<float>(s) * v);
            out = scaled.data();
        }
        output->write(out, frames);
        framesPlayed_ += frames;
    };

    if (!decoder_->pending.empty()) {
        auto pending = std::move(decoder_->pending);
        decoder_->pending.clear();
        emit(pending.data(), pending.size() / channels_);
    }
    bool failed = false;
    while (!stopRequested_.load()) {
        const std::int16_t* samples = nullptr;
        std::size_t frames = 0;
        int result = decoder_->decodeFrame(samples, frames);
        if (result == MPG123_NEW_FORMAT) {
            if (decoder_->rate != rate_ || decoder_->channels != channels_) {
                failed = true;  // a clip that changes format mid-way is not played on
                break;
            }
            continue;
        }
        if (result == MPG123_NEED_MORE || result == MPG123_DONE) break;  // all data decoded
        if (result != MPG123_OK) {
            failed = true;
            break;
        }
        if (frames > 0) emit(samples, frames);
    }
    if (stopRequested_.load()) {
        output->flush();
        return;
    }
    output->drain();
    atEnd_ = true;
    playing_ = false;
    notifyFinished(!failed);
}

namespace {
ProcessWide<AudioPlayerFactory>& playerFactories() {
    static ProcessWide<AudioPlayerFactory> instance("audio player factory");
    return instance;
}
}  // namespace

std::shared_ptr<AudioPlayerFactory> AudioPlayerFactory::shared() { return playerFactories().current(); }

void AudioPlayerFactory::install(std::shared_ptr<AudioPlayerFactory> factory) { playerFactories().exchange(std::move(factory)); }

std::shared_ptr<AudioPlayer> MpegAudioPlayerFactory::playerWithData(std::string data) {
    return std::make_shared<MpegAudioPlayer>(std::move(data), options_);
}

std::shared_ptr<AudioPlayer> MpegAudioPlayerFactory::playerWithContentsOfFile(const std::string& path) {
    FileReadFailure failure;
    auto contents = readWholeFile(path, &failure);
    if (!contents && failure.opening) throw AudioPlayerError::fileNotOpened(path);
    if (!contents) throw AudioPlayerError(AudioPlayerError::unreadableFile, "The file \"" + path + "\" could not be read.");
    return playerWithData(std::move(*contents));
}

}  // namespace velmo
