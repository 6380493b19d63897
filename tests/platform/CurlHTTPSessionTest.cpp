// The libcurl session against a real TLS server on loopback.
#include <gtest/gtest.h>

#include <latch>

#include "platform/HTTPSession.h"
#include "platform/Task.h"
#include "platform/linux/CurlHTTPSession.h"
#include "tests/support/Expect.h"
#include "tests/support/TlsTestServer.h"

namespace tamsel::platform {
namespace {

using namespace std::chrono_literals;
using testing::RecordedRequest;
using testing::ScriptedResponse;
using testing::TestCertificates;
using testing::TlsTestServer;
using SteadyClock = std::chrono::steady_clock;
using ::tamsel::testing::thrown;
using ::tamsel::testing::thrownCode;

constexpr std::size_t kMiB = 1'048'576;

HTTPRequest get(const TlsTestServer& server, const std::string& path) {
    HTTPRequest request;
    request.url = server.origin() + path;
    return request;
}

ScriptedResponse plain(std::string body, int status = 200) {
    ScriptedResponse out;
    out.status = status;
    out.body = std::move(body);
    return out;
}

HTTPSessionSettings limits(std::chrono::milliseconds idle, std::chrono::milliseconds transfer) {
    HTTPSessionSettings settings;
    settings.idleLimit = idle;
    settings.transferLimit = transfer;
    return settings;
}

TEST(CurlHTTPSession, SendsTheRequestAsGivenAndReadsTheWholeAnswer) {
    TlsTestServer server;
    ScriptedResponse answer = plain("{\"ok\":true}", 202);
    answer.headers = {{"X-One", "1"}, {"cache-control", "private"}, {"Cache-Control", "No-Store"}};
    server.respond(answer);
    auto session = testing::testSessions()->makeSession();

    HTTPRequest request = get(server, "/a/b?limit=50&cursor=x");
    request.method = "POST";
    request.headers = {{"Accept", "application/json"},
                       {"Idempotency-Key", "worker_ABC"},
                       {"Content-Type", "application/json"}};
    request.body = "{\"batchId\":\"b\"}";
    HTTPResponse response = session->perform(request);

    EXPECT_EQ(response.status, 202);
    EXPECT_EQ(response.body, "{\"ok\":true}");
    EXPECT_FALSE(response.bodyExceededLimit);
    EXPECT_EQ(response.header("x-one"), "1");
    EXPECT_EQ(response.header("CACHE-CONTROL"), "private, No-Store");
    EXPECT_EQ(response.header("X-Absent"), std::nullopt);

    ASSERT_EQ(server.requests().size(), 1u);
    const RecordedRequest sent = server.requests()[0];
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.target, "/a/b?limit=50&cursor=x");
    EXPECT_EQ(sent.header("Accept"), "application/json");
    EXPECT_EQ(sent.header("Idempotency-Key"), "worker_ABC");
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(sent.header("Expect"), std::nullopt);
    EXPECT_EQ(sent.header("Cookie"), std::nullopt);
    EXPECT_EQ(sent.body, "{\"batchId\":\"b\"}");
}

TEST(CurlHTTPSession, PostWithoutBodySendsNoContentType) {
    TlsTestServer server;
    server.respond(plain("{}"));
    auto session = testing::testSessions()->makeSession();
    HTTPRequest request = get(server, "/worker-sessions");
    request.method = "POST";
    EXPECT_EQ(session->perform(request).status, 200);
    HTTPRequest plainGet = get(server, "/badge");
    EXPECT_EQ(session->perform(plainGet).status, 200);

    auto sent = server.requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].method, "POST");
    EXPECT_EQ(sent[0].header("Content-Type"), std::nullopt);
    EXPECT_EQ(sent[0].body, "");
    EXPECT_EQ(sent[1].method, "GET");
    EXPECT_EQ(sent[1].header("Content-Type"), std::nullopt);
}

TEST(CurlHTTPSession, ARedirectIsTheAnswerAndIsNotFollowed) {
    TlsTestServer server;
    server.setHandler([&](const RecordedRequest& request) {
        if (request.path == "/start") {
            ScriptedResponse moved = plain("{\"moved\":true}", 302);
            moved.headers = {{"Location", "/elsewhere"}};
            return moved;
        }
        return plain("{}");
    });
    auto session = testing::testSessions()->makeSession();
    HTTPResponse response = session->perform(get(server, "/start"));
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.header("Location"), "/elsewhere");
    EXPECT_EQ(response.body, "{\"moved\":true}");
    EXPECT_EQ(server.requests().size(), 1u);
}

// Neither a session nor another one of the same factory sends a cookie back.
TEST(CurlHTTPSession, NeverSendsACookieBackKeepsItsConnectionAndSharesNothingWithOtherSessions) {
    TlsTestServer server;
    ScriptedResponse withCookie = plain("{}");
    withCookie.headers = {{"Set-Cookie", "session=secret; Path=/"}};
    server.respond(withCookie);
    auto factory = testing::testSessions();
    auto session = factory->makeSession();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(session->perform(get(server, "/p")).status, 200);
    EXPECT_EQ(factory->makeSession()->perform(get(server, "/other")).status, 200);

    auto sent = server.requests();
    ASSERT_EQ(sent.size(), 4u);
    for (const auto& request : sent) EXPECT_EQ(request.header("Cookie"), std::nullopt);
    // One connection for the whole run.
    EXPECT_EQ(sent[1].remotePort, sent[0].remotePort);
    EXPECT_EQ(sent[2].remotePort, sent[0].remotePort);
}

TEST(CurlHTTPSession, ReadsExactlyTheBodyLimitAndStopsPastIt) {
    struct Case {
        const char* name;
        std::size_t size;
        bool chunked;
        bool exceeded;
    };
    const Case cases[] = {
        {"exactly the limit, with a length", kMiB, false, false},
        {"one byte more, with a length", kMiB + 1, false, true},
        {"exactly the limit, chunked", kMiB, true, false},
        {"one byte more, chunked", kMiB + 1, true, true},
        {"far more, chunked", 8 * kMiB, true, true},
    };
    TlsTestServer server;
    auto session = testing::testSessions()->makeSession();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedResponse big = plain(std::string(c.size, 'x'));
        big.chunked = c.chunked;
        server.respond(big);
        HTTPResponse response = session->perform(get(server, "/big"));
        EXPECT_EQ(response.bodyExceededLimit, c.exceeded);
        EXPECT_EQ(response.status, 200);
        if (c.exceeded)
            EXPECT_LE(response.body.size(), kMiB);
        else
            EXPECT_EQ(response.body.size(), c.size);
    }
}

TEST(CurlHTTPSession, AStalledAnswerIsCutByTheIdleLimit) {
    struct Case {
        const char* name;
        ScriptedResponse script;
    };
    ScriptedResponse beforeHeaders = plain("{}");
    beforeHeaders.delay = 30s;
    ScriptedResponse afterHeaders = plain(std::string(100, 'x'));
    afterHeaders.stallAfter = 0;
    ScriptedResponse midBody = plain(std::string(100, 'x'));
    midBody.stallAfter = 10;
    ScriptedResponse midChunked = midBody;
    midChunked.chunked = true;
    const Case cases[] = {{"nothing sent", beforeHeaders},
                          {"headers only", afterHeaders},
                          {"part of the body", midBody},
                          {"part of a chunked body", midChunked}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TlsTestServer server;
        server.respond(c.script);
        auto session = testing::testSessions(limits(300ms, 20s))->makeSession();
        auto start = SteadyClock::now();
        EXPECT_EQ(thrownCode<HTTPSessionError>([&] { session->perform(get(server, "/stall")); }),
                  HTTPSessionError::kTimedOut);
        auto elapsed = SteadyClock::now() - start;
        EXPECT_GE(elapsed, 290ms);
        EXPECT_LT(elapsed, 3s);
    }
}

TEST(CurlHTTPSession, ATricklingAnswerIsCutByTheTransferLimit) {
    TlsTestServer server;
    ScriptedResponse trickle = plain(std::string(200, 'x'));
    trickle.pieceSize = 1;
    trickle.piecePause = 50ms;  // always within the idle limit, never done within the transfer limit
    server.respond(trickle);
    auto session = testing::testSessions(limits(400ms, 800ms))->makeSession();
    auto start = SteadyClock::now();
    EXPECT_EQ(thrownCode<HTTPSessionError>([&] { session->perform(get(server, "/trickle")); }),
              HTTPSessionError::kTimedOut);
    auto elapsed = SteadyClock::now() - start;
    EXPECT_GE(elapsed, 750ms);
    EXPECT_LT(elapsed, 4s);
}

TEST(CurlHTTPSession, CancellingTheTaskStopsTheTransferAtOnce) {
    TlsTestServer server;
    ScriptedResponse stall = plain(std::string(100, 'x'));
    stall.stallAfter = 10;
    server.respond(stall);
    auto session = testing::testSessions()->makeSession();
    auto task = Task<HTTPResponse>::start([session, url = server.origin() + "/stall"] {
        HTTPRequest request;
        request.url = url;
        return session->perform(request);
    });
    ASSERT_TRUE(server.waitForRequests(1));
    std::this_thread::sleep_for(50ms);  // well inside the transfer
    auto cancelled = SteadyClock::now();
    task.cancel();
    ASSERT_TRUE(task.waitUntil(cancelled + 5s));
    EXPECT_LT(SteadyClock::now() - cancelled, 500ms);
    EXPECT_THROW(task.value(), CancellationError);
    // No task thread may outlive the test process's statics.
    EXPECT_TRUE(waitForAllTasks(std::chrono::steady_clock::now() + 5s));
}

TEST(CurlHTTPSession, ACancelledTaskSendsNothing) {
    TlsTestServer server;
    server.respond(plain("{}"));
    auto session = testing::testSessions()->makeSession();
    auto cancelled = std::make_shared<std::latch>(1);
    auto task = Task<HTTPResponse>::start([session, cancelled, url = server.origin() + "/x"] {
        cancelled->wait();
        HTTPRequest request;
        request.url = url;
        return session->perform(request);
    });
    task.cancel();
    cancelled->count_down();
    EXPECT_THROW(task.value(), CancellationError);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(waitForAllTasks(std::chrono::steady_clock::now() + 5s));
}

TEST(CurlHTTPSession, RefusesACertificateItDoesNotTrust) {
    TlsTestServer server(TestCertificates::untrusted());
    server.respond(plain("{}"));
    struct Case {
        const char* name;
        std::optional<std::filesystem::path> caFile;
    };
    const Case cases[] = {{"the test CA in place of the system's store", TestCertificates::trusted().caFile},
                          {"the system's store", std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HTTPSessionSettings settings;
        settings.caFile = c.caFile;
        auto session = CurlHTTPSessionFactory(settings).makeSession();
        EXPECT_EQ(thrownCode<HTTPSessionError>([&] { session->perform(get(server, "/secret?token=abc")); }),
                  HTTPSessionError::kPeerFailedVerification);
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST(CurlHTTPSession, ErrorsCarryNoRequestText) {
    TlsTestServer server(TestCertificates::untrusted());
    auto session = testing::testSessions()->makeSession();
    HTTPRequest request = get(server, "/receivers/SECRETPATH?token=SECRETTOKEN");
    request.headers = {{"Authorization", "Bearer SECRETBEARER"}};
    const std::string text =
        thrown<HTTPSessionError>([&] { session->perform(request); },
                                 [](const auto& error) { return std::string(error.what()); })
            .value_or("");
    for (const char* secret : {"SECRET", "127.0.0.1", "receivers", "Bearer"})
        EXPECT_EQ(text.find(secret), std::string::npos) << text;
}

TEST(CurlHTTPSession, RefusesWhatCannotBeSentSafely) {
    TlsTestServer server;
    server.respond(plain("{}"));
    auto session = testing::testSessions()->makeSession();
    struct Case {
        const char* name;
        HTTPRequest request;
        int code;
    };
    HTTPRequest injected = get(server, "/x");
    injected.headers = {{"X-Token", "a\r\nCookie: stolen=1"}};
    HTTPRequest badName = get(server, "/x");
    badName.headers = {{"X Token", "a"}};
    HTTPRequest badMethod = get(server, "/x");
    badMethod.method = "GET /other HTTP/1.1\r\n";
    HTTPRequest cleartext;
    cleartext.url = "http://127.0.0.1:" + std::to_string(server.port()) + "/x";
    const Case cases[] = {{"a header value with a line break", injected, HTTPSessionError::kBadArgument},
                          {"a header name with a space", badName, HTTPSessionError::kBadArgument},
                          {"a method that is not a token", badMethod, HTTPSessionError::kBadArgument},
                          {"a cleartext URL", cleartext, 1 /* unsupported protocol */}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(thrownCode<HTTPSessionError>([&] { session->perform(c.request); }), c.code);
    }
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace tamsel::platform
