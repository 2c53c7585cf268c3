// The streaming back-end against a loopback server that speaks the service's wire format.

#include <limits>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/base/OriginOverride.h"
#include "platform/net/URLError.h"
#include "platform/media/MediaAuthorization.h"
#include "platform/media/SimulatedMediaAuthorization.h"
#include "platform/media/SimulatedAudioEngine.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/BlockingQueue.h"
#include "testing/LoopbackWebSocketServer.h"
#include "testing/TaskProbe.h"
#include "voice/AssemblyAIStreamingTranscriptionProvider.h"
#include "voice/MirrinDictationManager.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::BlockingQueue;
using velmo::test::LoopbackWebSocketServer;
using velmo::test::TaskProbe;
using Step = LoopbackWebSocketServer::Step;
using Frame = LoopbackWebSocketServer::Frame;
using QueryItems = std::vector<std::pair<std::string, std::string>>;
using SessionPointer = std::shared_ptr<MirrinStreamingTranscriptionSession>;

namespace {

constexpr const char* serviceHost = "streaming.assemblyai.com";
const std::string kBegin = R"({"type":"Begin","id":"session-1","expires_at":1900000000})";
const std::string kTermination = R"({"type":"Termination","audio_duration_seconds":1})";
const char* kFailureLine = "[AssemblyAI] ❌ Session failed with error: ";
const char* kWarningLine = "[AssemblyAI] ⚠️ WebSocket error during active session, delivering partial transcript as fallback: ";

const QueryItems kFixedItems = {
    {"sample_rate", "16000"}, {"encoding", "pcm_s16le"}, {"format_turns", "true"}, {"speech_model", "u3-rt-pro"}};

std::string turn(const std::string& transcript, std::optional<long long> order = std::nullopt, bool endOfTurn = false,
                 bool formatted = false) {
    nlohmann::json message = {{"type", "Turn"}, {"transcript", transcript}, {"end_of_turn", endOfTurn}, {"turn_is_formatted", formatted}};
    if (order) message["turn_order"] = *order;
    return message.dump();
}

// An error as the test reads it. It is taken apart on the thread that reports it, so no
// exception object is shared with the test's thread.
struct ReportedError {
    std::string message, description;
    bool connectionLost = false;
};

// What a session reports, handed over from its state queue.
struct Recorder {
    BlockingQueue<std::string> updates;
    BlockingQueue<std::string> finals;
    BlockingQueue<ReportedError> errors;
    std::atomic<int> finalCount{0};
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + 1)
        parts.push_back(text.substr(from, at - from));
    parts.push_back(text.substr(from));
    return parts;
}

std::string messageOf(const std::exception_ptr& error) { return error ? localizedDescriptionOf(error) : "no error"; }

std::vector<std::string> framesAsText(const LoopbackWebSocketServer::Connection& connection) {
    std::vector<std::string> texts;
    for (const auto& frame : connection.frames) {
        switch (frame.kind) {
            case Frame::Kind::text:
                texts.push_back(frame.payload);
                break;
            case Frame::Kind::binary:
                texts.push_back("<audio>");
                break;
            case Frame::Kind::close:
                texts.push_back("<close " + std::to_string(frame.closeCode.value_or(0)) + ">");
                break;
            default:
                break;
        }
    }
    return texts;
}

struct Options {
    std::optional<std::string> apiKey = std::string("test-key");
    std::optional<std::string> temporaryToken;
    std::vector<std::string> keyterms;
};

class StreamingSessionTest : public testing::Test {
protected:
    VirtualMainLoopScope loopScope;
    VirtualMainLoop& loop = loopScope.loop();
    LoopbackWebSocketServer server;
    OriginOverride::Scope origin{serviceHost, server.origin()};
    LogCapture log;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::vector<std::weak_ptr<MirrinStreamingTranscriptionSession>> opened;

    StreamingSessionTest() { server.setStepsAfterUpgrade({Step::text(kBegin)}); }

    ~StreamingSessionTest() override {
        for (auto& weak : opened) {
            if (auto session = weak.lock()) session->cancel();
        }
        // Every session holds the recorder through its callbacks until its teardown has run
        // (on the main loop, also for sessions whose opening failed).
        EXPECT_TRUE(loop.runUntil([&] { return recorder.use_count() == 1; }));
        loop.runUntilIdle();
    }

    TaskProbe<SessionPointer> start(Options options = {}) {
        AssemblyAIStreamingTranscriptionProvider provider(options.apiKey, options.temporaryToken);
        auto r = recorder;
        auto task = provider.startStreamingSession(
            options.keyterms, [r](const std::string& text) { r->updates.push(text); },
            [r](const std::string& text) {
                ++r->finalCount;
                r->finals.push(text);
            },
            [r](std::exception_ptr error) {
                r->errors.push(
                    {localizedDescriptionOf(error), describeException(error), isURLError(error, URLError::networkConnectionLost)});
            });
        return TaskProbe<SessionPointer>(std::move(task));
    }

    // Opens a session and waits until it has begun.
    SessionPointer open(Options options = {}) {
        auto probe = start(std::move(options));
        EXPECT_TRUE(probe.finish(loop));
        EXPECT_EQ(probe.error(), nullptr) << probe.errorDescription();
        if (!probe.value()) return nullptr;
        opened.push_back(*probe.value());
        return *probe.value();
    }

    // Sends server messages on the latest connection.
    void serverSends(std::initializer_list<std::string> messages) {
        std::vector<Step> steps;
        for (const auto& m : messages) steps.push_back(Step::text(m));
        server.run(steps);
    }

    std::string nextUpdate() { return recorder->updates.pop().value_or("<no update>"); }
    std::string nextFinal() { return recorder->finals.pop().value_or("<no final transcript>"); }
    std::string nextError() {
        auto error = recorder->errors.pop();
        return error ? error->message : "<no error>";
    }

    // The state queue registers the 1.4 s deadline asynchronously; advancing before it exists
    // would skip it.
    void waitForPendingTimers(std::size_t count) {
        ASSERT_TRUE(loop.runUntil([&] { return loop.pendingTimerCount() == count; }));
    }

    // Drives the main loop until the server has seen what `predicate` asks for.
    bool serverSees(const std::function<bool(const std::vector<LoopbackWebSocketServer::Connection>&)>& predicate) {
        return loop.runUntil([&] { return predicate(server.connections()); });
    }

    LoopbackWebSocketServer::Connection lastConnection() const {
        auto connections = server.connections();
        return connections.empty() ? LoopbackWebSocketServer::Connection{} : connections.back();
    }
    std::size_t lastIndex() const { return server.connectionCount() - 1; }
};

}  // namespace

TEST_F(StreamingSessionTest, TheUpgradeRequestCarriesTheQueryItemsInOrderAndTheKeyAsItIs) {
    struct Case {
        const char* name;
        Options options;
        QueryItems extraItems;
        std::optional<std::string> authorization;
    } cases[] = {
        {"key, no key terms", {"key-1", std::nullopt, {}}, {}, "key-1"},
        {"only blank key terms", {"key-1", std::nullopt, {" ", "", "\n\t"}}, {}, "key-1"},
        {"token only", {std::nullopt, "tok+en/=", {}}, {{"token", "tok+en/="}}, std::nullopt},
        {"terms trimmed, blanks dropped, duplicates kept",
         {"key-1", std::nullopt, {" Xcode ", "", "Xcode"}},
         {{"keyterms_prompt", R"(["Xcode","Xcode"])"}},
         "key-1"},
        {"key, token and terms",
         {"Bearer-less key", "t0k", {"Next.js", "Café & co"}},
         {{"keyterms_prompt", R"(["Next.js","Café & co"])"}, {"token", "t0k"}},
         "Bearer-less key"},
        {"terms that are not text are left out", {"key-1", std::nullopt, {"ok", "\xff\xfe"}}, {}, "key-1"},
    };
    for (const auto& c : cases) {
        auto session = open(c.options);
        ASSERT_TRUE(session) << c.name;
        const auto handshake = lastConnection().handshake;
        QueryItems expected = kFixedItems;
        expected.insert(expected.end(), c.extraItems.begin(), c.extraItems.end());
        EXPECT_EQ(handshake.path, "/v3/ws") << c.name;
        EXPECT_EQ(handshake.queryItems, expected) << c.name;
        // Raw, every value holds only unreserved characters and escapes.
        for (const auto& item : split(handshake.query, '&')) {
            const std::string value = item.substr(item.find('=') + 1);
            EXPECT_EQ(value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~%"), std::string::npos)
                << c.name << ": " << item;
        }
        EXPECT_EQ(handshake.header("Authorization"), c.authorization) << c.name;
        session->cancel();
    }
}

TEST_F(StreamingSessionTest, AKeyHoldingALineBreakIsRefusedBeforeAnythingIsSent) {
    auto probe = start({"key\r\nX-Injected: 1", std::nullopt, {}});
    ASSERT_TRUE(probe.finish(loop));
    EXPECT_TRUE(isURLError(probe.error(), URLError::badURL)) << probe.errorDescription();
    EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_F(StreamingSessionTest, NeitherKeyNorTokenFailsTheStart) {
    auto probe = start({std::nullopt, std::nullopt, {}});
    ASSERT_TRUE(probe.finish(loop));
    EXPECT_EQ(messageOf(probe.error()), AssemblyAIStreamingTranscriptionProvider::notConfiguredMessage);
    EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_F(StreamingSessionTest, TurnsWithoutAnOrderTakeTheActiveOneOrOneMoreThanTheLargestStored) {
    auto session = open();
    serverSends({turn("hel"), turn("hello"), turn("hello there", std::nullopt, true), turn("next"), turn("next one", std::nullopt, true)});
    EXPECT_EQ(nextUpdate(), "hel");
    EXPECT_EQ(nextUpdate(), "hello");  // the same active turn
    EXPECT_EQ(nextUpdate(), "hello there");  // stored at 0
    EXPECT_EQ(nextUpdate(), "hello there next");  // active at 1
    EXPECT_EQ(nextUpdate(), "hello there next one");  // stored at 1, beside 0
}

TEST_F(StreamingSessionTest, TurnOrdersSortTheStoredTurnsAndTheActiveTurnComesLast) {
    auto session = open();
    serverSends({turn("five", 5, true), turn("two", 2, true), turn("six"), turn("six!", std::nullopt, true), turn("  zero  ", 0)});
    EXPECT_EQ(nextUpdate(), "five");
    EXPECT_EQ(nextUpdate(), "two five");
    EXPECT_EQ(nextUpdate(), "two five six");
    EXPECT_EQ(nextUpdate(), "two five six!");  // stored at 6, after the largest
    EXPECT_EQ(nextUpdate(), "two five six! zero");  // a lower active order still comes last
}

TEST_F(StreamingSessionTest, TurnsWithoutAnOrderAfterTheLargestPossibleOrderStillComeAfterIt) {
    auto session = open();
    const long long largest = std::numeric_limits<long long>::max();
    serverSends({turn("one", 0, true), turn("two", largest, true), turn("three", std::nullopt, true), turn("four", std::nullopt, true)});
    EXPECT_EQ(nextUpdate(), "one");
    EXPECT_EQ(nextUpdate(), "one two");
    EXPECT_EQ(nextUpdate(), "one two three");
    EXPECT_EQ(nextUpdate(), "one two three four");
}

TEST_F(StreamingSessionTest, AFormattedTurnIsNotReplacedByAnUnformattedOneOfTheSameOrder) {
    struct Case {
        std::string first, second, composed;
    } cases[] = {
        {turn("Hello, world.", 3, false, true), turn("hello world", 3, true, false), "Hello, world."},
        {turn("hello world", 3, true, false), turn("Hello, world.", 3, true, true), "Hello, world."},
        {turn("hello world", 3, true, false), turn("hello world again", 3, true, false), "hello world again"},
    };
    for (const auto& c : cases) {
        auto session = open();
        serverSends({c.first, c.second});
        nextUpdate();
        EXPECT_EQ(nextUpdate(), c.composed) << c.first << " then " << c.second;
        session->cancel();
    }
}

TEST_F(StreamingSessionTest, AnEmptyFinishedTurnClearsTheActiveTurnAndStoresNothing) {
    auto session = open();
    serverSends({turn("partial", 0), turn("", 0, true), turn("after", 1)});
    EXPECT_EQ(nextUpdate(), "partial");
    EXPECT_EQ(nextUpdate(), "after");  // nothing was reported for the empty turn, and "partial" is gone
}

TEST_F(StreamingSessionTest, BinaryMessagesAreReadAsTextAndUnknownTypesAreIgnored) {
    auto session = open();
    server.run({Step::text(R"({"type":"SpeechStarted","timestamp":10})"), Step::binary("\xff\xfe not text"),
                Step::binary(turn("from binary", std::nullopt, true)),
                Step::text(R"({"type":"Turn","transcript":"extra members","words":[1,2]})")});
    EXPECT_EQ(nextUpdate(), "from binary");
    EXPECT_EQ(nextUpdate(), "from binary extra members");
    EXPECT_EQ(recorder->errors.size(), 0u);
}

TEST_F(StreamingSessionTest, TheErrorMessageTextComesFromErrorThenMessage) {
    struct Case {
        std::string message, text;
    } cases[] = {
        {R"({"type":"Error","error":"bad key","message":"other"})", "bad key"},
        {R"({"type":"error","message":"only the message"})", "only the message"},
        {R"({"type":"ERROR"})", "AssemblyAI returned an error."},
    };
    for (const auto& c : cases) {
        auto session = open();
        log.clear();
        serverSends({c.message});
        EXPECT_EQ(nextError(), c.text) << c.message;
        EXPECT_EQ(log.linesStartingWith(kFailureLine), std::vector<std::string>{kFailureLine + c.text}) << c.message;
        session->cancel();
    }
}

TEST_F(StreamingSessionTest, MessagesThatDoNotDecodeFailTheSession) {
    const std::string decodingFailed = "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
    struct Case {
        std::string message, detail;
    } cases[] = {
        {R"({"transcript":"no type"})", "member \"type\" is missing"},
        {R"({"type":7})", "member \"type\" is not a string"},
        {R"({"type":null})", "member \"type\" is missing"},
        {"not json {", "the message is not JSON"},
        {R"(["Turn"])", "the message is not a JSON object"},
        {R"({"type":"Turn","transcript":5})", "member \"transcript\" is not a string"},
        {R"({"type":"Turn","turn_order":1.5})", "member \"turn_order\" is not an integer that fits"},
        {R"({"type":"Turn","end_of_turn":"yes"})", "member \"end_of_turn\" is not a Bool"},
        {R"({"type":"Error","error":false})", "member \"error\" is not a string"},
    };
    for (const auto& c : cases) {
        auto session = open();
        log.clear();
        serverSends({c.message});
        auto error = recorder->errors.pop();
        ASSERT_TRUE(error) << c.message;
        EXPECT_EQ(error->message, decodingFailed) << c.message;
        EXPECT_EQ(error->description, decodingFailed + " (" + c.detail + ")") << c.message;
        EXPECT_EQ(log.linesStartingWith(kFailureLine).size(), 1u) << c.message;
        session->cancel();
    }
}

TEST_F(StreamingSessionTest, AFailureBeforeTheSessionBeganFailsTheStartAndIsReportedToo) {
    struct Case {
        const char* name;
        std::function<void(LoopbackWebSocketServer&)> script;
        std::string message;
    } cases[] = {
        {"error message", [](auto& s) { s.setStepsAfterUpgrade({Step::text(R"({"type":"Error","error":"Invalid API key"})")}); },
         "Invalid API key"},
        {"error, then begin",
         [](auto& s) {
             s.setStepsAfterUpgrade({Step::text(R"({"type":"Error","message":"Too many sessions"})", 0.05s), Step::text(kBegin)});
         },
         "Too many sessions"},
        {"undecodable JSON", [](auto& s) { s.setStepsAfterUpgrade({Step::text("{oops")}); },
         "The data couldn\u2019t be read because it isn\u2019t in the correct format."},
        {"closed before begin", [](auto& s) { s.setStepsAfterUpgrade({Step::close(1008, "policy")}); }, ""},
        {"upgrade refused", [](auto& s) { s.setUpgradeRefusal(401, "unauthorised"); }, ""},  // stays refused: last
    };
    for (const auto& c : cases) {
        c.script(server);
        log.clear();
        auto probe = start();
        ASSERT_TRUE(probe.finish(loop)) << c.name;
        ASSERT_NE(probe.error(), nullptr) << c.name;
        auto reported = recorder->errors.pop();
        ASSERT_TRUE(reported) << c.name;
        EXPECT_EQ(reported->message, messageOf(probe.error())) << c.name;
        if (!c.message.empty()) {
            EXPECT_EQ(messageOf(probe.error()), c.message) << c.name;
        } else {
            EXPECT_TRUE(isURLError(probe.error(), URLError::networkConnectionLost) ||
                        isURLError(probe.error(), URLError::badServerResponse))
                << c.name << ": " << probe.errorDescription();
        }
        EXPECT_EQ(log.linesStartingWith(kFailureLine), std::vector<std::string>{kFailureLine + describeException(probe.error())}) << c.name;
    }
}

TEST_F(StreamingSessionTest, TheSessionOpensWhateverMomentBeginArrives) {
    struct Case {
        const char* name;
        std::vector<Step> withUpgradeAnswer, afterUpgrade;
    } cases[] = {
        {"in the same write as the upgrade answer", {Step::text(kBegin)}, {}},
        {"after a delay", {}, {Step::text(kBegin, 0.3s)}},
        {"a turn before begin", {}, {Step::text(turn("early")), Step::text(kBegin, 0.05s)}},
        {"an early termination instead", {}, {Step::text(kTermination)}},
        {"lower-case type", {}, {Step::text(R"({"type":"begin"})")}},
    };
    for (const auto& c : cases) {
        server.setFramesWithUpgradeAnswer(c.withUpgradeAnswer);
        server.setStepsAfterUpgrade(c.afterUpgrade);
        auto session = open();
        ASSERT_TRUE(session) << c.name;
        EXPECT_EQ(loop.pendingTimerCount(), 0u) << c.name << ": the time-out is disarmed once the session began";
        session->cancel();
    }
    EXPECT_EQ(nextUpdate(), "early");
}

TEST_F(StreamingSessionTest, WaitingForBeginEndsWithAClearErrorAtTheRequestTimeOut) {
    server.setStepsAfterUpgrade({});
    auto probe = start();
    ASSERT_TRUE(serverSees([](const auto& c) { return !c.empty() && c[0].upgraded; }));
    loop.advance(59.9s);
    loop.runUntil([] { return false; }, 0.2s);
    EXPECT_FALSE(probe.done());
    loop.advance(0.1s);
    ASSERT_TRUE(probe.finish(loop));
    const std::string expected = "AssemblyAI did not confirm the session within 60 seconds.";
    EXPECT_EQ(messageOf(probe.error()), expected);
    EXPECT_EQ(nextError(), expected);
    EXPECT_TRUE(log.contains(kFailureLine + expected));
    // Nobody holds the failed session: its teardown closes the connection.
    EXPECT_TRUE(serverSees([](const auto& c) { return c[0].clientCloseCode() == WebSocketCloseCode::goingAway; }));
}

TEST_F(StreamingSessionTest, WithoutAFinishedTurnTheDeadlineDeliversTheComposedTextAfterExactlyOnePointFourSeconds) {
    auto session = open();
    serverSends({turn("Hello", 0, true), turn("wor", 1)});
    nextUpdate();
    EXPECT_EQ(nextUpdate(), "Hello wor");
    session->requestFinalTranscript();
    waitForPendingTimers(1);
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::jsonType("ForceEndpoint"), 1, lastIndex()));
    loop.advance(1.39s);
    loop.runUntil([] { return false; }, 0.2s);
    EXPECT_EQ(recorder->finals.size(), 0u);
    loop.advance(0.01s);
    EXPECT_EQ(nextFinal(), "Hello wor");
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::jsonType("Terminate"), 1, lastIndex()));
    EXPECT_EQ(framesAsText(lastConnection()), (std::vector<std::string>{R"({"type":"ForceEndpoint"})", R"({"type":"Terminate"})"}));

    // Turns after delivery still update; the final transcript is not delivered again.
    serverSends({turn("world.", 1, true), turn("more", 2, true)});
    EXPECT_EQ(nextUpdate(), "Hello world.");
    EXPECT_EQ(nextUpdate(), "Hello world. more");
    EXPECT_EQ(recorder->finalCount.load(), 1);
}

TEST_F(StreamingSessionTest, WithNothingSaidTheDeadlineDeliversAnEmptyTranscript) {
    auto session = open();
    session->requestFinalTranscript();
    waitForPendingTimers(1);
    loop.advance(1.4s);
    EXPECT_EQ(nextFinal(), "");
}

TEST_F(StreamingSessionTest, AFinishedTurnWhileAwaitingDeliversAtOnceAndDisarmsTheDeadline) {
    server.addReply(LoopbackWebSocketServer::jsonType("ForceEndpoint"), {Step::text(turn("Hello world.", 0, true, true))});
    auto session = open();
    serverSends({turn("hello wor", 0)});
    EXPECT_EQ(nextUpdate(), "hello wor");
    session->requestFinalTranscript();
    EXPECT_EQ(nextFinal(), "Hello world.");
    EXPECT_EQ(nextUpdate(), "Hello world.");
    waitForPendingTimers(0);
    loop.advance(3s);
    loop.runUntil([] { return false; }, 0.1s);
    EXPECT_EQ(recorder->finalCount.load(), 1);

    // A second request arms nothing but still asks for an endpoint.
    session->requestFinalTranscript();
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::jsonType("ForceEndpoint"), 2, lastIndex()));
    loop.runUntil([] { return false; }, 0.1s);
    EXPECT_EQ(loop.pendingTimerCount(), 0u);
    EXPECT_EQ(framesAsText(lastConnection()),
              (std::vector<std::string>{R"({"type":"ForceEndpoint"})", R"({"type":"Terminate"})", R"({"type":"ForceEndpoint"})"}));
}

TEST_F(StreamingSessionTest, TerminationDeliversOnlyWhileTheFinalTranscriptIsAwaited) {
    auto session = open();
    serverSends({turn("still speaking", 0), kTermination, turn("sentinel", 0)});
    EXPECT_EQ(nextUpdate(), "still speaking");
    EXPECT_EQ(nextUpdate(), "sentinel");
    EXPECT_EQ(recorder->finalCount.load(), 0);

    session->requestFinalTranscript();
    waitForPendingTimers(1);
    serverSends({kTermination});
    EXPECT_EQ(nextFinal(), "sentinel");
    waitForPendingTimers(0);
}

TEST_F(StreamingSessionTest, AReceiveFailureWhileAwaitingDeliversThePartialTextInsteadOfAnError) {
    struct Case {
        const char* name;
        std::vector<std::string> turns;
        Step ending;
        bool delivers;
    } cases[] = {
        {"partial text, dropped connection", {turn("half a sent", 0)}, Step::drop(), true},
        {"partial text, closed by the server", {turn("half a sent", 0)}, Step::close(1011, "internal"), true},
        {"no text, dropped connection", {}, Step::drop(), false},
    };
    for (const auto& c : cases) {
        auto session = open();
        for (const auto& t : c.turns) {
            serverSends({t});
            nextUpdate();
        }
        session->requestFinalTranscript();
        waitForPendingTimers(1);
        log.clear();
        server.run({c.ending});
        std::string description;
        if (c.delivers) {
            EXPECT_EQ(nextFinal(), "half a sent") << c.name;
            waitForPendingTimers(0);
        } else {
            auto error = recorder->errors.pop();
            ASSERT_TRUE(error) << c.name;
            description = error->description;
            EXPECT_TRUE(error->connectionLost) << description;
        }
        // Whatever else fails on the dead connection afterwards ("Terminate", the cancellation,
        // the deadline) is the same failure and is not reported again.
        session->cancel();
        waitForPendingTimers(0);
        loop.advance(2s);
        loop.runUntil([] { return false; }, 0.2s);
        if (c.delivers) {
            EXPECT_EQ(log.linesStartingWith(kWarningLine).size(), 1u) << c.name;
            EXPECT_TRUE(log.linesStartingWith(kFailureLine).empty()) << c.name;
            EXPECT_EQ(recorder->errors.size(), 0u) << c.name;
        } else {
            EXPECT_EQ(log.linesStartingWith(kFailureLine), std::vector<std::string>{kFailureLine + description}) << c.name;
            EXPECT_TRUE(log.linesStartingWith(kWarningLine).empty()) << c.name;
            EXPECT_EQ(recorder->errors.size(), 0u) << c.name;
        }
        EXPECT_EQ(recorder->finalCount.load(), c.delivers ? 1 : 0) << c.name;
        recorder->finalCount = 0;
    }
}

TEST_F(StreamingSessionTest, CancelSendsTerminateAndClosesWithGoingAway) {
    auto session = open();
    session->cancel();
    ASSERT_TRUE(server.waitUntil([](const auto& c) { return c[0].clientCloseCode().has_value(); }));
    EXPECT_EQ(lastConnection().clientCloseCode(), std::optional<std::uint16_t>(WebSocketCloseCode::goingAway));
    // Cancelling again, or after the connection is gone, is harmless.
    session->cancel();
    session->requestFinalTranscript();
    session->appendAudioBuffer(nullptr);
}

TEST_F(StreamingSessionTest, LettingGoOfTheSessionEndsTheConnection) {
    auto session = open();
    std::weak_ptr<MirrinStreamingTranscriptionSession> weak = session;
    session.reset();
    opened.clear();
    ASSERT_TRUE(loop.runUntil([&] { return weak.expired(); }));
    ASSERT_TRUE(serverSees([](const auto& c) { return c[0].clientCloseCode().has_value(); }));
    serverSends({turn("nobody listens")});
    loop.runUntil([] { return false; }, 0.1s);
    EXPECT_EQ(recorder->updates.size(), 0u);
}

namespace {

// Total bytes the kernel may buffer on both ends of a loopback connection, at most.
std::size_t socketBufferLimit() {
    auto largest = [](const char* path) -> std::size_t {
        std::size_t low = 0, initial = 0, high = 0;
        std::ifstream(path) >> low >> initial >> high;
        return high;
    };
    return std::max<std::size_t>(16u << 20, largest("/proc/sys/net/ipv4/tcp_wmem") + largest("/proc/sys/net/ipv4/tcp_rmem"));
}

std::shared_ptr<const AudioPCMBuffer> silence16k(std::uint32_t frames) {
    auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(16000, 1), frames);
    for (std::uint32_t i = 0; i < frames; ++i) buffer->floatChannelData(0)[i] = float(i % 64) / 640.0f;
    buffer->setFrameLength(frames);
    return buffer;
}

}  // namespace

TEST_F(StreamingSessionTest, AppendingAudioOnlyQueuesItWhileTheServerReadsNothing) {
    auto session = open();
    server.setReadsStalled(true);
    // More audio than every socket buffer between the two ends can hold: were the tap thread
    // writing to the network itself, it could not get through it before reads resume.
    const std::uint32_t framesPerBuffer = 160000;  // 10 s, 320,000 bytes on the wire
    const auto buffer = silence16k(framesPerBuffer);
    const std::size_t bufferCount = socketBufferLimit() / (2 * framesPerBuffer) + 8;
    std::atomic<bool> appended{false};
    std::thread tap([&] {
        for (std::size_t i = 0; i < bufferCount; ++i) session->appendAudioBuffer(buffer);
        appended = true;
    });
    tap.join();
    EXPECT_TRUE(appended.load());
    session->requestFinalTranscript();

    server.setReadsStalled(false);
    server.run({Step::resumeReads()});
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::jsonType("ForceEndpoint"), 1, lastIndex(), 60s));
    auto frames = lastConnection().frames;
    std::size_t binary = 0, bytes = 0;
    for (const auto& frame : frames) {
        if (frame.kind != Frame::Kind::binary) continue;
        ++binary;
        bytes += frame.payload.size();
    }
    EXPECT_EQ(binary, bufferCount);  // one frame per buffer, in order, before the control frame
    EXPECT_GE(bytes, bufferCount * 2 * framesPerBuffer - 2 * 1024);
    EXPECT_EQ(frames.back().payload, R"({"type":"ForceEndpoint"})");
}

// --- the subsystem: the dictation manager driving the streaming back-end ---

namespace {

std::vector<std::shared_ptr<const AudioPCMBuffer>> toneBuffers(double frequency, double seconds, double rate, std::uint32_t channels) {
    std::vector<std::shared_ptr<const AudioPCMBuffer>> buffers;
    const auto total = static_cast<std::uint32_t>(seconds * rate);
    for (std::uint32_t start = 0; start < total; start += 1024) {
        const std::uint32_t frames = std::min<std::uint32_t>(1024, total - start);
        auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(rate, channels), 1024);
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < frames; ++i)
                buffer->floatChannelData(c)[i] = float(0.5 * std::sin(2 * M_PI * frequency * (start + i) / rate));
        buffer->setFrameLength(frames);
        buffers.push_back(buffer);
    }
    return buffers;
}

// The frequency (1 Hz steps, 50 Hz to 4 kHz) with the most energy in 16 kHz samples.
int spectralPeak(const std::vector<std::int16_t>& samples) {
    int best = 0;
    double bestPower = -1;
    for (int f = 50; f <= 4000; ++f) {
        // Goertzel filter at f.
        const double w = 2 * M_PI * f / 16000.0, coefficient = 2 * std::cos(w);
        double s1 = 0, s2 = 0;
        for (auto sample : samples) {
            const double s0 = sample + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
        if (power > bestPower) {
            bestPower = power;
            best = f;
        }
    }
    return best;
}

// One chord-started dictation over the loopback service. With `serverClosesAfterTermination`
// the service ends the connection itself right after answering "Terminate", before the
// manager has even seen the final transcript.
void runStreamingDictation(bool serverClosesAfterTermination) {
    VirtualMainLoopScope loopScope;
    auto& loop = loopScope.loop();
    LoopbackWebSocketServer server;
    OriginOverride::Scope origin(serviceHost, server.origin());
    server.setStepsAfterUpgrade({Step::text(kBegin)});
    server.addReply(LoopbackWebSocketServer::jsonType("ForceEndpoint"), {Step::text(turn("Hello world.", 0, true, true))});
    std::vector<Step> onTerminate = {Step::text(kTermination)};
    if (serverClosesAfterTermination) onTerminate.push_back(Step::close(1000));
    server.addReply(LoopbackWebSocketServer::jsonType("Terminate"), onTerminate, true);
    LogCapture log;

    auto engine = std::make_shared<SimulatedAudioEngine>(AudioFormat::float32Planar(48000, 2));
    MirrinDictationManager::Dependencies dependencies;
    dependencies.transcriptionProvider = std::make_unique<AssemblyAIStreamingTranscriptionProvider>("test-key", std::nullopt);
    dependencies.audioEngine = engine;
    dependencies.authorization = std::make_shared<SimulatedMediaAuthorization>();
    auto manager = MirrinDictationManager::create(std::move(dependencies));
    auto submitted = std::make_shared<std::vector<std::string>>();

    auto start = startTask([manager, submitted]() -> Task<void> {
        auto starting = manager->startPushToTalkFromKeyboardShortcut(
            "", [](const std::string&) {}, [submitted](const std::string& text) { submitted->push_back(text); });
        co_await starting;
    });
    ASSERT_TRUE(loop.runUntil([&] { return start.isDone(); }));
    ASSERT_TRUE(*manager->isRecordingFromKeyboardShortcut());
    ASSERT_EQ(server.connectionCount(), 1u);
    const auto handshake = server.connections()[0].handshake;
    EXPECT_EQ(handshake.header("Authorization"), std::optional<std::string>("test-key"));
    ASSERT_EQ(handshake.queryItems.size(), 5u);
    EXPECT_EQ(handshake.queryItems[4],
              (std::pair<std::string, std::string>("keyterms_prompt", R"(["tinkerloom","Korvale","Codex","Claude","Anthropic","OpenAI",)"
                                                                      R"("SwiftUI","Xcode","Vercel","Next.js","localhost"])")));

    engine->deliver(toneBuffers(440, 1.0, 48000, 2));
    ASSERT_TRUE(engine->waitUntilDelivered());
    manager->stopPushToTalk(MirrinDictationStartSource::keyboardShortcut);
    EXPECT_TRUE(*manager->isFinalizingTranscript());

    // The final transcript is handed over from the state queue, then "Terminate" goes out. The
    // main loop does not run meanwhile, so the manager's own cancellation cannot overtake it.
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::jsonType("Terminate")));
    if (serverClosesAfterTermination) {
        ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::closeFrame()));
    }
    ASSERT_TRUE(loop.runUntil([&] { return !submitted->empty(); }));
    EXPECT_EQ(*submitted, std::vector<std::string>{"Hello world."});
    EXPECT_FALSE(manager->isDictationBusy());
    // The connection is over once its closing handshake is (whoever began it).
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::closeFrame()));
    loop.runUntil([] { return false; }, 0.3s);  // the closed connection's late reports
    loop.advance(5s);  // past every fallback
    loop.runUntilIdle();
    EXPECT_EQ(*submitted, std::vector<std::string>{"Hello world."});
    EXPECT_EQ(*manager->lastErrorMessage(), std::nullopt);
    EXPECT_TRUE(log.linesStartingWith("❌ Mirrin").empty());

    const auto connection = server.connections()[0];
    std::vector<std::int16_t> samples;
    std::size_t audioFrames = 0, lastAudio = 0;
    std::optional<std::size_t> forceEndpoint, terminate, close;
    for (std::size_t i = 0; i < connection.frames.size(); ++i) {
        const auto& frame = connection.frames[i];
        if (frame.kind == Frame::Kind::binary) {
            ++audioFrames;
            lastAudio = i;
            for (std::size_t b = 0; b + 1 < frame.payload.size(); b += 2)
                samples.push_back(std::int16_t(std::uint8_t(frame.payload[b]) | (std::uint8_t(frame.payload[b + 1]) << 8)));
        } else if (!forceEndpoint && LoopbackWebSocketServer::jsonType("ForceEndpoint")(frame)) {
            forceEndpoint = i;
        } else if (!terminate && LoopbackWebSocketServer::jsonType("Terminate")(frame)) {
            terminate = i;
        } else if (!close && frame.kind == Frame::Kind::close) {
            close = i;
        }
    }
    EXPECT_GE(audioFrames, 46u);  // one frame per tap buffer (the first may come out empty)
    // 1 s at 16 kHz, less what the resampler still holds back (a few tens of milliseconds).
    EXPECT_LE(samples.size() * 2, 32000u);
    EXPECT_GE(samples.size() * 2, 30400u);
    EXPECT_EQ(spectralPeak(samples), 440);
    ASSERT_TRUE(forceEndpoint && terminate && close);
    EXPECT_LT(lastAudio, *forceEndpoint);
    EXPECT_LT(*forceEndpoint, *terminate);
    EXPECT_LT(*terminate, *close);
    // The manager's cancellation closes with "going away"; a service that closed first was
    // answered with its own code.
    EXPECT_EQ(connection.frames[*close].closeCode,
              std::optional<std::uint16_t>(serverClosesAfterTermination ? 1000 : WebSocketCloseCode::goingAway));

    manager.reset();
    loop.runUntilIdle();
}

}  // namespace

TEST(StreamingDictation, OneSecondOfToneIsStreamedAndTheFinishedTurnIsSubmittedOnce) { runStreamingDictation(false); }

TEST(StreamingDictation, TheServiceClosingAfterTerminationLeavesNoErrorMessage) { runStreamingDictation(true); }
