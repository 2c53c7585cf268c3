#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/AudioPCMBuffer.h"
#include "platform/runtime/Task.h"

namespace velmo {

// Callbacks a session reports through. They may be called on any thread; the dictation manager
// moves each call to the main thread itself.
using MirrinTranscriptUpdateCallback = std::function<void(const std::string& transcriptSoFar)>;
using MirrinFinalTranscriptCallback = std::function<void(const std::string& finalTranscript)>;
using MirrinTranscriptionErrorCallback = std::function<void(std::exception_ptr error)>;

// One push-to-talk recording being transcribed. Guarantees of every implementation:
// - `onFinalTranscriptReady` is called at most once; the final transcript may be empty.
// - `onTranscriptUpdate` carries the whole transcript so far, any number of times.
// - `cancel` may come after the final transcript or a failure, and `appendAudioBuffer` may still
//   come once or twice after `requestFinalTranscript` (buffers in flight on the tap thread);
//   neither fails then.
// - Callbacks may still arrive after `cancel`.
// Threads: `appendAudioBuffer` comes on the audio engine's tap thread, everything else on the main
// thread, so a session serialises its own state.
class MirrinStreamingTranscriptionSession {
public:
    virtual ~MirrinStreamingTranscriptionSession() = default;
    // After `requestFinalTranscript` the manager waits this long (seconds, constant per
    // back-end) for the final transcript, then finishes with the last update.
    virtual double finalTranscriptFallbackDelaySeconds() const = 0;
    // One microphone buffer in the device's own format (float planar, any rate and channels).
    virtual void appendAudioBuffer(const std::shared_ptr<const AudioPCMBuffer>& buffer) = 0;
    // No more audio will come: produce the final transcript.
    virtual void requestFinalTranscript() = 0;
    // Abandon the session and release its connection or recogniser.
    virtual void cancel() = 0;
};

// A transcription back-end. Chosen once by makeTranscriptionProvider; opens one session per
// recording.
class MirrinTranscriptionProvider {
public:
    virtual ~MirrinTranscriptionProvider() = default;
    virtual std::string displayName() const = 0;
    // When true the manager also checks and requests speech-recognition authorisation.
    virtual bool requiresSpeechRecognitionPermission() const = 0;
    virtual bool isConfigured() const = 0;
    virtual std::optional<std::string> unavailableExplanation() const = 0;
    // Opens a session, on the main thread. `keyterms` are vocabulary hints, already trimmed,
    // non-empty and unique without regard to case. Fails with an Error whose message says why
    // the back-end cannot start (it may be shown to the user).
    virtual Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> startStreamingSession(
        std::vector<std::string> keyterms, MirrinTranscriptUpdateCallback onTranscriptUpdate,
        MirrinFinalTranscriptCallback onFinalTranscriptReady, MirrinTranscriptionErrorCallback onError) = 0;
};

// Reads one bundle configuration value by key; absent when missing. Values are trimmed of white
// space and newlines here again, and an empty value counts as absent.
using MirrinConfigurationLookup = std::function<std::optional<std::string>(const std::string& key)>;

// The back-end "VoiceTranscriptionProvider" asks for ("assemblyai", "openai" or "apple", in any
// case); `unrecognised` for another value, which the selection treats as no preference.
enum class MirrinTranscriptionPreference { none, streaming, upload, platform, unrecognised };
MirrinTranscriptionPreference transcriptionPreference(const MirrinConfigurationLookup& lookup);

// How each back-end is built from its configuration. A factory that is empty, or that returns
// null, means the back-end cannot be made in this build: the selection then treats it as not
// configured and falls back.
struct MirrinTranscriptionProviderFactories {
    // From "AssemblyAIAPIKey" and "AssemblyAIStreamingToken".
    std::function<std::unique_ptr<MirrinTranscriptionProvider>(std::optional<std::string> apiKey,
                                                               std::optional<std::string> temporaryToken)>
        makeStreamingProvider;
    // From "OpenAIAPIKey" and "OpenAITranscriptionModel" (default "gpt-4o-transcribe").
    std::function<std::unique_ptr<MirrinTranscriptionProvider>(std::optional<std::string> apiKey, std::string modelName)>
        makeUploadProvider;
    // The platform speech recogniser; needs no configuration and must always succeed.
    std::function<std::unique_ptr<MirrinTranscriptionProvider>()> makePlatformProvider;

    // The back-ends of this build.
    static MirrinTranscriptionProviderFactories standard();
};

enum class MirrinTranscriptionBackend { streaming, upload, platform };

// The back-end the configuration asks for and can have, and the warning lines that say why
// when it is not the preferred one.
struct MirrinTranscriptionChoice {
    MirrinTranscriptionBackend backend = MirrinTranscriptionBackend::platform;
    std::vector<std::string> lines;
};

// Chooses from "VoiceTranscriptionProvider" and the services' keys: without a preference the
// streaming service, then the upload service, then the platform recogniser, silently; with a
// preference that is not configured, two warning lines and the other hosted service, then the
// platform recogniser. A hosted back-end this build cannot make counts as not configured.
// Logs nothing.
MirrinTranscriptionChoice chooseTranscriptionBackend(const MirrinConfigurationLookup& lookup, bool streamingBuildable = true,
                                                     bool uploadBuildable = true);

// The chosen back-end, built from the same configuration; logs nothing (the choice's lines are
// the caller's to write). Always yields a provider.
std::unique_ptr<MirrinTranscriptionProvider> makeTranscriptionProvider(const MirrinTranscriptionChoice& choice,
                                                                       const MirrinConfigurationLookup& lookup,
                                                                       const MirrinTranscriptionProviderFactories& factories);

// Chooses, writes the choice's lines and builds the back-end, from the main bundle's
// configuration or the given one.
std::unique_ptr<MirrinTranscriptionProvider> makeTranscriptionProvider();
std::unique_ptr<MirrinTranscriptionProvider> makeTranscriptionProvider(const MirrinConfigurationLookup& lookup,
                                                                       const MirrinTranscriptionProviderFactories& factories);

}  // namespace velmo
