#include "crashreporter/async/ZVCrashHostInfo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crashreporter/async/zvcrash_sysctl.h"

namespace {

// Digits at the front of text into *out; false when there are none or they do not fit.
bool scanNumber(std::string_view& text, uint64_t* out) {
    size_t at = 0;
    uint64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        const auto digit = static_cast<uint64_t>(text[at] - '0');
        if (__builtin_mul_overflow(value, uint64_t{10}, &value) || __builtin_add_overflow(value, digit, &value)) return false;
        ++at;
    }
    if (at == 0) return false;
    *out = value;
    text.remove_prefix(at);
    return true;
}

bool scanDot(std::string_view& text) {
    if (text.empty() || text.front() != '.') return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace

std::shared_ptr<ZVCrashHostInfo> ZVCrashHostInfo::currentHostInfo(const LogSink& log) {
    char* release = zvcrash_sysctl_string("kern.osrelease");
    if (release == nullptr) {
        const int error = errno;
        if (log) log("[ZVCrashReporter] Failed to fetch kern.osrelease value " + std::to_string(error) + ": " + strerror(error));
        return nullptr;
    }
    auto info = std::make_shared<ZVCrashHostInfo>(release, log);
    free(release);
    return info;
}

ZVCrashHostInfo::ZVCrashHostInfo(std::string_view release, const LogSink& log) {
    std::string_view rest = release.substr(0, zvcrash_sysctl_valid_utf8_length(release.data(), release.size()));
    const bool complete = scanNumber(rest, &darwinVersion_.major) && scanDot(rest) && scanNumber(rest, &darwinVersion_.minor) &&
                          scanDot(rest) && scanNumber(rest, &darwinVersion_.revision);
    if (!complete && log) log("[ZVCrashReporter] Unexpected kern.osrelease string format: " + std::string(release));
}
