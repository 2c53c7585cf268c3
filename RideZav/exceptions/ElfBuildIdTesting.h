#pragma once

// Test support: an ELF file's GNU build id as binutils' readelf prints it, read apart from the
// library's own walk of the loaded notes, and the "debug_id" text the library makes of it.

#include <cctype>
#include <cstdio>
#include <optional>
#include <string>

#ifndef VELMO_READELF
#define VELMO_READELF "readelf"
#endif

namespace ridezav::test {

// The build id of the file at `path` in lower-case hexadecimal, from `readelf -n`; none when
// readelf cannot be run or prints no build id.
inline std::optional<std::string> buildIdByReadelf(const std::string& path) {
    if (path.find('\'') != std::string::npos) return std::nullopt;
    const std::string command = std::string(VELMO_READELF) + " -n '" + path + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    if (::pclose(pipe) != 0) return std::nullopt;
    const std::string label = "Build ID: ";
    const auto at = output.find(label);
    if (at == std::string::npos) return std::nullopt;
    const auto start = at + label.size();
    const auto end = output.find_first_not_of("0123456789abcdef", start);
    std::string id = output.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (id.empty()) return std::nullopt;
    return id;
}

// The debug id of a build id in hexadecimal: its first 16 bytes in file order, upper case,
// grouped 8-4-4-4-12; a shorter id is padded with zero bytes.
inline std::string debugIdOfBuildId(std::string hex) {
    hex.resize(32, '0');
    for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" + hex.substr(20);
}

}  // namespace ridezav::test
