// Kills the host with SIGKILL at random moments of runs over several pages
// against the real delivery service, each kill followed by a clean run of the
// same push, and checks after every run that the ledger still decodes, that
// nothing was presented twice or went back to an older revision (the judge is
// PresentationAudit), and after every clean run that each queued change is
// presented or withdrawn as its newest revision says.
//
// Every post across processes is read from the notification centre's journal
// (--notification-journal), every content handed back from the host's stdout.
//
// TAMSEL_CRASH_ROUNDS sets how many kills to land (default kDefaultKills; CI
// asks for more); TAMSEL_CRASH_SEED replays the changes and kill delays of a
// printed seed (the moments themselves depend on the machine's speed).
// The platform root lives in TAMSEL_CRASH_DIR when set, else on /dev/shm when
// there is one: what a SIGKILL leaves behind is the same there as on a disk (the
// page cache survives the process), and runs are not slowed down by fsync to
// where hundreds of kills take too long. On a disk the kills land more often
// in the windows that fsync widens.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "Services/NotificationRevisionLedger.h"
#include "platform/Clock.h"
#include "platform/Json.h"
#include "platform/file/FileInteractionStore.h"
#include "platform/file/FileNotificationCenter.h"
#include "tests/crash/PresentationAudit.h"
#include "tests/support/ChangeRecords.h"
#include "tests/support/DeliveryServiceProcess.h"
#include "tests/support/HostBundle.h"
#include "tests/support/Process.h"
#include "tests/support/ScratchDirectory.h"

namespace tamsel::testing {
namespace {

using namespace std::chrono_literals;
using platform::Json;
using platform::testing::DeliveryServiceProcess;
using TamselNotificationService::NotificationRevisionLedger;

constexpr int kDefaultKills = 12;
constexpr int kConversations = 6;    // conversation 0 is the push's own
constexpr int kPerConversation = 6;  // notifications in each
constexpr int kSmallestBatch = 51;   // changes queued per round: two to four pages of 50
constexpr int kLargestBatch = 170;
constexpr const char* kAppGroup = "group.com.brindaxel.tamsel";

long environmentNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return *end == '\0' && value > 0 ? value : fallback;
}

std::string hex64(int seed) {
    static const char digits[] = "0123456789abcdef";
    std::string key;
    for (int i = 0; i < 64; ++i) key += digits[(seed * 7 + i * 3 + (seed * i) % 5) % 16];
    return key;
}

// Where the rounds run: TAMSEL_CRASH_DIR, else /dev/shm, else the temporary directory.
std::filesystem::path workBase() {
    if (const char* chosen = std::getenv("TAMSEL_CRASH_DIR"); chosen && *chosen) return chosen;
    if (access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return {};
}

struct HostExit {
    pid_t pid = -1;
    bool killed = false;  // by our SIGKILL, before it ended by itself
    int exitCode = -1;
    std::chrono::steady_clock::duration took{};
};

// Runs the host with stdout and stderr going straight to files, so that whatever
// it wrote before dying is there, and kills it after `killAfter` when given.
HostExit runHost(const std::vector<std::string>& argv, const std::filesystem::path& out,
                 const std::filesystem::path& err, std::optional<std::chrono::microseconds> killAfter) {
    const auto start = std::chrono::steady_clock::now();
    Subprocess child(argv, {.stdoutFile = out, .stderrFile = err});
    child.closeInput();
    HostExit result;
    result.pid = child.pid();
    const std::chrono::nanoseconds limit = 120s;
    auto code = child.waitFor(killAfter ? std::min<std::chrono::nanoseconds>(*killAfter, limit) : limit);
    if (!code) {
        child.signal(SIGKILL);
        code = child.wait();
        // It may have ended by itself just before the signal.
        result.killed = *code == -SIGKILL && killAfter && *killAfter < limit;
    }
    result.took = std::chrono::steady_clock::now() - start;
    result.exitCode = *code;
    return result;
}

// What the test queued for one notification, as the service will deliver it.
struct Queued {
    std::string id;
    int conversation = 0;
    long newest = 0;  // newest revision queued, 0 before the first
    bool withdrawn = false;
};

class CrashConsistencyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        receiver = service.registerReceiver();
        receiverID = receiver["receiverID"].get<std::string>();
        std::filesystem::create_directories(root() / "containers" / kAppGroup);
        writeHostBundle(work.path() / "bundle",
                        {service.origin(), "group.com.brindaxel.tamsel.keychain", std::string(kAppGroup)});
        auto stored =
            runProcess({binaryPath("tamsel-notification-service").string(), "keychain-store", "--bundle",
                        (work.path() / "bundle").string(), "--platform-root", root().string()},
                       receiver.dump());
        ASSERT_EQ(stored.exitCode, 0) << stored.err;

        for (int c = 0; c < kConversations; ++c)
            for (int n = 0; n < kPerConversation; ++n)
                notifications.push_back(
                    {"crash_c" + std::to_string(c) + "_notification_" + std::to_string(n), c});
        std::ofstream(pushFile()) << wakeUpPush("crash-push", hex64(0)).dump() << "\n";
    }

    std::filesystem::path root() const { return work.path() / "root"; }
    std::filesystem::path pushFile() const { return work.path() / "push.json"; }
    std::filesystem::path journal() const { return work.path() / "journal.jsonl"; }
    std::filesystem::path ledgerFile() const {
        return root() / "containers" / kAppGroup / "NotificationDelivery" /
               NotificationRevisionLedger::kFileName;
    }

    // Queues one batch of changes and a new badge, and notes what each
    // notification's newest revision now says. Returns the batch's size.
    int queueRound(std::mt19937_64& random, int round) {
        std::uniform_int_distribution<int> size(kSmallestBatch, kLargestBatch),
            pick(0, static_cast<int>(notifications.size()) - 1), percent(0, 99), step(1, 3);
        Json changes = Json::array();
        const int count = size(random);
        for (int i = 0; i < count; ++i) {
            Queued& n = notifications[static_cast<std::size_t>(pick(random))];
            const int roll = percent(random);
            long revision;
            bool withdrawn = false;
            if (n.newest > 0 && roll < 15) {
                // Delivered again, or an older revision late: both must change nothing.
                revision = std::uniform_int_distribution<long>(1, n.newest)(random);
            } else {
                revision = n.newest + step(random);
                withdrawn = n.newest > 0 && roll < 27;
                n.newest = revision;
                n.withdrawn = withdrawn;
                if (!withdrawn) fresh.push_back({n.id, std::to_string(revision)});
            }
            Json record;
            if (withdrawn) {
                record = tamsel::testing::withdrawnRecord(n.id, std::to_string(revision));
            } else {
                tamsel::testing::ChangeFields fields;
                fields.notificationId = n.id;
                fields.revision = std::to_string(revision);
                fields.title = "Conversation " + std::to_string(n.conversation);
                fields.body = "round " + std::to_string(round) + ", revision " + std::to_string(revision);
                fields.groupKey = hex64(n.conversation);
                fields.target = {{"kind", "communication"},
                                 {"communicationId", "comm_" + n.id},
                                 {"channelThreadId", "thread_" + hex64(n.conversation).substr(0, 12)}};
                if (percent(random) < 50)
                    fields.sender =
                        tamsel::testing::senderRecord("Person " + std::to_string(n.conversation),
                                                      "tamsel_sender_" + hex64(n.conversation + 40));
                record = tamsel::testing::changeRecord(fields);
            }
            changes.push_back(std::move(record));
        }
        const std::string base = "/admin/receivers/" + receiverID;
        service.admin("POST", base + "/changes", changes);
        badgeCount = std::uniform_int_distribution<int>(0, 99)(random);
        Json badge = service.admin("POST", base + "/badge", Json{{"unreadCount", badgeCount}});
        badgeRevision = badge["badge"]["revision"].get<std::string>();
        return count;
    }

    HostExit host(const std::string& name, std::optional<std::chrono::microseconds> killAfter) {
        return runHost({binaryPath("tamsel-notification-service").string(), "--bundle",
                        (work.path() / "bundle").string(), "--platform-root", root().string(), "--ca-file",
                        service.caFile(), "--push", pushFile().string(), "--time-budget", "120",
                        "--notification-journal", journal().string()},
                       work.path() / (name + ".out"), work.path() / (name + ".err"), killAfter);
    }

    // The ledger as the file holds it now, by notification id; the test fails
    // when the file does not decode.
    PresentationAudit::Ledger readLedger() {
        PresentationAudit::Ledger ledger;
        if (!std::filesystem::exists(ledgerFile())) return ledger;
        NotificationRevisionLedger::Entries entries;
        try {
            entries = NotificationRevisionLedger::decode(readText(ledgerFile()));
        } catch (const std::exception& e) {
            ADD_FAILURE() << "the ledger does not decode: " << e.what() << "\n" << readText(ledgerFile());
            return ledger;
        }
        const std::string prefix = receiverID + ":";
        for (const auto& [key, entry] : entries) {
            if (key.rfind(prefix, 0) == 0)
                ledger[key.substr(prefix.size())] = entry;
            else if (key == NotificationRevisionLedger::kBadgeKey)
                ledger[key] = entry;
        }
        return ledger;
    }

    // Entries only move forwards: a revision never goes down, and a revision
    // once withdrawn stays withdrawn.
    static void expectForwards(const PresentationAudit::Ledger& before,
                               const PresentationAudit::Ledger& after) {
        for (const auto& [id, entry] : before) {
            auto now = after.find(id);
            if (now == after.end()) {
                ADD_FAILURE() << "the ledger lost " << id;
                continue;
            }
            const std::string& was = entry.at("revision");
            const std::string& is = now->second.at("revision");
            EXPECT_FALSE(PresentationAudit::newer(was, is))
                << id << " went back from " << was << " to " << is;
            if (id != NotificationRevisionLedger::kBadgeKey && was == is &&
                entry.at("state") == "withdrawn") {
                EXPECT_EQ(now->second.at("state"), "withdrawn") << id << " revision " << is << " came back";
            }
        }
    }

    // Every post of this run (from the journal, which every run appends to one
    // after another) and its hand-off (from stdout), hand-off first: the push's
    // content is handed back before any change of its conversation can be posted.
    std::vector<Presentation> presentations(const HostExit& run, const std::string& name,
                                            std::size_t& handOffs) {
        std::vector<Presentation> presented;
        auto add = [&](const Json& content, bool handOff) {
            auto info = content.find("userInfo");
            // The push's own content, handed back as the fallback, is not a change.
            if (info == content.end() || !info->contains("tamselNotificationId")) return;
            EXPECT_EQ(info->value("tamselReceiverId", ""), receiverID);
            presented.push_back({info->at("tamselNotificationId").get<std::string>(),
                                 info->at("tamselNotificationRevision").get<std::string>(),
                                 !content.contains("sound"), handOff,
                                 info->at("tamselGroupKey") == hex64(0)});
        };
        handOffs = 0;
        for (const auto& line : splitLines(readText(work.path() / (name + ".out")))) {
            Json answer = Json::parse(line, nullptr, false);
            if (!answer.is_object() || answer.value("request", "") != "crash-push") {
                ADD_FAILURE() << "not a hand-off for the push: " << line;
                continue;
            }
            ++handOffs;
            add(answer["content"], true);
        }
        std::string text = std::filesystem::exists(journal()) ? readText(journal()) : "";
        EXPECT_TRUE(text.size() == journalRead || text.back() == '\n') << "a journal line was cut short";
        for (const auto& line : splitLines(text.substr(journalRead))) {
            Json entry = Json::parse(line, nullptr, false);
            if (!entry.is_object() || entry.value("pid", -1) != run.pid) {
                ADD_FAILURE() << "a journal line that is not this run's: " << line;
                continue;
            }
            if (entry["operation"] == "add") add(entry["content"], false);
        }
        journalRead = text.size();
        return presented;
    }

    // The centre, the interactions and the ledger still read, whatever the moment of the kill.
    void expectStoresReadable() {
        auto clock = std::make_shared<platform::SystemClock>();
        platform::FileNotificationCenter center(root() / "notification-center.json", clock);
        EXPECT_NO_THROW(center.deliveredNotifications());
        platform::FileInteractionStore interactions(root() / "interactions.json");
        EXPECT_NO_THROW(interactions.donated());
    }

    // After a clean run: the queue is drained, and every notification is shown
    // or withdrawn as its newest revision says, in the ledger and in the centre.
    void expectSettled(const PresentationAudit& audit) {
        Json state = service.admin("GET", "/admin/receivers/" + receiverID);
        EXPECT_EQ(state["pending"], 0) << "the clean run left changes unacknowledged";

        auto ledger = readLedger();
        std::map<std::string, const Queued*> queued;
        for (const auto& n : notifications) {
            queued[n.id] = &n;
            if (n.newest == 0) continue;
            const std::string newest = std::to_string(n.newest);
            auto entry = ledger.find(n.id);
            if (entry == ledger.end()) {
                ADD_FAILURE() << n.id << " revision " << newest << " was never recorded";
                continue;
            }
            EXPECT_EQ(entry->second["revision"], newest) << n.id;
            EXPECT_EQ(entry->second["state"], n.withdrawn ? "withdrawn" : "available") << n.id;
        }
        // Each revision newer than all before it in the queue is shown at least
        // once, even when a later one has replaced it since.
        for (const auto& [id, revision] : fresh)
            EXPECT_TRUE(audit.presented(id, revision))
                << id << " revision " << revision << " was never shown";
        EXPECT_EQ(ledger[NotificationRevisionLedger::kBadgeKey],
                  (std::map<std::string, std::string>{{"receiver", receiverID},
                                                      {"revision", badgeRevision},
                                                      {"count", std::to_string(badgeCount)}}));

        platform::FileNotificationCenter center(root() / "notification-center.json",
                                                std::make_shared<platform::SystemClock>());
        EXPECT_EQ(center.badgeCount(), badgeCount);
        std::vector<platform::NotificationRequest> shown = center.pendingNotificationRequests();
        for (const auto& delivered : center.deliveredNotifications()) shown.push_back(delivered.request);
        for (const auto& request : shown) {
            const Json& info = *request.content->userInfo;
            const std::string id = info.at("tamselNotificationId").get<std::string>();
            const std::string revision = info.at("tamselNotificationRevision").get<std::string>();
            const Queued& n = *queued.at(id);
            const std::string newest = std::to_string(n.newest);
            if (n.withdrawn) {
                ADD_FAILURE() << id << " revision " << revision << " is still shown after its withdrawal";
            } else if (revision != newest) {
                // The push's own conversation is shown by the content handed back;
                // what the centre still holds from before may then stay older.
                EXPECT_TRUE(n.conversation == 0 && audit.handedOff(id, newest) &&
                            PresentationAudit::newer(newest, revision))
                    << id << " is shown at revision " << revision << ", its newest is " << newest;
            }
        }

        // An interaction is kept exactly for the notifications whose entry says one was donated.
        std::set<std::string> donated, recorded;
        const std::string prefix = "tamsel.notification-delivery." + receiverID + ":";
        for (const auto& interaction : platform::FileInteractionStore(root() / "interactions.json").donated())
            if (interaction.identifier && interaction.identifier->rfind(prefix, 0) == 0)
                donated.insert(interaction.identifier->substr(prefix.size()));
        for (const auto& [id, entry] : ledger)
            if (entry.count("intent") && entry.at("intent") == "donated") recorded.insert(id);
        EXPECT_EQ(donated, recorded);
    }

    // A killed run's last post that its ledger does not hold: the kill fell
    // between the post and its record. Tells whether the post had reached the
    // centre's file or was only in its journal (the centre still writing).
    void countPostInFlight(const std::vector<Presentation>& presented,
                           const PresentationAudit::Ledger& ledger) {
        auto last =
            std::find_if(presented.rbegin(), presented.rend(), [](const auto& p) { return !p.handOff; });
        if (last == presented.rend()) return;
        auto entry = ledger.find(last->notificationID);
        if (entry != ledger.end() && entry->second.at("revision") == last->revision) return;
        platform::FileNotificationCenter center(root() / "notification-center.json",
                                                std::make_shared<platform::SystemClock>());
        for (const auto& delivered : center.deliveredNotifications()) {
            const Json& info = *delivered.request.content->userInfo;
            if (info.at("tamselNotificationId") == last->notificationID &&
                info.at("tamselNotificationRevision") == last->revision) {
                ++inFlightShown;
                return;
            }
        }
        ++inFlightJournalled;
    }

    long inFlightShown = 0, inFlightJournalled = 0;
    DeliveryServiceProcess service;
    ScratchDirectory work{workBase()};
    Json receiver;
    std::string receiverID;
    std::vector<Queued> notifications;
    std::vector<std::pair<std::string, std::string>> fresh;  // queued available revisions, newest so far
    std::string badgeRevision;
    int badgeCount = 0;
    std::size_t journalRead = 0;
};

TEST_F(CrashConsistencyTest, KilledRunsNeitherLoseNorRepeatNorRollBackWhatTheyPresent) {
    const long kills = environmentNumber("TAMSEL_CRASH_ROUNDS", kDefaultKills);
    const auto seed = static_cast<std::uint64_t>(
        environmentNumber("TAMSEL_CRASH_SEED", static_cast<long>(std::random_device{}() & 0x7fffffff)));
    std::cout << "crash test: seed " << seed << " (TAMSEL_CRASH_SEED=" << seed << " replays it), " << kills
              << " kills\n";
    std::mt19937_64 random(seed);
    PresentationAudit audit;
    PresentationAudit::Ledger ledger;
    std::size_t handOffs = 0;

    // A first round without a kill tells how long a run takes on this machine and
    // build, so that the kills can be spread over the whole of one; every run
    // that ends before its kill tells again.
    int batch = queueRound(random, 0);
    HostExit calibration = host("round-0", std::nullopt);
    ASSERT_EQ(calibration.exitCode, 0) << readText(work.path() / "round-0.err");
    for (const auto& problem : audit.audit(false, presentations(calibration, "round-0", handOffs), ledger))
        ADD_FAILURE() << problem;
    ledger = readLedger();
    expectSettled(audit);
    ASSERT_FALSE(HasFailure());
    auto perChange = std::chrono::duration_cast<std::chrono::microseconds>(calibration.took) / batch;

    long landed = 0, beforeAnyPresentation = 0, endedFirst = 0;
    inFlightShown = inFlightJournalled = 0;
    int round = 1;
    for (; landed < kills && round <= 3 * kills + 10; ++round) {
        batch = queueRound(random, round);
        const auto runTime = perChange * batch;
        const std::chrono::microseconds killAfter(
            std::uniform_int_distribution<long>(0, runTime.count())(random));
        std::ostringstream where;
        where << "round " << round << ", kill after " << killAfter.count() / 1000.0
              << " ms of a run of about " << runTime.count() / 1000.0 << " ms, seed " << seed;
        SCOPED_TRACE(where.str());

        const std::string killedName = "round-" + std::to_string(round) + "-killed";
        HostExit killed = host(killedName, killAfter);
        if (killed.killed) {
            ++landed;
        } else {
            ++endedFirst;
            EXPECT_EQ(killed.exitCode, 0) << readText(work.path() / (killedName + ".err"));
            perChange = std::chrono::duration_cast<std::chrono::microseconds>(killed.took) / batch;
        }
        auto presented = presentations(killed, killedName, handOffs);
        EXPECT_LE(handOffs, 1u);
        if (killed.killed && presented.empty()) ++beforeAnyPresentation;
        for (const auto& problem : audit.audit(killed.killed, presented, ledger)) ADD_FAILURE() << problem;
        expectStoresReadable();
        auto after = readLedger();
        expectForwards(ledger, after);
        ledger = after;
        if (killed.killed) countPostInFlight(presented, ledger);

        const std::string cleanName = "round-" + std::to_string(round) + "-clean";
        HostExit clean = host(cleanName, std::nullopt);
        const std::string log = readText(work.path() / (cleanName + ".err"));
        EXPECT_EQ(clean.exitCode, 0) << log;
        EXPECT_NE(log.find("\"extension_worker_completed\""), std::string::npos) << log;
        presented = presentations(clean, cleanName, handOffs);
        EXPECT_EQ(handOffs, 1u) << "the push is answered exactly once";
        for (const auto& problem : audit.audit(false, presented, ledger)) ADD_FAILURE() << problem;
        after = readLedger();
        expectForwards(ledger, after);
        ledger = after;
        expectSettled(audit);
        if (HasFailure()) {
            ++round;
            break;
        }
    }
    if (!HasFailure()) {
        EXPECT_GE(landed, kills) << "too many runs ended before their kill";
    }

    std::size_t leftovers = 0;
    for (const auto& file : std::filesystem::recursive_directory_iterator(root()))
        if (file.path().filename().string().rfind(".", 0) == 0) ++leftovers;
    std::cout << "crash test: " << landed << " kills in " << round - 1 << " rounds (" << beforeAnyPresentation
              << " before anything was presented, " << endedFirst << " runs ended before their kill); "
              << audit.changesInFlight() << " kills left a post in flight that the next run presented again ("
              << inFlightShown << " after the post had reached the centre, " << inFlightJournalled
              << " while the centre was still writing it); "
              << "repeated hand-offs without sound: " << audit.repeatedHandOffs() << " handed back, "
              << audit.repeatedHandOffsPosted() << " posted since the push was already answered; "
              << leftovers << " temporary files left behind by killed writes\n";
}

}  // namespace
}  // namespace tamsel::testing
