#pragma once

// Everything a companion object needs around it in a test: the virtual main loop, in-memory
// defaults, simulated permissions, screens and audio, captured usage events and log lines, and
// loopback servers standing in for the messages and speech services.

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "RideZav/RideZavTesting.h"
#include "companion/ClaudeAPI.h"
#include "companion/CompanionManager.h"
#include "companion/CompanionTestDoubles.h"
#include "companion/OverlayWindowManaging.h"
#include "platform/desktop/Permissions.h"
#include "platform/desktop/SimulatedDesktopPermissions.h"
#include "platform/desktop/SimulatedScreenLayer.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/base/OriginOverride.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/MediaAuthorization.h"
#include "platform/media/SimulatedMediaAuthorization.h"
#include "platform/media/SimulatedAudioPlayer.h"
#include "platform/media/SimulatedVideoPlayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackHttpServer.h"

namespace velmo::test {

// A streamed reply of the messages service whose text arrives in these pieces.
inline std::string sseReply(const std::vector<std::string>& pieces) {
    std::string body = "event: message_start\ndata: {\"type\":\"message_start\"}\n\n";
    for (const auto& p : pieces)
        body += "event: content_block_delta\ndata: " +
                nlohmann::json{{"type", "content_block_delta"}, {"index", 0}, {"delta", {{"type", "text_delta"}, {"text", p}}}}.dump() +
                "\n\n";
    return body + "data: [DONE]\n";
}

struct CompanionTestEnvironment {
    VirtualMainLoopScope loopScope;
    UserDefaults::Scope defaultsScope;
    std::shared_ptr<SimulatedDesktopPermissions> desktopPermissions = std::make_shared<SimulatedDesktopPermissions>();
    std::shared_ptr<SimulatedMediaAuthorization> mediaAuthorization = std::make_shared<SimulatedMediaAuthorization>();
    std::shared_ptr<SimulatedScreenLayer> screens = std::make_shared<SimulatedScreenLayer>();
    ScreenLayerScope screenScope{screens};
    std::shared_ptr<SimulatedAudioPlayerFactory> players = std::make_shared<SimulatedAudioPlayerFactory>();
    // No test reaches GStreamer through the companion unless it installs the real factory itself.
    std::shared_ptr<SimulatedVideoPlayerFactory> videos = std::make_shared<SimulatedVideoPlayerFactory>(45.0);
    ridezav::RideZavEventRecorder events;
    LogCapture log;
    LoopbackHttpServer messagesServer;
    LoopbackHttpServer speechServer;
    OriginOverride::Scope messagesOrigin{"api.anthropic.com", messagesServer.origin()};
    OriginOverride::Scope speechOrigin{"api.elevenlabs.io", speechServer.origin()};

    std::shared_ptr<FakeDictationManager> dictation = std::make_shared<FakeDictationManager>();
    std::shared_ptr<FakeShortcutMonitor> shortcut = std::make_shared<FakeShortcutMonitor>();
    std::shared_ptr<HeadlessOverlayWindowManager> overlay = std::make_shared<HeadlessOverlayWindowManager>();

    CompanionTestEnvironment() {
        DesktopPermissions::install(desktopPermissions);
        mediaAuthorization->microphoneStatus = MediaAuthorizationStatus::denied;
        MediaAuthorization::install(mediaAuthorization);
        AudioPlayerFactory::install(players);
        VideoPlayerFactory::install(videos);
        ClaudeAPI::resetWarmUpForTesting();
        messagesServer.route("HEAD", "/", LoopbackAnswer::text(200, ""));
    }
    ~CompanionTestEnvironment() {
        loop().runUntilIdle();
        AudioPlayerFactory::install(nullptr);
        VideoPlayerFactory::install(nullptr);
        MediaAuthorization::install(nullptr);
        DesktopPermissions::install(nullptr);
    }

    VirtualMainLoop& loop() { return loopScope.loop(); }

    CompanionManager::Dependencies dependencies() { return {dictation, shortcut, overlay, bundleServiceClients()}; }
    std::shared_ptr<CompanionManager> makeCompanion() { return CompanionManager::create(dependencies()); }

    void grantEverything() {
        desktopPermissions->accessibility = true;
        desktopPermissions->screenRecording = true;
        mediaAuthorization->microphoneStatus = MediaAuthorizationStatus::authorized;
        UserDefaults::standard().setBool("hasScreenContentPermission", true);
    }

    std::vector<std::string> eventNames() const { return events.names(); }
};

}  // namespace velmo::test
