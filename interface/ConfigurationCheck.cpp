#include "interface/ConfigurationCheck.h"

#include <filesystem>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/InfoPlistString.h"
#include "platform/base/URLComponents.h"
#include "voice/MirrinTranscriptionProvider.h"

namespace velmo {

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

std::vector<std::string> configurationProblems() {
    const Bundle& bundle = Bundle::main();
    std::vector<std::string> lines;
    std::error_code error;
    if (!std::filesystem::is_directory(bundle.bundlePath(), error))
        lines.push_back(prefix + "There is no bundle folder at " + bundle.bundlePath() + "; no configuration is read");

    // Keys go in the resource file (the one a user edits); the Info dictionary is read first.
    const std::string resourcePath = bundle.bundlePath() + "/Contents/Resources/Info.plist";
    checkFile(bundle.infoPlistPath(), bundle.infoProblem(), bundle.infoDictionary(), lines);
    const PropertyListFile resource = readPropertyListDictionary(resourcePath);
    checkFile(resourcePath, resource.problem, resource.dictionary, lines);

    auto notSet = [&](const std::string& keys, const std::string& consequence) {
        lines.push_back(prefix + keys + " is not set in " + resourcePath + "; " + consequence);
    };
    const auto lookup = [](const std::string& key) { return infoPlistString(key); };
    if (!lookup("AnthropicAPIKey")) notSet("AnthropicAPIKey", "requests to the messages service will be refused");
    for (const char* key : {"ElevenLabsAPIKey", "ElevenLabsVoiceID"})
        if (!lookup(key)) notSet(key, "requests to the text-to-speech service will be refused");

    switch (transcriptionPreference(lookup)) {
        case MirrinTranscriptionPreference::streaming:
            if (!lookup("AssemblyAIAPIKey") && !lookup("AssemblyAIStreamingToken"))
                notSet("AssemblyAIAPIKey or AssemblyAIStreamingToken", "the streaming transcription service cannot be used");
            break;
        case MirrinTranscriptionPreference::upload:
            if (!lookup("OpenAIAPIKey")) notSet("OpenAIAPIKey", "the upload transcription service cannot be used");
            break;
        case MirrinTranscriptionPreference::unrecognised:
            lines.push_back(prefix + "VoiceTranscriptionProvider in " + resourcePath +
                            " is not assemblyai, openai or apple; it is ignored");
            break;
        case MirrinTranscriptionPreference::none:
        case MirrinTranscriptionPreference::platform:
            break;  // the platform recogniser, or whichever hosted service is configured
    }
    if (auto host = lookup("AnalyticsIngestionHost"); host && !isIngestionAddress(*host))
        lines.push_back(prefix + "AnalyticsIngestionHost in " + resourcePath +
                        " is not an http or https address; the built-in ingestion host is used");
    return lines;
}

bool isIngestionAddress(const std::string& text) {
    auto components = URLComponents::fromString(text);
    if (!components || !components->host || components->host->empty()) return false;
    return components->scheme == "https" || components->scheme == "http";
}

}  // namespace velmo
