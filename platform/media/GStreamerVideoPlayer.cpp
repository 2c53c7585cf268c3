#include "platform/media/GStreamerVideoPlayer.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/runtime/ProcessWide.h"

namespace velmo {

// What the streaming threads share with the player: they never touch the player itself.
struct GStreamerVideoPlayer::Shared {
    std::weak_ptr<GStreamerVideoPlayer> player;
    std::mutex mutex;
    std::shared_ptr<const VideoFrame> latest;
    bool framePosted = false;
    int maximumPlaylistNesting = 4;
    std::atomic<int> playlistDemuxers{0};
};

namespace {
void initializeGStreamer() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

// Stops a pipeline and lets it go. Stopping joins the streaming threads, which a source stuck on
// a playlist may hold for long: past `wait` the caller goes on and this ends in the background.
void retirePipeline(GstElement* pipeline, std::chrono::milliseconds wait) {
    struct Retiring {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    };
    auto retiring = std::make_shared<Retiring>();
    std::thread([pipeline, retiring] {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        std::lock_guard lock(retiring->mutex);
        retiring->finished = true;
        retiring->done.notify_all();
    }).detach();
    std::unique_lock lock(retiring->mutex);
    retiring->done.wait_for(lock, wait, [&] { return retiring->finished; });
}

constexpr std::chrono::milliseconds retireWait{900};

std::shared_ptr<VideoFrame> copyFrame(GstSample* sample) {
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    GstVideoInfo info;
    GstVideoFrame mapped;
    if (!buffer || !caps || !gst_video_info_from_caps(&info, caps) || !gst_video_frame_map(&mapped, &info, buffer, GST_MAP_READ))
        return nullptr;
    auto frame = std::make_shared<VideoFrame>();
    frame->width = GST_VIDEO_FRAME_WIDTH(&mapped);
    frame->height = GST_VIDEO_FRAME_HEIGHT(&mapped);
    frame->stride = frame->width * 4;
    frame->pixels.resize(std::size_t(frame->stride) * std::size_t(frame->height));
    const auto* src = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped, 0));
    const int srcStride = GST_VIDEO_FRAME_PLANE_STRIDE(&mapped, 0);
    for (int y = 0; y < frame->height; ++y)
        std::memcpy(frame->pixels.data() + std::size_t(y) * std::size_t(frame->stride), src + std::ptrdiff_t(y) * srcStride,
                    std::size_t(frame->stride));
    gst_video_frame_unmap(&mapped);
    const GstSegment* segment = gst_sample_get_segment(sample);
    if (segment && GST_BUFFER_PTS_IS_VALID(buffer)) {
        guint64 t = gst_segment_to_stream_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
        if (t != GST_CLOCK_TIME_NONE) frame->time = double(t) / double(GST_SECOND);
    }
    return frame;
}
}  // namespace

struct GStreamerCallbacks {
    using SharedPtr = std::shared_ptr<GStreamerVideoPlayer::Shared>;

    // Streaming thread: keep the newest picture, and hand it over once per main-loop turn
    // however fast pictures come.
    static GstFlowReturn newSample(GstAppSink* sink, gpointer data) {
        SharedPtr s = *static_cast<SharedPtr*>(data);
        GstSample* sample = gst_app_sink_pull_sample(sink);
        if (!sample) return GST_FLOW_OK;
        std::shared_ptr<const VideoFrame> frame = copyFrame(sample);
        gst_sample_unref(sample);
        if (!frame) return GST_FLOW_OK;
        bool post = false;
        {
            std::lock_guard lock(s->mutex);
            s->latest = std::move(frame);
            post = !s->framePosted;
            s->framePosted = true;
        }
        if (post)
            MainLoop::postToMain([s] {
                std::shared_ptr<const VideoFrame> f;
                {
                    std::lock_guard lock(s->mutex);
                    f = s->latest;
                    s->framePosted = false;
                }
                if (auto p = s->player.lock()) p->handleFrame(std::move(f));
            });
        return GST_FLOW_OK;
    }

    // Any thread: the bus's end of stream and errors go to the main loop.
    static GstBusSyncReply busMessage(GstBus*, GstMessage* message, gpointer data) {
        SharedPtr s = *static_cast<SharedPtr*>(data);
        std::weak_ptr<GStreamerVideoPlayer> weak = s->player;
        switch (GST_MESSAGE_TYPE(message)) {
            case GST_MESSAGE_ASYNC_DONE:
                // Prerolled: the item can now be told its rate.
                MainLoop::postToMain([weak] {
                    if (auto p = weak.lock()) p->applyRate();
                });
                break;
            case GST_MESSAGE_EOS:
                MainLoop::postToMain([weak] {
                    if (auto p = weak.lock()) p->handleEndOfStream();
                });
                break;
            case GST_MESSAGE_ERROR: {
                GError* error = nullptr;
                gchar* debug = nullptr;
                gst_message_parse_error(message, &error, &debug);
                std::string text = error && error->message ? error->message : "unknown playback error";
                if (error) g_error_free(error);
                g_free(debug);
                MainLoop::postToMain([weak, text] {
                    if (auto p = weak.lock()) p->fail(text);
                });
                break;
            }
            default:
                break;
        }
        return GST_BUS_DROP;
    }

    // Any thread: each playlist inside the item brings an adaptive demuxer of its own, so a
    // playlist that names itself nests them without end.
    static void deepElementAdded(GstBin*, GstBin*, GstElement* element, gpointer data) {
        SharedPtr s = *static_cast<SharedPtr*>(data);
        GstElementFactory* factory = gst_element_get_factory(element);
        const gchar* klass = factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
        if (!klass || !std::strstr(klass, "Demuxer/Adaptive")) return;
        if (s->playlistDemuxers.fetch_add(1) != s->maximumPlaylistNesting) return;
        std::weak_ptr<GStreamerVideoPlayer> weak = s->player;
        const std::string text =
            "The playlist refers to itself or nests more than " + std::to_string(s->maximumPlaylistNesting) + " playlists deep.";
        MainLoop::postToMain([weak, text] {
            if (auto p = weak.lock()) p->fail(text);
        });
    }

    static void deleteShared(gpointer data) { delete static_cast<SharedPtr*>(data); }
    static void deleteSharedClosure(gpointer data, GClosure*) { deleteShared(data); }
};

std::shared_ptr<GStreamerVideoPlayer> GStreamerVideoPlayer::make(std::string url, VideoOutputOptions options) {
    auto player = std::make_shared<GStreamerVideoPlayer>(PrivateTag{}, std::move(url), std::move(options));
    player->shared_->player = player;
    player->build();
    return player;
}

GStreamerVideoPlayer::GStreamerVideoPlayer(PrivateTag, std::string url, VideoOutputOptions options)
    : url_(std::move(url)),
      options_(std::move(options)),
      shared_(std::make_shared<Shared>()) {
    shared_->maximumPlaylistNesting = std::max(1, options_.maximumPlaylistNesting);
}

void GStreamerVideoPlayer::build() {
    initializeGStreamer();
    if (!gst_uri_is_valid(url_.c_str())) return;  // reported when playback is asked for
    pipeline_ = gst_element_factory_make("playbin", nullptr);
    GstElement* videoSink = gst_element_factory_make("appsink", nullptr);
    if (!pipeline_ || !videoSink) {
        if (videoSink) gst_object_unref(videoSink);
        if (pipeline_) gst_object_unref(pipeline_);
        pipeline_ = nullptr;
        return;
    }
    gst_object_ref_sink(pipeline_);
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", nullptr);
    g_object_set(videoSink, "caps", caps, "sync", gboolean(options_.paced), "max-buffers", 2u, "drop", TRUE, nullptr);
    gst_caps_unref(caps);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &GStreamerCallbacks::newSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(videoSink), &callbacks, new std::shared_ptr<Shared>(shared_),
                               &GStreamerCallbacks::deleteShared);

    // The sound server, when one answers; else a sink that keeps the pace in silence.
    GstElement* audioSink = nullptr;
    if (!options_.nullAudioOutput) {
        audioSink = gst_element_factory_make("pulsesink", nullptr);
        if (audioSink) {
            gst_object_ref_sink(audioSink);
            if (!options_.pulseServer.empty()) g_object_set(audioSink, "server", options_.pulseServer.c_str(), nullptr);
            if (!options_.sink.empty()) g_object_set(audioSink, "device", options_.sink.c_str(), nullptr);
            g_object_set(audioSink, "sync", gboolean(options_.paced), nullptr);
            if (gst_element_set_state(audioSink, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
                gst_element_set_state(audioSink, GST_STATE_NULL);
                gst_object_unref(audioSink);
                audioSink = nullptr;
            } else {
                gst_element_set_state(audioSink, GST_STATE_NULL);
            }
        }
    }
    if (!audioSink) {
        audioSink = gst_element_factory_make("fakesink", nullptr);
        gst_object_ref_sink(audioSink);
        g_object_set(audioSink, "sync", gboolean(options_.paced), nullptr);
    }
    g_object_set(pipeline_, "uri", url_.c_str(), "video-sink", videoSink, "audio-sink", audioSink, "volume", double(volume_), "mute",
                 gboolean(muted_), nullptr);
    gst_object_unref(audioSink);

    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, &GStreamerCallbacks::busMessage, new std::shared_ptr<Shared>(shared_), &GStreamerCallbacks::deleteShared);
    gst_object_unref(bus);
    g_signal_connect_data(pipeline_, "deep-element-added", G_CALLBACK(&GStreamerCallbacks::deepElementAdded),
                          new std::shared_ptr<Shared>(shared_), &GStreamerCallbacks::deleteSharedClosure, GConnectFlags(0));
}

void GStreamerVideoPlayer::releasePipeline() {
    if (!pipeline_) return;
    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    retirePipeline(std::exchange(pipeline_, nullptr), retireWait);
}

GStreamerVideoPlayer::~GStreamerVideoPlayer() {
    stopPolling();
    releasePipeline();
}

void GStreamerVideoPlayer::play() {
    if (finished_ || playing_) return;
    if (!pipeline_) {
        std::weak_ptr<VideoPlayer> weak = weak_from_this();
        std::string message = "The address \"" + url_ + "\" cannot be played.";
        MainLoop::postToMain([weak, message] {
            if (auto p = std::static_pointer_cast<GStreamerVideoPlayer>(weak.lock())) p->fail(message);
        });
        finished_ = true;
        return;
    }
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        // The bus says why; a failure without a message still ends playback.
        std::weak_ptr<VideoPlayer> weak = weak_from_this();
        MainLoop::postToMain([weak] {
            if (auto p = std::static_pointer_cast<GStreamerVideoPlayer>(weak.lock())) p->fail("Playback could not start.");
        });
        return;
    }
    playing_ = true;
    startPolling();
}

void GStreamerVideoPlayer::pause() {
    if (!playing_) return;
    playing_ = false;
    stopPolling();
    if (pipeline_) gst_element_set_state(pipeline_, GST_STATE_PAUSED);
}

void GStreamerVideoPlayer::setVolume(float volume) {
    volume_ = std::clamp(volume, 0.0f, 1.0f);
    if (pipeline_) g_object_set(pipeline_, "volume", double(volume_), nullptr);
}

void GStreamerVideoPlayer::setMuted(bool muted) {
    muted_ = muted;
    if (pipeline_) g_object_set(pipeline_, "mute", gboolean(muted), nullptr);
}

double GStreamerVideoPlayer::currentTime() const {
    gint64 position = 0;
    if (pipeline_ && gst_element_query_position(pipeline_, GST_FORMAT_TIME, &position) && position >= 0)
        lastPosition_ = std::max(lastPosition_, double(position) / double(GST_SECOND));
    return lastPosition_;
}

void GStreamerVideoPlayer::startPolling() {
    if (pollTimer_) return;
    std::weak_ptr<VideoPlayer> weak = weak_from_this();
    pollTimer_ = Timer::scheduled(options_.positionPollInterval, true, [weak](Timer& t) {
        if (auto p = std::static_pointer_cast<GStreamerVideoPlayer>(weak.lock()))
            p->poll();
        else
            t.invalidate();
    });
}

void GStreamerVideoPlayer::stopPolling() {
    if (pollTimer_) pollTimer_->invalidate();
    pollTimer_.reset();
}

void GStreamerVideoPlayer::poll() {
    double now = currentTime();
    double from = lastPolled_;
    lastPolled_ = std::max(lastPolled_, now);
    if (now > from || std::exchange(framesSincePoll_, false)) {
        stalledFor_ = Seconds(0);
    } else if ((stalledFor_ += options_.positionPollInterval) >= options_.stallTimeout) {
        fail("Playback stalled.");
        return;
    }
    fireBoundariesCrossed(from, now);
}

void GStreamerVideoPlayer::applyRate() {
    if (rateApplied_ || options_.rate == 1.0 || !pipeline_ || finished_) return;
    rateApplied_ = true;
    gint64 position = 0;
    if (!gst_element_query_position(pipeline_, GST_FORMAT_TIME, &position) || position < 0) position = 0;
    gst_element_seek(pipeline_, options_.rate, GST_FORMAT_TIME, GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                     GST_SEEK_TYPE_SET, position, GST_SEEK_TYPE_NONE, GST_CLOCK_TIME_NONE);
}

double GStreamerVideoPlayer::playbackRate() const {
    double rate = 1.0;
    if (!pipeline_) return rate;
    GstQuery* query = gst_query_new_segment(GST_FORMAT_TIME);
    if (gst_element_query(pipeline_, query)) gst_query_parse_segment(query, &rate, nullptr, nullptr, nullptr);
    gst_query_unref(query);
    return rate;
}

void GStreamerVideoPlayer::handleFrame(std::shared_ptr<const VideoFrame> frame) {
    if (!frame || finished_) return;
    frame_ = std::move(frame);
    framesSincePoll_ = true;
    notifyFrame();
}

void GStreamerVideoPlayer::handleEndOfStream() {
    if (finished_) return;
    // Boundaries the last poll did not reach are crossed on the way to the end.
    gint64 duration = 0;
    double end = currentTime();
    if (pipeline_ && gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &duration) && duration > 0)
        end = std::max(end, double(duration) / double(GST_SECOND));
    lastPosition_ = end;
    double from = lastPolled_;
    lastPolled_ = end;
    finished_ = true;
    playing_ = false;
    stopPolling();
    auto keepAlive = shared_from_this();
    fireBoundariesCrossed(from, end);
    postEnd();
}

void GStreamerVideoPlayer::fail(const std::string& message) {
    if (!error_.empty()) return;
    error_ = message.empty() ? "Playback failed." : message;
    finished_ = true;
    playing_ = false;
    stopPolling();
    releasePipeline();
    postFailure();
}

std::shared_ptr<VideoPlayer> GStreamerVideoPlayerFactory::playerWithURL(const std::string& url) {
    return GStreamerVideoPlayer::make(url, options_);
}

namespace {
ProcessWide<VideoPlayerFactory>& videoPlayerFactories() {
    static ProcessWide<VideoPlayerFactory> instance("video player factory");
    return instance;
}
}  // namespace

std::shared_ptr<VideoPlayerFactory> VideoPlayerFactory::shared() { return videoPlayerFactories().current(); }
void VideoPlayerFactory::install(std::shared_ptr<VideoPlayerFactory> factory) { videoPlayerFactories().exchange(std::move(factory)); }

}  // namespace velmo
