#include "RideZav/delivery/RideZavApi.h"

#include <gtest/gtest.h>

#include <fstream>

#include <chrono>
#include <filesystem>

#include "RideZav/core/CoreTesting.h"
#include "RideZav/core/InternalRideZavError.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavUtils.h"
#include "RideZav/delivery/RideZavFileBackedQueue.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/base/OriginOverride.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/net/URLError.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackIngestionServer.h"

using namespace std::chrono_literals;

namespace ridezav {
namespace {

using velmo::test::Gate;
using Server = velmo::test::LoopbackIngestionServer;
using Route = Server::Route;
using Json = nlohmann::ordered_json;

constexpr const char* kHost = "ingest.example.test";

struct URLCase {
    std::string host;
    std::string path;
    std::vector<velmo::URLQueryItem> items;
    std::string expected;
};

TEST(RideZavApiURL, PathsJoinTheHostsOwnPathWithRunsOfSlashesCollapsed) {
    const URLCase cases[] = {
        {"https://h.test/ingest/", "/batch", {}, "https://h.test/ingest/batch?"},
        {"https://h.test", "/batch", {}, "https://h.test/batch?"},
        {"https://h.test/", "/s/", {}, "https://h.test/s/?"},
        {"https://h.test//a//b", "//flags", {{"v", "2"}}, "https://h.test/a/b/flags?v=2"},
        {"http://127.0.0.1:8000/x?old=1", "/batch", {}, "http://127.0.0.1:8000/x/batch?"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RideZavApi::ingestionURL(RideZavConfig("k", c.host), c.path, c.items), c.expected) << c.host;
    }
}

TEST(RideZavApiURL, TheRemoteConfigurationIsOnTheAssetsEndpointWithTheKeyAsOneSegment) {
    const std::pair<RideZavConfig, std::string> cases[] = {
        {RideZavConfig("phc_k"), "https://assets.ridezav.com/array/phc_k/config"},
        {RideZavConfig("phc_k", "https://eu.ingest.ridezav.com"), "https://eu-assets.ridezav.com/array/phc_k/config"},
        {RideZavConfig("phc_k", "https://self.test/base/"), "https://self.test/base/array/phc_k/config"},
        {RideZavConfig("a/b?c#d", "https://self.test"), "https://self.test/array/a%2Fb%3Fc%23d/config"},
        {RideZavConfig("..", "https://self.test"), "https://self.test/array/%2E%2E/config"},
    };
    for (const auto& [config, expected] : cases) EXPECT_EQ(RideZavApi::remoteConfigURL(config), expected);
}

TEST(RideZavApi, SessionConfigurationCarriesExactlyTheCommonHeadersAndLeavesTheApplicationsAlone) {
    RideZavConfig config("k");
    velmo::URLSessionConfiguration own;
    own.timeoutIntervalForRequest = 5s;
    own.httpAdditionalHeaders = {{"X-Old", "1"}};
    config.urlSessionConfiguration = own;
    RideZavApi api(config);
    const auto session = api.sessionConfig();
    EXPECT_EQ(session.timeoutIntervalForRequest, 5s);
    EXPECT_EQ(session.httpAdditionalHeaders,
              (velmo::HTTPHeaderFields{{"Content-Type", "application/json; charset=utf-8"}, {"User-Agent", "ridezav-ios/3.47.0"}}));
    EXPECT_EQ(api.config().urlSessionConfiguration->httpAdditionalHeaders, own.httpAdditionalHeaders);
}

// Answers as they come off the wire, read without a network.
velmo::URLResponse answer(int status) {
    velmo::URLResponse response;
    response.statusCode = status;
    return response;
}

TEST(RideZavApiAnswers, FlagsAnswersAreReadInTheirOrder) {
    velmo::LogCapture log;
    RideZavLog::setDebug(true);
    auto ok = RideZavApi::readFlagsAnswer(R"({"featureFlags":{"a":true}})", answer(200), nullptr);
    ASSERT_TRUE(ok.object);
    EXPECT_TRUE(ok.object->contains("featureFlags"));
    EXPECT_FALSE(ok.error);

    auto fragment = RideZavApi::readFlagsAnswer("[1,2]", answer(200), nullptr);
    EXPECT_FALSE(fragment.object);
    EXPECT_FALSE(fragment.error);

    auto empty = RideZavApi::readFlagsAnswer("", answer(500), nullptr);
    EXPECT_FALSE(empty.object);
    EXPECT_FALSE(empty.error);
    EXPECT_TRUE(log.contains("[RideZav] Error parsing the flags response: no data"));

    auto refused = RideZavApi::readFlagsAnswer(R"({"detail":"no"})", answer(500), nullptr);
    EXPECT_FALSE(refused.object);
    ASSERT_TRUE(refused.error);
    EXPECT_TRUE(log.contains(R"([RideZav] Error calling flags API: status: 500, body: {"detail":"no"}.)"));
    try {
        std::rethrow_exception(refused.error);
    } catch (const InternalRideZavError& e) {
        EXPECT_EQ(e.description.rfind(R"(Error calling flags API: status: 500, body: {"detail":"no"}. ()", 0), 0u) << e.description;
        EXPECT_NE(e.description.find("RideZavApi.cpp:"), std::string::npos) << e.description;
    }

    auto garbled = RideZavApi::readFlagsAnswer("{not json", answer(200), nullptr);
    EXPECT_FALSE(garbled.object);
    EXPECT_TRUE(garbled.error);
    EXPECT_EQ(log.linesStartingWith("[RideZav] Error parsing the flags response: ").size(), 2u);

    auto lost = RideZavApi::readFlagsAnswer("", std::nullopt, std::make_exception_ptr(velmo::URLError(velmo::URLError::timedOut)));
    EXPECT_TRUE(lost.error);
    EXPECT_EQ(log.linesStartingWith("[RideZav] Error calling the flags API: ").size(), 1u);

    // Neither an answer nor an error: taken as a transport error.
    auto neither = RideZavApi::readRemoteConfigAnswer("", std::nullopt, nullptr);
    EXPECT_TRUE(neither.error);
    EXPECT_FALSE(RideZavApi::readUploadAnswer("batch", "", std::nullopt, nullptr).statusCode);
    RideZavLog::setDebug(false);
}

TEST(RideZavApiAnswers, AnAnswerNestedTooDeeplyIsAParseErrorNotACrash) {
    const std::size_t depth = 200000;
    const std::string deep = std::string(depth, '[') + std::string(depth, ']');
    auto flags = RideZavApi::readFlagsAnswer(deep, answer(200), nullptr);
    EXPECT_FALSE(flags.object);
    EXPECT_TRUE(flags.error);
    const std::string deepObject = "{\"a\":" + deep + "}";
    EXPECT_EQ(RideZavApi::readUploadAnswer("batch", deepObject, answer(500), nullptr).statusCode, 500);
    // Brackets inside strings are not nesting.
    auto quoted = RideZavApi::readRemoteConfigAnswer("{\"a\":\"" + std::string(5000, '[') + "\"}", answer(200), nullptr);
    EXPECT_TRUE(quoted.object);
}

// A loop, the ingestion server reached as https://ingest.example.test/ingest/, and a client.
class RideZavApiLoopbackTest : public testing::Test {
protected:
    RideZavApiLoopbackTest() { RideZavLog::setDebug(true); }
    ~RideZavApiLoopbackTest() override { RideZavLog::setDebug(false); }

    RideZavConfig makeConfig() {
        RideZavConfig c("phc_test", std::string("https://") + kHost + "/ingest/");
        return c;
    }
    RideZavEvent event(int n) const {
        return RideZavEvent("e" + std::to_string(n), "user", Object{{"n", n}}, clock->now(), velmo::UUID::random());
    }
    std::vector<RideZavEvent> events(int count) const {
        std::vector<RideZavEvent> list;
        for (int n = 0; n < count; ++n) list.push_back(event(n));
        return list;
    }
    RideZavBatchUploadInfo upload(RideZavApi& client, int count = 3, bool snapshot = false) {
        std::optional<RideZavBatchUploadInfo> result;
        auto done = [&](RideZavBatchUploadInfo info) { result = std::move(info); };
        if (snapshot)
            client.snapshot(events(count), done);
        else
            client.batch(events(count), done);
        EXPECT_TRUE(mainLoop.loop().runUntil([&] { return result.has_value(); }, 30s));
        return result.value_or(RideZavBatchUploadInfo{});
    }
    RideZavApi::JSONAnswer flags(RideZavApi& client, const std::optional<std::string>& anonymousId = std::nullopt,
                                 const Object& person = {}, const std::optional<RideZavApi::GroupProperties>& groups = {}) {
        std::optional<RideZavApi::JSONAnswer> result;
        client.flags("user-1", anonymousId, {{"company", "c1"}}, person, groups,
                     [&](std::optional<Object> object, std::exception_ptr error) {
                         result = RideZavApi::JSONAnswer{std::move(object), error};
                     });
        EXPECT_TRUE(mainLoop.loop().runUntil([&] { return result.has_value(); }, 30s));
        return result.value_or(RideZavApi::JSONAnswer{});
    }

    std::shared_ptr<velmo::test::ManualWallClock> clock =
        std::make_shared<velmo::test::ManualWallClock>(velmo::test::dateFromMilliseconds(1704067200123));
    velmo::test::ScopedWallClock scopedClock{clock};
    velmo::VirtualMainLoopScope mainLoop;
    velmo::LogCapture log;
    Server server;
    velmo::OriginOverride::Scope redirect{kHost, server.origin()};
};

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

TEST_F(RideZavApiLoopbackTest, AThreeEventBatchArrivesAsOneGzipBodyWithTheRightHeaders) {
    RideZavApi client(makeConfig());
    const auto info = upload(client, 3);
    EXPECT_EQ(info.statusCode, 200);
    EXPECT_FALSE(info.error);
    const auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    const auto& r = received[0];
    EXPECT_EQ(r.route, Route::batch);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/ingest/batch");
    EXPECT_EQ(r.query, "");
    EXPECT_TRUE(r.gzipped);
    EXPECT_TRUE(r.inflated);
    EXPECT_EQ(r.header("Content-Encoding"), "gzip");
    EXPECT_EQ(r.header("Accept-Encoding"), "gzip");
    EXPECT_EQ(r.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(r.header("User-Agent"), "ridezav-ios/3.47.0");
    EXPECT_FALSE(r.header("Expect"));
    ASSERT_TRUE(r.json);
    EXPECT_EQ(keysOf(*r.json), (std::vector<std::string>{"api_key", "batch", "sent_at"}));
    EXPECT_EQ((*r.json)["api_key"], "phc_test");
    EXPECT_EQ((*r.json)["sent_at"], "2024-01-01T00:00:00.123Z");
    ASSERT_EQ((*r.json)["batch"].size(), 3u);
    for (int n = 0; n < 3; ++n) EXPECT_EQ((*r.json)["batch"][n]["event"], "e" + std::to_string(n));
    EXPECT_TRUE(log.contains("[RideZav] Events sent successfully."));
}

TEST_F(RideZavApiLoopbackTest, EveryRequestOfOneClientTravelsOnOneSessionAndItsConnection) {
    RideZavApi client(makeConfig());
    EXPECT_EQ(upload(client, 3).statusCode, 200);
    EXPECT_EQ(upload(client, 2, true).statusCode, 200);
    EXPECT_FALSE(flags(client).error);
    EXPECT_EQ(upload(client, 1).statusCode, 200);
    EXPECT_EQ(server.requests().size(), 4u);
    EXPECT_EQ(server.connectionCount(), 1u);
    // The compression headers are the uploads' own: the flags request carries none.
    const auto flagsRequests = server.requestsOf(Route::flags);
    ASSERT_EQ(flagsRequests.size(), 1u);
    EXPECT_FALSE(flagsRequests[0].header("Content-Encoding"));
    EXPECT_EQ(server.requestsOf(Route::batch).back().header("Content-Encoding"), "gzip");
}

TEST_F(RideZavApiLoopbackTest, EventsInTheirJSONFormMakeTheBatchBodyAsTheyAre) {
    RideZavApi client(makeConfig());
    std::vector<std::string> stored;
    for (const auto& e : events(2)) stored.push_back(*jsonData(e.toJSON()));
    std::optional<RideZavBatchUploadInfo> result;
    client.batchJSON(stored, [&](RideZavBatchUploadInfo info) { result = std::move(info); });
    ASSERT_TRUE(mainLoop.loop().runUntil([&] { return result.has_value(); }, 30s));
    EXPECT_EQ(result->statusCode, 200);
    const auto received = server.requestsOf(Route::batch);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].body,
              R"({"api_key":"phc_test","batch":[)" + stored[0] + "," + stored[1] + R"(],"sent_at":"2024-01-01T00:00:00.123Z"})");
    ASSERT_TRUE(received[0].json);
    EXPECT_EQ(keysOf(*received[0].json), (std::vector<std::string>{"api_key", "batch", "sent_at"}));
}

TEST_F(RideZavApiLoopbackTest, SnapshotsGoToTheSnapshotEndpointAsAnArrayOfEventsCarryingTheKey) {
    RideZavApi client(makeConfig());
    EXPECT_EQ(upload(client, 2, true).statusCode, 200);
    const auto received = server.requestsOf(Route::snapshot);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].path, "/ingest/s/");
    ASSERT_TRUE(received[0].json && received[0].json->is_array());
    ASSERT_EQ(received[0].json->size(), 2u);
    for (const auto& e : *received[0].json) EXPECT_EQ(e["api_key"], "phc_test");
    EXPECT_TRUE(log.contains("[RideZav] Snapshots sent successfully."));
}

TEST_F(RideZavApiLoopbackTest, AMinimalFlagsRequestSendsExactlyItsFourKeysUncompressed) {
    server.answer(Route::flags, Server::Answer::status(200, R"({"flags":{"a":{"enabled":true}}})"));
    RideZavApi client(makeConfig());
    auto result = flags(client);
    ASSERT_TRUE(result.object);
    EXPECT_TRUE(result.object->contains("flags"));
    EXPECT_FALSE(result.error);
    const auto received = server.requestsOf(Route::flags);
    ASSERT_EQ(received.size(), 1u);
    const auto& r = received[0];
    EXPECT_EQ(r.path, "/ingest/flags");
    EXPECT_EQ(r.query, "v=2");
    EXPECT_FALSE(r.gzipped);
    EXPECT_FALSE(r.header("Content-Encoding"));
    ASSERT_TRUE(r.json);
    EXPECT_EQ(keysOf(*r.json), (std::vector<std::string>{"api_key", "distinct_id", "groups", "timezone"}));
    EXPECT_EQ((*r.json)["distinct_id"], "user-1");
    EXPECT_EQ((*r.json)["groups"], Json({{"company", "c1"}}));
    EXPECT_TRUE((*r.json)["timezone"].is_string());
    EXPECT_TRUE(log.contains("[RideZav] Flags called successfully."));
}

TEST_F(RideZavApiLoopbackTest, AFullFlagsRequestAddsAnonymousIdPropertiesAndEvaluationContexts) {
    auto config = makeConfig();
    config.evaluationContexts = std::vector<std::string>{"web"};
    RideZavApi client(config);
    flags(client, "anon-1", Object{{"plan", "pro"}}, RideZavApi::GroupProperties{{"company", Object{{"size", 5}}}});
    const auto received = server.requestsOf(Route::flags);
    ASSERT_EQ(received.size(), 1u);
    const auto& json = *received[0].json;
    EXPECT_EQ(keysOf(json), (std::vector<std::string>{"api_key", "distinct_id", "groups", "timezone", "$anon_distinct_id",
                                                      "person_properties", "group_properties", "evaluation_contexts"}));
    EXPECT_EQ(json["person_properties"]["plan"], "pro");
    EXPECT_EQ(json["group_properties"]["company"]["size"], 5);
    EXPECT_EQ(json["evaluation_contexts"], Json::array({"web"}));
}

TEST_F(RideZavApiLoopbackTest, RemoteConfigurationIsAGetOfTheKeysConfig) {
    server.answer(Route::remoteConfig, Server::Answer::status(200, R"({"hasFeatureFlags":false})"));
    RideZavApi client(RideZavConfig("phc/x", std::string("https://") + kHost + "/ingest/"));
    std::optional<RideZavApi::JSONAnswer> result;
    client.getRemoteConfig([&](std::optional<Object> object, std::exception_ptr error) {
        result = RideZavApi::JSONAnswer{std::move(object), error};
    });
    ASSERT_TRUE(mainLoop.loop().runUntil([&] { return result.has_value(); }, 30s));
    ASSERT_TRUE(result->object);
    EXPECT_EQ(*result->object->find("hasFeatureFlags"), Value(false));
    const auto received = server.requestsOf(Route::remoteConfig);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "GET");
    EXPECT_EQ(received[0].path, "/ingest/array/phc%2Fx/config");
    EXPECT_FALSE(received[0].header("Content-Encoding"));
    EXPECT_TRUE(log.contains("[RideZav] Remote config called successfully."));
}

TEST_F(RideZavApiLoopbackTest, AnUploadRefusedWithAStatusGivesThatStatusAndNoError) {
    server.answer(Route::batch, Server::Answer::status(503, R"({"error":"busy"})"));
    RideZavApi client(makeConfig());
    const auto info = upload(client);
    EXPECT_EQ(info.statusCode, 503);
    EXPECT_FALSE(info.error);
    EXPECT_TRUE(log.contains(R"([RideZav] Error sending events to batch API: status: 503, body: {"error":"busy"}.)"));
}

TEST_F(RideZavApiLoopbackTest, ARedirectIsSeenNotFollowed) {
    server.answer(Route::batch, Server::Answer{velmo::test::LoopbackAnswer::text(302, "").withHeader(
                                    "Location", std::string("https://") + kHost + "/elsewhere")});
    RideZavApi client(makeConfig());
    EXPECT_EQ(upload(client).statusCode, 302);
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests().size(), 1u);
}

struct Failure {
    const char* name;
    std::function<Server::Answer(std::shared_ptr<Gate>)> answer;
    long code;
};

TEST_F(RideZavApiLoopbackTest, UnansweredUploadsGiveAnErrorAndNoStatus) {
    const Failure failures[] = {
        {"held", [](auto gate) { return Server::Answer::held(gate); }, velmo::URLError::timedOut},
        {"dropped", [](auto) { return Server::Answer::dropped(); }, velmo::URLError::networkConnectionLost},
        {"closed", [](auto) { return Server::Answer::closedWithoutReply(); }, 0},
    };
    for (const auto& failure : failures) {
        auto gate = std::make_shared<Gate>();
        server.answerNext(Route::batch, failure.answer(gate));
        RideZavApi client(makeConfig(), 0.5s);
        const auto started = std::chrono::steady_clock::now();
        const auto info = upload(client);
        EXPECT_FALSE(info.statusCode) << failure.name;
        ASSERT_TRUE(info.error) << failure.name;
        EXPECT_EQ(info.error->domain(), "NSURLErrorDomain") << failure.name;
        if (failure.code != 0) {
            EXPECT_EQ(info.error->code(), failure.code) << failure.name;
        }
        if (failure.code == velmo::URLError::timedOut) {
            EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(450));
        }
        gate->release();
    }
    EXPECT_EQ(log.linesStartingWith("[RideZav] Error calling the batch API: ").size(), 3u);
}

TEST_F(RideZavApiLoopbackTest, ARefusedConnectionGivesAnErrorAndNoStatus) {
    int closedPort;
    {
        Server gone;
        closedPort = gone.port();
    }
    velmo::OriginOverride::Scope toClosed(kHost, "http://127.0.0.1:" + std::to_string(closedPort));
    RideZavApi client(makeConfig());
    const auto info = upload(client);
    EXPECT_FALSE(info.statusCode);
    ASSERT_TRUE(info.error);
    EXPECT_EQ(info.error->code(), velmo::URLError::cannotConnectToHost);
    auto answer = flags(client);
    EXPECT_FALSE(answer.object);
    EXPECT_TRUE(answer.error);
}

// The queue over a store, uploading through the client to the loopback server.
class QueueUploadTest : public RideZavApiLoopbackTest {
protected:
    QueueUploadTest() {
        config.disableQueueTimerForTesting = true;
        config.disableReachabilityForTesting = true;
    }
    ~QueueUploadTest() override {
        dispatchQueue->sync([] {});
    }
    RideZavQueue& queue() {
        if (!queue_) queue_ = RideZavQueue::create(config, api, nullptr, RideZavApiEndpoint::batch, dispatchQueue, store);
        return *queue_;
    }
    void addEvents(int count) {
        for (int n = 0; n < count; ++n) queue().add(event(n));
    }
    bool settled() {
        dispatchQueue->sync([] {});
        return !queue().isFlushing();
    }

    velmo::test::TestDirectory dir;
    RideZavConfig config = makeConfig();
    std::shared_ptr<RideZavApi> api = std::make_shared<RideZavApi>(config);
    std::shared_ptr<velmo::SerialQueue> dispatchQueue = std::make_shared<velmo::SerialQueue>("com.ridezav.Queue");
    std::shared_ptr<RideZavFileBackedQueue> store =
        std::make_shared<RideZavFileBackedQueue>(std::filesystem::path(dir / "ridezav.queueFolder"));
    std::shared_ptr<RideZavQueue> queue_;
};

TEST_F(QueueUploadTest, TwentyAddsGiveOnePostOfTwentyEventsAndTheFilesAreRemoved) {
    addEvents(20);
    ASSERT_TRUE(mainLoop.loop().runUntil([&] { return store->depth() == 0 && settled(); }, 30s));
    const auto received = server.requestsOf(Route::batch);
    ASSERT_EQ(received.size(), 1u);
    ASSERT_TRUE(received[0].json);
    EXPECT_EQ((*received[0].json)["batch"].size(), 20u);
    EXPECT_TRUE(std::filesystem::is_empty(dir / "ridezav.queueFolder") || store->depth() == 0);
    EXPECT_EQ(queue().retryCount(), 0);
}

// Files the queue wrote go out byte for byte; a file in another readable form is read as an event
// and written anew; one that reads as no event is left out and removed with the batch.
TEST_F(QueueUploadTest, StoredEventsGoOutAsStoredOthersAreWrittenAnewAndUnreadableOnesLeave) {
    const std::filesystem::path folder = dir / "ridezav.queueFolder";
    std::filesystem::create_directories(folder);
    const std::string written = *jsonData(event(0).toJSON());
    const std::string older = R"({"distinct_id":"d","event":"legacy","properties":{"a":1}})";
    const std::pair<const char*, std::string> files[] = {
        {"1704067100.0", written}, {"1704067101.0", older}, {"1704067102.0", "{\"event\""}};
    for (const auto& [name, contents] : files) std::ofstream(folder / name) << contents;
    store = std::make_shared<RideZavFileBackedQueue>(folder);
    ASSERT_EQ(store->depth(), 3u);
    queue().take(50);
    ASSERT_TRUE(mainLoop.loop().runUntil([&] { return store->depth() == 0 && settled(); }, 30s));
    const auto received = server.requestsOf(Route::batch);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_NE(received[0].body.find("[" + written + ","), std::string::npos);
    ASSERT_TRUE(received[0].json);
    const auto& batch = (*received[0].json)["batch"];
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[1]["event"], "legacy");
    EXPECT_EQ(keysOf(batch[1]), (std::vector<std::string>{"event", "distinct_id", "properties", "timestamp", "uuid"}));
}

TEST_F(QueueUploadTest, UnansweredAndRedirectedBatchesStayAndTheQueuePauses) {
    struct Case {
        const char* name;
        std::optional<Server::Answer> answer;  // none: the connection is refused
    };
    const Case cases[] = {
        {"refused", std::nullopt},
        {"redirect", Server::Answer::status(302, "")},
    };
    addEvents(19);
    for (const auto& c : cases) {
        if (c.answer) {
            server.answerNext(Route::batch, *c.answer);
        } else {
            int closedPort;
            {
                Server gone;
                closedPort = gone.port();
            }
            velmo::OriginOverride::set(kHost, "http://127.0.0.1:" + std::to_string(closedPort));
        }
        const double retriesBefore = queue().retryCount();
        queue().take(50);
        ASSERT_TRUE(mainLoop.loop().runUntil([&] { return settled() && queue().retryCount() > retriesBefore; }, 30s)) << c.name;
        EXPECT_EQ(store->depth(), 19u) << c.name;
        const double delay = std::min((retriesBefore + 1) * 5.0, 30.0);
        EXPECT_EQ(queue().pausedUntil(),
                  clock->now() + std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(delay)))
            << c.name;
        EXPECT_FALSE(queue().canFlush()) << c.name;
        clock->advance(std::chrono::seconds(31));
        velmo::OriginOverride::set(kHost, server.origin());
    }
    EXPECT_EQ(server.requestsOf(Route::batch).size(), 1u);  // the refused one never arrived
}

}  // namespace
}  // namespace ridezav
