#include "companion/StreamEvent.h"
#include "platform/base/UTF8.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

using velmo::StreamEvent;

namespace {

// The same members read from a full parse, as the reference for the tree-free reader.
// Each byte that starts no well-formed UTF-8 sequence becomes U+FFFD, as the stream's reader does.
std::string replacingBadUTF8(const std::string& text) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = p[i] < 0x80 ? 1 : velmo::utf8SequenceLength(p + i, text.size() - i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

std::optional<StreamEvent> referenceParse(const std::string& text) {
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(replacingBadUTF8(text));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!j.is_object()) return std::nullopt;
    StreamEvent e;
    auto str = [](const nlohmann::json& o, const char* key) -> std::optional<std::string> {
        auto it = o.find(key);
        if (it == o.end() || !it->is_string()) return std::nullopt;
        return it->get<std::string>();
    };
    e.type = str(j, "type");
    if (auto d = j.find("delta"); d != j.end() && d->is_object()) {
        e.deltaIsObject = true;
        e.deltaType = str(*d, "type");
        e.deltaText = str(*d, "text");
    }
    if (auto err = j.find("error"); err != j.end() && err->is_object()) e.errorMessage = str(*err, "message");
    return e;
}

std::string describe(const std::optional<StreamEvent>& e) {
    if (!e) return "not an object";
    auto s = [](const std::optional<std::string>& v) { return v ? "\"" + *v + "\"" : std::string("-"); };
    return "type " + s(e->type) + " delta " + (e->deltaIsObject ? "object" : "none") + " " + s(e->deltaType) + " " + s(e->deltaText) +
           " message " + s(e->errorMessage);
}

const char* kSamples[] = {
    R"({"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":"Hello"}})",
    R"({"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})",
    R"({"type":"message_start","message":{"id":"msg_1","content":[],"usage":{"input_tokens":12,"output_tokens":1}}})",
    R"({"type":"content_block_delta","delta":{"type":"text_delta","text":"caf\u00e9 \ud83c\udfaf \"q\" \\ \/ \b\f\n\r\t"}})",
    R"( {"a":[1,-2.5e+3,0.0,true,false,null,{"b":[]}],"type":"ping"} )",
    R"({"type":"content_block_delta","delta":{"type":"text_delta","text":"a"},"delta":{"type":"text_delta"}})",
    R"({"t\u0079pe":"content_block_delta","delta":{"type":"text_delta","text":"escaped key"}})",
};

}  // namespace

TEST(StreamEvent, ReadsTheMembersTheClientUses) {
    auto e = StreamEvent::parse(kSamples[0]);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->type, "content_block_delta");
    EXPECT_TRUE(e->deltaIsObject);
    EXPECT_EQ(e->deltaType, "text_delta");
    EXPECT_EQ(e->deltaText, "Hello");
    EXPECT_EQ(StreamEvent::parse(kSamples[3])->deltaText, "caf\xC3\xA9 \xF0\x9F\x8E\xAF \"q\" \\ / \b\f\n\r\t");
    EXPECT_EQ(StreamEvent::parse(kSamples[1])->errorMessage, "Overloaded");
    EXPECT_FALSE(StreamEvent::parse(kSamples[5])->deltaText);  // the later "delta" replaces the first
    EXPECT_EQ(StreamEvent::parse(kSamples[6])->type, "content_block_delta");
}

TEST(StreamEvent, BadUTF8InATextBecomesReplacementCharactersNotALostEvent) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a\xC3"
         "(b",
         "a\xEF\xBF\xBD(b"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // an encoded surrogate
        {"x\xFF", "x\xEF\xBF\xBD"},
        {"\xF0\x9F\x8E", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // cut short
    };
    for (const auto& [raw, expected] : cases) {
        auto e = StreamEvent::parse("{\"type\":\"content_block_delta\",\"delta\":{\"type\":\"text_delta\",\"text\":\"" + raw + "\"}}");
        ASSERT_TRUE(e) << raw;
        EXPECT_EQ(e->deltaText, expected);
    }
}

TEST(StreamEvent, RefusesWhatIsNotAJsonObject) {
    for (const char* bad : {"",
                            " ",
                            "[1]",
                            "\"text\"",
                            "12",
                            "null",
                            "{",
                            "{\"a\":1,}",
                            "{\"a\" 1}",
                            "{\"a\":01}",
                            "{\"a\":1.}",
                            "{\"a\":-}",
                            "{\"a\":\"\\x\"}",
                            "{\"a\":\"\\ud800\"}",
                            "{\"a\":\"\\udc00\"}",
                            "{\"a\":\"\x01\"}",
                            "{\"a\":1e999}",
                            "{} {}",
                            "{\"a\":tru}",
                            "{'a':1}"}) {
        EXPECT_FALSE(StreamEvent::parse(bad)) << bad;
        EXPECT_FALSE(referenceParse(bad)) << "reference: " << bad;
    }
    std::string deep(100000, '[');
    EXPECT_FALSE(StreamEvent::parse("{\"a\":" + deep + "}"));  // refused, not a stack overflow
}

// Mutations of real event lines must read exactly as a full parse reads them.
TEST(StreamEvent, AgreesWithAFullParseOnMutatedEvents) {
    std::mt19937 random(20240607);
    const std::string alphabet = "{}[]\":,\\ u0123456789abcdefnrtlse.-+Eé\x01\xC3\xFF";
    int checked = 0;
    for (int round = 0; round < 30000; ++round) {
        std::string text = kSamples[random() % std::size(kSamples)];
        int edits = 1 + random() % 3;
        for (int k = 0; k < edits && !text.empty(); ++k) {
            std::size_t at = random() % text.size();
            char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
                case 0:
                    text[at] = c;
                    break;
                case 1:
                    text.insert(text.begin() + at, c);
                    break;
                default:
                    text.erase(at, 1);
                    break;
            }
        }
        auto fast = StreamEvent::parse(text);
        auto full = referenceParse(text);
        ASSERT_EQ(describe(fast), describe(full)) << text;
        ++checked;
    }
    EXPECT_EQ(checked, 30000);
}
