// Many extension processes woken at once on one platform root against one
// delivery service: the revision ledger's lock lets one of them present a page
// at a time and turns the others away at once. Nothing may be shown twice or
// lost, no process may overrun its budget, and a push turned away still hands
// back its own content. A change left unshown because every process found the
// ledger busy is shown by the next push, which the test then sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
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

using namespace std::chrono_literals;
using platform::Json;
using platform::testing::DeliveryServiceProcess;

constexpr int kProcesses = 50;
constexpr int kConversations = 5;  // conversation 0 is the wake-ups' own
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
// Fifty sanitized hosts on two cores start and run several times slower.
constexpr int kBudgetSeconds = 30;
#else
constexpr int kBudgetSeconds = 10;
#endif
// Start-up, the hand-off and the end of the run on a loaded machine.
constexpr auto kSlack = 3s;
constexpr int kBadge = 7;
constexpr const char* kAppGroup = "group.tamsel";

std::string groupKey(int conversation) { return std::string(64, "0123456789abcdef"[conversation + 1]); }
// A conversation no queued change belongs to: its wake-ups fall back to their own content.
const std::string kQuietGroup = std::string(64, 'f');

struct Change {
    std::string id;
    std::string revision;
    int conversation;
    bool sender;
};

// Ten changes in five conversations, in queue order: two in the wake-ups' own
// conversation (the first is handed back, the second posted since the hand-off
// is taken), a notification replaced by a newer revision in the same page,
// senders on some.
const std::vector<Change> kChanges = {
    {"load_c0_notification_0", "1", 0, true},  {"load_c1_notification_1", "1", 1, false},
    {"load_c2_notification_3", "1", 2, true},  {"load_c1_notification_1", "2", 1, true},
    {"load_c0_notification_5", "1", 0, false}, {"load_c1_notification_2", "1", 1, false},
    {"load_c4_notification_7", "1", 4, true},  {"load_c2_notification_4", "1", 2, false},
    {"load_c3_notification_6", "1", 3, true},  {"load_c4_notification_8", "1", 4, false},
};

Json record(const Change& change) {
    const std::string conversation = std::to_string(change.conversation);
    ChangeFields fields;
    fields.notificationId = change.id;
    fields.revision = change.revision;
    fields.title = "Conversation " + conversation;
    fields.body = change.id + " revision " + change.revision;
    fields.groupKey = groupKey(change.conversation);
    fields.target = {{"kind", "communication"},
                     {"communicationId", "comm_" + change.id},
                     {"channelThreadId", "thread_" + groupKey(change.conversation).substr(0, 12)}};
    if (change.sender)
        fields.sender =
            senderRecord("Person " + conversation, "tamsel_sender_" + groupKey(change.conversation + 5));
    return changeRecord(fields);
}

// One host process of the run, with what it left behind.
struct Host {
    std::string identifier;
    std::string group;
    std::unique_ptr<Subprocess> child;
    std::chrono::steady_clock::time_point pushed;
    std::optional<int> exitCode;
    std::chrono::steady_clock::duration took{};
    std::string out, err;
};

class LoadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Json credential = service.registerReceiver();
        receiver = credential["receiverID"];
        writeHostBundle(dir.path() / "bundle", {service.origin(), "group.tamsel.keychain", kAppGroup});
        std::filesystem::create_directories(root() / "containers" / kAppGroup);
        auto stored =
            runProcess({binaryPath("tamsel-notification-service").string(), "keychain-store", "--bundle",
                        (dir.path() / "bundle").string(), "--platform-root", root().string()},
                       credential.dump());
        ASSERT_EQ(stored.exitCode, 0) << stored.err;
    }

    std::filesystem::path root() const { return dir.path() / "root"; }
    std::filesystem::path journal() const { return dir.path() / "journal.jsonl"; }

    std::vector<std::string> hostArguments() const {
        return {binaryPath("tamsel-notification-service").string(),
                "--bundle",
                (dir.path() / "bundle").string(),
                "--platform-root",
                root().string(),
                "--ca-file",
                service.caFile(),
                "--time-budget",
                std::to_string(kBudgetSeconds),
                "--notification-journal",
                journal().string()};
    }

    // Starts every host before pushing to any, then waits for all of them at
    // once so that each one's time is taken when it ends.
    void runAtOnce(std::vector<Host>& hosts) {
        for (auto& host : hosts) {
            const auto name = dir.path() / host.identifier;
            host.child = std::make_unique<Subprocess>(
                hostArguments(), SubprocessOptions{.stdoutFile = name.string() + ".out",
                                                   .stderrFile = name.string() + ".err"});
        }
        for (auto& host : hosts) {
            host.pushed = std::chrono::steady_clock::now();
            host.child->write(wakeUpPush(host.identifier, host.group).dump() + "\n");
            host.child->closeInput();
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kBudgetSeconds) + 30s;
        for (std::size_t running = hosts.size(); running > 0;) {
            running = 0;
            for (auto& host : hosts) {
                if (host.exitCode) continue;
                host.exitCode = host.child->waitFor(0ns);
                if (host.exitCode)
                    host.took = std::chrono::steady_clock::now() - host.pushed;
                else
                    ++running;
            }
            if (running > 0 && std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << running << " hosts still running long after their budget";
                break;  // the destructors kill them
            }
            std::this_thread::sleep_for(2ms);
        }
        for (auto& host : hosts) {
            host.out = readText(dir.path() / (host.identifier + ".out"));
            host.err = readText(dir.path() / (host.identifier + ".err"));
        }
    }

    // Alerting and silent shows of each change (notification id, revision),
    // from the journal's posts and the contents handed back.
    struct Shows {
        // Silent: shown again by a host that found the page before its
        // acknowledgment, as the push's own conversation is handed back again.
        std::map<std::pair<std::string, std::string>, int> alerting, silent;
        std::vector<int> badgeCounts;
        std::set<std::pair<std::string, std::string>> handedOff;
    };

    void countContent(Shows& shows, const Json& content, bool handOff) const {
        auto info = content.find("userInfo");
        if (info == content.end() || !info->contains("tamselNotificationId")) return;
        EXPECT_EQ(info->value("tamselReceiverId", ""), receiver);
        std::pair<std::string, std::string> key{info->at("tamselNotificationId"),
                                                info->at("tamselNotificationRevision")};
        if (handOff) shows.handedOff.insert(key);
        if (content.contains("sound"))
            ++shows.alerting[key];
        else
            ++shows.silent[key];
    }

    Shows shows(const std::vector<const Host*>& hosts) const {
        Shows shows;
        std::set<long> pids;
        for (const Host* host : hosts) {
            pids.insert(host->child->pid());
            for (const auto& line : splitLines(host->out)) {
                Json answer = Json::parse(line, nullptr, false);
                if (answer.is_object() && answer.contains("content"))
                    countContent(shows, answer["content"], true);
            }
        }
        const std::string text = std::filesystem::exists(journal()) ? readText(journal()) : "";
        EXPECT_TRUE(text.empty() || text.back() == '\n') << "a journal line was cut short";
        for (const auto& line : splitLines(text)) {
            Json entry = Json::parse(line, nullptr, false);
            if (!entry.is_object() || !pids.contains(entry.value("pid", -1L))) {
                ADD_FAILURE() << "a journal line of no host of this test: " << line;
                continue;
            }
            if (entry["operation"] == "add") countContent(shows, entry["content"], false);
            if (entry["operation"] == "setBadgeCount") shows.badgeCounts.push_back(entry["count"]);
        }
        return shows;
    }

    // Every queued change shown with its alert exactly once, and something
    // shown silently only when it was shown with its alert too.
    void expectShownOnce(const Shows& shows) const {
        std::set<std::pair<std::string, std::string>> queued;
        for (const auto& change : kChanges) {
            queued.insert({change.id, change.revision});
            auto count = shows.alerting.find({change.id, change.revision});
            EXPECT_EQ(count == shows.alerting.end() ? 0 : count->second, 1)
                << change.id << " revision " << change.revision << " alerting shows";
        }
        for (const auto& [key, count] : shows.alerting)
            EXPECT_TRUE(queued.contains(key))
                << key.first << " revision " << key.second << " was never queued";
        for (const auto& [key, count] : shows.silent) {
            EXPECT_TRUE(shows.alerting.contains(key)) << key.first << " shown silently, never with its alert";
            EXPECT_EQ(key.first.substr(0, 8), "load_c0_")
                << "only the wake-ups' own conversation is shown again";
        }
        EXPECT_EQ(shows.badgeCounts, std::vector<int>{kBadge}) << "the badge is set once";
    }

    // Nothing is missing: nothing waits at the service, every notification's
    // newest revision is recorded, and each conversation's latest change is
    // the one the centre shows for it, or was handed back instead.
    bool settled(const Shows& shows) const {
        if (service.admin("GET", "/admin/receivers/" + receiver)["pending"] != 0) return false;
        for (const auto& change : kChanges)
            if (!shows.alerting.contains({change.id, change.revision})) return false;
        return shows.badgeCounts == std::vector<int>{kBadge};
    }

    void expectNothingLost(const Shows& shows) const {
        EXPECT_EQ(service.admin("GET", "/admin/receivers/" + receiver)["pending"], 0);

        Json ledger = Json::parse(readText(root() / "containers" / kAppGroup /
                                           "NotificationDelivery/notification-revisions.v2.json"));
        std::map<std::string, std::string> newest;
        std::map<int, const Change*> latest;
        for (const auto& change : kChanges) {
            newest[change.id] = change.revision;
            latest[change.conversation] = &change;
        }
        for (const auto& [id, revision] : newest) {
            const std::string key = receiver + ":" + id;
            ASSERT_TRUE(ledger.contains(key)) << id << " was never recorded: " << ledger.dump();
            EXPECT_EQ(ledger[key].value("revision", ""), revision) << id;
            EXPECT_EQ(ledger[key].value("state", ""), "available") << id;
        }

        Json center = Json::parse(readText(root() / "notification-center.json"));
        EXPECT_EQ(center["badge"], kBadge);
        std::map<std::string, std::pair<std::string, std::string>> shown;  // request identifier -> change
        for (const auto* list : {&center["delivered"], &center["pending"]})
            for (const auto& entry : *list) {
                const Json& info = entry["content"]["userInfo"];
                shown[entry["identifier"]] = {info["tamselNotificationId"],
                                              info["tamselNotificationRevision"]};
            }
        for (const auto& [conversation, change] : latest) {
            const std::string request = "tamsel:v2:" + receiver + ":" + groupKey(conversation);
            auto it = shown.find(request);
            SCOPED_TRACE("conversation " + std::to_string(conversation));
            if (it == shown.end())
                EXPECT_TRUE(shows.handedOff.contains({change->id, change->revision})) << center.dump();
            else
                EXPECT_EQ(it->second, std::make_pair(change->id, change->revision));
        }
        EXPECT_LE(shown.size(), static_cast<std::size_t>(kConversations)) << center.dump();
    }

    DeliveryServiceProcess service;
    ScratchDirectory dir;
    std::string receiver;
};

TEST_F(LoadTest, FiftyHostsWokenAtOnceShowEveryChangeOnceAndLoseNothing) {
    Json records = Json::array();
    for (const auto& change : kChanges) records.push_back(record(change));
    service.admin("POST", "/admin/receivers/" + receiver + "/changes", records);
    service.admin("POST", "/admin/receivers/" + receiver + "/badge", {{"unreadCount", kBadge}});
    // Pages come back late, so that hosts asking meanwhile get the page that
    // another is about to present, and present it after that one: what the
    // ledger holds is skipped, or handed back again without sound when it is
    // their own conversation.
    service.admin("POST", "/admin/stall", {{"milliseconds", 300}, {"route", "delivery-changes"}});

    // Most wake-ups are for the conversation with a change to hand back; every
    // fifth is for one with nothing queued.
    std::vector<Host> hosts(kProcesses);
    for (int i = 0; i < kProcesses; ++i) {
        hosts[i].identifier = "load-push-" + std::to_string(i);
        hosts[i].group = i % 5 == 4 ? kQuietGroup : groupKey(0);
    }
    runAtOnce(hosts);

    int completed = 0, turnedAway = 0;
    std::chrono::steady_clock::duration slowest{};
    for (const auto& host : hosts) {
        SCOPED_TRACE(host.identifier + "\n" + host.err);
        ASSERT_TRUE(host.exitCode.has_value());
        EXPECT_EQ(*host.exitCode, 0);
        EXPECT_LE(host.took, std::chrono::seconds(kBudgetSeconds) + kSlack)
            << std::chrono::duration<double>(host.took).count() << " s";
        // Exactly one content: its own, or the change of its conversation; a
        // busy ledger never reaches the person as anything else.
        auto lines = splitLines(host.out);
        ASSERT_EQ(lines.size(), 1u) << host.out;
        Json answer = Json::parse(lines[0]);
        EXPECT_EQ(answer["request"], host.identifier);
        const Json& content = answer["content"];
        if (content["userInfo"].contains("tamselNotificationId")) {
            EXPECT_EQ(host.group, groupKey(0));
            EXPECT_EQ(content["userInfo"]["tamselNotificationId"], kChanges[0].id);
        } else {
            EXPECT_EQ(content, wakeUpContent(host.group));
        }
        auto log = logMessages(host.err);
        const bool done = std::find(log.begin(), log.end(), "extension_worker_completed") != log.end();
        const bool busy =
            std::find(log.begin(), log.end(),
                      "extension_worker_failed type=TamselNotificationService.NotificationDeliveryFailure") !=
            log.end();
        EXPECT_TRUE(done || busy) << "a run ends complete or turned away by the ledger";
        completed += done;
        slowest = std::max(slowest, host.took);
        turnedAway += busy;
    }
    std::cout << "[ load     ] " << completed << " runs completed, " << turnedAway
              << " turned away by the busy ledger, the slowest took "
              << std::chrono::duration<double>(slowest).count() << " s\n";

    std::vector<const Host*> all;
    for (const auto& host : hosts) all.push_back(&host);
    Shows afterLoad = shows(all);
    int repeats = 0;
    for (const auto& [key, count] : afterLoad.silent) repeats += count;
    std::cout << "[ load     ] " << repeats << " silent repeats of what was shown\n";

    // Everyone may have found the ledger busy at some step: the next push shows what is left.
    std::vector<Host> last(1);
    if (!settled(afterLoad)) {
        std::cout << "[ load     ] something was left unshown; one more push\n";
        last[0].identifier = "load-push-last";
        last[0].group = groupKey(0);
        runAtOnce(last);
        ASSERT_EQ(last[0].exitCode, 0) << last[0].err;
        EXPECT_EQ(splitLines(last[0].out).size(), 1u) << last[0].out;
        auto log = logMessages(last[0].err);
        EXPECT_TRUE(std::find(log.begin(), log.end(), "extension_worker_completed") != log.end())
            << last[0].err;
        all.push_back(&last[0]);
    }
    Shows total = shows(all);
    expectShownOnce(total);
    expectNothingLost(total);
}

}  // namespace
}  // namespace tamsel::testing
