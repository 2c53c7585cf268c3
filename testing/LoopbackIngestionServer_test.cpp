#include "testing/LoopbackIngestionServer.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include "platform/net/URLSession.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/TaskProbe.h"

namespace velmo::test {
namespace {

using Route = LoopbackIngestionServer::Route;
using Answer = LoopbackIngestionServer::Answer;

TEST(LoopbackIngestionServer, NamesTheRouteOfAPathUnderAnyPrefix) {
    LoopbackIngestionServer server("/replay/");
    const std::pair<const char*, Route> cases[] = {
        {"/batch", Route::batch},           {"/ingest/batch", Route::batch},
        {"/replay/", Route::snapshot},      {"/s/", Route::unknown},
        {"/flags", Route::flags},           {"/array/phc_k/config", Route::remoteConfig},
        {"/array//config", Route::unknown}, {"/other", Route::unknown},
    };
    for (const auto& [path, route] : cases) EXPECT_EQ(server.routeOf(path), route) << path;
}

TEST(LoopbackIngestionServer, GunzipTakesOneWholeMemberOnly) {
    const std::string plain = R"({"a":1})";
    std::string packed(128, '\0');
    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = static_cast<uInt>(packed.size());
    ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    packed.resize(stream.total_out);
    deflateEnd(&stream);
    EXPECT_EQ(gunzip(packed), plain);
    EXPECT_FALSE(gunzip(packed + "x"));
    EXPECT_FALSE(gunzip(packed.substr(0, packed.size() - 3)));
    EXPECT_FALSE(gunzip("not gzip"));
}

TEST(LoopbackIngestionServer, AnswersQueuedForARouteComeBeforeItsStandingAnswerAndBodiesAreRecorded) {
    VirtualMainLoopScope scope;
    LoopbackIngestionServer server;
    server.answer(Route::batch, Answer::status(500, "{}"));
    server.answerNext(Route::batch, Answer::status(201, "{}"));
    URLSession session;
    auto post = [&](std::string body, bool gzipHeader) {
        URLRequest request(server.origin() + "/batch?x=1");
        request.httpMethod = "POST";
        if (gzipHeader) request.setValue("gzip", "Content-Encoding");
        auto probe = awaitTask(scope.loop(), session.upload(request, std::move(body)));
        return probe.value() ? probe.value()->response.statusCode : 0;
    };
    EXPECT_EQ(post(R"({"n":1})", false), 201);
    EXPECT_EQ(post("not gzip", true), 500);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].route, Route::batch);
    EXPECT_EQ(requests[0].query, "x=1");
    ASSERT_TRUE(requests[0].json);
    EXPECT_EQ((*requests[0].json)["n"], 1);
    EXPECT_TRUE(requests[1].gzipped);
    EXPECT_FALSE(requests[1].inflated);
    EXPECT_FALSE(requests[1].json);
}

}  // namespace
}  // namespace velmo::test
