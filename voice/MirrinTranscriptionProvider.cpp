#include "voice/MirrinTranscriptionProvider.h"

#include "platform/foundation/InfoPlistString.h"
#include "platform/base/Logger.h"
#include "platform/foundation/Unicode.h"
#include "voice/AppleSpeechTranscriptionProvider.h"
#include "voice/AssemblyAIStreamingTranscriptionProvider.h"
#include "voice/OpenAIAudioTranscriptionProvider.h"

namespace velmo {

namespace {

using Preference = MirrinTranscriptionPreference;

std::optional<std::string> presentValue(const MirrinConfigurationLookup& lookup, const std::string& key) {
    if (!lookup) return std::nullopt;
    auto value = lookup(key);
    if (!value) return std::nullopt;
    std::string trimmed = trimWhitespaceAndNewlines(*value);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

}  // namespace

MirrinTranscriptionPreference transcriptionPreference(const MirrinConfigurationLookup& lookup) {
    const auto value = presentValue(lookup, "VoiceTranscriptionProvider");
    if (!value) return Preference::none;
    const std::string lower = toLowerCase(*value);
    if (lower == "assemblyai") return Preference::streaming;
    if (lower == "openai") return Preference::upload;
    if (lower == "apple") return Preference::platform;
    return Preference::unrecognised;
}

MirrinTranscriptionProviderFactories MirrinTranscriptionProviderFactories::standard() {
    MirrinTranscriptionProviderFactories factories;
    factories.makeStreamingProvider = [](std::optional<std::string> apiKey, std::optional<std::string> temporaryToken) {
        return std::make_unique<AssemblyAIStreamingTranscriptionProvider>(std::move(apiKey), std::move(temporaryToken));
    };
    factories.makeUploadProvider = [](std::optional<std::string> apiKey, std::string modelName) {
        return std::make_unique<OpenAIAudioTranscriptionProvider>(std::move(apiKey), std::move(modelName));
    };
    factories.makePlatformProvider = [] { return std::make_unique<AppleSpeechTranscriptionProvider>(); };
    return factories;
}

std::unique_ptr<MirrinTranscriptionProvider> makeTranscriptionProvider() {
    return makeTranscriptionProvider([](const std::string& key) { return infoPlistString(key); },
                                     MirrinTranscriptionProviderFactories::standard());
}

std::unique_ptr<MirrinTranscriptionProvider> makeTranscriptionProvider(const MirrinConfigurationLookup& lookup,
                                                                       const MirrinTranscriptionProviderFactories& factories) {
    const Preference preference = transcriptionPreference(lookup);

    const auto streamingKey = presentValue(lookup, "AssemblyAIAPIKey");
    const auto streamingToken = presentValue(lookup, "AssemblyAIStreamingToken");
    const auto uploadKey = presentValue(lookup, "OpenAIAPIKey");
    const std::string uploadModel = presentValue(lookup, "OpenAITranscriptionModel").value_or("gpt-4o-transcribe");

    // Both hosted back-ends are built in every case; the one not chosen is dropped.
    std::unique_ptr<MirrinTranscriptionProvider> streaming =
        factories.makeStreamingProvider ? factories.makeStreamingProvider(streamingKey, streamingToken) : nullptr;
    std::unique_ptr<MirrinTranscriptionProvider> upload =
        factories.makeUploadProvider ? factories.makeUploadProvider(uploadKey, uploadModel) : nullptr;
    const bool streamingConfigured = streaming && (streamingKey || streamingToken);
    const bool uploadConfigured = upload && uploadKey;

    auto platform = [&]() -> std::unique_ptr<MirrinTranscriptionProvider> {
        if (factories.makePlatformProvider)
            if (auto provider = factories.makePlatformProvider()) return provider;
        return std::make_unique<AppleSpeechTranscriptionProvider>();
    };

    // A preferred hosted back-end that is not configured gives way to the other one, then to
    // the platform recogniser, saying so.
    auto preferred = [&](std::unique_ptr<MirrinTranscriptionProvider>& wanted, bool wantedConfigured, const char* wantedName,
                         std::unique_ptr<MirrinTranscriptionProvider>& other, bool otherConfigured,
                         const char* otherName) -> std::unique_ptr<MirrinTranscriptionProvider> {
        if (wantedConfigured) return std::move(wanted);
        logLine(std::string("⚠️ Transcription: ") + wantedName + " preferred but not configured, falling back");
        if (otherConfigured) {
            logLine(std::string("⚠️ Transcription: using ") + otherName + " as fallback");
            return std::move(other);
        }
        logLine("⚠️ Transcription: using Apple Speech as fallback");
        return platform();
    };

    switch (preference) {
        case Preference::none:
        case Preference::unrecognised:
            if (streamingConfigured) return streaming;
            if (uploadConfigured) return upload;
            return platform();
        case Preference::platform:
            return platform();
        case Preference::streaming:
            return preferred(streaming, streamingConfigured, "AssemblyAI", upload, uploadConfigured, "OpenAI");
        case Preference::upload:
            return preferred(upload, uploadConfigured, "OpenAI", streaming, streamingConfigured, "AssemblyAI");
    }
    return platform();
}

}  // namespace velmo
