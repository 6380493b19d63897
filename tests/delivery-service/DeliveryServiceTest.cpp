// The reference delivery service, run as its real binary and spoken to over
// HTTPS with certificate verification against the CA it generated.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <thread>

#include "platform/Regex.h"
#include "tests/support/ChangeRecords.h"
#include "tests/support/DeliveryServiceProcess.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using tamsel::platform::Json;
using tamsel::platform::Regex;
using tamsel::platform::testing::DeliveryServiceProcess;
using tamsel::platform::testing::runDeliveryService;
using Reply = DeliveryServiceProcess::Reply;
using Headers = std::map<std::string, std::string>;

const std::string kBase = "/api/v2/notification-receivers/";

std::set<std::string> keys(const Json& object) {
    std::set<std::string> out;
    for (const auto& [key, value] : object.items()) out.insert(key);
    return out;
}

void expectEnvelope(const Reply& reply, const std::string& schema) {
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.header("Cache-Control"), "no-store");
    Json body = reply.json();
    EXPECT_EQ(keys(body), (std::set<std::string>{"success", "data", "meta"}));
    EXPECT_EQ(body["success"], true);
    EXPECT_EQ(body["meta"], (Json{{"schema", schema}}));
    EXPECT_TRUE(body["data"].is_object());
}

void expectError(const Reply& reply, int status, const std::string& code) {
    EXPECT_EQ(reply.status, status) << reply.body;
    EXPECT_EQ(reply.header("Cache-Control"), "no-store");
    EXPECT_EQ(reply.json(), (Json{{"error", {{"code", code}}}})) << reply.body;
}

bool isProof(const Json& v) {
    return v.is_string() && Regex("^[A-Za-z0-9_-]{43}$").search(v.get<std::string>());
}
bool isIdentifier(const Json& v) {
    return v.is_string() && Regex("^[A-Za-z0-9_-]{16,128}$").search(v.get<std::string>());
}

// Seconds since the Unix epoch of the service's "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::optional<double> instant(const Json& v) {
    if (!v.is_string()) return std::nullopt;
    const std::string text = v;
    static const Regex shape("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z$");
    if (!shape.search(text)) return std::nullopt;
    std::tm t{};
    int milliseconds = 0;
    std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                &t.tm_min, &t.tm_sec, &milliseconds);
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<double>(timegm(&t)) + milliseconds / 1000.0;
}

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Json record(const std::string& id, const std::string& revision) {
    return tamsel::testing::withdrawnRecord(id, revision);
}

// A client of one receiver, speaking the protocol by hand.
struct Client {
    const DeliveryServiceProcess& service;
    Json credential;
    std::string token;

    std::string id() const { return credential["receiverID"]; }

    Reply openSession(const std::string& key) const {
        return service.send(
            "POST", kBase + id() + "/worker-sessions",
            {{"Tamsel-Receiver-Refresh", credential["refreshProof"]}, {"Idempotency-Key", key}});
    }
    void start() {
        Reply reply = openSession("worker_" + std::to_string(std::rand()));
        ASSERT_EQ(reply.status, 200) << reply.body;
        token = reply.json()["data"]["workerSession"]["accessToken"];
    }
    Reply page(int limit, const std::optional<std::string>& cursor = std::nullopt) const {
        std::string path = kBase + id() + "/delivery-changes?limit=" + std::to_string(limit);
        if (cursor) path += "&cursor=" + *cursor;
        return service.send("GET", path, {{"Authorization", "Bearer " + token}});
    }
    Reply acknowledge(const Json& page, const std::string& key) const {
        Json body = {{"batchId", page["batchId"]}, {"receiptProof", page["receiptProof"]}};
        return service.send("POST", kBase + id() + "/delivery-acknowledgments",
                            {{"Authorization", "Bearer " + token},
                             {"Idempotency-Key", key},
                             {"Content-Type", "application/json"}},
                            body.dump());
    }
    Json summary() const { return service.admin("GET", "/admin/receivers/" + id()); }
};

class DeliveryServiceTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { service_ = new DeliveryServiceProcess(); }
    static void TearDownTestSuite() {
        delete service_;
        service_ = nullptr;
    }
    Client newClient() { return Client{*service_, service_->registerReceiver(), ""}; }

    static DeliveryServiceProcess* service_;
};
DeliveryServiceProcess* DeliveryServiceTest::service_ = nullptr;

TEST_F(DeliveryServiceTest, PagesTheQueuedChangesInOrderAndAnAcknowledgmentRemovesItsBatch) {
    Client client = newClient();
    Json records = Json::array();
    for (int i = 1; i <= 5; ++i)
        records.push_back(record("notification_000" + std::to_string(i) + "_abcdef", std::to_string(i)));
    service_->admin("POST", "/admin/receivers/" + client.id() + "/changes", records);
    client.start();

    std::optional<std::string> cursor;
    std::vector<Json> sent;
    std::set<std::string> batches;
    for (int expected : {2, 2, 1}) {
        Reply reply = client.page(2, cursor);
        expectEnvelope(reply, "notification_delivery_changes.v2");
        Json data = reply.json()["data"];
        EXPECT_EQ(keys(data),
                  (std::set<std::string>{"batchId", "receiptProof", "changes", "nextCursor", "expiresAt"}));
        EXPECT_TRUE(isIdentifier(data["batchId"]));
        EXPECT_TRUE(isProof(data["receiptProof"]));
        ASSERT_EQ(data["changes"].size(), static_cast<std::size_t>(expected));
        for (const Json& change : data["changes"]) sent.push_back(change);
        EXPECT_TRUE(batches.insert(data["batchId"]).second) << "batch ids are unique";
        Reply ack = client.acknowledge(data, "receipt_" + data["batchId"].get<std::string>());
        expectEnvelope(ack, "notification_delivery_acknowledged.v2");
        Json acknowledgment = ack.json()["data"]["acknowledgment"];
        EXPECT_EQ(acknowledgment["receiverId"], client.id());
        EXPECT_EQ(acknowledgment["batchId"], data["batchId"]);
        if (expected == 1) {
            EXPECT_TRUE(data["nextCursor"].is_null());
        } else {
            ASSERT_TRUE(isProof(data["nextCursor"])) << data["nextCursor"];
            cursor = data["nextCursor"].get<std::string>();
        }
    }
    // Every record comes back exactly as it was queued, in queue order.
    EXPECT_EQ(Json(sent), records);
    Json acks = service_->admin("GET", "/admin/receivers/" + client.id() + "/acknowledgments");
    EXPECT_EQ(acks["pending"], 0);
    ASSERT_EQ(acks["acknowledgments"].size(), 3u);
    EXPECT_EQ(
        acks["acknowledgments"][2]["notifications"],
        (Json::array({{{"notificationId", "notification_0005_abcdef"}, {"notificationRevision", "5"}}})));

    // Nothing is left for the next run.
    Reply empty = client.page(50);
    expectEnvelope(empty, "notification_delivery_changes.v2");
    EXPECT_EQ(empty.json()["data"]["changes"], Json::array());
    EXPECT_TRUE(empty.json()["data"]["nextCursor"].is_null());
}

TEST_F(DeliveryServiceTest, UnacknowledgedChangesComeAgainFromTheStartButTheCursorMovesPastThem) {
    Client client = newClient();
    service_->admin("POST", "/admin/receivers/" + client.id() + "/changes",
                    {record("first_notification_1", "1"), record("second_notification_2", "1"),
                     record("third_notification_3", "1")});
    client.start();
    Json first = client.page(1).json()["data"];
    ASSERT_EQ(first["changes"].size(), 1u);
    Json second = client.page(1, first["nextCursor"].get<std::string>()).json()["data"];
    EXPECT_EQ(second["changes"][0]["notificationId"], "second_notification_2");
    expectEnvelope(client.acknowledge(second, "receipt_second"), "notification_delivery_acknowledged.v2");

    // A new run without a cursor starts at the oldest unacknowledged change.
    Json again = client.page(50).json()["data"];
    ASSERT_EQ(again["changes"].size(), 2u);
    EXPECT_EQ(again["changes"][0]["notificationId"], "first_notification_1");
    EXPECT_EQ(again["changes"][1]["notificationId"], "third_notification_3");
    EXPECT_EQ(client.summary()["pending"], 2);
}

TEST_F(DeliveryServiceTest, AnEmptyPageHasNoCursorAndCanBeAcknowledged) {
    Client client = newClient();
    client.start();
    Json page = client.page(50).json()["data"];
    EXPECT_EQ(page["changes"], Json::array());
    EXPECT_TRUE(page["nextCursor"].is_null());
    expectEnvelope(client.acknowledge(page, "receipt_empty"), "notification_delivery_acknowledged.v2");
}

TEST_F(DeliveryServiceTest, EmptyPagesCanBeGivenCursorsForAsManyPagesAsAsked) {
    Client client = newClient();
    const std::string path = "/admin/receivers/" + client.id() + "/empty-pages";
    EXPECT_EQ(service_->admin("POST", path, Json{{"count", 2}}), (Json{{"emptyPages", 2}}));
    client.start();

    // Two empty pages with a cursor each, then the third ends the run as usual.
    std::optional<std::string> cursor;
    std::set<std::string> cursors;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("page " + std::to_string(i + 1));
        Reply reply = client.page(50, cursor);
        expectEnvelope(reply, "notification_delivery_changes.v2");
        Json data = reply.json()["data"];
        EXPECT_EQ(data["changes"], Json::array());
        expectEnvelope(client.acknowledge(data, "receipt_empty_" + std::to_string(i)),
                       "notification_delivery_acknowledged.v2");
        if (i == 2) {
            EXPECT_TRUE(data["nextCursor"].is_null());
        } else {
            ASSERT_TRUE(isProof(data["nextCursor"])) << data["nextCursor"];
            EXPECT_TRUE(cursors.insert(data["nextCursor"].get<std::string>()).second);
            cursor = data["nextCursor"].get<std::string>();
        }
    }

    // A change queued now is still served after a cursor handed out before it.
    service_->admin("POST", path, Json{{"count", 1}});
    std::string early = client.page(50).json()["data"]["nextCursor"];
    service_->admin("POST", "/admin/receivers/" + client.id() + "/changes",
                    record("late_notification_1", "1"));
    Json after = client.page(50, early).json()["data"];
    ASSERT_EQ(after["changes"].size(), 1u);
    EXPECT_EQ(after["changes"][0]["notificationId"], "late_notification_1");
    EXPECT_TRUE(after["nextCursor"].is_null());

    for (const Json& bad : {Json{{"count", -1}}, Json{{"count", "3"}}, Json{{"count", 1.5}}, Json::object(),
                            Json{{"count", 1}, {"extra", 1}}}) {
        SCOPED_TRACE(bad.dump());
        Reply reply =
            service_->send("POST", path, {{"Authorization", "Bearer " + service_->adminToken()}}, bad.dump());
        EXPECT_EQ(reply.status, 400) << reply.body;
    }
}

TEST_F(DeliveryServiceTest, PlannedValuesAreHandedOutInOrderAndThenRandomOnesAgain) {
    Client client = newClient();
    const std::string base = "/admin/receivers/" + client.id();
    service_->admin("POST", base + "/empty-pages", Json{{"count", 1}});
    // What a run takes, in order: the token; then per page its receipt proof,
    // its cursor when it has one, and its batch id.
    const std::vector<std::string> plan = {"planned_token_0001", "planned_proof_0001", "planned_cursor_001",
                                           "batch_planned_0001", "planned_proof_0002", "batch_planned_0002"};
    EXPECT_EQ(service_->admin("POST", base + "/planned-values", Json{{"values", plan}}),
              (Json{{"plannedValues", plan.size()}}));
    client.start();
    EXPECT_EQ(client.token, plan[0]);
    Json first = client.page(50).json()["data"];
    EXPECT_EQ(first["receiptProof"], plan[1]);
    EXPECT_EQ(first["nextCursor"], plan[2]);
    EXPECT_EQ(first["batchId"], plan[3]);
    expectEnvelope(client.acknowledge(first, "receipt_planned_1"), "notification_delivery_acknowledged.v2");
    Json second = client.page(50, plan[2]).json()["data"];
    EXPECT_EQ(second["receiptProof"], plan[4]);
    EXPECT_EQ(second["batchId"], plan[5]);
    EXPECT_TRUE(second["nextCursor"].is_null());
    EXPECT_EQ(client.summary()["plannedValues"], 0);
    Json third = client.page(50).json()["data"];
    EXPECT_TRUE(isProof(third["receiptProof"])) << third;

    auto refused = [&](const Json& body) {
        SCOPED_TRACE(body.dump());
        return service_
            ->send("POST", base + "/planned-values", {{"Authorization", "Bearer " + service_->adminToken()}},
                   body.dump())
            .status;
    };
    // In use as a token, a cursor or a batch id, or twice in one list: none of the list is kept.
    for (const std::string& inUse : {plan[0], plan[2], plan[3]})
        EXPECT_EQ(refused(Json{{"values", {"planned_fresh_0001", inUse}}}), 409);
    EXPECT_EQ(refused(Json{{"values", {"planned_twice_0001", "planned_twice_0001"}}}), 409);
    for (const Json& bad : {Json::object(), Json{{"values", "planned_token_0002"}},
                            Json{{"values", {"short"}}}, Json{{"values", {"planned token 0002"}}},
                            Json{{"values", {1}}}, Json{{"values", Json::array()}, {"extra", 1}}})
        EXPECT_EQ(refused(bad), 400);
    EXPECT_EQ(client.summary()["plannedValues"], 0);
}

TEST_F(DeliveryServiceTest, ARepeatedIdempotencyKeyGetsTheFirstAnswerAgain) {
    Client client = newClient();
    Reply first = client.openSession("worker_SAMEKEY");
    Reply second = client.openSession("worker_SAMEKEY");
    expectEnvelope(second, "notification_worker_session.v2");
    EXPECT_EQ(first.body, second.body);
    EXPECT_NE(client.openSession("worker_OTHERKEY").json()["data"]["workerSession"]["accessToken"],
              first.json()["data"]["workerSession"]["accessToken"]);

    client.token = first.json()["data"]["workerSession"]["accessToken"];
    service_->admin("POST", "/admin/receivers/" + client.id() + "/changes",
                    record("repeated_notification", "1"));
    Json page = client.page(50).json()["data"];
    Reply ack = client.acknowledge(page, "receipt_SAMEKEY");
    Reply again = client.acknowledge(page, "receipt_SAMEKEY");
    EXPECT_EQ(ack.body, again.body);
    EXPECT_EQ(
        service_->admin("GET", "/admin/receivers/" + client.id() + "/acknowledgments")["acknowledgments"]
            .size(),
        1u);

    // The same key for a different request is refused, and changes nothing.
    Json otherPage = client.page(50).json()["data"];
    expectError(client.acknowledge(otherPage, "receipt_SAMEKEY"), 422, "idempotency_key_reused");
    Json wrongProof = client.credential;
    wrongProof["refreshProof"] = std::string(43, 'A');
    expectError(Client{*service_, wrongProof, ""}.openSession("worker_SAMEKEY"), 401,
                "invalid_refresh_proof");
}

TEST_F(DeliveryServiceTest, RefusesBadRequestsWithTheErrorEnvelope) {
    Client client = newClient();
    service_->admin("POST", "/admin/receivers/" + client.id() + "/changes",
                    record("refused_notification", "1"));
    client.start();
    Json page = client.page(50).json()["data"];
    const std::string base = kBase + client.id();
    const Headers bearer = {{"Authorization", "Bearer " + client.token}};
    const Headers ackHeaders = {{"Authorization", "Bearer " + client.token},
                                {"Idempotency-Key", "receipt_X"},
                                {"Content-Type", "application/json"}};
    auto ackBody = [&](Json body) { return body.dump(); };

    struct Row {
        const char* name;
        std::string method, path;
        Headers headers;
        std::optional<std::string> body;
        int status;
        const char* code;
    };
    const std::vector<Row> rows = {
        {"unknown receiver",
         "POST",
         kBase + "unknown_receiver_0001/worker-sessions",
         {{"Tamsel-Receiver-Refresh", client.credential["refreshProof"]}, {"Idempotency-Key", "worker_1"}},
         {},
         404,
         "receiver_not_found"},
        {"no refresh proof",
         "POST",
         base + "/worker-sessions",
         {{"Idempotency-Key", "worker_2"}},
         {},
         401,
         "invalid_refresh_proof"},
        {"no idempotency key",
         "POST",
         base + "/worker-sessions",
         {{"Tamsel-Receiver-Refresh", client.credential["refreshProof"]}},
         {},
         400,
         "idempotency_key_required"},
        {"no access token", "GET", base + "/badge", {}, {}, 401, "invalid_access_token"},
        {"token without Bearer",
         "GET",
         base + "/badge",
         {{"Authorization", client.token}},
         {},
         401,
         "invalid_access_token"},
        {"unknown token",
         "GET",
         base + "/delivery-changes?limit=50",
         {{"Authorization", "Bearer " + std::string(43, 'x')}},
         {},
         401,
         "invalid_access_token"},
        {"missing limit", "GET", base + "/delivery-changes", bearer, {}, 400, "invalid_limit"},
        {"limit 0", "GET", base + "/delivery-changes?limit=0", bearer, {}, 400, "invalid_limit"},
        {"limit 101", "GET", base + "/delivery-changes?limit=101", bearer, {}, 400, "invalid_limit"},
        {"limit not a number", "GET", base + "/delivery-changes?limit=5x", bearer, {}, 400, "invalid_limit"},
        {"unknown cursor",
         "GET",
         base + "/delivery-changes?limit=50&cursor=" + std::string(43, 'C'),
         bearer,
         {},
         400,
         "invalid_cursor"},
        {"ack without content type",
         "POST",
         base + "/delivery-acknowledgments",
         {{"Authorization", "Bearer " + client.token}, {"Idempotency-Key", "receipt_Y"}},
         ackBody({{"batchId", page["batchId"]}, {"receiptProof", page["receiptProof"]}}),
         415,
         "unsupported_media_type"},
        {"ack without key",
         "POST",
         base + "/delivery-acknowledgments",
         {{"Authorization", "Bearer " + client.token}, {"Content-Type", "application/json"}},
         ackBody({{"batchId", page["batchId"]}, {"receiptProof", page["receiptProof"]}}),
         400,
         "idempotency_key_required"},
        {"ack not JSON", "POST", base + "/delivery-acknowledgments", ackHeaders, std::string("batchId="), 400,
         "invalid_request"},
        {"ack with a third member", "POST", base + "/delivery-acknowledgments", ackHeaders,
         ackBody({{"batchId", page["batchId"]}, {"receiptProof", page["receiptProof"]}, {"x", 1}}), 400,
         "invalid_request"},
        {"ack of an unknown batch", "POST", base + "/delivery-acknowledgments", ackHeaders,
         ackBody({{"batchId", "batch_unknown_000001"}, {"receiptProof", page["receiptProof"]}}), 404,
         "batch_not_found"},
        {"ack with a wrong receipt proof", "POST", base + "/delivery-acknowledgments", ackHeaders,
         ackBody({{"batchId", page["batchId"]}, {"receiptProof", std::string(43, 'R')}}), 403,
         "invalid_receipt_proof"},
        {"unknown path", "GET", "/api/v2/nothing", {}, {}, 404, "not_found"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        expectError(service_->send(row.method, row.path, row.headers, row.body), row.status, row.code);
    }
    // None of the refusals acknowledged anything.
    EXPECT_EQ(client.summary()["pending"], 1);
}

TEST_F(DeliveryServiceTest, ExpiredCursorsAreRefusedAsInvalid) {
    Client client = newClient();
    service_->admin("POST", "/admin/receivers/" + client.id() + "/changes",
                    {record("cursor_notification_1", "1"), record("cursor_notification_2", "1")});
    client.start();
    std::string cursor = client.page(1).json()["data"]["nextCursor"];
    EXPECT_EQ(client.page(1, cursor).status, 200);
    EXPECT_EQ(service_->admin("POST", "/admin/receivers/" + client.id() + "/expire-cursors")["expired"], 1);
    expectError(client.page(1, cursor), 400, "invalid_cursor");
}

TEST_F(DeliveryServiceTest, IssuesValuesInTheShapesItsClientsCheck) {
    const double before = nowSeconds();
    Json credential = service_->registerReceiver({{"authorizationRevision", "7"}});
    EXPECT_EQ(keys(credential),
              (std::set<std::string>{"receiverID", "refreshProof", "authorizationRevision", "expiresAt"}));
    EXPECT_TRUE(isIdentifier(credential["receiverID"]));
    EXPECT_TRUE(isProof(credential["refreshProof"]));
    EXPECT_EQ(credential["authorizationRevision"], "7");
    ASSERT_TRUE(credential["expiresAt"].is_number());
    // Seconds since 2001-01-01, thirty days ahead by default.
    EXPECT_NEAR(credential["expiresAt"].get<double>() + 978307200.0, before + 30 * 86400.0, 60);

    Client client{*service_, credential, ""};
    Reply reply = client.openSession("worker_SHAPES");
    expectEnvelope(reply, "notification_worker_session.v2");
    Json session = reply.json()["data"];
    EXPECT_EQ(keys(session), (std::set<std::string>{"workerSession"}));
    session = session["workerSession"];
    EXPECT_EQ(keys(session),
              (std::set<std::string>{"receiverId", "accessToken", "expiresAt", "authorizationRevision"}));
    EXPECT_EQ(session["receiverId"], credential["receiverID"]);
    EXPECT_EQ(session["authorizationRevision"], "7");
    EXPECT_TRUE(isProof(session["accessToken"]));
    auto expires = instant(session["expiresAt"]);
    ASSERT_TRUE(expires) << session["expiresAt"];
    EXPECT_NEAR(*expires, before + 300, 60);

    // A rotated credential has a new proof and the next revision; the old proof stops working.
    Json rotated = service_->admin("POST", "/admin/receivers/" + client.id() + "/credential");
    EXPECT_EQ(rotated["authorizationRevision"], "8");
    EXPECT_NE(rotated["refreshProof"], credential["refreshProof"]);
    expectError(client.openSession("worker_OLD"), 401, "invalid_refresh_proof");
    expectEnvelope(Client{*service_, rotated, ""}.openSession("worker_NEW"),
                   "notification_worker_session.v2");
}

TEST_F(DeliveryServiceTest, ServesTheLatestBadgeWithRisingRevisions) {
    Client client = newClient();
    client.start();
    auto badge = [&] {
        Reply reply = service_->send("GET", kBase + client.id() + "/badge",
                                     {{"Authorization", "Bearer " + client.token}});
        expectEnvelope(reply, "notification_badge.v1");
        return reply.json()["data"];
    };
    EXPECT_EQ(badge(),
              (Json{{"badge", {{"receiverId", client.id()}, {"revision", "1"}, {"unreadCount", 0}}}}));
    service_->admin("POST", "/admin/receivers/" + client.id() + "/badge", {{"unreadCount", 4}});
    service_->admin("POST", "/admin/receivers/" + client.id() + "/badge", {{"unreadCount", 9}});
    EXPECT_EQ(badge()["badge"], (Json{{"receiverId", client.id()}, {"revision", "3"}, {"unreadCount", 9}}));
    service_->admin("POST", "/admin/receivers/" + client.id() + "/badge",
                    {{"unreadCount", 1}, {"revision", "40"}});
    service_->admin("POST", "/admin/receivers/" + client.id() + "/badge", {{"unreadCount", 2}});
    EXPECT_EQ(badge()["badge"]["revision"], "41");
}

TEST_F(DeliveryServiceTest, TheAdminInterfaceNeedsItsToken) {
    for (const Headers& headers : {Headers{}, Headers{{"Authorization", "Bearer " + std::string(43, 'a')}},
                                   Headers{{"Authorization", service_->adminToken()}}}) {
        expectError(service_->send("POST", "/admin/receivers", headers, "{}"), 401, "unauthorized");
    }
    Reply bad =
        service_->send("POST", "/admin/receivers", {{"Authorization", "Bearer " + service_->adminToken()}},
                       R"({"receiverId":"short"})");
    expectError(bad, 400, "invalid_receiver_id");
}

TEST_F(DeliveryServiceTest, GeneratedChangesAreWellFormedRecords) {
    Client client = newClient();
    service_->admin("POST", "/admin/receivers/" + client.id() + "/changes/generate",
                    {{"count", 60}, {"bodyScalars", 320}});
    client.start();
    Json page = client.page(50).json()["data"];
    ASSERT_EQ(page["changes"].size(), 50u);
    std::set<std::string> ids;
    for (const Json& change : page["changes"]) {
        EXPECT_TRUE(isIdentifier(change["notificationId"]));
        ids.insert(change["notificationId"]);
        EXPECT_EQ(change["presentation"]["body"].get<std::string>().size(), 320u);
        EXPECT_EQ(keys(change["presentation"]["target"]),
                  (std::set<std::string>{"kind", "communicationId", "channelThreadId"}));
    }
    EXPECT_EQ(ids.size(), 50u);
    EXPECT_TRUE(isProof(page["nextCursor"]));
}

TEST_F(DeliveryServiceTest, ConcurrentSessionRequestsWithOneKeyShareOneAnswer) {
    Client client = newClient();
    std::vector<std::string> bodies(6);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < bodies.size(); ++i)
        threads.emplace_back([&, i] { bodies[i] = client.openSession("worker_CONCURRENT").body; });
    for (auto& t : threads) t.join();
    for (const auto& body : bodies) EXPECT_EQ(body, bodies[0]);
    EXPECT_EQ(client.summary()["requests"]["worker-sessions"], 6);
}

TEST(DeliveryServiceProcessTest, ExpiresAccessTokensPagesAndCredentials) {
    DeliveryServiceProcess service({"--token-lifetime", "0.4", "--page-lifetime", "0.4"});
    Client client{service, service.registerReceiver(), ""};
    service.admin("POST", "/admin/receivers/" + client.id() + "/changes",
                  {record("expiring_notification_1", "1"), record("expiring_notification_2", "1")});
    client.start();
    Json page = client.page(1).json()["data"];
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    expectError(client.page(1), 401, "invalid_access_token");
    client.start();
    expectError(client.page(1, page["nextCursor"].get<std::string>()), 400, "invalid_cursor");
    expectError(client.acknowledge(page, "receipt_LATE"), 404, "batch_not_found");
    EXPECT_EQ(client.summary()["pending"], 2);

    Client expired{service, service.registerReceiver({{"credentialLifetimeSeconds", -1}}), ""};
    expectError(expired.openSession("worker_EXPIRED"), 401, "credential_expired");
}

TEST(DeliveryServiceProcessTest, StallsTheChosenExchange) {
    DeliveryServiceProcess service;
    Client client{service, service.registerReceiver(), ""};
    service.admin("POST", "/admin/stall", {{"milliseconds", 300}, {"route", "delivery-changes"}});
    auto timed = [](auto&& f) {
        auto start = std::chrono::steady_clock::now();
        f();
        return std::chrono::steady_clock::now() - start;
    };
    EXPECT_LT(timed([&] { client.start(); }), std::chrono::milliseconds(300));
    EXPECT_GE(timed([&] { EXPECT_EQ(client.page(50).status, 200); }), std::chrono::milliseconds(300));
    service.admin("POST", "/admin/stall", {{"milliseconds", 0}});
    EXPECT_LT(timed([&] { EXPECT_EQ(client.page(50).status, 200); }), std::chrono::milliseconds(300));
}

TEST(DeliveryServiceProcessTest, ReplaysAStoredBodyByteForByte) {
    DeliveryServiceProcess service;
    std::string body(1048576, ' ');
    body.front() = '{';
    body.back() = '}';
    Reply put = service.send("PUT", "/admin/replay/mebibyte",
                             {{"Authorization", "Bearer " + service.adminToken()}}, body);
    ASSERT_EQ(put.status, 200) << put.body;
    Reply reply = service.send("GET", "/replay/mebibyte");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, body);
    EXPECT_EQ(reply.header("Cache-Control"), "no-store");
    service.send("PUT", "/admin/replay/gone?status=410",
                 {{"Authorization", "Bearer " + service.adminToken()}}, "{}");
    EXPECT_EQ(service.send("GET", "/replay/gone").status, 410);
}

TEST(DeliveryServiceProcessTest, SeedsAScenarioAndPrintsTheSeededCredentials) {
    tamsel::testing::ScratchDirectory scratch;
    const auto& dir = scratch.path();
    Json scenario = {{"receivers",
                      {{{"receiverId", "scenario_receiver_01"},
                        {"authorizationRevision", "3"},
                        {"changes", {record("scenario_notification_1", "2")}},
                        {"generate", {{"count", 2}}},
                        {"badge", {{"unreadCount", 5}, {"revision", "9"}}}}}}};
    std::ofstream(dir / "scenario.json") << scenario.dump();
    {
        DeliveryServiceProcess service({"--scenario", (dir / "scenario.json").string()});
        Json seeded = service.started()["receivers"];
        ASSERT_EQ(seeded.size(), 1u);
        EXPECT_EQ(seeded[0]["receiverID"], "scenario_receiver_01");
        EXPECT_EQ(seeded[0]["authorizationRevision"], "3");
        Client client{service, seeded[0], ""};
        EXPECT_EQ(client.summary()["pending"], 3);
        EXPECT_EQ(client.summary()["badge"], (Json{{"revision", "9"}, {"unreadCount", 5}}));
        client.start();
        EXPECT_EQ(client.page(50).json()["data"]["changes"][0], record("scenario_notification_1", "2"));
    }
    std::ofstream(dir / "bad.json") << R"({"receivers": [{"receiverId": "bad"}]})";
    auto bad = runDeliveryService(
        {"--port", "0", "--cert-dir", (dir / "certs").string(), "--scenario", (dir / "bad.json").string()});
    EXPECT_EQ(bad.exitStatus, 1);
    EXPECT_NE(bad.err.find("invalid_receiver_id"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.out, "");
}

TEST(DeliveryServiceProcessTest, ExplainsItselfAndRefusesUnknownArguments) {
    auto help = runDeliveryService({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* word :
         {"--port", "--cert-dir", "--scenario", "/admin/receivers", "/admin/stall", "invalid_cursor"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    auto unknown = runDeliveryService({"--colour"});
    EXPECT_EQ(unknown.exitStatus, 2);
    EXPECT_NE(unknown.err.find("--colour"), std::string::npos);
    EXPECT_EQ(runDeliveryService({"--port", "70000"}).exitStatus, 2);
}

TEST(DeliveryServiceProcessTest, KeepsItsCertificatesAndIsTrustedOnlyThroughItsCA) {
    tamsel::testing::ScratchDirectory scratch;
    const auto& dir = scratch.path();
    std::string firstCA;
    {
        DeliveryServiceProcess service({}, dir);
        firstCA = tamsel::testing::readText(service.caFile());
        EXPECT_EQ(std::filesystem::status(dir / "certs" / "server-key.pem").permissions() &
                      std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    DeliveryServiceProcess again({}, dir);
    EXPECT_EQ(tamsel::testing::readText(again.caFile()), firstCA);
    EXPECT_EQ(again.send("GET", "/replay/none").status, 404);

    // Another service has a CA of its own: a client that trusts only the first CA refuses it.
    DeliveryServiceProcess stranger;
    EXPECT_EQ(stranger.send("GET", "/replay/none", {}, std::nullopt, again.caFile()).status, 0);
    EXPECT_EQ(stranger.send("GET", "/replay/none").status, 404);
}

TEST(DeliveryServiceProcessTest, StopsCleanlyOnShutdownOnSignalAndAtTheEndOfInput) {
    auto exitedCleanly = [](DeliveryServiceProcess& service) {
        auto status = service.waitForExit(5000);
        return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    };
    DeliveryServiceProcess viaAdmin;
    viaAdmin.admin("POST", "/admin/shutdown");
    EXPECT_TRUE(exitedCleanly(viaAdmin));
    // A stop that comes right after the start line, before the server may be
    // accepting, or two stops at once, must not be lost; repeated because that
    // moment is brief.
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        DeliveryServiceProcess viaSignal;
        viaSignal.signal(SIGTERM);
        EXPECT_TRUE(exitedCleanly(viaSignal));
        DeliveryServiceProcess viaInput;
        viaInput.closeInput();
        EXPECT_TRUE(exitedCleanly(viaInput));
        DeliveryServiceProcess viaBoth;
        viaBoth.closeInput();
        viaBoth.signal(SIGTERM);
        EXPECT_TRUE(exitedCleanly(viaBoth));
    }
}

}  // namespace
