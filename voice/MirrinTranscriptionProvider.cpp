#include "voice/MirrinTranscriptionProvider.h"

#include "platform/foundation/InfoPlistString.h"
#include "platform/foundation/Logger.h"
#include "platform/foundation/Unicode.h"
#include "voice/AppleSpeechTranscriptionProvider.h"

namespace velmo {

namespace {

enum class Preference { none, streaming, upload, platform };

std::optional<std::string> presentValue(const MirrinConfigurationLookup& lookup, const std::string& key) {
    if (!lookup) return std::nullopt;
    auto value = lookup(key);
    if (!value) return std::nullopt;
    std::string trimmed = trimWhitespaceAndNewlines(*value);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

Preference preferenceFrom(const std::optional<std::string>& value) {
    if (!value) return Preference::none;
    const std::string lower = toLowerCase(*value);
    if (lower == "assemblyai") return Preference::streaming;
    if (lower == "openai") return Preference::upload;
    if (lower == "apple") return Preference::platform;
    return Preference::none;
}

}  // namespace

MirrinTranscriptionProviderFactories MirrinTranscriptionProviderFactories::standard() {
    MirrinTranscriptionProviderFactories factories;
    factories.makePlatformProvider = [] { return std::make_unique<AppleSpeechTranscriptionProvider>(); };
    return factories;
}

std::unique_ptr<MirrinTranscriptionProvider> makeTranscriptionProvider() {
    return makeTranscriptionProvider([](const std::string& key) { return infoPlistString(key); },
                                     MirrinTranscriptionProviderFactories::standard());
}

std::unique_ptr<MirrinTranscriptionProvider> makeTranscriptionProvider(const MirrinConfigurationLookup& lookup,
                                                                       const MirrinTranscriptionProviderFactories& factories) {
    const Preference preference = preferenceFrom(presentValue(lookup, "VoiceTranscriptionProvider"));

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

    switch (preference) {
        case Preference::none:
            if (streamingConfigured) return streaming;
            if (uploadConfigured) return upload;
            return platform();
        case Preference::platform:
            return platform();
        case Preference::streaming:
            if (streamingConfigured) return streaming;
            logLine("⚠️ Transcription: AssemblyAI preferred but not configured, falling back");
            if (uploadConfigured) {
                logLine("⚠️ Transcription: using OpenAI as fallback");
                return upload;
            }
            logLine("⚠️ Transcription: using Apple Speech as fallback");
            return platform();
        case Preference::upload:
            if (uploadConfigured) return upload;
            logLine("⚠️ Transcription: OpenAI preferred but not configured, falling back");
            if (streamingConfigured) {
                logLine("⚠️ Transcription: using AssemblyAI as fallback");
                return streaming;
            }
            logLine("⚠️ Transcription: using Apple Speech as fallback");
            return platform();
    }
    return platform();
}

}  // namespace velmo
