#include "interface/VelmoConfiguration.h"

#include <filesystem>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/InfoPlistString.h"
#include "platform/base/Logger.h"
#include "platform/base/URLComponents.h"

#ifndef VELMO_ANALYTICS_HOST
#error "VELMO_ANALYTICS_HOST is set by the build (interface/CMakeLists.txt)"
#endif

namespace velmo {

const char* const VelmoConfiguration::builtInIngestionHost = VELMO_ANALYTICS_HOST;

namespace {

constexpr const char* configurationKeys[] = {
    "AnthropicAPIKey",          "ElevenLabsAPIKey", "ElevenLabsVoiceID",        "VoiceTranscriptionProvider", "AssemblyAIAPIKey",
    "AssemblyAIStreamingToken", "OpenAIAPIKey",     "OpenAITranscriptionModel", "AnalyticsIngestionHost"};

const std::string prefix = "⚠️ Velmo: ";

void checkFile(const std::string& path, const std::optional<std::string>& problem, const PlistValue::Dictionary& values,
               std::vector<std::string>& lines) {
    if (problem) {
        lines.push_back(prefix + "Cannot read " + path + ": " + *problem + "; its keys are ignored");
        return;
    }
    for (const char* key : configurationKeys) {
        auto it = values.find(key);
        if (it != values.end() && !it->second.asString()) lines.push_back(prefix + key + " in " + path + " is not a string; it is ignored");
    }
}

}  // namespace

VelmoConfiguration VelmoConfiguration::read() {
    VelmoConfiguration configuration;
    std::vector<std::string>& lines = configuration.problems;
    const Bundle& bundle = Bundle::main();
    std::error_code error;
    if (!std::filesystem::is_directory(bundle.bundlePath(), error))
        lines.push_back(prefix + "There is no bundle folder at " + bundle.bundlePath() + "; no configuration is read");

    // Keys go in the resource file (the one a user edits); the Info dictionary is read first.
    const std::string resourcePath = bundle.bundlePath() + "/Contents/Resources/Info.plist";
    checkFile(bundle.infoPlistPath(), bundle.infoProblem(), bundle.infoDictionary(), lines);
    const PropertyListFile resource = readPropertyListDictionary(resourcePath);
    checkFile(resourcePath, resource.problem, resource.dictionary, lines);

    for (const char* key : configurationKeys)
        if (auto value = infoPlistString(key)) configuration.values[key] = *value;
    const MirrinConfigurationLookup lookup = configuration.lookup();

    auto notSet = [&](const std::string& keys, const std::string& consequence) {
        lines.push_back(prefix + keys + " is not set in " + resourcePath + "; " + consequence);
    };
    if (!lookup("AnthropicAPIKey")) notSet("AnthropicAPIKey", "requests to the messages service will be refused");
    for (const char* key : {"ElevenLabsAPIKey", "ElevenLabsVoiceID"})
        if (!lookup(key)) notSet(key, "requests to the text-to-speech service will be refused");

    // A preferred transcription service without its keys is reported by the choice itself, with
    // the service it falls back to.
    configuration.transcription = chooseTranscriptionBackend(lookup);
    if (transcriptionPreference(lookup) == MirrinTranscriptionPreference::unrecognised)
        lines.push_back(prefix + "VoiceTranscriptionProvider in " + resourcePath + " is not assemblyai, openai or apple; it is ignored");
    lines.insert(lines.end(), configuration.transcription.lines.begin(), configuration.transcription.lines.end());

    configuration.analyticsIngestionHost = builtInIngestionHost;
    if (auto host = lookup("AnalyticsIngestionHost")) {
        // A self-hosted deployment names its own.
        if (isIngestionAddress(*host))
            configuration.analyticsIngestionHost = *host;
        else
            lines.push_back(prefix + "AnalyticsIngestionHost in " + resourcePath +
                            " is not an http or https address; the built-in ingestion host is used");
    }
    return configuration;
}

std::optional<std::string> VelmoConfiguration::value(const std::string& key) const {
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

MirrinConfigurationLookup VelmoConfiguration::lookup() const {
    return [values = values](const std::string& key) -> std::optional<std::string> {
        auto it = values.find(key);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
}

void VelmoConfiguration::report() const {
    for (const std::string& line : problems) logLine(line);
}

bool isIngestionAddress(const std::string& text) {
    auto components = URLComponents::fromString(text);
    if (!components || !components->host || components->host->empty()) return false;
    return components->scheme == "https" || components->scheme == "http";
}

}  // namespace velmo
