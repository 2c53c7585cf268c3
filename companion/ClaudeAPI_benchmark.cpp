#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "companion/ClaudeAPI.h"
#include "platform/net/Base64.h"
#include "platform/net/URLSession.h"

using velmo::Base64;
using velmo::ClaudeAPI;
using velmo::LineBuffer;

namespace {

// A reply stream shaped like the service's: named events, blank separators, short text deltas.
std::string makeEventStream(std::size_t bytes) {
    std::string s = "event: message_start\ndata: {\"type\":\"message_start\",\"message\":{\"id\":\"msg_1\",\"role\":\"assistant\"}}\n\n";
    const char* words[] = {"The ", "button ", "you want ", "is in the ", "top-right ", "corner, ", "next to ", "the search field. "};
    std::size_t i = 0;
    while (s.size() < bytes) {
        s += "event: content_block_delta\ndata: "
             "{\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":\"text_delta\",\"text\":\"";
        s += words[i++ % 8];
        s += "\"}}\n\n";
        if (i % 50 == 0) s += "event: ping\ndata: {\"type\": \"ping\"}\n\n";
    }
    s += "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n";
    return s;
}

// state.range(0): input size in KiB; state.range(1): chunk size in bytes (0 = the whole input).
void BM_SSEReplyParse(benchmark::State& state) {
    std::string input = makeEventStream(static_cast<std::size_t>(state.range(0)) * 1024);
    std::size_t chunk = state.range(1) == 0 ? input.size() : static_cast<std::size_t>(state.range(1));
    std::size_t replySize = 0;
    for (auto _ : state) {
        LineBuffer lines;
        std::string reply;
        std::string line;
        for (std::size_t at = 0; at < input.size(); at += chunk) {
            lines.append(input.data() + at, std::min(chunk, input.size() - at));
            while (lines.nextLine(line)) ClaudeAPI::handleStreamLine(line, reply);
        }
        lines.finish();
        while (lines.nextLine(line)) ClaudeAPI::handleStreamLine(line, reply);
        replySize = reply.size();
        benchmark::DoNotOptimize(reply.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
    state.SetComplexityN(static_cast<int64_t>(input.size()));
    state.counters["reply_bytes"] = static_cast<double>(replySize);
}
BENCHMARK(BM_SSEReplyParse)->ArgNames({"KiB", "chunk"})->ArgsProduct({{64, 512, 4096}, {0, 1}})->Unit(benchmark::kMillisecond);

std::vector<ClaudeAPI::Image> threeImages() {
    std::mt19937 random(7);
    std::vector<ClaudeAPI::Image> images;
    for (int i = 0; i < 3; ++i) {
        std::string data(400 * 1000, '\0');
        for (auto& c : data) c = static_cast<char>(random());
        data[0] = '\xFF';
        data[1] = '\xD8';
        images.push_back({std::move(data), "screen " + std::to_string(i + 1) + " (1280x800)"});
    }
    return images;
}

void BM_MessagesRequestBody(benchmark::State& state) {
    auto images = threeImages();
    std::vector<ClaudeAPI::HistoryPair> history(10, {"where is the save button?", "It is in the File menu, near the top."});
    std::size_t size = 0, capacity = 0;
    for (auto _ : state) {
        std::string body = ClaudeAPI::makeRequestBody("claude-sonnet-4-6", images, "You are a helpful companion.", history, "what now?");
        size = body.size();
        capacity = body.capacity();
        benchmark::DoNotOptimize(body.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 3 * 400 * 1000));
    state.counters["body_bytes"] = static_cast<double>(size);
    // The body is reserved once; its capacity is the build's peak beyond the inputs.
    state.counters["capacity_per_body"] = static_cast<double>(capacity) / static_cast<double>(size);
}
BENCHMARK(BM_MessagesRequestBody)->Unit(benchmark::kMicrosecond);

// The same image bytes through Base64 alone, the floor for the body build.
void BM_MessagesRequestBody_Base64Alone(benchmark::State& state) {
    auto images = threeImages();
    for (auto _ : state) {
        std::string out;
        out.reserve(3 * Base64::encodedSize(400 * 1000));
        for (const auto& image : images) Base64::encodeAppending(image.data, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 3 * 400 * 1000));
}
BENCHMARK(BM_MessagesRequestBody_Base64Alone)->Unit(benchmark::kMicrosecond);

}  // namespace
