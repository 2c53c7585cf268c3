#include "platform/media/PulseAudioEngine.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <vector>

#include "platform/foundation/Error.h"
#include "platform/media/PulseAudioSources.h"

namespace velmo {

namespace {
constexpr pa_usec_t kConnectTimeout = 5 * PA_USEC_PER_SEC;
const char* kErrorDomain = "PulseAudioEngine";
}  // namespace

struct PulseAudioEngine::Capture {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    bool timedOut = false;
    std::uint32_t bufferSize = 1024;
    AudioFormat format;
    std::vector<float> pending;  // interleaved frames not yet handed to the tap
    std::shared_ptr<std::mutex> tapMutex;
    std::shared_ptr<std::shared_ptr<const Tap>> tap;

    ~Capture() {
        if (!loop) return;
        pa_threaded_mainloop_lock(loop);
        if (stream) {
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    static void signal(void* userdata) { pa_threaded_mainloop_signal(static_cast<Capture*>(userdata)->loop, 0); }
    static void onContextState(pa_context*, void* userdata) { signal(userdata); }
    static void onStreamState(pa_stream*, void* userdata) { signal(userdata); }
    static void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        static_cast<Capture*>(userdata)->timedOut = true;
        signal(userdata);
    }

    static void onRead(pa_stream* s, size_t, void* userdata) { static_cast<Capture*>(userdata)->read(s); }

    void read(pa_stream* s) {
        const std::uint32_t channels = format.channelCount;
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
            if (data) {
                const float* samples = static_cast<const float*>(data);
                pending.insert(pending.end(), samples, samples + bytes / sizeof(float));
            }
            pa_stream_drop(s);
        }
        const std::size_t chunk = std::size_t(bufferSize) * channels;
        std::size_t offset = 0;
        while (pending.size() - offset >= chunk) {
            auto buffer = AudioPCMBuffer::make(format, bufferSize);
            if (!buffer) break;
            for (std::uint32_t c = 0; c < channels; ++c) {
                float* out = buffer->floatChannelData(c);
                for (std::uint32_t i = 0; i < bufferSize; ++i) out[i] = pending[offset + std::size_t(i) * channels + c];
            }
            buffer->setFrameLength(bufferSize);
            offset += chunk;
            std::shared_ptr<const Tap> current;
            {
                std::lock_guard lock(*tapMutex);
                current = *tap;
            }
            if (current && current->block) current->block(buffer);
        }
        pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(offset));
    }

    [[noreturn]] void fail(const std::string& what) {
        int code = context ? pa_context_errno(context) : PA_ERR_UNKNOWN;
        std::string reason = timedOut ? "the sound server did not answer" : pa_strerror(code);
        throw Error(kErrorDomain, code == 0 ? PA_ERR_UNKNOWN : code, "couldn't " + what + ": " + reason);
    }

    // Waits on the loop until `ready`; fails once `good` no longer holds or the timer ran out.
    template <class Ready, class Good>
    void waitUntil(Ready ready, Good good, const std::string& what) {
        while (!ready()) {
            if (!good() || timedOut) fail(what);
            pa_threaded_mainloop_wait(loop);
        }
    }

    // Runs with the loop locked; throws Error on failure (the destructor cleans up).
    void open(const std::string& sourceName) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        context = pa_context_new(api, "velmo");
        if (!context) fail("connect to the sound server");
        pa_context_set_state_callback(context, onContextState, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) fail("connect to the sound server");
        struct TimerGuard {
            pa_mainloop_api* api;
            pa_time_event* event;
            ~TimerGuard() {
                if (event) api->time_free(event);
            }
        } timer{api, pa_context_rttime_new(context, pa_rtclock_now() + kConnectTimeout, onTimeout, this)};
        waitUntil([&] { return pa_context_get_state(context) == PA_CONTEXT_READY; },
                  [&] { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); }, "connect to the sound server");

        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, std::uint32_t(format.sampleRate), std::uint8_t(format.channelCount)};
        stream = pa_stream_new(context, "velmo microphone", &spec, nullptr);
        if (!stream) fail("open the microphone");
        pa_stream_set_state_callback(stream, onStreamState, this);
        pa_stream_set_read_callback(stream, onRead, this);
        pa_buffer_attr attr{};
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = std::uint32_t(-1);
        attr.prebuf = std::uint32_t(-1);
        attr.minreq = std::uint32_t(-1);
        attr.fragsize = bufferSize * std::uint32_t(sizeof(float)) * format.channelCount;
        if (pa_stream_connect_record(stream, sourceName.empty() ? nullptr : sourceName.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0)
            fail("open the microphone");
        waitUntil([&] { return pa_stream_get_state(stream) == PA_STREAM_READY; },
                  [&] { return PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); }, "open the microphone");
    }
};

PulseAudioEngine::PulseAudioEngine(std::string sourceName) : sourceName_(std::move(sourceName)) {}

PulseAudioEngine::~PulseAudioEngine() { stop(); }

AudioFormat PulseAudioEngine::inputFormat() {
    auto source = findPulseAudioSource(sourceName_);
    if (!source || source->sampleRate == 0 || source->channelCount == 0) return AudioFormat::float32Planar(0, 0);
    return AudioFormat::float32Planar(source->sampleRate, source->channelCount);
}

void PulseAudioEngine::installTap(std::uint32_t bufferSize, const AudioFormat& format, AudioTapBlock block) {
    auto tap = std::make_shared<const Tap>(Tap{bufferSize, format, std::move(block)});
    std::lock_guard lock(*tapMutex_);
    *tap_ = std::move(tap);
}

void PulseAudioEngine::removeTap() {
    std::shared_ptr<const Tap> old;
    std::lock_guard lock(*tapMutex_);
    old = std::move(*tap_);
    tap_->reset();
}

bool PulseAudioEngine::isRunning() const { return capture_ != nullptr; }

void PulseAudioEngine::start() {
    if (capture_) return;
    AudioFormat format;
    std::uint32_t bufferSize = 1024;
    {
        std::lock_guard lock(*tapMutex_);
        if (*tap_) {
            format = (*tap_)->format;
            bufferSize = (*tap_)->bufferSize;
        }
    }
    if (!format.isValid()) format = inputFormat();
    if (!format.isValid() || format.commonFormat != AudioCommonFormat::pcmFormatFloat32 || bufferSize == 0 ||
        format.sampleRate > PA_RATE_MAX || format.channelCount > PA_CHANNELS_MAX)
        throw Error(kErrorDomain, PA_ERR_NOENTITY, "no microphone is available.");
    auto capture = std::make_unique<Capture>();
    capture->format = format;
    capture->bufferSize = bufferSize;
    capture->tapMutex = tapMutex_;
    capture->tap = tap_;
    capture->loop = pa_threaded_mainloop_new();
    if (!capture->loop) throw Error(kErrorDomain, PA_ERR_INTERNAL, "couldn't start the audio thread.");
    if (pa_threaded_mainloop_start(capture->loop) < 0) {
        pa_threaded_mainloop_free(capture->loop);
        capture->loop = nullptr;
        throw Error(kErrorDomain, PA_ERR_INTERNAL, "couldn't start the audio thread.");
    }
    pa_threaded_mainloop_lock(capture->loop);
    try {
        capture->open(sourceName_);
    } catch (...) {
        pa_threaded_mainloop_unlock(capture->loop);
        throw;  // the capture's destructor disconnects and stops the thread
    }
    pa_threaded_mainloop_unlock(capture->loop);
    capture_ = std::move(capture);
}

void PulseAudioEngine::stop() { capture_.reset(); }

}  // namespace velmo
