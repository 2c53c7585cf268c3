#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include "platform/runtime/Duration.h"

namespace velmo {

// A capture source of the PulseAudio server, with its own sample rate and channel count.
struct PulseAudioSourceInfo {
    std::string name;
    std::uint32_t sampleRate = 0;
    std::uint32_t channelCount = 0;
};

// Asks the sound server (PULSE_SERVER or the user's default) for a capture source: the one
// named, or with an empty name the server's default source, else its first source. Absent when
// no server answers within `timeoutSeconds` or it has no such source. Never starts a server.
std::optional<PulseAudioSourceInfo> findPulseAudioSource(const std::string& name = {}, Seconds timeout = Seconds(3));

}  // namespace velmo
