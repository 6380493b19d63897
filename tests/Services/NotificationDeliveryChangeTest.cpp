#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "RecordTesting.h"
#include "Services/NotificationDeliveryWorker.h"
#include "platform/Json.h"

namespace TamselNotificationService {
namespace {

using tamsel::platform::Json;
using tamsel::platform::parseJson;

// Two scalars each, one user-perceived character each.
const std::string kFlag = "\U0001F1FA\U0001F1F3";
const std::string kDecomposedE = "e\u0301";

Json goodRecord() { return changeRecord({.sender = senderRecord()}); }

Json& presentation(Json& record) { return record["presentation"]; }
Json& target(Json& record) { return record["presentation"]["target"]; }
Json& attention(Json& record) { return record["presentation"]["attention"]; }

TEST(NotificationDeliveryChange, ReadsEveryFieldOfKnownGoodRecord) {
    auto change = NotificationDeliveryWorker::change(goodRecord());
    EXPECT_EQ(change.notificationID, "ntf_0123456789abcdef");
    EXPECT_EQ(change.revision, "17");
    EXPECT_FALSE(change.withdrawn);
    EXPECT_EQ(change.title, "Ada Lovelace");
    EXPECT_EQ(change.body, "See you at noon");
    EXPECT_EQ(change.groupKey, kGroupKey);
    EXPECT_TRUE(change.audible);
    EXPECT_EQ(change.target,
              (std::map<std::string, std::string>{{"kind", "communication"},
                                                  {"communicationId", "comm_0123456789abcd"},
                                                  {"channelThreadId", "thread_0123456789ab"}}));
    ASSERT_TRUE(change.sender.has_value());
    EXPECT_EQ(change.sender->canonicalID, kCanonicalID);
    EXPECT_EQ(change.sender->displayName, "Ada");
}

TEST(NotificationDeliveryChange, WithdrawnRecordCarriesOnlyItsIdentity) {
    Json record = goodRecord();
    record["state"] = "withdrawn";
    record["presentation"] = nullptr;
    auto change = NotificationDeliveryWorker::change(record);
    EXPECT_EQ(change.notificationID, "ntf_0123456789abcdef");
    EXPECT_EQ(change.revision, "17");
    EXPECT_TRUE(change.withdrawn);
    EXPECT_EQ(change.title, "");
    EXPECT_EQ(change.body, "");
    EXPECT_EQ(change.groupKey, "");
    EXPECT_FALSE(change.audible);
    EXPECT_TRUE(change.target.empty());
    EXPECT_FALSE(change.sender.has_value());
}

struct Mutation {
    const char* name;
    std::function<void(Json&)> apply;
};

TEST(NotificationDeliveryChange, RefusesEachBrokenRecord) {
    const std::vector<Mutation> cases = {
        // Top level.
        {"not an object", [](Json& r) { r = Json::array({r}); }},
        {"fifth member", [](Json& r) { r["extra"] = 1; }},
        {"no presentation", [](Json& r) { r.erase("presentation"); }},
        {"no state", [](Json& r) { r.erase("state"); }},
        // Identifier.
        {"id of 15", [](Json& r) { r["notificationId"] = repeat("a", 15); }},
        {"id of 129", [](Json& r) { r["notificationId"] = repeat("a", 129); }},
        {"id with dot", [](Json& r) { r["notificationId"] = "ntf.0123456789abcdef"; }},
        {"id with space", [](Json& r) { r["notificationId"] = "ntf 0123456789abcdef"; }},
        {"id with final line feed", [](Json& r) { r["notificationId"] = "ntf_0123456789abcdef\n"; }},
        {"id as number", [](Json& r) { r["notificationId"] = 12345678901234567; }},
        // Revision.
        {"revision 0", [](Json& r) { r["notificationRevision"] = "0"; }},
        {"revision 01", [](Json& r) { r["notificationRevision"] = "01"; }},
        {"revision +1", [](Json& r) { r["notificationRevision"] = "+1"; }},
        {"revision of 41 digits", [](Json& r) { r["notificationRevision"] = "1" + repeat("0", 40); }},
        {"revision as number", [](Json& r) { r["notificationRevision"] = 17; }},
        {"revision in Arabic-Indic digits", [](Json& r) { r["notificationRevision"] = "\u0661\u0667"; }},
        {"revision with final line feed", [](Json& r) { r["notificationRevision"] = "17\n"; }},
        // State and presentation.
        {"state in other case", [](Json& r) { r["state"] = "Available"; }},
        {"state WITHDRAWN with null",
         [](Json& r) {
             r["state"] = "WITHDRAWN";
             r["presentation"] = nullptr;
         }},
        {"unknown state", [](Json& r) { r["state"] = "deleted"; }},
        {"state as boolean", [](Json& r) { r["state"] = true; }},
        {"withdrawn with presentation", [](Json& r) { r["state"] = "withdrawn"; }},
        {"available with null", [](Json& r) { r["presentation"] = nullptr; }},
        {"presentation as array", [](Json& r) { r["presentation"] = Json::array(); }},
        {"presentation with unknown member", [](Json& r) { presentation(r)["subtitle"] = "x"; }},
        {"presentation without body", [](Json& r) { presentation(r).erase("body"); }},
        // Title and body.
        {"empty title", [](Json& r) { presentation(r)["title"] = ""; }},
        {"title of 121", [](Json& r) { presentation(r)["title"] = repeat("a", 121); }},
        {"title of 61 flags", [](Json& r) { presentation(r)["title"] = repeat(kFlag, 61); }},
        {"title of 61 decomposed letters",
         [](Json& r) { presentation(r)["title"] = repeat(kDecomposedE, 61); }},
        {"title as null", [](Json& r) { presentation(r)["title"] = nullptr; }},
        {"body of 321", [](Json& r) { presentation(r)["body"] = repeat("b", 321); }},
        {"body of 160 flags and one", [](Json& r) { presentation(r)["body"] = repeat(kFlag, 160) + "!"; }},
        {"body as null", [](Json& r) { presentation(r)["body"] = nullptr; }},
        // Attention.
        {"attention null", [](Json& r) { presentation(r)["attention"] = nullptr; }},
        {"attention with fourth member", [](Json& r) { attention(r)["priority"] = "high"; }},
        {"attention without audible", [](Json& r) { attention(r).erase("audible"); }},
        {"other policy", [](Json& r) { attention(r)["policyVersion"] = "notification-attention.v2"; }},
        {"policy as number", [](Json& r) { attention(r)["policyVersion"] = 1; }},
        {"upper-case group key", [](Json& r) { attention(r)["groupKey"] = repeat("0123456789ABCDEF", 4); }},
        {"group key of 63", [](Json& r) { attention(r)["groupKey"] = kGroupKey.substr(1); }},
        {"group key of 65", [](Json& r) { attention(r)["groupKey"] = kGroupKey + "0"; }},
        {"audible as string", [](Json& r) { attention(r)["audible"] = "true"; }},
        {"audible as number", [](Json& r) { attention(r)["audible"] = 1; }},
        // Target.
        {"target null", [](Json& r) { presentation(r)["target"] = nullptr; }},
        {"target without kind", [](Json& r) { target(r).erase("kind"); }},
        {"unknown kind", [](Json& r) { target(r)["kind"] = "Communication"; }},
        {"kind as number", [](Json& r) { target(r)["kind"] = 1; }},
        {"fourth target member",
         [](Json& r) { target(r)["contactConversationId"] = "conv_0123456789abcdef"; }},
        {"communication with contact conversation",
         [](Json& r) {
             target(r).erase("communicationId");
             target(r)["contactConversationId"] = "conv_0123456789abcdef";
         }},
        {"target id of 15", [](Json& r) { target(r)["communicationId"] = repeat("c", 15); }},
        {"channel thread as number", [](Json& r) { target(r)["channelThreadId"] = 1234567890123456; }},
        {"internal chat with communication keys", [](Json& r) { target(r)["kind"] = "internal_chat"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json record = goodRecord();
        c.apply(record);
        expectResponse([&] { NotificationDeliveryWorker::change(record); });
    }
}

TEST(NotificationDeliveryChange, AcceptsRecordsAtTheirLimits) {
    struct Accepted {
        const char* name;
        std::function<void(Json&)> apply;
        std::function<void(const NotificationDeliveryChange&)> check;
    };
    const std::vector<Accepted> cases = {
        {"revision of 40 digits", [](Json& r) { r["notificationRevision"] = repeat("9", 40); },
         [](const auto& c) { EXPECT_EQ(c.revision, repeat("9", 40)); }},
        {"id of 16", [](Json& r) { r["notificationId"] = repeat("A", 16); },
         [](const auto& c) { EXPECT_EQ(c.notificationID, repeat("A", 16)); }},
        {"id of 128", [](Json& r) { r["notificationId"] = repeat("_-", 64); },
         [](const auto& c) { EXPECT_EQ(c.notificationID, repeat("_-", 64)); }},
        {"title of 120", [](Json& r) { presentation(r)["title"] = repeat("t", 120); },
         [](const auto& c) { EXPECT_EQ(c.title, repeat("t", 120)); }},
        // 240 bytes, so a byte count would refuse it.
        {"title of 120 two-byte letters", [](Json& r) { presentation(r)["title"] = repeat("\u00e9", 120); },
         [](const auto& c) { EXPECT_EQ(c.title, repeat("\u00e9", 120)); }},
        {"title of 60 flags", [](Json& r) { presentation(r)["title"] = repeat(kFlag, 60); },
         [](const auto& c) { EXPECT_EQ(c.title, repeat(kFlag, 60)); }},
        // Kept decomposed and with its spaces: nothing is normalised or trimmed.
        {"title as received", [](Json& r) { presentation(r)["title"] = " Jos" + kDecomposedE + " "; },
         [](const auto& c) { EXPECT_EQ(c.title, " Jos" + kDecomposedE + " "); }},
        {"empty body", [](Json& r) { presentation(r)["body"] = ""; },
         [](const auto& c) { EXPECT_EQ(c.body, ""); }},
        {"body of 320 as flags", [](Json& r) { presentation(r)["body"] = repeat(kFlag, 160); },
         [](const auto& c) { EXPECT_EQ(c.body, repeat(kFlag, 160)); }},
        {"silent", [](Json& r) { attention(r)["audible"] = false; },
         [](const auto& c) { EXPECT_FALSE(c.audible); }},
        {"sender null", [](Json& r) { presentation(r)["sender"] = nullptr; },
         [](const auto& c) { EXPECT_FALSE(c.sender.has_value()); }},
        {"sender absent", [](Json& r) { presentation(r).erase("sender"); },
         [](const auto& c) { EXPECT_FALSE(c.sender.has_value()); }},
        {"internal chat target",
         [](Json& r) {
             target(r) = {{"kind", "internal_chat"},
                          {"internalChatThreadId", "chat_0123456789abcd"},
                          {"internalChatMessageId", "msg_0123456789abcdef"}};
         },
         [](const auto& c) {
             EXPECT_EQ(c.target, (std::map<std::string, std::string>{
                                     {"kind", "internal_chat"},
                                     {"internalChatThreadId", "chat_0123456789abcd"},
                                     {"internalChatMessageId", "msg_0123456789abcdef"}}));
         }},
        {"channel thread target",
         [](Json& r) {
             target(r) = {{"kind", "channel_thread"},
                          {"channelThreadId", "thread_0123456789ab"},
                          {"contactConversationId", "conv_0123456789abcdef"}};
         },
         [](const auto& c) {
             EXPECT_EQ(c.target, (std::map<std::string, std::string>{
                                     {"kind", "channel_thread"},
                                     {"channelThreadId", "thread_0123456789ab"},
                                     {"contactConversationId", "conv_0123456789abcdef"}}));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json record = goodRecord();
        c.apply(record);
        c.check(NotificationDeliveryWorker::change(record));
    }
}

TEST(NotificationDeliveryChange, ExactComparesMemberNamesAsSets) {
    Json object = {{"a", 1}, {"b", nullptr}};
    EXPECT_NO_THROW(NotificationDeliveryWorker::exact(object, {"a", "b"}));
    expectResponse([&] { NotificationDeliveryWorker::exact(object, {"a"}); });
    expectResponse([&] { NotificationDeliveryWorker::exact(object, {"a", "b", "c"}); });
    expectResponse([&] { NotificationDeliveryWorker::exact(object, {"a", "c"}); });
    expectResponse([&] { NotificationDeliveryWorker::exact(Json::array({"a", "b"}), {"a", "b"}); });
    EXPECT_NO_THROW(NotificationDeliveryWorker::exact(Json::object(), {}));
}

TEST(NotificationDeliveryChange, IdentifierAndProofShapes) {
    struct Case {
        std::string value;
        bool identifier;
        bool proof;
    };
    const std::string proof = repeat("Ab9_-", 8) + "xyz";  // 43
    const std::vector<Case> cases = {
        {repeat("a", 16), true, false},
        {repeat("a", 128), true, false},
        {repeat("a", 15), false, false},
        {repeat("a", 129), false, false},
        {proof, true, true},
        {proof + "Q", true, false},
        {proof.substr(1), true, false},
        {proof.substr(1) + "+", false, false},
        {proof.substr(1) + "=", false, false},
        {proof + "\n", false, false},
        {"\n" + proof, false, false},
        {proof.substr(1) + "\u00e9", false, false},
        {std::string(proof.substr(1)) + '\0', false, false},
        {std::string(proof.substr(1)) + "\xff", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.value));
        EXPECT_EQ(NotificationDeliveryWorker::identifier(c.value), c.identifier);
        EXPECT_EQ(NotificationDeliveryWorker::proof(c.value), c.proof);
    }
}

// The compiled patterns are shared by every caller; validating from several
// threads at once must neither race nor change an answer.
TEST(NotificationDeliveryChange, ValidatesFromManyThreadsAtOnce) {
    const Json good = goodRecord();
    Json unsafe = goodRecord();
    unsafe["presentation"]["sender"]["displayName"] = "Call 555 123 4567";
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (std::size_t t = 0; t < wrong.size(); ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto kept = NotificationDeliveryWorker::change(good);
                auto dropped = NotificationDeliveryWorker::change(unsafe);
                wrong[t] += kept.sender->displayName != "Ada" || dropped.sender->displayName.has_value();
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace TamselNotificationService
