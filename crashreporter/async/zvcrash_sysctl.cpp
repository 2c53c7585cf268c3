#include "crashreporter/async/zvcrash_sysctl.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>

namespace {

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return out.str();
}

std::string_view trimmed(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<std::string> unameField(std::string_view name) {
    struct utsname names {};
    if (uname(&names) != 0) return std::nullopt;
    if (name == "kern.osrelease") return std::string(names.release);
    if (name == "kern.osversion") return std::string(names.version);
    if (name == "kern.ostype") return std::string(names.sysname);
    if (name == "kern.hostname") return std::string(names.nodename);
    if (name == "hw.machine") return std::string(names.machine);
    if (name == "hw.model") {
        if (auto product = zvcrash::sysctl::productName()) return product;
        return std::string(names.machine);
    }
    return std::nullopt;
}

bool isKnownText(std::string_view name) {
    for (std::string_view known : {"kern.osrelease", "kern.osversion", "kern.ostype", "kern.hostname", "hw.machine", "hw.model"})
        if (name == known) return true;
    return false;
}

bool sysconfValue(int which, int32_t* out) {
    const long value = sysconf(which);
    if (value <= 0 || value > INT32_MAX) return false;
    *out = static_cast<int32_t>(value);
    return true;
}

}  // namespace

char* zvcrash_sysctl_string(const char* name) {
    if (name == nullptr || !isKnownText(name)) {
        errno = ENOENT;
        return nullptr;
    }
    const auto value = unameField(name);
    if (!value) return nullptr;
    char* copy = static_cast<char*>(malloc(value->size() + 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, value->c_str(), value->size() + 1);
    return copy;
}

bool zvcrash_sysctl_int(const char* name, int32_t* out) {
    if (name == nullptr || out == nullptr) return false;
    const std::string_view key = name;
    if (key == "hw.cputype") {
#if defined(__x86_64__)
        *out = 0x1000007;
        return true;
#elif defined(__i386__)
        *out = 7;
        return true;
#else
        return false;
#endif
    }
    if (key == "hw.cpusubtype") {
#if defined(__x86_64__) || defined(__i386__)
        *out = 3;
        return true;
#else
        return false;
#endif
    }
    if (key == "hw.ncpu" || key == "hw.logicalcpu_max") return sysconfValue(_SC_NPROCESSORS_CONF, out);
    if (key == "hw.logicalcpu" || key == "hw.activecpu") return sysconfValue(_SC_NPROCESSORS_ONLN, out);
    if (key == "hw.pagesize") return sysconfValue(_SC_PAGESIZE, out);
    if (key == "hw.physicalcpu" || key == "hw.physicalcpu_max") {
        const auto count = zvcrash::sysctl::physicalCpuCount();
        if (!count) return false;
        *out = *count;
        return true;
    }
    if (key == "sysctl.proc_native") {
        *out = 1;
        return true;
    }
    return false;
}

size_t zvcrash_sysctl_valid_utf8_length(const void* bytes, size_t length) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    size_t at = 0;
    if (length > 2 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) at = 3;
    while (at < length) {
        const unsigned char lead = p[at];
        if (lead == 0) break;
        size_t needed;
        if (lead < 0x80) {
            needed = 0;
        } else if (lead >= 0xC0 && lead <= 0xDF) {
            needed = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            needed = 2;
        } else if (lead >= 0xF0 && lead <= 0xF7) {
            needed = 3;
        } else {
            break;
        }
        if (length - at - 1 < needed) break;
        bool continued = true;
        for (size_t k = 1; k <= needed; ++k) continued = continued && (p[at + k] & 0xC0) == 0x80;
        if (!continued) break;
        at += needed + 1;
    }
    return at;
}

size_t zvcrash_sysctl_valid_utf8_strlen(const char* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return zvcrash_sysctl_valid_utf8_length(text, length);
}

namespace zvcrash::sysctl {

std::optional<int32_t> physicalCpuCount(const std::string& cpuFolder) {
    std::set<std::string> cores;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(cpuFolder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 4 || name.compare(0, 3, "cpu") != 0 || name.find_first_not_of("0123456789", 3) != std::string::npos) continue;
        // Newer kernels name the list core_cpus_list; thread_siblings_list is the older name.
        auto siblings = readFile(entry.path() / "topology" / "core_cpus_list");
        if (!siblings) siblings = readFile(entry.path() / "topology" / "thread_siblings_list");
        if (!siblings) continue;
        const std::string_view list = trimmed(*siblings);
        if (!list.empty()) cores.emplace(list);
    }
    if (cores.empty()) return std::nullopt;
    return static_cast<int32_t>(cores.size());
}

std::optional<std::string> productName(const std::string& path) {
    const auto text = readFile(path);
    if (!text) return std::nullopt;
    const std::string_view value = trimmed(*text);
    if (value.empty()) return std::nullopt;
    return std::string(value);
}

}  // namespace zvcrash::sysctl
