#include "crashreporter/async/ZVCrashProcessInfo.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

#include "crashreporter/async/zvcrash_sysctl.h"

namespace {

// The kernel keeps a command name of at most this many bytes.
constexpr size_t commandNameSize = 16;

// A whole procfs file. Not safe at crash time: allocates; runs when the reporter is enabled.
std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return out.str();
}

template <typename T>
bool parseInteger(std::string_view text, T* out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return error == std::errc() && end == text.data() + text.size();
}

// The value after "Name:" on its own line of a status-like text.
std::optional<std::string_view> field(std::string_view text, std::string_view name) {
    while (!text.empty()) {
        const size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0) {
            line.remove_prefix(name.size());
            while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
            return line;
        }
    }
    return std::nullopt;
}

std::optional<int64_t> bootTime() {
    const auto stat = readFile("/proc/stat");
    if (!stat) return std::nullopt;
    const auto value = field(*stat, "btime");
    int64_t seconds;
    if (!value || !parseInteger(*value, &seconds)) return std::nullopt;
    return seconds;
}

}  // namespace

std::shared_ptr<ZVCrashProcessInfo> ZVCrashProcessInfo::currentProcessInfo() { return withProcessID(getpid()); }

std::shared_ptr<ZVCrashProcessInfo> ZVCrashProcessInfo::withProcessID(pid_t processID) {
    const std::string folder = "/proc/" + std::to_string(processID);
    const auto stat = readFile(folder + "/stat");
    const auto status = readFile(folder + "/status");
    const auto boot = bootTime();
    const long ticks = sysconf(_SC_CLK_TCK);
    if (!stat || !status || !boot || ticks <= 0) return nullptr;
    return fromProcTexts(processID, *stat, *status, *boot, ticks);
}

std::shared_ptr<ZVCrashProcessInfo> ZVCrashProcessInfo::fromProcTexts(pid_t processID, std::string_view stat, std::string_view status,
                                                                      int64_t bootTime, long ticksPerSecond) {
    // The name may hold spaces and parentheses itself: it runs from the first "(" to the last ")".
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open || ticksPerSecond <= 0) return nullptr;
    std::string_view name = stat.substr(open + 1, close - open - 1);
    if (name.size() > commandNameSize) name = name.substr(0, commandNameSize);

    // The fields after the name, from the state (the third) on.
    std::vector<std::string_view> fields;
    std::string_view rest = stat.substr(close + 1);
    while (!rest.empty()) {
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\n')) rest.remove_prefix(1);
        if (rest.empty()) break;
        const size_t end = rest.find_first_of(" \n");
        fields.push_back(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
    }
    constexpr size_t parentField = 4 - 3;
    constexpr size_t startField = 22 - 3;
    pid_t parent;
    uint64_t startTicks;
    if (fields.size() <= startField || !parseInteger(fields[parentField], &parent) || !parseInteger(fields[startField], &startTicks))
        return nullptr;

    auto info = std::make_shared<ZVCrashProcessInfo>();
    info->processID_ = processID;
    const size_t valid = zvcrash_sysctl_valid_utf8_length(name.data(), name.size());
    if (valid > 0) info->processName_ = std::string(name.substr(0, valid));
    info->parentProcessID_ = parent;
    const auto ticks = static_cast<uint64_t>(ticksPerSecond);
    info->startTime_.tv_sec = static_cast<time_t>(bootTime + static_cast<int64_t>(startTicks / ticks));
    info->startTime_.tv_usec = static_cast<suseconds_t>((startTicks % ticks) * 1'000'000 / ticks);
    int64_t tracer = 0;
    if (const auto value = field(status, "TracerPid:")) parseInteger(*value, &tracer);
    info->traced_ = tracer != 0;
    return info;
}
