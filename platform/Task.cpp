#include "platform/Task.h"

namespace tamsel::platform {
namespace {
thread_local std::stop_token currentToken;
std::mutex liveMutex;
std::condition_variable liveChanged;
long liveTasks = 0;
}  // namespace

std::stop_token currentStopToken() { return currentToken; }

bool isCurrentTaskCancelled() { return currentToken.stop_requested(); }

void checkCancellation() {
    if (currentToken.stop_requested()) throw CancellationError();
}

bool waitForAllTasks(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(liveMutex);
    return liveChanged.wait_until(lock, deadline, [] { return liveTasks == 0; });
}

namespace detail {
void setCurrentStopToken(std::stop_token token) { currentToken = std::move(token); }

void taskStarted() {
    std::lock_guard lock(liveMutex);
    ++liveTasks;
}

void taskFinished() {
    // Notified under the lock: once waitForAllTasks() has seen zero, the process
    // may exit and destroy the condition variable, so no finishing thread may
    // still be inside notify_all() by then.
    std::lock_guard lock(liveMutex);
    --liveTasks;
    liveChanged.notify_all();
}
}  // namespace detail

}  // namespace tamsel::platform
