#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "RideZav/core/RideZavValue.h"

namespace ridezav {

class RideZavErrorTrackingConfig;

// "0x%llx": lower-case hexadecimal without leading zeros.
std::string hexAddress(std::uint64_t address);

// One frame of an exception's stack trace.
struct RideZavStackFrame {
    std::uint64_t instructionAddress = 0;
    std::optional<std::string> module;  // file name of the image holding the address
    std::optional<std::string> package;  // the image's full path (live stacks) or the module (reports)
    std::optional<std::uint64_t> imageAddress;
    bool inApp = false;
    std::optional<std::string> function;
    std::optional<std::uint64_t> symbolAddress;

    // "instruction_addr", "platform", "in_app", then the present optional keys.
    Object toDictionary() const;
};

// Whether frames of this module belong to the application: includes, then excludes, then the
// system-library prefixes, else the configuration's default. No module is never in-app.
bool isInApp(const std::optional<std::string>& module, const RideZavErrorTrackingConfig& config);

}  // namespace ridezav
