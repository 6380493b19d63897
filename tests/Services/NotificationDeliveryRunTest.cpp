// The worker's run: credential checks and re-reads, paging, cursors,
// acknowledgments, and the one-run-in-flight machinery of synchronize() and
// cancel(). The concurrency cases are meant to be repeated under
// ThreadSanitizer
// (--gtest_repeat).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "platform/Task.h"
#include "tests/Services/DeliveryWorkerHarness.h"
#include "tests/support/Expect.h"

namespace TamselNotificationService::testing {
namespace {

using Kind = NotificationDeliveryFailure::Kind;
using namespace std::chrono_literals;
const std::string kBase = "/api/v2/notification-receivers/" + kReceiver;
const std::string kFirstPage = "GET " + kBase + "/delivery-changes?limit=50";

ScriptedResponse page(const std::vector<std::string>& ids, const Json& nextCursor,
                      const std::string& batchId) {
    Json list = Json::array();
    for (const auto& id : ids) list.push_back(withdrawn(id));
    return ScriptedResponse::envelope(pageData(list, nextCursor, batchId),
                                      "notification_delivery_changes.v2");
}

// The error the credentials function of a test throws: it must come out
// unchanged.
struct KeychainUnavailable : std::exception {};

// A one-shot gate that a server or callback thread waits at until the test
// opens it.
class Gate {
  public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    bool wait(std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Waits, bounded, until thread `tid` of this process sleeps: a caller that
// joined the run in flight waits for its end, and a cancel() waits for its run.
// The run is held meanwhile, so nothing else puts that thread to sleep.
bool awaitAsleep(pid_t tid, std::chrono::milliseconds limit = 10s) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        std::ifstream in(path);
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // "tid (name) S ...": the state follows the name's closing parenthesis.
        auto close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S') return true;
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// Waits, bounded, until the current task is cancelled; true when it was.
bool awaitCancellation(std::chrono::milliseconds limit = 10s) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait_for(lock, tamsel::platform::currentStopToken(), limit, [] { return false; });
    return tamsel::platform::isCurrentTaskCancelled();
}

TEST(DeliveryRun, RefusesAStoredCredentialItCannotUseBeforeAnyRequest) {
    struct CredentialRow {
        const char* name;
        std::function<void(NotificationWorkerCredential&)> mutate;
    };
    const std::vector<CredentialRow> rows = {
        {"expiry exactly now", [](auto& c) { c.expiresAt = kNow; }},
        {"expiry a nanosecond ago", [](auto& c) { c.expiresAt = kNow - 1ns; }},
        {"receiver of 15 characters", [](auto& c) { c.receiverID = "receiver_012345"; }},
        {"receiver with a slash", [](auto& c) { c.receiverID = "receiver_0123/../x"; }},
        {"refresh proof of 42 characters", [](auto& c) { c.refreshProof = std::string(42, 'r'); }},
        {"refresh proof with padding", [](auto& c) { c.refreshProof = std::string(42, 'r') + "="; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeliveryWorkerHarness harness;
        auto credential = DeliveryWorkerHarness::goodCredential();
        row.mutate(credential);
        harness.setCredential(credential);
        auto worker = harness.makeWorker();
        expectFailure(Kind::credential, [&] { worker->synchronize(); });
        EXPECT_TRUE(harness.requests().empty());
    }
    // A nanosecond left is enough.
    DeliveryWorkerHarness harness;
    auto credential = DeliveryWorkerHarness::goodCredential();
    credential.expiresAt = kNow + 1ns;
    harness.setCredential(credential);
    EXPECT_NO_THROW(harness.makeWorker()->synchronize());
}

TEST(DeliveryRun, PassesTheCredentialsErrorThroughUnchanged) {
    DeliveryWorkerHarness harness;
    harness.failCredentials(std::make_exception_ptr(KeychainUnavailable()));
    auto worker = harness.makeWorker();
    EXPECT_THROW(worker->synchronize(), KeychainUnavailable);
    EXPECT_TRUE(harness.requests().empty());

    // Also on a later read: the badge's re-read fails, nothing is applied.
    DeliveryWorkerHarness later;
    later.onBadge([&](const RecordedRequest&) {
        later.failCredentials(std::make_exception_ptr(KeychainUnavailable()));
        return ScriptedResponse::envelope(badgeData(), "notification_badge.v1");
    });
    auto second = later.makeWorker();
    EXPECT_THROW(second->synchronize(), KeychainUnavailable);
    EXPECT_TRUE(later.badges().empty());
}

TEST(DeliveryRun, ReadsTheCredentialOnceAtStartOnceForTheBadgeAndTwicePerPage) {
    DeliveryWorkerHarness harness;
    harness.pages({{"", page({"notification_000001"}, kCursorA, "batch_0000000001")},
                   {kCursorA, page({"notification_000002"}, nullptr, "batch_0000000002")}});
    harness.makeWorker()->synchronize();
    EXPECT_EQ(harness.credentialReads(), 1 + 1 + 2 * 2);
}

TEST(DeliveryRun, ACredentialReplacedWhileAPageIsRequestedStopsTheRunBeforeApply) {
    DeliveryWorkerHarness harness;
    harness.onPage([&](const RecordedRequest&) {
        auto replaced = DeliveryWorkerHarness::goodCredential();
        replaced.authorizationRevision = "6";
        harness.setCredential(replaced);
        return page({"notification_000001"}, nullptr, "batch_0000000001");
    });
    auto worker = harness.makeWorker();
    expectFailure(Kind::credential, [&] { worker->synchronize(); });
    EXPECT_TRUE(harness.applied().empty());
    EXPECT_TRUE(harness.requestsTo("delivery-acknowledgments").empty());
}

TEST(DeliveryRun, ACredentialReplacedDuringApplyLetsThePageBeAcknowledgedButStopsTheNext) {
    DeliveryWorkerHarness harness;
    harness.pages({{"", page({"notification_000001"}, kCursorA, "batch_0000000001")},
                   {kCursorA, page({"notification_000002"}, nullptr, "batch_0000000002")}});
    harness.onApply([&](const auto&) {
        auto replaced = DeliveryWorkerHarness::goodCredential();
        replaced.expiresAt += 1s;
        harness.setCredential(replaced);
    });
    auto worker = harness.makeWorker();
    expectFailure(Kind::credential, [&] { worker->synchronize(); });
    EXPECT_EQ(harness.applied().size(), 1u);
    EXPECT_EQ(harness.requestsTo("delivery-acknowledgments").size(), 1u);
    EXPECT_EQ(harness.requestsTo("delivery-changes").size(), 1u);
}

TEST(DeliveryRun, FollowsCursorsUntilNullAcknowledgingEveryPage) {
    DeliveryWorkerHarness harness;
    harness.pages({{"", page({"notification_000001", "notification_000002"}, kCursorA, "batch_0000000001")},
                   {kCursorA, page({"notification_000003"}, kCursorB, "batch_0000000002")},
                   {kCursorB, page({}, nullptr, "batch_0000000003")}});
    harness.makeWorker(false)->synchronize();
    EXPECT_EQ(harness.applied(),
              (std::vector<std::vector<std::string>>{
                  {"notification_000001", "notification_000002"}, {"notification_000003"}, {}}));
    std::vector<std::string> acknowledged;
    for (const auto& ack : harness.requestsTo("delivery-acknowledgments"))
        acknowledged.push_back(tamsel::platform::parseJson(ack.body)["batchId"]);
    EXPECT_EQ(acknowledged,
              (std::vector<std::string>{"batch_0000000001", "batch_0000000002", "batch_0000000003"}));
    EXPECT_EQ(
        harness.requestLines(),
        (std::vector<std::string>{
            "POST " + kBase + "/worker-sessions", kFirstPage, "POST " + kBase + "/delivery-acknowledgments",
            kFirstPage + "&cursor=" + kCursorA, "POST " + kBase + "/delivery-acknowledgments",
            kFirstPage + "&cursor=" + kCursorB, "POST " + kBase + "/delivery-acknowledgments"}));
}

TEST(DeliveryRun, ACursorCycleStopsAfterTheLastNewCursor) {
    DeliveryWorkerHarness harness;
    harness.pages({{"", page({"notification_000001"}, kCursorA, "batch_0000000001")},
                   {kCursorA, page({"notification_000002"}, kCursorB, "batch_0000000002")},
                   {kCursorB, page({"notification_000003"}, kCursorA, "batch_0000000003")}});
    auto worker = harness.makeWorker(false);
    expectFailure(Kind::response, [&] { worker->synchronize(); });
    auto pages = harness.requestsTo("delivery-changes");
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0].target, kBase + "/delivery-changes?limit=50");
    EXPECT_EQ(pages[1].target, kBase + "/delivery-changes?limit=50&cursor=" + kCursorA);
    EXPECT_EQ(pages[2].target, kBase + "/delivery-changes?limit=50&cursor=" + kCursorB);
    EXPECT_EQ(harness.applied().size(), 3u);
    EXPECT_EQ(harness.requestsTo("delivery-acknowledgments").size(), 3u);
}

TEST(DeliveryRun, AnExpiredCursorFailsTheFirstPageButEndsALaterOneSuccessfully) {
    for (int status : {400, 404, 410}) {
        SCOPED_TRACE(status);
        auto expired = ScriptedResponse::json(status, {{"error", {{"code", "invalid_cursor"}}}});
        DeliveryWorkerHarness first;
        first.pages({{"", expired}});
        auto worker = first.makeWorker();
        expectFailure(Kind::expiredCursor, [&] { worker->synchronize(); });
        EXPECT_TRUE(first.applied().empty());

        DeliveryWorkerHarness later;
        later.pages({{"", page({"notification_000001"}, kCursorA, "batch_0000000001")}, {kCursorA, expired}});
        EXPECT_NO_THROW(later.makeWorker()->synchronize());
        EXPECT_EQ(later.applied().size(), 1u);
        EXPECT_EQ(later.requestsTo("delivery-acknowledgments").size(), 1u);
        EXPECT_EQ(later.requestsTo("delivery-changes").size(), 2u);
    }
}

TEST(DeliveryRun, OtherRefusalsOfALaterPageFailTheRun) {
    DeliveryWorkerHarness harness;
    harness.pages({{"", page({"notification_000001"}, kCursorA, "batch_0000000001")},
                   {kCursorA, ScriptedResponse::json(409, {{"error", {{"code", "cursor_conflict"}}}})}});
    auto worker = harness.makeWorker(false);
    EXPECT_EQ(tamsel::testing::thrown<NotificationDeliveryFailure>(
                  [&] { worker->synchronize(); }, [](const auto& failure) { return failure; }),
              NotificationDeliveryFailure::transport(409));
    EXPECT_EQ(harness.applied().size(), 1u);
}

TEST(DeliveryRun, AFailingApplyLeavesThePageUnacknowledged) {
    DeliveryWorkerHarness harness;
    harness.onApply([](const auto&) { throw KeychainUnavailable(); });
    auto worker = harness.makeWorker();
    EXPECT_THROW(worker->synchronize(), KeychainUnavailable);
    EXPECT_TRUE(harness.requestsTo("delivery-acknowledgments").empty());

    DeliveryWorkerHarness badge;
    badge.onApplyBadge([](const auto&) { throw KeychainUnavailable(); });
    auto second = badge.makeWorker();
    EXPECT_THROW(second->synchronize(), KeychainUnavailable);
    EXPECT_TRUE(badge.requestsTo("delivery-changes").empty());
}

TEST(DeliveryRun, ASecondSynchronizeAfterARunStartsAFreshRun) {
    DeliveryWorkerHarness harness;
    harness.pages({{"", page({"notification_000001"}, kCursorA, "batch_0000000001")},
                   {kCursorA, page({}, nullptr, "batch_0000000002")}});
    auto worker = harness.makeWorker();
    worker->synchronize();
    worker->synchronize();
    EXPECT_EQ(harness.requestsTo("worker-sessions").size(), 2u);
    auto pages = harness.requestsTo("delivery-changes");
    ASSERT_EQ(pages.size(), 4u);
    EXPECT_EQ(pages[2].target, kBase + "/delivery-changes?limit=50");
}

// --- One run in flight ---

TEST(DeliveryRunConcurrency, TwoSynchronizeCallsShareOneRunAndItsOutcome) {
    for (bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "failing run" : "successful run");
        DeliveryWorkerHarness harness;
        Gate sessionReached, release;
        harness.onSession([&](const RecordedRequest&) {
            sessionReached.open();
            release.wait();
            return fails ? ScriptedResponse::json(503, {{"error", {{"code", "unavailable"}}}})
                         : ScriptedResponse::envelope(sessionData(), "notification_worker_session.v2");
        });
        auto worker = harness.makeWorker();
        // Both callers get the run's one outcome: the same exception object. Each
        // holds it until both have read it, so that the one whose catch ends last
        // frees it after the other's read in a way ThreadSanitizer can see (the
        // reference count inside libstdc++ is invisible to it).
        std::mutex readMutex;
        std::condition_variable readChanged;
        int readers = 0;
        auto bothRead = [&] {
            std::unique_lock lock(readMutex);
            ++readers;
            readChanged.notify_all();
            readChanged.wait(lock, [&] { return readers == 2; });
        };
        using Outcome = std::pair<std::optional<long>, const void*>;
        auto outcome = [&]() -> Outcome {
            try {
                worker->synchronize();
                bothRead();
                return {std::nullopt, nullptr};
            } catch (const NotificationDeliveryFailure& failure) {
                Outcome seen{failure.status(), &failure};
                bothRead();
                return seen;
            }
        };
        auto first = std::async(std::launch::async, outcome);
        ASSERT_TRUE(sessionReached.wait());
        std::promise<pid_t> calling;
        auto second = std::async(std::launch::async, [&] {
            calling.set_value(::gettid());
            return outcome();
        });
        // The run stays in its worker session until the gate opens, so the second
        // call, asleep meanwhile, can only have joined it.
        ASSERT_TRUE(awaitAsleep(calling.get_future().get()));
        release.open();
        auto a = first.get(), b = second.get();
        EXPECT_EQ(a.first, fails ? std::optional<long>(503) : std::nullopt);
        EXPECT_EQ(b.first, a.first);
        EXPECT_EQ(b.second, a.second);
        EXPECT_EQ(harness.requestsTo("worker-sessions").size(), 1u);
        EXPECT_EQ(harness.requestsTo("badge").size(), fails ? 0u : 1u);
        EXPECT_EQ(harness.requestsTo("delivery-changes").size(), fails ? 0u : 1u);
        EXPECT_EQ(harness.applied().size(), fails ? 0u : 1u);
    }
}

TEST(DeliveryRunConcurrency, CancelWithoutARunReturnsAtOnce) {
    DeliveryWorkerHarness harness;
    auto worker = harness.makeWorker();
    auto start = std::chrono::steady_clock::now();
    worker->cancel();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_TRUE(harness.requests().empty());
    EXPECT_NO_THROW(worker->synchronize());
}

TEST(DeliveryRunConcurrency, CancelDuringApplyLeavesThePageUnacknowledgedAndReturnsAfterTheRun) {
    DeliveryWorkerHarness harness;
    std::mutex orderMutex;
    std::vector<std::string> order;
    auto note = [&](std::string what) {
        std::lock_guard lock(orderMutex);
        order.push_back(std::move(what));
    };
    Gate inApply;
    const pid_t canceller = ::gettid();
    harness.onApply([&](const auto&) {
        inApply.open();
        // Presentation is not interrupted: it sees the cancellation, finishes its
        // work a little later and returns normally.
        EXPECT_TRUE(awaitCancellation());
        // Returns only once cancel() is waiting for the run.
        EXPECT_TRUE(awaitAsleep(canceller));
        note("apply returned");
    });
    harness.pages({{"", page({"notification_000001"}, kCursorA, "batch_0000000001")}});
    auto worker = harness.makeWorker();
    auto run = std::async(std::launch::async, [&] { worker->synchronize(); });
    ASSERT_TRUE(inApply.wait());
    worker->cancel();
    note("cancel returned");
    EXPECT_THROW(run.get(), tamsel::platform::CancellationError);
    EXPECT_EQ(order, (std::vector<std::string>{"apply returned", "cancel returned"}));
    EXPECT_EQ(harness.applied().size(), 1u);
    EXPECT_TRUE(harness.requestsTo("delivery-acknowledgments").empty());

    // The worker is free again: the next synchronize() is a new run.
    harness.onApply(nullptr);
    worker->synchronize();
    EXPECT_EQ(harness.requestsTo("worker-sessions").size(), 2u);
    EXPECT_EQ(harness.requestsTo("delivery-acknowledgments").size(), 1u);
}

// Once cancel() has returned, the next synchronize() starts a new run (it does
// not join the cancelled one), and a caller that comes while that run is in
// flight joins it rather than starting another beside it, whenever the
// cancelled run's starter resumes. The interleaving is the scheduler's, so the
// case is repeated.
TEST(DeliveryRunConcurrency, AfterCancelANewRunStartsAndLaterCallersJoinIt) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        DeliveryWorkerHarness harness;
        Gate inApply;
        std::atomic<bool> blockApply{true};
        harness.onApply([&](const auto&) {
            if (!blockApply) return;
            inApply.open();
            EXPECT_TRUE(awaitCancellation());
        });
        auto worker = harness.makeWorker(false);
        auto cancelled = std::async(std::launch::async, [&] { worker->synchronize(); });
        ASSERT_TRUE(inApply.wait());
        blockApply = false;

        Gate secondSession, releaseSecond;
        harness.onSession([&](const RecordedRequest&) {
            secondSession.open();
            releaseSecond.wait();
            return ScriptedResponse::envelope(sessionData(), "notification_worker_session.v2");
        });
        worker->cancel();
        auto second = std::async(std::launch::async, [&] { worker->synchronize(); });
        ASSERT_TRUE(secondSession.wait());
        EXPECT_THROW(cancelled.get(), tamsel::platform::CancellationError);
        // The first starter has returned; the second run is still in its session.
        std::promise<pid_t> calling;
        auto third = std::async(std::launch::async, [&] {
            calling.set_value(::gettid());
            worker->synchronize();
        });
        ASSERT_TRUE(awaitAsleep(calling.get_future().get()));
        releaseSecond.open();
        EXPECT_NO_THROW(second.get());
        EXPECT_NO_THROW(third.get());
        EXPECT_EQ(harness.requestsTo("worker-sessions").size(), 2u);
    }
}

}  // namespace
}  // namespace TamselNotificationService::testing
