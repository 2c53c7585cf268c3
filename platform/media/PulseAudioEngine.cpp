#include "platform/media/PulseAudioEngine.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <atomic>
#include <vector>

#include "platform/base/Error.h"
#include "platform/media/PulseAudioSourceMonitor.h"

namespace velmo {

namespace {
constexpr pa_usec_t kConnectTimeout = 5 * PA_USEC_PER_SEC;
const char* kErrorDomain = "PulseAudioEngine";
}  // namespace

struct PulseAudioEngine::Capture {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_time_event* timer = nullptr;
    std::string sourceName;
    std::uint32_t bufferSize = 1024;
    AudioFormat format;
    AudioEngineFailureHandler onFailure;
    bool opened = false;  // the stream was ready at least once
    std::atomic<bool> failed{false};
    std::vector<float> pending;  // interleaved frames not yet handed to the tap
    std::shared_ptr<std::mutex> tapMutex;
    std::shared_ptr<std::shared_ptr<const Tap>> tap;

    ~Capture() {
        if (!loop) return;
        pa_threaded_mainloop_lock(loop);
        clearTimer();
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

    void clearTimer() {
        if (timer) pa_threaded_mainloop_get_api(loop)->time_free(timer);
        timer = nullptr;
    }

    // Audio thread: reports the first failure of this run and ends it.
    void fail(const std::string& what, int code) {
        if (failed.exchange(true)) return;
        clearTimer();
        if (stream) pa_stream_set_read_callback(stream, nullptr, nullptr);
        if (onFailure) onFailure(std::make_exception_ptr(Error(kErrorDomain, code == 0 ? PA_ERR_UNKNOWN : code, what)));
    }
    void failWithContextError(const std::string& what) {
        const int code = context ? pa_context_errno(context) : PA_ERR_UNKNOWN;
        fail(what + ": " + pa_strerror(code), code);
    }

    static void onContextState(pa_context* c, void* userdata) {
        auto* self = static_cast<Capture*>(userdata);
        switch (pa_context_get_state(c)) {
            case PA_CONTEXT_READY:
                self->openStream();
                break;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                self->failWithContextError(self->opened ? "the sound server went away while recording"
                                                        : "couldn't connect to the sound server");
                break;
            default:
                break;
        }
    }
    static void onStreamState(pa_stream* s, void* userdata) {
        auto* self = static_cast<Capture*>(userdata);
        switch (pa_stream_get_state(s)) {
            case PA_STREAM_READY:
                self->opened = true;
                self->clearTimer();
                break;
            case PA_STREAM_FAILED:
            case PA_STREAM_TERMINATED:
                self->failWithContextError(self->opened ? "the microphone went away while recording" : "couldn't open the microphone");
                break;
            default:
                break;
        }
    }
    static void onTimeout(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* userdata) {
        auto* self = static_cast<Capture*>(userdata);
        api->time_free(event);
        self->timer = nullptr;
        if (!self->opened) self->fail("couldn't open the microphone: the sound server did not answer", PA_ERR_TIMEOUT);
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

    // Audio thread, with the loop locked: connects the context; the rest follows its state.
    void open() {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        context = pa_context_new(api, "velmo");
        if (!context) return fail("couldn't connect to the sound server", PA_ERR_INTERNAL);
        pa_context_set_state_callback(context, onContextState, this);
        timer = pa_context_rttime_new(context, pa_rtclock_now() + kConnectTimeout, onTimeout, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            failWithContextError("couldn't connect to the sound server");
    }

    void openStream() {
        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, std::uint32_t(format.sampleRate), std::uint8_t(format.channelCount)};
        stream = pa_stream_new(context, "velmo microphone", &spec, nullptr);
        if (!stream) return failWithContextError("couldn't open the microphone");
        pa_stream_set_state_callback(stream, onStreamState, this);
        pa_stream_set_read_callback(stream, onRead, this);
        pa_buffer_attr attr{};
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = std::uint32_t(-1);
        attr.prebuf = std::uint32_t(-1);
        attr.minreq = std::uint32_t(-1);
        attr.fragsize = bufferSize * std::uint32_t(sizeof(float)) * format.channelCount;
        if (pa_stream_connect_record(stream, sourceName.empty() ? nullptr : sourceName.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0)
            failWithContextError("couldn't open the microphone");
    }
};

PulseAudioEngine::PulseAudioEngine(std::string sourceName, std::shared_ptr<PulseAudioSourceMonitor> monitor)
    : sourceName_(std::move(sourceName)),
      monitor_(monitor ? std::move(monitor) : PulseAudioSourceMonitor::shared()) {}

PulseAudioEngine::~PulseAudioEngine() { stop(); }

AudioFormat PulseAudioEngine::inputFormat() {
    auto source = monitor_->snapshot().source(sourceName_);
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

bool PulseAudioEngine::isRunning() const { return capture_ != nullptr && !capture_->failed.load(); }

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
    // Known to be missing: refused without asking the server.
    const auto known = monitor_->snapshot();
    if (known.state != PulseAudioSourceMonitor::State::connecting && !known.source(sourceName_))
        throw Error(kErrorDomain, PA_ERR_NOENTITY, "no microphone is available.");
    auto capture = std::make_unique<Capture>();
    capture->format = format;
    capture->bufferSize = bufferSize;
    capture->sourceName = sourceName_;
    capture->onFailure = failureHandler_;
    capture->tapMutex = tapMutex_;
    capture->tap = tap_;
    capture->loop = pa_threaded_mainloop_new();
    if (!capture->loop) throw Error(kErrorDomain, PA_ERR_INTERNAL, "couldn't start the audio thread.");
    pa_threaded_mainloop_set_name(capture->loop, "pulse.capture");
    pa_threaded_mainloop_lock(capture->loop);
    capture->open();
    pa_threaded_mainloop_unlock(capture->loop);
    if (pa_threaded_mainloop_start(capture->loop) < 0) throw Error(kErrorDomain, PA_ERR_INTERNAL, "couldn't start the audio thread.");
    capture_ = std::move(capture);
}

void PulseAudioEngine::stop() { capture_.reset(); }

}  // namespace velmo
