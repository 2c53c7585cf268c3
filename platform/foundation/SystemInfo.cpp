#include "platform/foundation/SystemInfo.h"

#include <sys/utsname.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "platform/base/WholeFile.h"

namespace velmo {
namespace {

std::string_view trim(std::string_view text) {
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

// The zone name after ".../zoneinfo/" in a path, or none.
std::optional<std::string> zoneNameFromPath(std::string_view path) {
    static constexpr std::string_view marker = "zoneinfo/";
    const auto at = path.rfind(marker);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view name = path.substr(at + marker.size());
    // Debian also ships "posix/" and "right/" copies of every zone.
    for (std::string_view prefix : {"posix/", "right/"})
        if (name.substr(0, prefix.size()) == prefix) name.remove_prefix(prefix.size());
    if (name.empty()) return std::nullopt;
    return std::string(name);
}

}  // namespace

KernelInfo readKernelInfo() {
    struct utsname names {};
    if (uname(&names) != 0) return {};
    return KernelInfo{names.sysname, names.release, names.machine};
}

std::optional<std::string> kernelVersionNumbers(std::string_view release) {
    std::string numbers[3] = {"0", "0", "0"};
    std::size_t at = 0;
    for (int part = 0; part < 3; ++part) {
        std::size_t end = at;
        while (end < release.size() && std::isdigit(static_cast<unsigned char>(release[end]))) ++end;
        if (end == at) {
            if (part == 0) return std::nullopt;
            break;
        }
        numbers[part] = std::string(release.substr(at, end - at));
        if (end >= release.size() || release[end] != '.') break;
        at = end + 1;
    }
    return numbers[0] + "." + numbers[1] + "." + numbers[2];
}

std::map<std::string, std::string> parseOsRelease(std::string_view text) {
    std::map<std::string, std::string> fields;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        std::string_view line = trim(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        if (line.empty() || line.front() == '#') continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0) continue;
        const std::string_view key = line.substr(0, equals);
        bool validKey = true;
        for (char c : key)
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) validKey = false;
        if (!validKey) continue;
        std::string_view raw = line.substr(equals + 1);
        std::string value;
        if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
            const char quote = raw.front();
            bool closed = false;
            for (std::size_t i = 1; i < raw.size(); ++i) {
                if (raw[i] == quote) {
                    closed = true;
                    break;
                }
                if (raw[i] == '\\' && quote == '"' && i + 1 < raw.size()) ++i;
                value += raw[i];
            }
            if (!closed) continue;
        } else {
            value = std::string(raw);
        }
        fields[std::string(key)] = std::move(value);
    }
    return fields;
}

std::map<std::string, std::string> readOsRelease(const std::vector<std::string>& paths) {
    for (const auto& path : paths)
        if (auto text = readWholeFile(path)) return parseOsRelease(*text);
    return {};
}

DmiInfo readDmi(const std::string& folder) {
    const auto field = [&](const char* name) -> std::optional<std::string> {
        auto text = readWholeFile(folder + "/" + name);
        if (!text) return std::nullopt;
        const std::string_view value = trim(*text);
        if (value.empty()) return std::nullopt;
        return std::string(value);
    };
    return DmiInfo{field("sys_vendor"), field("product_name")};
}

std::optional<std::string> processEnvironment(const std::string& name) {
    if (const char* value = std::getenv(name.c_str())) return std::string(value);
    return std::nullopt;
}

std::optional<std::string> messagesLocale(const EnvironmentLookup& environment) {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (auto value = environment(name); value && !value->empty()) return value;
    return std::nullopt;
}

std::optional<std::string> localeLanguageCode(std::string_view locale) {
    std::size_t end = 0;
    while (end < locale.size() && std::isalpha(static_cast<unsigned char>(locale[end]))) ++end;
    if (end < 2 || end > 3) return std::nullopt;
    if (end < locale.size() && locale[end] != '_' && locale[end] != '.' && locale[end] != '@') return std::nullopt;
    std::string language(locale.substr(0, end));
    for (char& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return language;
}

std::string currentTimeZoneIdentifier(const TimeZoneSources& sources) {
    if (auto tz = sources.environment("TZ"); tz && !tz->empty()) {
        std::string_view value = *tz;
        if (value.front() == ':') value.remove_prefix(1);
        if (auto name = zoneNameFromPath(value)) return *name;
        if (!value.empty() && value.front() != '/') return std::string(value);
    }
    if (auto text = readWholeFile(sources.timezoneFile)) {
        const std::string_view line = trim(std::string_view(*text).substr(0, text->find('\n')));
        if (!line.empty()) return std::string(line);
    }
    std::error_code error;
    const auto target = std::filesystem::read_symlink(sources.localtimeLink, error);
    if (!error)
        if (auto name = zoneNameFromPath(target.string())) return *name;
    return "UTC";
}

}  // namespace velmo
