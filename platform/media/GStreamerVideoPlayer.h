#pragma once

#include <memory>
#include <string>

#include "platform/media/VideoPlayer.h"
#include "platform/runtime/Timer.h"
#include "platform/runtime/Duration.h"

typedef struct _GstElement GstElement;

namespace velmo {

struct VideoOutputOptions {
    // The sound server and sink to play the sound into; empty: the defaults.
    std::string pulseServer;
    std::string sink;
    // Skip the sound server (the sound is paced in silence).
    bool nullAudioOutput = false;
    // False decodes as fast as it can instead of in real time (tests).
    bool paced = true;
    // How often the playback position is read for the boundary observers.
    Seconds positionPollInterval{0.05};
    // How many times faster than recorded the item plays, still paced (tests that would
    // otherwise sit through a long item). Told to the pipeline once it has prerolled.
    double rate = 1.0;
    // Playing without a new picture or a later position this long fails the item ("Playback
    // stalled."): a playlist that never ends, or one that never yields a picture.
    Seconds stallTimeout{15};
    // More nested playlists than this (a playlist naming itself, or a chain of them) fail the item.
    int maximumPlaylistNesting = 4;
};

// Plays an item with GStreamer's playbin: pictures come out of an appsink as BGRA frames and
// are handed to the main loop, the sound goes to PulseAudio (or a silent paced sink where no
// sound server answers). The position is polled on the main loop for the boundary observers;
// the bus's end of stream and errors become the end and failure notifications. Stopping the
// pipeline waits for its streaming threads; where one is held up (a source stuck on a remote
// playlist) the player gives up waiting after a second and the rest happens in the background.
class GStreamerVideoPlayer : public VideoPlayer {
    struct PrivateTag {};

public:
    static std::shared_ptr<GStreamerVideoPlayer> make(std::string url, VideoOutputOptions options = {});
    GStreamerVideoPlayer(PrivateTag, std::string url, VideoOutputOptions options);
    ~GStreamerVideoPlayer() override;

    const std::string& url() const override { return url_; }
    void play() override;
    void pause() override;
    bool isPlaying() const override { return playing_; }
    void setVolume(float volume) override;
    float volume() const override { return volume_; }
    void setMuted(bool muted) override;
    bool isMuted() const override { return muted_; }
    double currentTime() const override;
    std::shared_ptr<const VideoFrame> currentFrame() const override { return frame_; }
    std::string error() const override { return error_; }

    // The rate the pipeline plays at now, as its sinks report it; 1 when they cannot say.
    double playbackRate() const;

    struct Shared;

private:
    friend struct GStreamerCallbacks;
    void build();
    void fail(const std::string& message);
    void handleEndOfStream();
    void applyRate();
    void handleFrame(std::shared_ptr<const VideoFrame> frame);
    void poll();
    void startPolling();
    void stopPolling();
    void releasePipeline();

    std::string url_;
    VideoOutputOptions options_;
    GstElement* pipeline_ = nullptr;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Timer> pollTimer_;
    bool playing_ = false;
    bool finished_ = false;
    bool rateApplied_ = false;
    float volume_ = 1.0f;
    bool muted_ = false;
    mutable double lastPosition_ = 0;
    double lastPolled_ = 0;
    Seconds stalledFor_{0};
    bool framesSincePoll_ = false;
    std::shared_ptr<const VideoFrame> frame_;
    std::string error_;
};

class GStreamerVideoPlayerFactory : public VideoPlayerFactory {
public:
    explicit GStreamerVideoPlayerFactory(VideoOutputOptions options = {})
        : options_(std::move(options)) {}
    std::shared_ptr<VideoPlayer> playerWithURL(const std::string& url) override;

private:
    VideoOutputOptions options_;
};

}  // namespace velmo
