#include <gtest/gtest.h>

#include "platform/base/OriginOverride.h"

using namespace velmo;

TEST(OriginOverride, RewritesOnlyOverriddenHostsKeepingPathAndQuery) {
    OriginOverride::Scope messages("api.anthropic.com", "http://127.0.0.1:4000/");
    OriginOverride::Scope streaming("streaming.assemblyai.com", "http://127.0.0.1:4001");
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"https://api.anthropic.com/v1/messages", "http://127.0.0.1:4000/v1/messages"},
        {"https://api.anthropic.com:443/v1/messages?a=b", "http://127.0.0.1:4000/v1/messages?a=b"},
        {"https://api.anthropic.com", "http://127.0.0.1:4000"},
        {"wss://streaming.assemblyai.com/v3/ws?sample_rate=16000", "ws://127.0.0.1:4001/v3/ws?sample_rate=16000"},
        {"https://api.elevenlabs.io/v1/text-to-speech/x", "https://api.elevenlabs.io/v1/text-to-speech/x"},
        {"https://api.anthropic.com.evil.example/x", "https://api.anthropic.com.evil.example/x"},
        {"https://api.anthropic.com/v1/messages#part", "http://127.0.0.1:4000/v1/messages#part"},
        {"wss://user@streaming.assemblyai.com:443/v3/ws", "ws://127.0.0.1:4001/v3/ws"},
        {"https://[::1]:8443/x", "https://[::1]:8443/x"},
        {"not a url", "not a url"},
    };
    for (const auto& c : cases) EXPECT_EQ(OriginOverride::apply(c.in), c.out) << c.in;
}

TEST(OriginOverride, ScopeRemovesItsOverride) {
    { OriginOverride::Scope s("api.openai.com", "http://127.0.0.1:1"); }
    EXPECT_FALSE(OriginOverride::lookup("api.openai.com").has_value());
    EXPECT_EQ(OriginOverride::apply("https://api.openai.com/v1/audio/transcriptions"), "https://api.openai.com/v1/audio/transcriptions");
}
