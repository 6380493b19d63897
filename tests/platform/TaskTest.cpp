#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Task.h"

namespace tamsel::platform {
namespace {

using namespace std::chrono_literals;

TEST(Task, EveryWaiterGetsTheSameValue) {
    std::atomic<int> runs{0};
    auto task = Task<int>::start([&] {
        ++runs;
        std::this_thread::sleep_for(20ms);
        return 42;
    });
    std::vector<std::thread> waiters;
    std::atomic<int> sum{0};
    for (int i = 0; i < 8; ++i) waiters.emplace_back([&] { sum += task.value(); });
    for (auto& w : waiters) w.join();
    EXPECT_EQ(sum.load(), 8 * 42);
    EXPECT_EQ(runs.load(), 1);
}

TEST(Task, EveryWaiterGetsTheSameError) {
    auto task = Task<void>::start([] { throw std::invalid_argument("boom"); });
    for (int i = 0; i < 3; ++i) EXPECT_THROW(task.value(), std::invalid_argument);
}

TEST(Task, CancellationIsCooperativeAndSeenByCheckCancellationInsideTheTask) {
    std::atomic<bool> started{false};
    auto task = Task<void>::start([&] {
        started = true;
        while (!isCurrentTaskCancelled()) std::this_thread::sleep_for(1ms);
        checkCancellation();
        FAIL() << "checkCancellation must throw in a cancelled task";
    });
    while (!started) std::this_thread::yield();
    EXPECT_FALSE(task.isDone());
    task.cancel();
    EXPECT_THROW(task.value(), CancellationError);
    EXPECT_TRUE(task.isCancelled());
}

TEST(Task, OutsideATaskNothingIsCancelled) {
    EXPECT_NO_THROW(checkCancellation());
    EXPECT_FALSE(currentStopToken().stop_requested());
}

TEST(Task, CancellingOneTaskLeavesAnotherAlone) {
    auto waiting = Task<void>::start([] {
        std::this_thread::sleep_for(30ms);
        checkCancellation();
    });
    auto cancelled = Task<void>::start([] {
        std::this_thread::sleep_for(30ms);
        checkCancellation();
    });
    cancelled.cancel();
    EXPECT_NO_THROW(waiting.value());
    EXPECT_THROW(cancelled.value(), CancellationError);
}

// A task run on its starter's thread: others join and cancel it as any task,
// its body sees its own cancellation only, and the starter's comes back after.
TEST(Task, APendingTaskRunsOnTheCallersThreadAndIsJoinedAndCancelledAsAny) {
    auto outer = Task<void>::start([] {
        auto task = Task<int>::pending();
        std::atomic<bool> running{false};
        std::thread joiner([&] {
            while (!running) std::this_thread::sleep_for(1ms);
            task.cancel();
            EXPECT_THROW(task.value(), CancellationError);
        });
        const auto here = std::this_thread::get_id();
        task.runHere([&]() -> int {
            EXPECT_EQ(std::this_thread::get_id(), here);
            running = true;
            const auto limit = std::chrono::steady_clock::now() + 10s;
            while (!isCurrentTaskCancelled() && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(1ms);
            checkCancellation();
            ADD_FAILURE() << "the body did not see its task's cancellation";
            return 1;
        });
        joiner.join();
        EXPECT_TRUE(task.isDone());
        EXPECT_FALSE(isCurrentTaskCancelled()) << "the starter's own task was not cancelled";

        auto done = Task<int>::pending();
        done.runHere([] { return 7; });
        EXPECT_EQ(done.value(), 7);
    });
    outer.value();
}

TEST(Task, WaitUntilReportsWhetherTheTaskEndedInTime) {
    std::atomic<bool> release{false};
    auto task = Task<void>::start([&] {
        while (!release) std::this_thread::sleep_for(1ms);
    });
    EXPECT_FALSE(task.waitUntil(std::chrono::steady_clock::now() + 20ms));
    release = true;
    EXPECT_TRUE(task.waitUntil(std::chrono::steady_clock::now() + 5s));
    EXPECT_TRUE(waitForAllTasks(std::chrono::steady_clock::now() + 5s));
}

// What a thread does after its task's outcome is out (the thread-local
// destructors, where the TLS library frees its per-thread state) is over once
// waitForAllTasks() returns, so nothing of it races with the exit.
std::atomic<bool> threadExitWorkDone{false};
struct SlowThreadExit {
    ~SlowThreadExit() {
        std::this_thread::sleep_for(50ms);
        threadExitWorkDone = true;
    }
};
thread_local SlowThreadExit slowThreadExit;

TEST(Task, WaitingForAllTasksWaitsForTheirThreadsToExit) {
    auto task = Task<void>::start([] { (void)&slowThreadExit; });
    task.wait();
    EXPECT_TRUE(waitForAllTasks(std::chrono::steady_clock::now() + 5s));
    EXPECT_TRUE(threadExitWorkDone);
}

TEST(Task, CapturesAreReleasedBeforeWaitersWakeUp) {
    auto owned = std::make_shared<int>(7);
    std::weak_ptr<int> watch = owned;
    auto task = Task<void>::start([owned = std::move(owned)] { (void)*owned; });
    task.wait();
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace tamsel::platform

TEST(Task, TheRunsDeadlineIsInheritedByTasksAndCapsEveryWait) {
    using namespace std::chrono;
    using namespace tamsel::platform;
    auto before = steady_clock::now();
    // Without a deadline a wait is capped by the default limit.
    EXPECT_FALSE(currentTaskDeadline());
    auto capped = waitDeadline(hours(1));
    EXPECT_GE(capped, before + kDefaultWaitLimit);
    EXPECT_LE(capped, steady_clock::now() + kDefaultWaitLimit);

    const auto deadline = steady_clock::now() + seconds(2);
    setCurrentTaskDeadline(deadline);
    auto outer = Task<std::optional<TaskDeadline>>::start([] {
        // A task started by a task inherits it too.
        return Task<std::optional<TaskDeadline>>::start([] { return currentTaskDeadline(); }).value();
    });
    setCurrentTaskDeadline(std::nullopt);
    auto started = Task<std::optional<TaskDeadline>>::start([] { return currentTaskDeadline(); });
    EXPECT_EQ(outer.value(), deadline);
    EXPECT_FALSE(started.value());
    setCurrentTaskDeadline(deadline);
    EXPECT_EQ(waitDeadline(hours(1)), deadline);
    auto soon = waitDeadline(milliseconds(10));
    EXPECT_LE(soon, steady_clock::now() + milliseconds(10));
    setCurrentTaskDeadline(std::nullopt);
}
