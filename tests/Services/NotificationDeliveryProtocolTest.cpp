// The four exchanges on the wire and the validation of their answers, one
// exchange at a time, against the in-process TLS test server.
#include <gtest/gtest.h>

#include <set>

#include "Services/NotificationDeliveryProtocol.h"
#include "platform/Regex.h"
#include "tests/Services/DeliveryWorkerHarness.h"

namespace TamselNotificationService::testing {
namespace {

using tamsel::platform::Regex;
using Kind = NotificationDeliveryFailure::Kind;
const std::string kBase = "/api/v2/notification-receivers/" + kReceiver;

// One row: a change to a good answer's data and what the run must end with
// (nothing: the run succeeds).
struct Row {
    const char* name;
    std::function<void(Json&)> mutate;
    std::optional<Kind> outcome;
};

Json changes(int count) {
    Json list = Json::array();
    for (int i = 0; i < count; ++i) list.push_back(withdrawn("notification_" + std::to_string(100000 + i)));
    return list;
}

std::optional<Kind> outcomeOf(NotificationDeliveryWorker& worker) {
    try {
        worker.synchronize();
        return std::nullopt;
    } catch (const NotificationDeliveryFailure& failure) {
        return failure.kind();
    }
}

TEST(WorkerSessionExchange, PostsTheRefreshProofWithAFreshWorkerKeyAndNoBody) {
    DeliveryWorkerHarness harness;
    auto worker = harness.makeWorker(false);
    worker->synchronize();
    worker->synchronize();
    auto sessions = harness.requestsTo("worker-sessions");
    ASSERT_EQ(sessions.size(), 2u);
    for (const auto& request : sessions) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, kBase + "/worker-sessions");
        EXPECT_EQ(request.header("Tamsel-Receiver-Refresh"), kRefreshProof);
        EXPECT_EQ(request.header("Accept"), "application/json");
        EXPECT_EQ(request.header("Content-Type"), std::nullopt);
        EXPECT_EQ(request.header("Authorization"), std::nullopt);
        EXPECT_EQ(request.body, "");
        ASSERT_TRUE(request.header("Idempotency-Key"));
        EXPECT_TRUE(Regex("^worker_[0-9A-F]{32}$").search(*request.header("Idempotency-Key")))
            << *request.header("Idempotency-Key");
    }
    EXPECT_NE(sessions[0].header("Idempotency-Key"), sessions[1].header("Idempotency-Key"));
    // The access token of the answer is what every later exchange carries.
    for (const auto& request : harness.requestsTo("delivery-changes"))
        EXPECT_EQ(request.header("Authorization"), "Bearer " + kAccessToken);
}

TEST(WorkerSessionExchange, ValidatesEachFieldOfTheAnswer) {
    auto session = [](Json& d) -> Json& { return d["workerSession"]; };
    const std::vector<Row> rows = {
        {"a fifth key inside workerSession", [&](Json& d) { session(d)["scope"] = "all"; }, Kind::response},
        {"a second top-level key", [](Json& d) { d["extra"] = 1; }, Kind::response},
        {"no workerSession", [](Json& d) { d = Json::object(); }, Kind::response},
        {"workerSession an array", [](Json& d) { d["workerSession"] = Json::array(); }, Kind::response},
        {"no accessToken key", [&](Json& d) { session(d).erase("accessToken"); }, Kind::response},
        // The key set is checked before any field: a fifth key wins over a wrong receiver.
        {"a fifth key and another receiver",
         [&](Json& d) {
             session(d)["scope"] = "all";
             session(d)["receiverId"] = "receiver_9999999999";
         },
         Kind::response},
        {"another receiver", [&](Json& d) { session(d)["receiverId"] = "receiver_9999999999"; },
         Kind::credential},
        {"receiver in other letter case", [&](Json& d) { session(d)["receiverId"] = "RECEIVER_0123456789"; },
         Kind::credential},
        {"receiverId a number", [&](Json& d) { session(d)["receiverId"] = 42; }, Kind::credential},
        {"an older authorization revision", [&](Json& d) { session(d)["authorizationRevision"] = "4"; },
         Kind::credential},
        {"a non-canonical revision", [&](Json& d) { session(d)["authorizationRevision"] = "05"; },
         Kind::credential},
        {"a revision as a number", [&](Json& d) { session(d)["authorizationRevision"] = 5; },
         Kind::credential},
        {"a newer authorization revision", [&](Json& d) { session(d)["authorizationRevision"] = "6"; },
         std::nullopt},
        {"an access token of 42 characters",
         [&](Json& d) { session(d)["accessToken"] = std::string(42, 't'); }, Kind::credential},
        {"an access token with +", [&](Json& d) { session(d)["accessToken"] = std::string(42, 't') + "+"; },
         Kind::credential},
        {"an expiry equal to now", [&](Json& d) { session(d)["expiresAt"] = kNowText; }, Kind::credential},
        {"an expiry before now", [&](Json& d) { session(d)["expiresAt"] = "2030-01-01T11:59:59Z"; },
         Kind::credential},
        {"an expiry without zone", [&](Json& d) { session(d)["expiresAt"] = "2030-01-01T12:05:00"; },
         Kind::credential},
        {"an expiry as a number", [&](Json& d) { session(d)["expiresAt"] = 1893499500; }, Kind::credential},
        {"an expiry with milliseconds",
         [&](Json& d) { session(d)["expiresAt"] = "2030-01-01T12:00:00.001Z"; }, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeliveryWorkerHarness harness;
        Json data = sessionData();
        row.mutate(data);
        harness.onSession([data](const RecordedRequest&) {
            return ScriptedResponse::envelope(data, "notification_worker_session.v2");
        });
        auto worker = harness.makeWorker();
        EXPECT_EQ(outcomeOf(*worker), row.outcome);
        if (row.outcome) {
            // A refused session ends the run before anything else is asked or applied.
            EXPECT_EQ(harness.requestLines(),
                      (std::vector<std::string>{"POST " + kBase + "/worker-sessions"}));
            EXPECT_TRUE(harness.badges().empty());
            EXPECT_TRUE(harness.applied().empty());
        }
    }
}

TEST(BadgeExchange, ReadsTheBadgeWithTheTokenAndAppliesItBeforeTheFirstPage) {
    DeliveryWorkerHarness harness;
    auto worker = harness.makeWorker();
    worker->synchronize();
    EXPECT_EQ(harness.events(),
              (std::vector<std::string>{"credentials", "worker-sessions", "badge", "credentials",
                                        "applyBadge", "credentials", "delivery-changes", "credentials",
                                        "apply", "delivery-acknowledgments"}));
    auto badge = harness.requestsTo("badge");
    ASSERT_EQ(badge.size(), 1u);
    EXPECT_EQ(badge[0].method, "GET");
    EXPECT_EQ(badge[0].target, kBase + "/badge");
    EXPECT_EQ(badge[0].header("Authorization"), "Bearer " + kAccessToken);
    EXPECT_EQ(harness.badges(), (std::vector<NotificationBadge>{{kReceiver, "3", 7}}));
}

TEST(BadgeExchange, WithoutABadgeFunctionNoBadgeIsRead) {
    DeliveryWorkerHarness harness;
    auto worker = harness.makeWorker(false);
    worker->synchronize();
    auto lines = harness.requestLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "GET " + kBase + "/delivery-changes?limit=50");
    EXPECT_TRUE(harness.requestsTo("badge").empty());
}

TEST(BadgeExchange, ValidatesTheAnswer) {
    const std::vector<Row> rows = {
        {"badge null", [](Json& d) { d["badge"] = nullptr; }, Kind::credential},
        {"badge an array", [](Json& d) { d["badge"] = Json::array(); }, Kind::credential},
        {"a second top-level key", [](Json& d) { d["count"] = 7; }, Kind::response},
        {"no badge", [](Json& d) { d = Json::object(); }, Kind::response},
        {"a badge of another receiver", [](Json& d) { d["badge"]["receiverId"] = "receiver_9999999999"; },
         Kind::response},
        {"a badge revision 0", [](Json& d) { d["badge"]["revision"] = "0"; }, Kind::response},
        {"a negative count", [](Json& d) { d["badge"]["unreadCount"] = -1; }, Kind::response},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeliveryWorkerHarness harness;
        Json data = badgeData();
        row.mutate(data);
        harness.onBadge([data](const RecordedRequest&) {
            return ScriptedResponse::envelope(data, "notification_badge.v1");
        });
        auto worker = harness.makeWorker();
        EXPECT_EQ(outcomeOf(*worker), row.outcome);
        EXPECT_TRUE(harness.badges().empty());
        EXPECT_TRUE(harness.requestsTo("delivery-changes").empty());
    }
}

TEST(PageExchange, AppliesEveryChangeInServiceOrderAndAcknowledgesWithTheReceipt) {
    DeliveryWorkerHarness harness;
    harness.onPage([](const RecordedRequest&) {
        Json list = {withdrawn("notification_third_3"), withdrawn("notification_first_1"),
                     withdrawn("notification_second_2")};
        return ScriptedResponse::envelope(pageData(list, nullptr, "batch_orderedpage1"),
                                          "notification_delivery_changes.v2");
    });
    auto worker = harness.makeWorker(false);
    worker->synchronize();
    EXPECT_EQ(harness.applied(),
              (std::vector<std::vector<std::string>>{
                  {"notification_third_3", "notification_first_1", "notification_second_2"}}));
    EXPECT_EQ(harness.appliedReceivers(), std::vector<std::string>{kReceiver});

    auto acks = harness.requestsTo("delivery-acknowledgments");
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].method, "POST");
    EXPECT_EQ(acks[0].target, kBase + "/delivery-acknowledgments");
    EXPECT_EQ(acks[0].header("Authorization"), "Bearer " + kAccessToken);
    EXPECT_EQ(acks[0].header("Content-Type"), "application/json");
    EXPECT_TRUE(Regex("^receipt_[0-9A-F]{32}$").search(acks[0].header("Idempotency-Key").value_or("")));
    EXPECT_EQ(tamsel::platform::parseJson(acks[0].body),
              (Json{{"batchId", "batch_orderedpage1"}, {"receiptProof", kReceiptProof}}));
}

TEST(PageExchange, ValidatesEachFieldOfThePage) {
    const std::vector<Row> rows = {
        {"51 changes", [](Json& d) { d["changes"] = changes(51); }, Kind::response},
        {"50 changes", [](Json& d) { d["changes"] = changes(50); }, std::nullopt},
        {"no changes", [](Json& d) { d["changes"] = Json::array(); }, std::nullopt},
        {"a change that is not an object",
         [](Json& d) {
             d["changes"] = Json::array({withdrawn("notification_100000"), "x"});
         },
         Kind::response},
        {"changes an object", [](Json& d) { d["changes"] = Json::object(); }, Kind::response},
        {"a change its validator refuses",
         [](Json& d) { d["changes"] = Json::array({withdrawn("notification_100000", "0")}); },
         Kind::response},
        {"no nextCursor", [](Json& d) { d.erase("nextCursor"); }, Kind::response},
        {"a sixth key", [](Json& d) { d["more"] = false; }, Kind::response},
        {"a nextCursor of 42 characters", [](Json& d) { d["nextCursor"] = std::string(42, 'A'); },
         Kind::response},
        {"a nextCursor number", [](Json& d) { d["nextCursor"] = 1; }, Kind::response},
        {"a batchId of 15 characters", [](Json& d) { d["batchId"] = "batch_123456789"; }, Kind::response},
        {"a batchId number", [](Json& d) { d["batchId"] = 1234567890123456; }, Kind::response},
        {"a receiptProof of 44 characters", [](Json& d) { d["receiptProof"] = std::string(44, 'p'); },
         Kind::response},
        {"an expiry equal to now", [](Json& d) { d["expiresAt"] = kNowText; }, Kind::response},
        {"an expiry that is not a date", [](Json& d) { d["expiresAt"] = "soon"; }, Kind::response},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeliveryWorkerHarness harness;
        Json data = pageData(changes(2), nullptr);
        row.mutate(data);
        harness.onPage([data](const RecordedRequest&) {
            return ScriptedResponse::envelope(data, "notification_delivery_changes.v2");
        });
        auto worker = harness.makeWorker(false);
        EXPECT_EQ(outcomeOf(*worker), row.outcome);
        if (row.outcome) {
            EXPECT_TRUE(harness.applied().empty());
            EXPECT_TRUE(harness.requestsTo("delivery-acknowledgments").empty());
        } else {
            EXPECT_EQ(harness.applied().size(), 1u);
            EXPECT_EQ(harness.applied()[0].size(), data["changes"].size());
            EXPECT_EQ(harness.requestsTo("delivery-acknowledgments").size(), 1u);
        }
    }
}

TEST(AcknowledgmentExchange, ReadsOnlyTheReceiverAndTheBatch) {
    auto ack = [](Json& d) -> Json& { return d["acknowledgment"]; };
    const std::vector<Row> rows = {
        {"extra keys inside", [&](Json& d) { ack(d)["acknowledgedAt"] = "later"; }, std::nullopt},
        {"another batch", [&](Json& d) { ack(d)["batchId"] = "batch_0000000002"; }, Kind::response},
        {"another receiver", [&](Json& d) { ack(d)["receiverId"] = "receiver_9999999999"; }, Kind::response},
        {"no receiverId", [&](Json& d) { ack(d).erase("receiverId"); }, Kind::response},
        {"batchId a number", [&](Json& d) { ack(d)["batchId"] = 1; }, Kind::response},
        {"acknowledgment null", [](Json& d) { d["acknowledgment"] = nullptr; }, Kind::response},
        {"a second top-level key", [](Json& d) { d["status"] = "ok"; }, Kind::response},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeliveryWorkerHarness harness;
        Json data = {{"acknowledgment", {{"receiverId", kReceiver}, {"batchId", "batch_0000000001"}}}};
        row.mutate(data);
        harness.onAcknowledge([data](const RecordedRequest&) {
            return ScriptedResponse::envelope(data, "notification_delivery_acknowledged.v2");
        });
        auto worker = harness.makeWorker(false);
        EXPECT_EQ(outcomeOf(*worker), row.outcome);
        EXPECT_EQ(harness.applied().size(), 1u);
        EXPECT_EQ(harness.requestsTo("delivery-acknowledgments").size(), 1u);
    }
}

TEST(ProtocolKeys, AreFreshUpperCaseUUIDsWithoutHyphens) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string key = NotificationDeliveryProtocol::idempotencyKey("receipt_");
        ASSERT_TRUE(Regex("^receipt_[0-9A-F]{12}4[0-9A-F]{3}[89AB][0-9A-F]{15}$").search(key)) << key;
        EXPECT_TRUE(seen.insert(key).second);
    }
}

}  // namespace
}  // namespace TamselNotificationService::testing
