#include "companion/ClaudeAPI.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/net/Base64.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/base/OriginOverride.h"
#include "platform/base/UTF8.h"
#include "platform/net/URLSession.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackHttpServer.h"
#include "testing/TaskProbe.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::errorIdentity;
using velmo::test::ErrorIdentity;
using velmo::test::Gate;
using velmo::test::LoopbackAnswer;
using velmo::test::LoopbackHttpServer;
using velmo::test::RecordedRequest;
using velmo::test::TaskProbe;
using json = nlohmann::json;

namespace {

std::string delta(const std::string& text) {
    return "data: " + json{{"type", "content_block_delta"}, {"index", 0}, {"delta", {{"type", "text_delta"}, {"text", text}}}}.dump();
}

std::string joinLines(const std::vector<std::string>& lines, const char* ending = "\n") {
    std::string body;
    for (const auto& l : lines) body += l + ending;
    return body;
}

const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8) + "rest of a png";

class ClaudeAPITest : public testing::Test {
protected:
    VirtualMainLoopScope scope;
    LoopbackHttpServer server;
    OriginOverride::Scope redirect{"api.anthropic.com", server.origin()};

    void SetUp() override { ClaudeAPI::resetWarmUpForTesting(); }

    void answerWith(LoopbackAnswer answer) { server.route("POST", "/v1/messages", std::move(answer)); }

    TaskProbe<std::string> send(ClaudeAPI& api, std::vector<ClaudeAPI::Image> images = {}, std::vector<ClaudeAPI::HistoryPair> history = {},
                                std::string prompt = "what is this?") {
        return velmo::test::awaitTask(scope.loop(),
                                      api.streamMessage(std::move(images), "be brief", std::move(history), std::move(prompt)));
    }

    // The one message request the server saw, parsed.
    json lastBody() {
        auto posts = server.requestsWith("POST", "/v1/messages");
        EXPECT_FALSE(posts.empty());
        return posts.empty() ? json() : json::parse(posts.back().body);
    }
};

}  // namespace

TEST_F(ClaudeAPITest, SendsOnePostWithItsThreeHeadersAndTheFiveMemberBody) {
    answerWith(LoopbackAnswer::text(200, joinLines({delta("Hi"), "data: [DONE]"}), "text/event-stream"));
    ClaudeAPI api("sk-test", "claude-sonnet-4-6");
    EXPECT_EQ(api.fields().apiURL, "https://api.anthropic.com/v1/messages");
    EXPECT_EQ(api.fields().apiKey, "sk-test");
    EXPECT_EQ(api.fields().model, "claude-sonnet-4-6");
    auto out = send(api);
    ASSERT_TRUE(out.value()) << out.errorDescription();
    EXPECT_EQ(*out.value(), "Hi");

    auto posts = server.requestsWith("POST");
    ASSERT_EQ(posts.size(), 1u);
    const RecordedRequest& r = posts[0];
    EXPECT_EQ(r.target, "/v1/messages");
    std::vector<std::pair<std::string, std::string>> own;
    for (const auto& [n, v] : r.headers)
        if (n != "Host" && n != "Accept" && n != "Accept-Encoding" && n != "Content-Length") own.emplace_back(n, v);
    EXPECT_EQ(own, (velmo::test::HeaderList{
                       {"x-api-key", "sk-test"}, {"anthropic-version", "2023-06-01"}, {"Content-Type", "application/json"}}));

    json body = json::parse(r.body);
    EXPECT_EQ(body.size(), 5u);
    EXPECT_EQ(body["model"], "claude-sonnet-4-6");
    EXPECT_EQ(body["max_tokens"], 1024);
    EXPECT_TRUE(body["max_tokens"].is_number_integer());
    EXPECT_EQ(body["stream"], true);
    EXPECT_EQ(body["system"], "be brief");
    EXPECT_EQ(body["messages"], json::parse(R"([{"role":"user","content":[{"type":"text","text":"what is this?"}]}])"));
}

TEST_F(ClaudeAPITest, HistoryComesFirstAndImagesPrecedeTheirLabelsAndThePrompt) {
    answerWith(LoopbackAnswer::text(200, "data: [DONE]\n"));
    ClaudeAPI api("k", "m");
    std::string jpeg = "\xFF\xD8\xFF\xE0 jpeg bytes";
    auto out = send(api, {{jpeg, "screen 1 (1280x800)"}}, {{"first question", "first answer"}, {"", ""}}, "and now?");
    ASSERT_TRUE(out.value()) << out.errorDescription();
    json messages = lastBody()["messages"];
    ASSERT_EQ(messages.size(), 5u);
    std::vector<std::string> roles;
    for (const auto& m : messages) roles.push_back(m["role"]);
    EXPECT_EQ(roles, (std::vector<std::string>{"user", "assistant", "user", "assistant", "user"}));
    EXPECT_EQ(messages[0]["content"], "first question");
    EXPECT_EQ(messages[1]["content"], "first answer");
    EXPECT_EQ(messages[2]["content"], "");
    EXPECT_EQ(messages[3]["content"], "");
    json expected = json::array({
        {{"type", "image"}, {"source", {{"type", "base64"}, {"media_type", "image/jpeg"}, {"data", Base64::encode(jpeg)}}}},
        {{"type", "text"}, {"text", "screen 1 (1280x800)"}},
        {{"type", "text"}, {"text", "and now?"}},
    });
    EXPECT_EQ(messages[4]["content"], expected);
}

TEST_F(ClaudeAPITest, OnlyThePngSignatureMakesAnImagePng) {
    answerWith(LoopbackAnswer::text(200, "data: [DONE]\n"));
    ClaudeAPI api("k", "m");
    struct Case {
        std::string data;
        const char* mediaType;
    } cases[] = {
        {"", "image/jpeg"},  {"\x89PN", "image/jpeg"},           {std::string("\x89PNG", 4), "image/png"},
        {kPng, "image/png"}, {"\xFF\xD8\xFF\xDB", "image/jpeg"}, {std::string("\x89PNg", 4), "image/jpeg"},
    };
    std::vector<ClaudeAPI::Image> images;
    for (const auto& c : cases) images.push_back({c.data, "label"});
    auto out = send(api, images);
    ASSERT_TRUE(out.value()) << out.errorDescription();
    json content = lastBody()["messages"][0]["content"];
    ASSERT_EQ(content.size(), 2 * std::size(cases) + 1);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(content[2 * i]["source"]["media_type"], cases[i].mediaType) << i;
        EXPECT_EQ(Base64::decode(content[2 * i]["source"]["data"].get<std::string>()), cases[i].data) << i;
    }
}

TEST_F(ClaudeAPITest, ReadsTheStreamByItsRulesSkippingEverythingButTextDeltas) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::string reply;
    } cases[] = {
        {"done stops reading", {delta("a"), "data: [DONE]", delta("never")}, "a"},
        {"end without done", {delta("a"), delta("b")}, "ab"},
        {"no deltas", {"data: [DONE]"}, ""},
        {"event and comment lines", {"event: content_block_delta", ": keep-alive", delta("x"), ""}, "x"},
        {"data without its space", {"data:" + delta("no").substr(6), delta("yes")}, "yes"},
        {"not json", {"data: {broken", "data: ", delta("ok")}, "ok"},
        {"list and string", {"data: [1,2]", "data: \"text\"", "data: 12", delta("ok")}, "ok"},
        {"other delta types",
         {R"(data: {"type":"content_block_delta","delta":{"type":"input_json_delta","partial_json":"{"}})", delta("ok")},
         "ok"},
        {"text missing or not a string",
         {R"(data: {"type":"content_block_delta","delta":{"type":"text_delta"}})",
          R"(data: {"type":"content_block_delta","delta":{"type":"text_delta","text":5}})",
          R"(data: {"type":"content_block_delta","delta":{"type":"text_delta","text":{"a":"b"}}})",
          R"(data: {"type":"content_block_delta","delta":"text_delta"})", delta("ok")},
         "ok"},
        {"other events",
         {R"(data: {"type":"message_start","message":{"id":"m"}})", R"(data: {"type":"ping"})",
          R"(data: {"type":"content_block_start","index":0,"content_block":{"type":"text","text":"no"}})", delta("ok"),
          R"(data: {"type":"message_delta","delta":{"type":"text_delta","text":"no"}})", R"(data: {"type":"message_stop"})"},
         "ok"},
        {"escapes and unicode", {delta("line\n\"quoted\" ✓ 🎯")}, "line\n\"quoted\" ✓ 🎯"},
    };
    ClaudeAPI api("k", "m");
    for (const auto& c : cases) {
        answerWith(LoopbackAnswer::text(200, joinLines(c.lines), "text/event-stream"));
        auto out = send(api);
        ASSERT_TRUE(out.value()) << c.name << ": " << out.errorDescription();
        EXPECT_EQ(*out.value(), c.reply) << c.name;
    }
}

TEST_F(ClaudeAPITest, RepliesStreamedByteByByteOrWithCrlfEndingsReadTheSame) {
    std::vector<std::string> lines = {
        "event: message_start", R"(data: {"type":"message_start"})", "", delta("Hello, "), "", delta("world"), "", "data: [DONE]"};
    ClaudeAPI api("k", "m");
    struct Case {
        const char* name;
        LoopbackAnswer answer;
    } cases[] = {
        {"one byte at a time", LoopbackAnswer::bytewise(200, joinLines(lines))},
        {"crlf", LoopbackAnswer::streamed(200, {joinLines(lines, "\r\n")})},
        {"crlf one byte at a time", LoopbackAnswer::bytewise(200, joinLines(lines, "\r\n"))},
    };
    for (auto& c : cases) {
        answerWith(c.answer);
        auto out = send(api);
        ASSERT_TRUE(out.value()) << c.name << ": " << out.errorDescription();
        EXPECT_EQ(*out.value(), "Hello, world") << c.name;
    }
}

TEST_F(ClaudeAPITest, AnErrorEventInsideASuccessfulStreamFailsTheCall) {
    struct Case {
        const char* name;
        std::string event;
        std::string message;
    } cases[] = {
        {"with a message", R"({"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})", "Stream error: Overloaded"},
        {"message not a string", R"({"type":"error","error":{"message":42}})", R"(Stream error: {"type":"error","error":{"message":42}})"},
        {"error not an object", R"({"type":"error","error":"bad"})", R"(Stream error: {"type":"error","error":"bad"})"},
    };
    ClaudeAPI api("k", "m");
    for (const auto& c : cases) {
        answerWith(
            LoopbackAnswer::text(200, joinLines({delta("partial "), "event: error", "data: " + c.event, delta("more"), "data: [DONE]"})));
        auto out = send(api);
        EXPECT_FALSE(out.value()) << c.name;
        EXPECT_EQ(errorIdentity(out.error()), (ErrorIdentity{"ClaudeAPI", -2, c.message})) << c.name;
    }
}

TEST_F(ClaudeAPITest, StatusesOutsideTheSuccessRangeFailWithTheBodyLines) {
    ClaudeAPI api("k", "m");
    struct Case {
        int status;
        std::string body;
        std::optional<std::string> reply;  // nothing: fails with "API Error ("
        std::string message;
    } cases[] = {
        {200, joinLines({delta("two hundred")}), "two hundred", ""},
        {299, joinLines({delta("two ninety-nine")}), "two ninety-nine", ""},
        {300, "moved\n", std::nullopt, "API Error (300): moved"},
        {401, "{\"error\":\"invalid x-api-key\"}\nsecond line\n", std::nullopt,
         "API Error (401): {\"error\":\"invalid x-api-key\"}\nsecond line"},
        {529, "line one\r\n\r\nline three", std::nullopt, "API Error (529): line one\n\nline three"},
    };
    for (const auto& c : cases) {
        LoopbackAnswer answer = LoopbackAnswer::text(c.status, c.body);
        answer.reason = "Status";
        answerWith(answer);
        auto out = send(api);
        if (c.reply) {
            ASSERT_TRUE(out.value()) << c.status << ": " << out.errorDescription();
            EXPECT_EQ(*out.value(), *c.reply);
        } else {
            EXPECT_EQ(errorIdentity(out.error()), (ErrorIdentity{"ClaudeAPI", c.status, c.message})) << c.status;
        }
    }
    // HTTP/1.1 never lets a 1xx be the final answer, so a server that ends with one gives the
    // transport's bad-response error, not a reply.
    answerWith(LoopbackAnswer::rawBytes("HTTP/1.1 199 Odd\r\nContent-Length: 4\r\n\r\nbody"));
    auto odd = send(api);
    EXPECT_FALSE(odd.value());
    ASSERT_TRUE(errorIdentity(odd.error()));
    EXPECT_EQ(errorIdentity(odd.error())->domain, "NSURLErrorDomain");
}

TEST_F(ClaudeAPITest, AnEmptyKeyIsSentAsAnEmptyHeaderAndALineBreakIsRefused) {
    answerWith(LoopbackAnswer::text(200, "data: [DONE]\n"));
    ClaudeAPI empty("", "m");
    ASSERT_TRUE(send(empty).value());
    auto post = server.requestsWith("POST").back();
    EXPECT_EQ(post.header("x-api-key"), "");
    EXPECT_EQ(post.headerCount("x-api-key"), 1u);

    LogCapture log;
    for (const char* key : {"sk-one\r\nX-Injected: 1", "sk-two\n", "sk-three\r"}) {
        ClaudeAPI split(key, "m");
        auto out = send(split);
        ASSERT_TRUE(errorIdentity(out.error()));
        EXPECT_EQ(errorIdentity(out.error())->domain, "ClaudeAPI");
        EXPECT_EQ(errorIdentity(out.error())->code, -3);
        EXPECT_NE(out.errorDescription().find("line break"), std::string::npos);
        for (const auto& line : log.lines()) EXPECT_EQ(line.find("sk-"), std::string::npos) << line;
    }
    EXPECT_EQ(server.requestsWith("POST").size(), 1u);
}

TEST_F(ClaudeAPITest, OneWarmUpHeadPerProcessToTheServiceOrigin) {
    ClaudeAPI first("k", "m");
    ClaudeAPI second("k", "m");
    ASSERT_TRUE(server.waitForRequests(1));
    scope.loop().runUntil([] { return false; }, 0.2s);  // room for a second one that must not come
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "HEAD");
    EXPECT_EQ(requests[0].target, "/");
    EXPECT_FALSE(requests[0].header("x-api-key"));
}

TEST_F(ClaudeAPITest, LogsTheBodySizeAndImageCountWithoutTheKey) {
    answerWith(LoopbackAnswer::text(200, "data: [DONE]\n"));
    ClaudeAPI api("sk-secret-value", "m");
    LogCapture log;
    ASSERT_TRUE(send(api).value());
    std::string big(1'900'000, '\x42');
    ASSERT_TRUE(send(api, {{big, "a"}, {kPng, "b"}}).value());
    auto lines = log.linesStartingWith("🌐 Claude streaming request: ");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "🌐 Claude streaming request: 0.0MB, 0 image(s)");
    auto posts = server.requestsWith("POST");
    char expected[128];
    std::snprintf(expected, sizeof expected, "🌐 Claude streaming request: %.1fMB, 2 image(s)", posts.back().body.size() / 1048576.0);
    EXPECT_EQ(lines[1], expected);
    EXPECT_EQ(lines[1], "🌐 Claude streaming request: 2.4MB, 2 image(s)");
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("sk-secret"), std::string::npos);
}

TEST_F(ClaudeAPITest, CancellingMidStreamEndsTheCallPromptlyWithTheTransfersError) {
    auto gate = std::make_shared<Gate>();
    LoopbackAnswer answer = LoopbackAnswer::streamed(200, {delta("partial") + "\n"});
    answer.thenPart(joinLines({delta(" rest"), "data: [DONE]"}), gate);
    answerWith(answer);
    ClaudeAPI api("k", "m");
    TaskProbe<std::string> call(api.streamMessage({}, "s", {}, "p"));
    ASSERT_TRUE(scope.loop().runUntil([&] { return !server.requestsWith("POST").empty(); }));
    scope.loop().runUntil([] { return false; }, 0.1s);  // the first delta arrives
    auto cancelledAt = std::chrono::steady_clock::now();
    call.cancel();
    ASSERT_TRUE(call.finish(scope.loop()));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, std::chrono::milliseconds(100));
    EXPECT_FALSE(call.value());
    auto identity = errorIdentity(call.error());
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->domain, "NSURLErrorDomain");
    EXPECT_EQ(identity->code, URLError::cancelled);
    gate->release();
}

TEST_F(ClaudeAPITest, TextThatCannotBeSerialisedIsNeverSent) {
    ClaudeAPI api("k", "m");
    auto out = send(api, {}, {}, std::string("bad \xC3\x28 utf-8"));
    EXPECT_FALSE(out.value());
    EXPECT_TRUE(out.error());
    EXPECT_TRUE(server.requestsWith("POST").empty());
}

TEST_F(ClaudeAPITest, RepliesLinesAndErrorBodiesAreCappedWithOneLineEach) {
    ClaudeAPI api("k", "m");
    {
        // The cut falls inside a two-byte character, so it is made before it.
        const std::string chunk(40000, 'x');
        std::vector<std::string> lines = {delta("a")};
        for (int i = 0; i < 8; ++i) lines.push_back(delta(chunk.substr(0, 39999) + "é"));
        answerWith(LoopbackAnswer::text(200, joinLines(lines), "text/event-stream"));
        LogCapture log;
        auto out = send(api);
        ASSERT_TRUE(out.value()) << out.errorDescription();
        EXPECT_LE(out.value()->size(), ClaudeAPI::maximumReplyBytes);
        EXPECT_GE(out.value()->size(), ClaudeAPI::maximumReplyBytes - 1);
        EXPECT_TRUE(isValidUTF8(*out.value()));
        EXPECT_EQ(log.linesStartingWith("⚠️ Claude reply reached 262144 bytes; the rest is dropped").size(), 1u);
    }
    {
        answerWith(LoopbackAnswer::text(200, "data: " + std::string(URLSessionBytes::maximumLineLength + 10, 'y'), "text/event-stream"));
        auto out = send(api);
        ASSERT_FALSE(out.value());
        auto identity = errorIdentity(out.error());
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->domain, "NSURLErrorDomain");
        EXPECT_EQ(identity->code, URLError::badServerResponse);
        EXPECT_NE(identity->message.find("a line of the answer is longer than 1048576 bytes"), std::string::npos) << identity->message;
    }
    {
        std::string body;
        for (int i = 0; i < 2000; ++i) body += "error line " + std::to_string(i) + "\n";
        answerWith(LoopbackAnswer::text(500, body));
        LogCapture log;
        auto out = send(api);
        auto identity = errorIdentity(out.error());
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->message, "API Error (500): " + body.substr(0, ClaudeAPI::maximumErrorBodyBytes));
        EXPECT_EQ(log.linesStartingWith("⚠️ Claude error body longer than 4096 bytes; the rest is not read").size(), 1u);
    }
}

TEST_F(ClaudeAPITest, ADeltaWithBadUTF8KeepsItsTextWithReplacementCharacters) {
    ClaudeAPI api("k", "m");
    answerWith(LoopbackAnswer::text(200,
                                    joinLines({delta("one "),
                                               R"(data: {"type":"content_block_delta","delta":{"type":"text_delta","text":"tw)"
                                               "\xFF"
                                               R"(o"}})",
                                               delta(" three")}),
                                    "text/event-stream"));
    auto out = send(api);
    ASSERT_TRUE(out.value()) << out.errorDescription();
    EXPECT_EQ(*out.value(), "one tw\xEF\xBF\xBDo three");
}
