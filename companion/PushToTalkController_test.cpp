#include "companion/PushToTalkController.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "RideZav/RideZavTesting.h"
#include "companion/CompanionTestDoubles.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace velmo;

namespace {

// A controller around a driven dictation manager; what it does is written into one trace.
struct PushToTalk : testing::Test {
    VirtualMainLoopScope loopScope;
    ridezav::RideZavEventRecorder events;
    std::shared_ptr<velmo::test::FakeDictationManager> dictation = std::make_shared<velmo::test::FakeDictationManager>();
    bool blocked = false;
    std::vector<std::string> trace;
    NotificationCenter::Token dismiss =
        NotificationCenter::defaultCenter().addObserver(velmoDismissPanel, [this](const Notification&) { trace.push_back("dismissed"); });
    std::shared_ptr<PushToTalkController> controller = PushToTalkController::create({
        dictation,
        std::make_shared<CompanionUsageEvents>(),
        [this] { return blocked; },
        [this] { trace.push_back("interrupted; events so far: " + std::to_string(events.names().size())); },
        [this](const std::string& transcript) { trace.push_back("submitted " + transcript); },
    });

    ~PushToTalk() override { NotificationCenter::defaultCenter().removeObserver(dismiss); }
    void send(ShortcutTransition transition) {
        controller->handleShortcutTransition(transition);
        loopScope.loop().runUntilIdle();
    }
};

}  // namespace

TEST_F(PushToTalk, APressInterruptsFirstThenCountsAndStartsDictationWhoseTranscriptIsSubmitted) {
    send(ShortcutTransition::pressed);
    EXPECT_EQ(trace, (std::vector<std::string>{"interrupted; events so far: 0", "dismissed"}));  // the dismissal is delivered later
    EXPECT_EQ(events.names(), std::vector<std::string>{"push_to_talk_started"});
    EXPECT_EQ(dictation->calls, std::vector<std::string>{"start"});
    EXPECT_EQ(dictation->lastDraftText, "");
    ASSERT_TRUE(dictation->submitDraftText);
    dictation->updateDraftText("ignored");
    dictation->submitDraftText("open the menu");
    EXPECT_EQ(trace.back(), "submitted open the menu");
    EXPECT_TRUE(controller->pendingKeyboardShortcutStartTask().isValid());

    send(ShortcutTransition::released);
    EXPECT_EQ(events.names(), (std::vector<std::string>{"push_to_talk_started", "push_to_talk_released"}));
    EXPECT_EQ(dictation->calls, (std::vector<std::string>{"start", "stop keyboardShortcut"}));
    EXPECT_FALSE(controller->pendingKeyboardShortcutStartTask().isValid());
}

TEST_F(PushToTalk, APressWhileDictationIsBusyOrBlockedDoesNothingButTheReleaseStillStops) {
    for (const bool busy : {true, false}) {
        dictation->busy = busy;
        blocked = !busy;
        send(ShortcutTransition::pressed);
        send(ShortcutTransition::none);
    }
    EXPECT_TRUE(trace.empty());
    EXPECT_TRUE(events.names().empty());
    EXPECT_TRUE(dictation->calls.empty());
    send(ShortcutTransition::released);
    EXPECT_EQ(events.names(), std::vector<std::string>{"push_to_talk_released"});
    EXPECT_EQ(dictation->calls, std::vector<std::string>{"stop keyboardShortcut"});
}

TEST(PushToTalkController, EachMissingDependencyIsRefused) {
    auto dictation = std::make_shared<velmo::test::FakeDictationManager>();
    auto events = std::make_shared<CompanionUsageEvents>();
    auto no = [] { return false; };
    auto nothing = [] {};
    auto submit = [](const std::string&) {};
    const PushToTalkController::Dependencies cases[] = {
        {nullptr, events, no, nothing, submit},   {dictation, nullptr, no, nothing, submit}, {dictation, events, nullptr, nothing, submit},
        {dictation, events, no, nullptr, submit}, {dictation, events, no, nothing, nullptr},
    };
    for (const auto& dependencies : cases) EXPECT_THROW(PushToTalkController::create(dependencies), std::invalid_argument);
}
