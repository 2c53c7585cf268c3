#include "platform/media/PulseAudioSources.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <vector>

namespace velmo {

namespace {

struct Query {
    std::string wanted;
    std::string defaultName;
    bool serverInfoDone = false;
    bool listDone = false;
    std::vector<PulseAudioSourceInfo> sources;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* q = static_cast<Query*>(userdata);
    if (info && info->default_source_name) q->defaultName = info->default_source_name;
    q->serverInfoDone = true;
}

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* q = static_cast<Query*>(userdata);
    if (eol != 0) {
        q->listDone = true;
        return;
    }
    if (info && info->name) q->sources.push_back({info->name, info->sample_spec.rate, info->sample_spec.channels});
}

}  // namespace

std::optional<PulseAudioSourceInfo> findPulseAudioSource(const std::string& name, Seconds timeout) {
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop) return std::nullopt;
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "velmo-probe");
    std::optional<PulseAudioSourceInfo> found;
    Query query;
    query.wanted = name;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto step = [&]() -> bool {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (pa_mainloop_prepare(loop, int(left.count())) < 0) return false;
        if (pa_mainloop_poll(loop) < 0) return false;
        return pa_mainloop_dispatch(loop) >= 0;
    };
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        bool ready = false;
        for (;;) {
            pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) {
                ready = true;
                break;
            }
            if (!PA_CONTEXT_IS_GOOD(state) || !step()) break;
        }
        if (ready) {
            if (pa_operation* op = pa_context_get_server_info(context, onServerInfo, &query)) pa_operation_unref(op);
            if (pa_operation* op = pa_context_get_source_info_list(context, onSourceInfo, &query)) pa_operation_unref(op);
            while (!(query.serverInfoDone && query.listDone) && PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
                if (!step()) break;
            }
            if (query.listDone) {
                const std::string& target = name.empty() ? query.defaultName : name;
                for (const auto& source : query.sources)
                    if (source.name == target) found = source;
                if (!found && name.empty() && !query.sources.empty()) found = query.sources.front();
            }
        }
        pa_context_disconnect(context);
    }
    if (context) pa_context_unref(context);
    pa_mainloop_free(loop);
    return found;
}

}  // namespace velmo
