#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace velmo::test {

// A binary property list of the given objects (marker byte and payload, references `refSize`
// bytes wide), the first one at the top.
inline std::string binaryPropertyList(const std::vector<std::string>& objects, char refSize = 1) {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    auto be = [&](std::uint64_t v, int size) {
        for (int k = size - 1; k >= 0; --k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
    };
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const std::uint64_t table = out.size();
    for (std::uint64_t o : offsets) be(o, 8);
    out.append(6, '\0');
    out.push_back(8);
    out.push_back(refSize);
    be(offsets.size(), 8);
    be(0, 8);
    be(table, 8);
    return out;
}

// `levels` arrays, each holding the next one twice; the last holds nothing. Expands to 2^levels.
inline std::string sharedReferencesPropertyList(int levels) {
    std::vector<std::string> objects = {std::string("\xD1\x01\x02", 3), "\x51k"};  // {"k": level 0}
    for (int i = 0; i < levels; ++i) {
        const char next = static_cast<char>(i + 3);
        objects.push_back(std::string("\xA2", 1) + next + next);
    }
    objects.push_back("\xA0");
    return binaryPropertyList(objects);
}

// Dictionaries that read but cannot be written back, or that the library cannot take safely.
inline std::vector<std::pair<const char*, std::string>> badPropertyLists() {
    double huge = 1e300;
    std::uint64_t bits;
    std::memcpy(&bits, &huge, sizeof bits);
    std::string date("\x33", 1);
    for (int k = 7; k >= 0; --k) date.push_back(static_cast<char>((bits >> (8 * k)) & 0xFF));
    return {
        {"UTF-16 key holding U+0000", binaryPropertyList({std::string("\xD1\x01\x02", 3), std::string("\x61\x00\x00", 3), "\x09"})},
        {"UTF-16 string holding U+0000",
         binaryPropertyList({std::string("\xD1\x01\x02", 3), "\x51k", std::string("\x62\x00\x61\x00\x00", 5)})},
        {"ASCII string holding NUL", binaryPropertyList({std::string("\xD1\x01\x02", 3), "\x51k",
                                                         std::string("\x53"
                                                                     "a\0b",
                                                                     4)})},
        {"date of 1e300 seconds", binaryPropertyList({std::string("\xD1\x01\x02", 3), "\x51k", date})},
        {"shared references 20 levels deep", sharedReferencesPropertyList(20)},
        {"XML string holding NUL", "<plist><dict><key>k</key><string>a&#0;b</string></dict></plist>"},
    };
}

}  // namespace velmo::test
