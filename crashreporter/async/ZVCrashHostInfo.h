// The running kernel's version, read when the reporter is enabled.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

struct ZVCrashHostInfoVersion {
    uint64_t major = 0;
    uint64_t minor = 0;
    uint64_t revision = 0;
};

class ZVCrashHostInfo {
public:
    // Where the two lines about an unreadable or unexpected release go (the reporter's log).
    // Called only while the reporter is enabled, never at crash time.
    using LogSink = std::function<void(std::string_view line)>;

    // The running kernel's, from "kern.osrelease"; none when the release cannot be read.
    // Not safe at crash time: allocates.
    static std::shared_ptr<ZVCrashHostInfo> currentHostInfo(const LogSink& log = {});

    // Reads "major.minor.revision" from the front of a release ("6.1.0-13-amd64" gives 6, 1, 0);
    // at the first part that is not there it stops, logs, and keeps what it read (the rest 0).
    // Not safe at crash time: allocates.
    explicit ZVCrashHostInfo(std::string_view release, const LogSink& log = {});

    // The kernel's version numbers. Safe at crash time.
    const ZVCrashHostInfoVersion& darwinVersion() const { return darwinVersion_; }

private:
    ZVCrashHostInfoVersion darwinVersion_;
};
