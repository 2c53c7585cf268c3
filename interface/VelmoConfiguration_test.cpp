#include "interface/VelmoConfiguration.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/InfoPlistString.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"

using namespace velmo;

namespace {

using Dict = PlistValue::Dictionary;

const Dict staged = {{"CFBundleShortVersionString", "1.0.0"},
                     {"AnthropicAPIKey", ""},
                     {"ElevenLabsAPIKey", ""},
                     {"ElevenLabsVoiceID", ""},
                     {"VoiceTranscriptionProvider", ""}};
const Dict services = {{"AnthropicAPIKey", "sk-ant-secret"}, {"ElevenLabsAPIKey", "el-secret"}, {"ElevenLabsVoiceID", "voice-secret"}};

Dict with(Dict base, const Dict& changes) {
    for (const auto& [key, value] : changes) {
        if (value.isNone())
            base.erase(key);
        else
            base[key] = value;
    }
    return base;
}

struct Case {
    const char* name;
    // Writes Velmo.app into the folder.
    std::function<void(const velmo::test::TestDirectory&)> write;
    std::vector<std::string> lines;  // <B> stands for the bundle path
    std::map<std::string, std::optional<std::string>> lookups;
};

std::string expand(std::string line, const std::string& bundle) {
    for (std::size_t at; (at = line.find("<B>")) != std::string::npos;) line.replace(at, 3, bundle);
    return line;
}

void writeInfo(const velmo::test::TestDirectory& dir, const Dict& contents, const std::optional<Dict>& resources) {
    dir.write("Velmo.app/Contents/Info.plist", PropertyList::toXML(contents));
    if (resources) dir.write("Velmo.app/Contents/Resources/Info.plist", PropertyList::toXML(*resources));
}

const std::string R = "<B>/Contents/Resources/Info.plist";
const std::string messagesLine = "⚠️ Velmo: AnthropicAPIKey is not set in " + R + "; requests to the messages service will be refused";
const std::string speechKeyLine =
    "⚠️ Velmo: ElevenLabsAPIKey is not set in " + R + "; requests to the text-to-speech service will be refused";
const std::string voiceLine =
    "⚠️ Velmo: ElevenLabsVoiceID is not set in " + R + "; requests to the text-to-speech service will be refused";

}  // namespace

TEST(VelmoConfiguration, OneLinePerProblemNamingFileAndKeyWithLookupsUnchanged) {
    const std::string truncated = PropertyList::toXML(services).substr(0, 120);
    const std::vector<Case> cases = {
        {"keys in the resource file",
         [](auto& d) { writeInfo(d, staged, services); },
         {},
         {{"AnthropicAPIKey", "sk-ant-secret"}, {"ElevenLabsVoiceID", "voice-secret"}}},
        {"keys in the Info dictionary, no resource file",
         [](auto& d) { writeInfo(d, with(staged, services), std::nullopt); },
         {},
         {{"ElevenLabsAPIKey", "el-secret"}}},
        {"no bundle folder",
         [](auto&) {},
         {"⚠️ Velmo: There is no bundle folder at <B>; no configuration is read", messagesLine, speechKeyLine, voiceLine},
         {{"AnthropicAPIKey", std::nullopt}}},
        {"staged bundle, resource file missing",
         [](auto& d) { writeInfo(d, staged, std::nullopt); },
         {messagesLine, speechKeyLine, voiceLine},
         {{"AnthropicAPIKey", std::nullopt}}},
        {"truncated resource file",
         [&](auto& d) {
             writeInfo(d, staged, std::nullopt);
             d.write("Velmo.app/Contents/Resources/Info.plist", truncated);
         },
         {"⚠️ Velmo: Cannot read " + R + ": property list is malformed; its keys are ignored", messagesLine, speechKeyLine, voiceLine},
         {{"AnthropicAPIKey", std::nullopt}}},
        {"truncated Info.plist, keys in the resource file",
         [&](auto& d) {
             d.write("Velmo.app/Contents/Info.plist", truncated);
             d.write("Velmo.app/Contents/Resources/Info.plist", PropertyList::toXML(services));
         },
         {"⚠️ Velmo: Cannot read <B>/Contents/Info.plist: property list is malformed; its keys are ignored"},
         {{"AnthropicAPIKey", "sk-ant-secret"}}},
        {"resource file that is an array, and one that is a folder",
         [](auto& d) {
             d.write("Velmo.app/Contents/Info.plist", PropertyList::toXML(PlistValue::Array{"x"}));
             d.write("Velmo.app/Contents/Resources/Info.plist/inside", "");
         },
         {"⚠️ Velmo: Cannot read <B>/Contents/Info.plist: not a dictionary; its keys are ignored",
          "⚠️ Velmo: Cannot read " + R + ": Is a directory; its keys are ignored", messagesLine, speechKeyLine, voiceLine},
         {{"ElevenLabsAPIKey", std::nullopt}}},
        {"an integer key in the resource file",
         [](auto& d) {
             writeInfo(d, staged, with(services, {{"AnthropicAPIKey", 1234}}));
         },
         {"⚠️ Velmo: AnthropicAPIKey in " + R + " is not a string; it is ignored", messagesLine},
         {{"AnthropicAPIKey", std::nullopt}, {"ElevenLabsAPIKey", "el-secret"}}},
        {"an integer key in the Info dictionary, a string in the resource file",
         [](auto& d) {
             writeInfo(d, with(staged, {{"ElevenLabsVoiceID", 7}}), services);
         },
         {"⚠️ Velmo: ElevenLabsVoiceID in <B>/Contents/Info.plist is not a string; it is ignored"},
         {{"ElevenLabsVoiceID", "voice-secret"}}},
        {"a blank key",
         [](auto& d) {
             writeInfo(d, staged, with(services, {{"ElevenLabsAPIKey", " \n\t"}}));
         },
         {speechKeyLine},
         {{"ElevenLabsAPIKey", std::nullopt}}},
        {"streaming transcription chosen without credentials",
         [](auto& d) {
             writeInfo(d, staged, with(services, {{"VoiceTranscriptionProvider", "AssemblyAI"}, {"OpenAIAPIKey", "sk-oa"}}));
         },
         {"⚠️ Transcription: AssemblyAI preferred but not configured, falling back", "⚠️ Transcription: using OpenAI as fallback"},
         {{"VoiceTranscriptionProvider", "AssemblyAI"}}},
        {"streaming transcription chosen with a token",
         [](auto& d) {
             writeInfo(d, staged, with(services, {{"VoiceTranscriptionProvider", "assemblyai"}, {"AssemblyAIStreamingToken", "tok"}}));
         },
         {},
         {}},
        {"upload transcription chosen without a key",
         [](auto& d) {
             writeInfo(d, staged, with(services, {{"VoiceTranscriptionProvider", "openai"}, {"AssemblyAIAPIKey", "aai"}}));
         },
         {"⚠️ Transcription: OpenAI preferred but not configured, falling back", "⚠️ Transcription: using AssemblyAI as fallback"},
         {{"OpenAIAPIKey", std::nullopt}}},
        {"no transcription preference and no transcription keys: the platform recogniser",
         [](auto& d) {
             writeInfo(d, staged, with(services, {{"VoiceTranscriptionProvider", "apple"}}));
         },
         {},
         {}},
        {"an analytics ingestion host that is not a web address",
         [](auto& d) {
             writeInfo(d, staged, with(services, {{"AnalyticsIngestionHost", "ftp://analytics.example.test"}}));
         },
         {"⚠️ Velmo: AnalyticsIngestionHost in " + R + " is not an http or https address; the built-in ingestion host is used"},
         {{"AnalyticsIngestionHost", "ftp://analytics.example.test"}}},
        {"a self-hosted analytics ingestion host",
         [](auto& d) {
             writeInfo(d, staged, with(services, {{"AnalyticsIngestionHost", "https://analytics.example.test"}}));
         },
         {},
         {}},
        {"an unknown transcription preference",
         [](auto& d) {
             writeInfo(d, staged, with(services, {{"VoiceTranscriptionProvider", "whisper-secret"}}));
         },
         {"⚠️ Velmo: VoiceTranscriptionProvider in " + R + " is not assemblyai, openai or apple; it is ignored"},
         {{"VoiceTranscriptionProvider", "whisper-secret"}}},
    };
    for (const auto& c : cases) {
        velmo::test::TestDirectory dir;
        c.write(dir);
        Bundle::Scope bundle(dir / "Velmo.app");
        std::vector<std::string> expected;
        for (const auto& line : c.lines) expected.push_back(expand(line, dir / "Velmo.app"));
        const VelmoConfiguration configuration = VelmoConfiguration::read();
        const auto& lines = configuration.problems;
        EXPECT_EQ(lines, expected) << c.name;
        for (std::string line : lines) {
            for (std::size_t at; (at = line.find(dir.path())) != std::string::npos;)
                line.erase(at, dir.path().size());  // no chance matches in the folder's random name
            for (const char* secret : {"secret", "1234", "tok", "sk-oa", "aai"})
                EXPECT_EQ(line.find(secret), std::string::npos) << c.name << ": " << line;
        }
        for (const auto& [key, value] : c.lookups) {
            EXPECT_EQ(infoPlistString(key), value) << c.name << ": " << key;
            EXPECT_EQ(configuration.value(key), value) << c.name << ": " << key;
        }
    }
}

TEST(VelmoConfiguration, TheAnalyticsIngestionHostIsTheBundlesWhenItIsAWebAddress) {
    const struct {
        std::optional<std::string> configured;
        std::string used;
    } cases[] = {
        {std::nullopt, VelmoConfiguration::builtInIngestionHost},
        {"https://analytics.example.test", "https://analytics.example.test"},
        {"http://127.0.0.1:8000", "http://127.0.0.1:8000"},
        {"  ", VelmoConfiguration::builtInIngestionHost},
        {"analytics.example.test", VelmoConfiguration::builtInIngestionHost},
        {"ftp://analytics.example.test", VelmoConfiguration::builtInIngestionHost},
    };
    for (const auto& c : cases) {
        velmo::test::TestDirectory dir;
        Dict resources = services;
        if (c.configured) resources["AnalyticsIngestionHost"] = *c.configured;
        writeInfo(dir, staged, resources);
        Bundle::Scope bundle(dir / "Velmo.app");
        EXPECT_EQ(VelmoConfiguration::read().analyticsIngestionHost, c.used) << c.configured.value_or("(none)");
    }
}

TEST(VelmoConfiguration, TheTranscriptionBackEndIsChosenFromTheValueReadOnce) {
    const struct {
        Dict resources;
        MirrinTranscriptionBackend backend;
    } cases[] = {
        {services, MirrinTranscriptionBackend::platform},
        {with(services, {{"AssemblyAIStreamingToken", "tok"}}), MirrinTranscriptionBackend::streaming},
        {with(services, {{"VoiceTranscriptionProvider", "openai"}, {"OpenAIAPIKey", "sk-oa"}, {"AssemblyAIAPIKey", "aai"}}),
         MirrinTranscriptionBackend::upload},
        {with(services, {{"VoiceTranscriptionProvider", "assemblyai"}}), MirrinTranscriptionBackend::platform},
    };
    for (const auto& c : cases) {
        velmo::test::TestDirectory dir;
        writeInfo(dir, staged, c.resources);
        std::optional<VelmoConfiguration> configuration;
        {
            Bundle::Scope bundle(dir / "Velmo.app");
            configuration = VelmoConfiguration::read();
        }
        // The bundle is gone: what was read stays the value the choice and the back-ends use.
        EXPECT_EQ(configuration->transcription.backend, c.backend);
        const bool token = c.resources.count("AssemblyAIStreamingToken") > 0;
        EXPECT_EQ(configuration->lookup()("AssemblyAIStreamingToken"), token ? std::optional<std::string>("tok") : std::nullopt);
    }
}
