#include "platform/Task.h"

namespace tamsel::platform {
namespace {
thread_local std::stop_token currentToken;
// Never destroyed: a detached task thread may still be signalling while the
// process runs its exit-time destructors.
struct LiveTasks {
    std::mutex mutex;
    std::condition_variable changed;
    long count = 0;
};
LiveTasks& live() {
    static auto* instance = new LiveTasks;
    return *instance;
}
}  // namespace

std::stop_token currentStopToken() { return currentToken; }

bool isCurrentTaskCancelled() { return currentToken.stop_requested(); }

void checkCancellation() {
    if (currentToken.stop_requested()) throw CancellationError();
}

bool waitForAllTasks(std::chrono::steady_clock::time_point deadline) {
    auto& tasks = live();
    std::unique_lock lock(tasks.mutex);
    return tasks.changed.wait_until(lock, deadline, [&] { return tasks.count == 0; });
}

namespace detail {
void setCurrentStopToken(std::stop_token token) { currentToken = std::move(token); }

void taskStarted() {
    auto& tasks = live();
    std::lock_guard lock(tasks.mutex);
    ++tasks.count;
}

void taskFinished() {
    auto& tasks = live();
    std::lock_guard lock(tasks.mutex);
    --tasks.count;
    tasks.changed.notify_all();
}
}  // namespace detail

}  // namespace tamsel::platform
