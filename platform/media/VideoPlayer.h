#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmo {

// One decoded picture: BGRA, 8 bits a channel, rows `stride` bytes apart (opaque video, so it
// is also premultiplied ARGB32 on a little-endian machine). Immutable once shared.
struct VideoFrame {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<std::uint8_t> pixels;
    double time = 0;  // seconds of the item at which it is shown
};

// Plays one item (a file or a stream, video with its sound) on the main loop. Every call comes
// from the main thread, and every observer and notification is delivered there.
//
// Its end and its failure are announced on the default notification centre with the player
// (`const VideoPlayer*`) as the notification's object: `didPlayToEndTimeNotification` once the
// item has played to its end, `failedToPlayNotification` (the player's `error()` says why) when
// it cannot be loaded or stops part way.
class VideoPlayer : public std::enable_shared_from_this<VideoPlayer> {
public:
    static constexpr const char* didPlayToEndTimeNotification = "VideoPlayerItemDidPlayToEndTime";
    static constexpr const char* failedToPlayNotification = "VideoPlayerItemFailedToPlay";

    using ObserverToken = std::uint64_t;

    virtual ~VideoPlayer() = default;

    virtual const std::string& url() const = 0;
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual bool isPlaying() const = 0;
    // 0 (silent) to 1 (as recorded); other values are clamped.
    virtual void setVolume(float volume) = 0;
    virtual float volume() const = 0;
    virtual void setMuted(bool muted) = 0;
    virtual bool isMuted() const = 0;
    // Seconds of the item played so far.
    virtual double currentTime() const = 0;
    // The newest picture, or null before the first one.
    virtual std::shared_ptr<const VideoFrame> currentFrame() const = 0;
    // Why playback failed, empty while it has not.
    virtual std::string error() const = 0;

    // Calls `block` once each time playback crosses one of `times` (seconds of the item).
    ObserverToken addBoundaryTimeObserver(std::vector<double> times, std::function<void()> block);
    // Calls `block` whenever a new picture is current.
    ObserverToken addFrameObserver(std::function<void()> block);
    // Removes either kind of observer; unknown tokens are ignored.
    void removeTimeObserver(ObserverToken token);
    void removeFrameObserver(ObserverToken token) { removeTimeObserver(token); }

protected:
    struct Boundary {
        std::vector<double> times;
        std::function<void()> block;
    };
    // Subclasses learn of added and removed boundaries through these (main thread).
    virtual void boundariesChanged() {}
    const std::map<ObserverToken, Boundary>& boundaries() const { return boundaries_; }
    // Fires the boundaries crossed when the playback position moved from `from` to `to`
    // (from < time <= to), in time order.
    void fireBoundariesCrossed(double from, double to);
    void notifyFrame();
    void postEnd();
    void postFailure();

private:
    ObserverToken nextToken_ = 1;
    std::map<ObserverToken, Boundary> boundaries_;
    std::map<ObserverToken, std::function<void()>> frameObservers_;
};

// Where players come from; the seam through which tests put the simulated player in place.
class VideoPlayerFactory {
public:
    virtual ~VideoPlayerFactory() = default;
    // A player for the item at `url` (paused). A bad address or an unplayable item is reported
    // through the failure notification once playback is asked for, never thrown.
    virtual std::shared_ptr<VideoPlayer> playerWithURL(const std::string& url) = 0;

    // The factory in use: real playback main installed, or a test's; none is a fault. Thread-safe.
    static std::shared_ptr<VideoPlayerFactory> shared();
    // Installs `factory` for the process; null: none.
    static void install(std::shared_ptr<VideoPlayerFactory> factory);
};

}  // namespace velmo
