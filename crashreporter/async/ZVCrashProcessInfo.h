// What the kernel records about a process: its name, parent, start time and whether a debugger
// is attached. The report writer reads it for this process and its parent when it is set up.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

class ZVCrashProcessInfo {
public:
    // This process. Not safe at crash time: allocates and reads procfs.
    static std::shared_ptr<ZVCrashProcessInfo> currentProcessInfo();
    // The process with this id, from /proc/<pid>/stat and status and the boot time in /proc/stat;
    // none when the process cannot be read. Not safe at crash time: allocates and reads procfs.
    static std::shared_ptr<ZVCrashProcessInfo> withProcessID(pid_t processID);
    // The same from the files' texts, the boot time (seconds since 1970) and the clock ticks per
    // second; none when the stat text is malformed. Not safe at crash time: allocates.
    static std::shared_ptr<ZVCrashProcessInfo> fromProcTexts(pid_t processID, std::string_view stat, std::string_view status,
                                                             int64_t bootTime, long ticksPerSecond);

    // Safe at crash time (the getters).
    pid_t processID() const { return processID_; }
    // The command name cut to its valid UTF-8 prefix; none when that is empty.
    const std::optional<std::string>& processName() const { return processName_; }
    pid_t parentProcessID() const { return parentProcessID_; }
    timeval startTime() const { return startTime_; }
    // A debugger (any tracer) is attached.
    bool isTraced() const { return traced_; }

private:
    pid_t processID_ = 0;
    std::optional<std::string> processName_;
    pid_t parentProcessID_ = 0;
    timeval startTime_{};
    bool traced_ = false;
};
