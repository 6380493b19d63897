#include "platform/Task.h"

#include <algorithm>
#include <set>
#include <vector>

namespace tamsel::platform {
namespace {
thread_local std::stop_token currentToken;
thread_local std::optional<TaskDeadline> currentDeadline;
// Never destroyed: a task thread not joined in time may still be signalling
// while the process runs its exit-time destructors.
struct LiveTasks {
    std::mutex mutex;
    std::condition_variable changed;
    long count = 0;
    // A thread that has published its task's outcome still runs its
    // thread-local destructors; it is joined only after that.
    std::vector<std::thread> threads;
    std::set<std::thread::id> finished;
};
LiveTasks& live() {
    static auto* instance = new LiveTasks;
    return *instance;
}

// Takes out the threads whose task has finished, to be joined outside the lock:
// all they have left is their thread-exit work.
std::vector<std::thread> takeFinished(LiveTasks& tasks) {
    std::vector<std::thread> done;
    for (auto it = tasks.threads.begin(); it != tasks.threads.end();) {
        if (tasks.finished.erase(it->get_id())) {
            done.push_back(std::move(*it));
            it = tasks.threads.erase(it);
        } else {
            ++it;
        }
    }
    return done;
}

void joinAll(std::vector<std::thread>& threads) {
    for (auto& thread : threads) thread.join();
}
}  // namespace

std::stop_token currentStopToken() { return currentToken; }

bool isCurrentTaskCancelled() { return currentToken.stop_requested(); }

void checkCancellation() {
    if (currentToken.stop_requested()) throw CancellationError();
}

std::optional<TaskDeadline> currentTaskDeadline() { return currentDeadline; }

void setCurrentTaskDeadline(std::optional<TaskDeadline> deadline) { currentDeadline = deadline; }

TaskDeadline waitDeadline(std::chrono::steady_clock::duration limit) {
    const auto now = std::chrono::steady_clock::now();
    return std::min(now + limit, currentDeadline.value_or(now + kDefaultWaitLimit));
}

bool waitForAllTasks(std::chrono::steady_clock::time_point deadline) {
    auto& tasks = live();
    std::vector<std::thread> done;
    bool none;
    {
        std::unique_lock lock(tasks.mutex);
        none = tasks.changed.wait_until(lock, deadline, [&] { return tasks.count == 0; });
        done = takeFinished(tasks);
    }
    joinAll(done);
    return none;
}

namespace {
// A program that never calls waitForAllTasks() (a test, say) would leave the
// threads of its finished tasks unjoined at exit, still in their thread-exit
// work. This joins them then; a task still running after a short grace is left
// alone, as before.
struct JoinFinishedTasksAtExit {
    ~JoinFinishedTasksAtExit() {
        waitForAllTasks(std::chrono::steady_clock::now() + std::chrono::seconds(2));
    }
} joinFinishedTasksAtExit;
}  // namespace

namespace detail {
void setCurrentStopToken(std::stop_token token) { currentToken = std::move(token); }

void taskStarted() {
    auto& tasks = live();
    std::lock_guard lock(tasks.mutex);
    ++tasks.count;
}

void adopt(std::thread thread) {
    auto& tasks = live();
    std::vector<std::thread> done;
    {
        std::lock_guard lock(tasks.mutex);
        tasks.threads.push_back(std::move(thread));
        done = takeFinished(tasks);
    }
    joinAll(done);
}

void taskFinished() {
    auto& tasks = live();
    std::lock_guard lock(tasks.mutex);
    --tasks.count;
    tasks.finished.insert(std::this_thread::get_id());
    tasks.changed.notify_all();
}
}  // namespace detail

}  // namespace tamsel::platform
