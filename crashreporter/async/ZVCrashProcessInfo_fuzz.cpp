// The kernel's process record, release text and command names as arbitrary bytes: the readers
// never fail hard, and what they keep holds to its rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crashreporter/async/ZVCrashHostInfo.h"
#include "crashreporter/async/ZVCrashProcessInfo.h"
#include "crashreporter/async/zvcrash_sysctl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // A valid prefix stays valid and whole when checked again.
    const size_t valid = zvcrash_sysctl_valid_utf8_length(data, size);
    if (valid > size || zvcrash_sysctl_valid_utf8_length(data, valid) != valid) std::abort();

    // The stat and status texts are split at the first form feed, so one input drives both.
    const size_t split = text.find('\f');
    const std::string_view stat = text.substr(0, split);
    const std::string_view status = split == std::string_view::npos ? std::string_view{} : text.substr(split + 1);
    if (const auto info = ZVCrashProcessInfo::fromProcTexts(7, stat, status, 1'700'000'000, 100)) {
        if (const auto& name = info->processName()) {
            if (name->empty() || name->size() > 16) std::abort();
            if (zvcrash_sysctl_valid_utf8_length(name->data(), name->size()) != name->size()) std::abort();
        }
        if (info->startTime().tv_usec < 0 || info->startTime().tv_usec >= 1'000'000) std::abort();
    }

    size_t lines = 0;
    const ZVCrashHostInfo host(text, [&](std::string_view) { ++lines; });
    if (lines > 1) std::abort();
    return 0;
}
