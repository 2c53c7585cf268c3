#include "platform/media/PulseAudioSourceMonitor.h"

#include <pulse/pulseaudio.h>

#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {
constexpr pa_usec_t kRetryInterval = PA_USEC_PER_SEC;
}  // namespace

std::optional<PulseAudioSourceInfo> PulseAudioSourceMonitor::Snapshot::source(const std::string& name) const {
    const std::string& target = name.empty() ? defaultSourceName : name;
    for (const auto& s : sources)
        if (s.name == target) return s;
    if (name.empty() && !sources.empty()) return sources.front();
    return std::nullopt;
}

// Everything here runs on the loop's thread (PulseAudio callbacks) or under its lock.
struct PulseAudioSourceMonitor::Loop {
    PulseAudioSourceMonitor* owner = nullptr;
    pa_threaded_mainloop* loop = nullptr;
    pa_mainloop_api* api = nullptr;
    pa_context* context = nullptr;
    pa_time_event* timer = nullptr;  // connect limit while connecting, else the retry
    pa_usec_t connectLimit = 0;
    // One refresh at a time; events during one ask for another.
    bool refreshing = false;
    bool refreshAgain = false;
    bool serverInfoDone = false;
    bool listDone = false;
    Snapshot pending;

    void setTimer(pa_usec_t after, pa_time_event_cb_t callback) {
        clearTimer();
        timeval when;
        pa_timeval_add(pa_gettimeofday(&when), after);
        timer = api->time_new(api, &when, callback, this);
    }
    void clearTimer() {
        if (timer) api->time_free(timer);
        timer = nullptr;
    }

    void connect() {
        context = pa_context_new(api, "velmo-sources");
        if (!context) return lost();
        pa_context_set_state_callback(context, onContextState, this);
        pa_context_set_subscribe_callback(context, onEvent, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return lost();
        setTimer(connectLimit, onConnectLimit);
    }
    void dropContext() {
        if (!context) return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    // No server (gone, refused or silent): said so, and tried again later.
    void lost() {
        dropContext();
        refreshing = refreshAgain = false;
        owner->publish(Snapshot{State::noServer, {}, {}});
        setTimer(kRetryInterval, onRetry);
    }
    void refresh() {
        if (refreshing) {
            refreshAgain = true;
            return;
        }
        refreshing = true;
        serverInfoDone = listDone = false;
        pending = Snapshot{};
        if (pa_operation* op = pa_context_get_server_info(context, onServerInfo, this)) {
            pa_operation_unref(op);
        } else {
            serverInfoDone = true;
        }
        if (pa_operation* op = pa_context_get_source_info_list(context, onSourceInfo, this)) {
            pa_operation_unref(op);
        } else {
            return lost();
        }
    }
    void refreshed() {
        if (!serverInfoDone || !listDone) return;
        refreshing = false;
        pending.state = pending.sources.empty() ? State::noSource : State::available;
        owner->publish(pending);
        if (refreshAgain) {
            refreshAgain = false;
            refresh();
        }
    }

    static void onContextState(pa_context* c, void* userdata) {
        auto* self = static_cast<Loop*>(userdata);
        switch (pa_context_get_state(c)) {
            case PA_CONTEXT_READY: {
                self->clearTimer();
                const auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
                if (pa_operation* op = pa_context_subscribe(c, mask, nullptr, nullptr)) pa_operation_unref(op);
                self->refresh();
                break;
            }
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                self->lost();
                break;
            default:
                break;
        }
    }
    static void onEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* userdata) { static_cast<Loop*>(userdata)->refresh(); }
    static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<Loop*>(userdata);
        if (info && info->default_source_name) self->pending.defaultSourceName = info->default_source_name;
        self->serverInfoDone = true;
        self->refreshed();
    }
    static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* self = static_cast<Loop*>(userdata);
        if (eol != 0) {
            self->listDone = true;
            self->refreshed();
            return;
        }
        if (info && info->name) self->pending.sources.push_back({info->name, info->sample_spec.rate, info->sample_spec.channels});
    }
    static void onConnectLimit(pa_mainloop_api*, pa_time_event* event, const timeval*, void* userdata) {
        auto* self = static_cast<Loop*>(userdata);
        self->api->time_free(event);
        self->timer = nullptr;
        self->lost();
    }
    static void onRetry(pa_mainloop_api*, pa_time_event* event, const timeval*, void* userdata) {
        auto* self = static_cast<Loop*>(userdata);
        self->api->time_free(event);
        self->timer = nullptr;
        self->connect();
    }
};

PulseAudioSourceMonitor::PulseAudioSourceMonitor(std::chrono::milliseconds connectLimit)
    : loop_(std::make_unique<Loop>()) {
    loop_->owner = this;
    loop_->connectLimit = pa_usec_t(std::chrono::duration_cast<std::chrono::microseconds>(connectLimit).count());
    loop_->loop = pa_threaded_mainloop_new();
    if (!loop_->loop) {
        publish(Snapshot{State::noServer, {}, {}});
        return;
    }
    loop_->api = pa_threaded_mainloop_get_api(loop_->loop);
    pa_threaded_mainloop_set_name(loop_->loop, "pulse.sources");
    pa_threaded_mainloop_lock(loop_->loop);
    loop_->connect();
    pa_threaded_mainloop_unlock(loop_->loop);
    if (pa_threaded_mainloop_start(loop_->loop) < 0) {
        pa_threaded_mainloop_lock(loop_->loop);
        loop_->clearTimer();
        loop_->dropContext();
        pa_threaded_mainloop_unlock(loop_->loop);
        pa_threaded_mainloop_free(loop_->loop);
        loop_->loop = nullptr;
        publish(Snapshot{State::noServer, {}, {}});
    }
}

PulseAudioSourceMonitor::~PulseAudioSourceMonitor() {
    if (!loop_->loop) return;
    pa_threaded_mainloop_lock(loop_->loop);
    loop_->clearTimer();
    loop_->dropContext();
    pa_threaded_mainloop_unlock(loop_->loop);
    pa_threaded_mainloop_stop(loop_->loop);
    pa_threaded_mainloop_free(loop_->loop);
}

namespace {
ProcessWide<PulseAudioSourceMonitor>& monitors() {
    static ProcessWide<PulseAudioSourceMonitor> instance("sound-source monitor");
    return instance;
}
}  // namespace

std::shared_ptr<PulseAudioSourceMonitor> PulseAudioSourceMonitor::shared() { return monitors().current(); }
void PulseAudioSourceMonitor::install(std::shared_ptr<PulseAudioSourceMonitor> monitor) { monitors().exchange(std::move(monitor)); }

PulseAudioSourceMonitor::Snapshot PulseAudioSourceMonitor::snapshot() const {
    std::lock_guard lock(mutex_);
    return snapshot_;
}

void PulseAudioSourceMonitor::whenSettled(std::function<void(const Snapshot&)> completion) {
    Snapshot now;
    {
        std::lock_guard lock(mutex_);
        if (snapshot_.state == State::connecting) {
            waiting_.push_back(std::move(completion));
            return;
        }
        now = snapshot_;
    }
    completion(now);
}

bool PulseAudioSourceMonitor::waitUntilSettled(std::chrono::milliseconds limit) const {
    return waitUntil([](const Snapshot& s) { return s.state != State::connecting; }, limit);
}

bool PulseAudioSourceMonitor::waitUntil(const std::function<bool(const Snapshot&)>& predicate, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return predicate(snapshot_); });
}

Cancellable PulseAudioSourceMonitor::observeStateChanges(std::function<void()> changed) {
    return stateChanges_.publisher().sink([changed = std::move(changed)](const State&) { changed(); });
}

void PulseAudioSourceMonitor::publish(Snapshot next) {
    std::vector<std::function<void(const Snapshot&)>> settled;
    bool stateChanged;
    {
        std::lock_guard lock(mutex_);
        stateChanged = snapshot_.state != next.state;
        snapshot_ = next;
        if (next.state != State::connecting) settled.swap(waiting_);
    }
    changed_.notify_all();
    for (auto& completion : settled) completion(next);
    if (stateChanged) stateChanges_.send(next.state);
}

}  // namespace velmo
