// The messages stream as a service or proxy sends it: read in one chunk or in many, line by
// line, it gives the same reply and the same failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "companion/ClaudeAPI.h"
#include "platform/net/URLSession.h"

namespace {

struct Outcome {
    std::string reply;
    std::string error;
    bool operator==(const Outcome&) const = default;
};

Outcome read(std::string_view body, const std::vector<std::size_t>& cuts) {
    velmo::LineBuffer lines;
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        lines.append(body.substr(at, cut - at));
        at = cut;
    }
    lines.append(body.substr(at));
    lines.finish();
    Outcome out;
    std::string line;
    try {
        while (lines.nextLine(line)) {
            const auto result = velmo::ClaudeAPI::handleStreamLine(line, out.reply);
            if (result == velmo::ClaudeAPI::LineResult::done || result == velmo::ClaudeAPI::LineResult::full) break;
        }
    } catch (const velmo::Error& e) {
        out.error = e.message();
    }
    if (out.reply.size() > velmo::ClaudeAPI::maximumReplyBytes) std::abort();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte seeds where the many-chunk reading cuts the rest.
    unsigned seed = data[0];
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0; at < body.size();) {
        seed = seed * 1103515245u + 12345u;
        at += 1 + (seed >> 16) % 7;
        if (at < body.size()) cuts.push_back(at);
    }
    if (!(read(body, {}) == read(body, cuts))) std::abort();
    return 0;
}
