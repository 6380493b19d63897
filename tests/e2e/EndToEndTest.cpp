// The whole system as processes: the host binary against the reference
// delivery service over HTTPS, with the file-backed platform under one root.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "platform/Json.h"
#include "tests/support/ChangeRecords.h"
#include "tests/support/DeliveryServiceProcess.h"
#include "tests/support/HostBundle.h"
#include "tests/support/HostEvents.h"
#include "tests/support/Process.h"
#include "tests/support/ScratchDirectory.h"

namespace tamsel::testing {
namespace {

using platform::Json;
using platform::testing::DeliveryServiceProcess;

std::string hex(char c) { return std::string(64, c); }

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        credential = service.registerReceiver();
        receiver = credential["receiverID"];
        writeBundle(service.origin());
        storeCredential(credential);
    }

    void writeBundle(const std::string& baseURL) {
        writeHostBundle(dir.path() / "bundle", {baseURL, "group.tamsel.keychain", "group.tamsel"});
        std::filesystem::create_directories(dir.path() / "root/containers/group.tamsel");
    }

    void storeCredential(const Json& value) {
        auto result =
            runProcess({binaryPath("tamsel-notification-service").string(), "keychain-store", "--bundle",
                        (dir.path() / "bundle").string(), "--platform-root", (dir.path() / "root").string()},
                       value.dump());
        ASSERT_EQ(result.exitCode, 0) << result.err;
    }

    ProcessResult push(const std::string& identifier, const std::string& groupKey, double budget = 20) {
        return runProcess(
            {binaryPath("tamsel-notification-service").string(), "--bundle", (dir.path() / "bundle").string(),
             "--platform-root", (dir.path() / "root").string(), "--ca-file", service.caFile(),
             "--time-budget", std::to_string(budget)},
            wakeUpPush(identifier, groupKey).dump() + "\n");
    }

    static Json change(const std::string& id, const std::string& revision, char group,
                       const std::string& title = "Title") {
        tamsel::testing::ChangeFields fields;
        fields.notificationId = id;
        fields.revision = revision;
        fields.title = title;
        fields.body = "Body of " + id;
        fields.groupKey = hex(group);
        fields.target = {{"kind", "internal_chat"},
                         {"internalChatThreadId", "thread_0000000000000001"},
                         {"internalChatMessageId", "message_" + id}};
        return tamsel::testing::changeRecord(fields);
    }

    // `count` changes, each in a conversation of its own so that every one stays delivered.
    static Json separateConversations(const std::string& prefix, int count) {
        Json records = Json::array();
        for (int i = 0; i < count; ++i) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, "%012d", i);
            Json record = change(prefix + suffix, "1", 'b');
            record["presentation"]["attention"]["groupKey"] = hex('0').substr(0, 52) + suffix;
            records.push_back(record);
        }
        return records;
    }

    void queue(const Json& records) {
        service.admin("POST", "/admin/receivers/" + receiver + "/changes", records);
    }

    Json center() const {
        std::ifstream in(dir.path() / "root/notification-center.json");
        if (!in) return Json{{"delivered", Json::array()}, {"pending", Json::array()}, {"badge", nullptr}};
        return Json::parse(in);
    }

    // Notification identifier -> revision of every delivered notification.
    std::map<std::string, std::string> delivered() const {
        std::map<std::string, std::string> out;
        const Json state = center();
        for (const auto& d : state["delivered"]) {
            const auto& info = d["content"]["userInfo"];
            out[info["tamselNotificationId"]] = info["tamselNotificationRevision"];
        }
        return out;
    }

    static std::vector<std::string> events(const std::string& err) { return logMessages(err); }

    static bool has(const std::vector<std::string>& list, const std::string& event) {
        return std::find(list.begin(), list.end(), event) != list.end();
    }

    static std::vector<Json> handedOff(const ProcessResult& result) {
        std::vector<Json> out;
        for (const auto& line : splitLines(result.out)) out.push_back(Json::parse(line));
        return out;
    }

    long acknowledged() const {
        return static_cast<long>(
            service.admin("GET", "/admin/receivers/" + receiver + "/acknowledgments")["acknowledgments"]
                .size());
    }

    // Waits until the service has seen `count` requests on `route` (they count on arrival).
    void awaitRequests(const std::string& route, int count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (service.admin("GET", "/admin/receivers/" + receiver)["requests"].value(route, 0) < count) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no " << route << " request";
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    DeliveryServiceProcess service;
    ScratchDirectory dir;
    Json credential;
    std::string receiver;
};

TEST_F(EndToEndTest, ThePushsOwnConversationIsHandedOffAndTheOthersArePosted) {
    queue(Json::array({change("ntf_family_000000001", "1", 'a', "Family"),
                       change("ntf_work_00000000001", "1", 'b', "Work")}));
    auto result = push("p1", hex('a'));
    auto log = events(result.err);
    auto contents = handedOff(result);
    ASSERT_EQ(contents.size(), 1u) << result.err;
    EXPECT_EQ(contents[0]["content"]["title"], "Family");
    EXPECT_EQ(contents[0]["content"]["userInfo"]["tamselNotificationId"], "ntf_family_000000001");
    EXPECT_TRUE(has(log, "extension_worker_completed")) << result.err;
    EXPECT_FALSE(has(log, "extension_generic_fallback"));
    EXPECT_EQ(delivered(), (std::map<std::string, std::string>{{"ntf_work_00000000001", "1"}}))
        << "the push's own notification is shown by the hand-off, not posted";
}

TEST_F(EndToEndTest, WithoutAChangeOfItsConversationThePushFallsBackAsReceived) {
    queue(Json::array({change("ntf_work_00000000001", "1", 'b')}));
    auto result = push("p1", hex('c'));
    auto contents = handedOff(result);
    ASSERT_EQ(contents.size(), 1u) << result.err;
    EXPECT_EQ(contents[0], (Json{{"request", "p1"}, {"content", wakeUpContent(hex('c'))}}));
    auto log = events(result.err);
    EXPECT_TRUE(has(log, "extension_worker_completed"));
    EXPECT_TRUE(has(log, "extension_generic_fallback"));
    EXPECT_EQ(delivered().size(), 1u);
}

TEST_F(EndToEndTest, SeveralPagesAreAllPresentedOnceAndAcknowledged) {
    queue(separateConversations("ntf_page_", 120));
    auto result = push("p1", hex('f'));
    ASSERT_TRUE(has(events(result.err), "extension_worker_completed")) << result.err;
    EXPECT_EQ(delivered().size(), 120u);
    EXPECT_EQ(acknowledged(), 3) << "pages of at most 50";

    auto again = push("p2", hex('f'));
    ASSERT_TRUE(has(events(again.err), "extension_worker_completed")) << again.err;
    EXPECT_EQ(delivered().size(), 120u);
    EXPECT_EQ(acknowledged(), 4) << "one empty page, still acknowledged";
}

TEST_F(EndToEndTest, AnExpiredCursorAfterTheFirstPageEndsTheRunSuccessfullyAndTheRestComesLater) {
    queue(separateConversations("ntf_cursor_", 60));
    // Hold the first acknowledgment long enough to expire every cursor meanwhile.
    service.admin("POST", "/admin/stall", {{"milliseconds", 1500}, {"route", "delivery-acknowledgments"}});
    auto running = std::async(std::launch::async, [&] { return push("p1", hex('f')); });
    awaitRequests("delivery-acknowledgments", 1);
    service.admin("POST", "/admin/receivers/" + receiver + "/expire-cursors");
    auto result = running.get();
    service.admin("POST", "/admin/stall", {{"milliseconds", 0}});
    ASSERT_TRUE(has(events(result.err), "extension_worker_completed")) << result.err;
    EXPECT_EQ(delivered().size(), 50u);
    EXPECT_EQ(acknowledged(), 1);

    auto later = push("p2", hex('f'));
    ASSERT_TRUE(has(events(later.err), "extension_worker_completed")) << later.err;
    EXPECT_EQ(delivered().size(), 60u);
}

TEST_F(EndToEndTest, AMissingCredentialFailsTheRunWithTheSystemsErrorThenFallsBack) {
    std::filesystem::remove_all(dir.path() / "root/keychain");
    auto result = push("p1", hex('a'));
    auto log = events(result.err);
    EXPECT_EQ(log, (std::vector<std::string>{
                       "extension_request_received", "shared_keychain_failed operation=load status=-25300",
                       "extension_worker_failed type=TamselNotificationService.NotificationDeliveryFailure",
                       "extension_content_handoff", "extension_generic_fallback"}));
    EXPECT_EQ(handedOff(result).size(), 1u);
}

TEST_F(EndToEndTest, ARefusedBaseURLEndsInTheFallbackWithoutARun) {
    writeBundle(service.origin() + "/?tenant=1");
    auto result = push("p1", hex('a'));
    EXPECT_EQ(events(result.err), (std::vector<std::string>{
                                      "extension_request_received", "extension_worker_initialization_failed",
                                      "extension_content_handoff", "extension_generic_fallback"}));
    EXPECT_EQ(handedOff(result).size(), 1u);
    auto summary = service.admin("GET", "/admin/receivers/" + receiver);
    EXPECT_EQ(summary["requests"]["worker-sessions"], 0) << summary.dump();
}

TEST_F(EndToEndTest, TimeExpiryWhileTheServiceStallsHandsOffOnceAndStopsTheRun) {
    queue(Json::array({change("ntf_family_000000001", "1", 'a')}));
    service.admin("POST", "/admin/stall", {{"milliseconds", 8000}, {"route", "delivery-changes"}});
    auto started = std::chrono::steady_clock::now();
    auto result = push("p1", hex('a'), 1);
    auto took = std::chrono::steady_clock::now() - started;
    service.admin("POST", "/admin/stall", {{"milliseconds", 0}});
    auto log = events(result.err);
    ASSERT_EQ(handedOff(result).size(), 1u) << result.err;
    EXPECT_EQ(handedOff(result)[0]["content"], wakeUpContent(hex('a')));
    {
        SCOPED_TRACE(result.err);
        expectExpiredRun(log);
    }
    EXPECT_LT(took, std::chrono::seconds(6)) << "the stalled transfer is cancelled, not waited out";
    EXPECT_TRUE(delivered().empty());
}

TEST_F(EndToEndTest, TwoHostsAtOnceOnOneRootLoseNothing) {
    // Many changes with senders make each page's application long enough for
    // the two processes to meet at the ledger's lock.
    for (int round = 0; round < 3; ++round) {
        service.admin("POST", "/admin/receivers/" + receiver + "/changes/generate",
                      {{"count", 30}, {"groupKey", hex(static_cast<char>('0' + round))}, {"sender", true}});
    }
    // Both hear the badge at the same moment and go to the ledger's lock at once
    // to record it: they meet there, or right after at the long first page.
    service.admin("POST", "/admin/stall", {{"milliseconds", 60000}, {"route", "badge"}, {"gather", 2}});
    auto first = std::async(std::launch::async, [&] { return push("p1", hex('e')); });
    auto second = std::async(std::launch::async, [&] { return push("p2", hex('e')); });
    ProcessResult results[] = {first.get(), second.get()};
    int completed = 0, failed = 0;
    for (const auto& result : results) {
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(handedOff(result).size(), 1u) << result.err;
        auto log = events(result.err);
        completed += has(log, "extension_worker_completed");
        failed +=
            has(log, "extension_worker_failed type=TamselNotificationService.NotificationDeliveryFailure");
    }
    // The one holding the ledger's lock presents the page; the other is refused at once.
    EXPECT_EQ(completed, 1) << results[0].err << results[1].err;
    EXPECT_EQ(failed, 1) << results[0].err << results[1].err;
    auto later = push("p3", hex('e'));
    ASSERT_TRUE(has(events(later.err), "extension_worker_completed")) << later.err;
    auto summary = service.admin("GET", "/admin/receivers/" + receiver);
    EXPECT_EQ(summary["pending"], 0) << summary.dump();
    // One request per conversation: the newest of each of the three groups is shown.
    auto state = center();
    EXPECT_EQ(state["delivered"].size(), 3u) << state.dump();
    std::ifstream ledgerFile(
        dir.path() / "root/containers/group.tamsel/NotificationDelivery/notification-revisions.v2.json");
    Json ledger = Json::parse(ledgerFile);
    std::set<std::string> notifications;
    for (const auto& [key, entry] : ledger.items())
        if (key != "$badge") notifications.insert(key);
    EXPECT_EQ(notifications.size(), 90u) << "every change recorded";
}

}  // namespace
}  // namespace tamsel::testing
