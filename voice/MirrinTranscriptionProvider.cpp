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

MirrinTranscriptionChoice chooseTranscriptionBackend(const MirrinConfigurationLookup& lookup, bool streamingBuildable,
                                                     bool uploadBuildable) {
    using Backend = MirrinTranscriptionBackend;
    const bool streamingConfigured =
        streamingBuildable && (presentValue(lookup, "AssemblyAIAPIKey") || presentValue(lookup, "AssemblyAIStreamingToken"));
    const bool uploadConfigured = uploadBuildable && presentValue(lookup, "OpenAIAPIKey");

    // A preferred hosted back-end that is not configured gives way to the other one, then to
    // the platform recogniser, saying so.
    auto preferred = [](Backend wanted, bool wantedConfigured, const char* wantedName, Backend other, bool otherConfigured,
                        const char* otherName) {
        MirrinTranscriptionChoice choice;
        if (wantedConfigured) {
            choice.backend = wanted;
            return choice;
        }
        choice.lines.push_back(std::string("⚠️ Transcription: ") + wantedName + " preferred but not configured, falling back");
        if (otherConfigured) {
            choice.lines.push_back(std::string("⚠️ Transcription: using ") + otherName + " as fallback");
            choice.backend = other;
        } else {
            choice.lines.push_back("⚠️ Transcription: using Apple Speech as fallback");
            choice.backend = Backend::platform;
        }
        return choice;
    };

    switch (transcriptionPreference(lookup)) {
        case Preference::none:
        case Preference::unrecognised:
            if (streamingConfigured) return {Backend::streaming, {}};
            if (uploadConfigured) return {Backend::upload, {}};
            return {Backend::platform, {}};
        case Preference::platform:
            return {Backend::platform, {}};
        case Preference::streaming:
            return preferred(Backend::streaming, streamingConfigured, "AssemblyAI", Backend::upload, uploadConfigured, "OpenAI");
        case Preference::upload:
            return preferred(Backend::upload, uploadConfigured, "OpenAI", Backend::streaming, streamingConfigured, "AssemblyAI");
    }
    return {Backend::platform, {}};
}

namespace {

struct BuiltProviders {
    std::unique_ptr<MirrinTranscriptionProvider> streaming;
    std::unique_ptr<MirrinTranscriptionProvider> upload;
};

// Both hosted back-ends are built in every case; the one not chosen is dropped.
BuiltProviders buildHostedProviders(const MirrinConfigurationLookup& lookup, const MirrinTranscriptionProviderFactories& factories) {
    BuiltProviders built;
    if (factories.makeStreamingProvider)
        built.streaming =
            factories.makeStreamingProvider(presentValue(lookup, "AssemblyAIAPIKey"), presentValue(lookup, "AssemblyAIStreamingToken"));
    if (factories.makeUploadProvider)
        built.upload = factories.makeUploadProvider(presentValue(lookup, "OpenAIAPIKey"),
                                                    presentValue(lookup, "OpenAITranscriptionModel").value_or("gpt-4o-transcribe"));
    return built;
}

std::unique_ptr<MirrinTranscriptionProvider> chosenProvider(MirrinTranscriptionBackend backend, BuiltProviders& built,
                                                            const MirrinTranscriptionProviderFactories& factories) {
    if (backend == MirrinTranscriptionBackend::streaming && built.streaming) return std::move(built.streaming);
    if (backend == MirrinTranscriptionBackend::upload && built.upload) return std::move(built.upload);
    if (factories.makePlatformProvider)
        if (auto provider = factories.makePlatformProvider()) return provider;
    return std::make_unique<AppleSpeechTranscriptionProvider>();
}

}  // namespace

std::unique_ptr<MirrinTranscriptionProvider> makeTranscriptionProvider(const MirrinTranscriptionChoice& choice,
                                                                       const MirrinConfigurationLookup& lookup,
                                                                       const MirrinTranscriptionProviderFactories& factories) {
    BuiltProviders built = buildHostedProviders(lookup, factories);
    return chosenProvider(choice.backend, built, factories);
}

std::unique_ptr<MirrinTranscriptionProvider> makeTranscriptionProvider(const MirrinConfigurationLookup& lookup,
                                                                       const MirrinTranscriptionProviderFactories& factories) {
    BuiltProviders built = buildHostedProviders(lookup, factories);
    const MirrinTranscriptionChoice choice = chooseTranscriptionBackend(lookup, built.streaming != nullptr, built.upload != nullptr);
    for (const std::string& line : choice.lines) logLine(line);
    return chosenProvider(choice.backend, built, factories);
}

}  // namespace velmo
