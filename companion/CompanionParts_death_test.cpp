// Every part is bound to the main thread: a public call from elsewhere says so in debug builds.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "companion/CompanionTestEnvironment.h"
#include "companion/OnboardingFlow.h"
#include "companion/PushToTalkController.h"
#include "companion/ResponsePipeline.h"

using namespace velmo;

#ifndef NDEBUG
TEST(CompanionParts, APublicCallOffTheMainThreadFailsInDebugBuilds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    velmo::test::CompanionTestEnvironment env;
    auto state = std::make_shared<CompanionPublishedState>();
    auto clients = std::make_shared<CompanionServiceClients>(velmo::test::bundleServiceClients());
    auto events = std::make_shared<CompanionUsageEvents>();
    auto pipeline = ResponsePipeline::create({state, clients, events});
    auto onboarding = OnboardingFlow::create({state, clients, events, [] {}, [] {}});
    auto pushToTalk = PushToTalkController::create({env.dictation, events, [] { return false; }, [] {}, [](const std::string&) {}});
    // Bound to this thread by a first call each.
    events->pushToTalkReleased();
    (void)clients->elevenLabsTTSClient();
    (void)pipeline->conversationHistory();
    (void)onboarding->onboardingMusicPlayer();
    pushToTalk->handleShortcutTransition(ShortcutTransition::none);
    const struct {
        const char* name;
        const char* file;
        std::function<void()> call;
    } calls[] = {
        {"pushToTalkStarted", "CompanionUsageEvents.cpp", [&] { events->pushToTalkStarted(); }},
        {"claudeAPI", "CompanionServiceClients.cpp", [&] { (void)clients->claudeAPI(); }},
        {"stopSpeech", "CompanionServiceClients.cpp", [&] { clients->stopSpeech(); }},
        {"submitTranscript", "ResponsePipeline.cpp", [&] { pipeline->submitTranscript("hello"); }},
        {"interrupt", "ResponsePipeline.cpp", [&] { pipeline->interrupt(); }},
        {"currentResponseTask", "ResponsePipeline.cpp", [&] { (void)pipeline->currentResponseTask(); }},
        {"triggerOnboarding", "OnboardingFlow.cpp", [&] { onboarding->triggerOnboarding(); }},
        {"hideOnboardingPrompt", "OnboardingFlow.cpp", [&] { onboarding->hideOnboardingPrompt(); }},
        {"handleShortcutTransition", "PushToTalkController.cpp",
         [&] { pushToTalk->handleShortcutTransition(ShortcutTransition::released); }},
        {"pendingKeyboardShortcutStartTask", "PushToTalkController.cpp", [&] { (void)pushToTalk->pendingKeyboardShortcutStartTask(); }},
    };
    for (const auto& c : calls) EXPECT_DEATH(std::thread(c.call).join(), std::string(c.name) + " called .*" + c.file) << c.name;
}
#endif
