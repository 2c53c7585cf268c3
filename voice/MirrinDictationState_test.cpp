#include <gtest/gtest.h>

#include "voice/MirrinDictationState.h"

using namespace velmo;

namespace {

using S = MirrinDictationState;
using E = MirrinDictationEvent;
constexpr std::optional<S> refused = std::nullopt;

constexpr S kStates[] = {S::idle, S::preparing, S::startingSession, S::recording, S::finalizingWhileStarting, S::finalizing, S::finishing};
constexpr E kEvents[] = {E::startRequested, E::preparationEnded, E::dictationBegan, E::stopRequested, E::finishBegan, E::reset};

// state x event -> next state; one row per state, one column per event in the order of kEvents.
struct Row {
    S state;
    std::optional<S> next[std::size(kEvents)];
};
const Row kTable[] = {
    //                  startRequested              preparationEnded      dictationBegan      stopRequested                  finishBegan   reset
    {S::idle, {S::preparing, S::idle, S::recording, refused, refused, S::idle}},
    {S::preparing, {S::preparing, S::idle, S::startingSession, refused, refused, S::idle}},
    {S::startingSession, {S::startingSession, S::recording, S::startingSession, S::finalizingWhileStarting, refused, S::idle}},
    {S::recording, {S::startingSession, S::recording, S::recording, S::finalizing, refused, S::idle}},
    {S::finalizingWhileStarting, {S::finalizingWhileStarting, S::finalizing, S::startingSession, refused, S::finishing, S::idle}},
    {S::finalizing, {S::finalizingWhileStarting, S::finalizing, S::recording, refused, S::finishing, S::idle}},
    {S::finishing, {refused, S::finishing, refused, refused, refused, S::idle}},
};

TEST(MirrinDictationState, EveryStateAndEventMovesAsTheTableSays) {
    ASSERT_EQ(std::size(kTable), std::size(kStates));
    for (const Row& row : kTable) {
        for (std::size_t e = 0; e < std::size(kEvents); ++e) {
            SCOPED_TRACE(caseName(row.state) + " x " + caseName(kEvents[e]));
            EXPECT_EQ(nextDictationState(row.state, kEvents[e]), row.next[e]);
        }
    }
}

// The published flags are read off the state and the dictation's source.
TEST(MirrinDictationState, TheFlagsFollowTheState) {
    struct Case {
        S state;
        MirrinDictationStartSource source;
        MirrinDictationFlags flags;  // preparing, microphone, keyboard, keyboard session, finalizing
    };
    const auto mic = MirrinDictationStartSource::microphoneButton;
    const auto key = MirrinDictationStartSource::keyboardShortcut;
    const Case cases[] = {
        {S::idle, key, {false, false, false, false, false}},
        {S::preparing, key, {true, false, false, false, false}},
        {S::startingSession, key, {true, false, true, true, false}},
        {S::startingSession, mic, {true, true, false, false, false}},
        {S::recording, key, {false, false, true, true, false}},
        {S::recording, mic, {false, true, false, false, false}},
        {S::finalizingWhileStarting, key, {true, false, false, true, true}},
        {S::finalizing, key, {false, false, false, true, true}},
        {S::finalizing, mic, {false, false, false, false, true}},
        {S::finishing, key, {false, false, false, true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(caseName(c.state) + " from " + caseName(c.source));
        EXPECT_EQ(dictationFlags(c.state, c.source), c.flags);
    }
    EXPECT_EQ(dictationFlags(S::preparing, std::nullopt), (MirrinDictationFlags{true, false, false, false, false}));
}

TEST(MirrinDictationState, OnlyIdleIsNotBusyAndOnlyTheFinalizingStatesMayFinish) {
    for (S state : kStates) {
        SCOPED_TRACE(caseName(state));
        const auto flags = dictationFlags(state, MirrinDictationStartSource::keyboardShortcut);
        const bool busy = flags.isPreparingToRecord || flags.isRecordingFromMicrophoneButton || flags.isRecordingFromKeyboardShortcut ||
                          flags.isFinalizingTranscript;
        EXPECT_EQ(busy, state != S::idle);
        EXPECT_EQ(nextDictationState(state, E::finishBegan).has_value(), isFinalizingState(state));
    }
}

}  // namespace
