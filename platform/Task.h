#pragma once
// Stand-in for the platform's unstructured tasks.
//
// A Task runs its body on a thread of its own and publishes one outcome (a
// value or an exception) that any number of callers may wait for. Cancellation
// is cooperative: cancel() only raises a flag. Code running inside a task finds
// that flag through a thread-local "current task", so checkCancellation() and
// an HTTPS transfer deep below the body see it without it being passed down.
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/PlatformError.h"

namespace tamsel::platform {

// The platform's cancellation error, thrown by checkCancellation() and by a
// transfer that was interrupted because its task was cancelled.
class CancellationError : public std::exception, public Error {
  public:
    CancellationError() noexcept : Error(ErrorDomain::cancellation, 0) {}
    const char* what() const noexcept override { return "cancelled"; }
};

// The cancellation token of the task running on this thread (a token that never
// stops outside a task).
std::stop_token currentStopToken();
bool isCurrentTaskCancelled();
// Throws CancellationError when the current task has been cancelled.
void checkCancellation();

// The run's deadline. The host sets it on its own thread when it starts a push;
// every task started afterwards from that thread, and every task those start,
// inherits it. Waits below a task (a file lock, a bus call) end by it.
using TaskDeadline = std::chrono::steady_clock::time_point;
// How long a wait may last when no deadline was set.
inline constexpr std::chrono::seconds kDefaultWaitLimit{10};
std::optional<TaskDeadline> currentTaskDeadline();
// Sets (or with nothing, clears) the deadline of the code on this thread and of
// the tasks it starts from now on.
void setCurrentTaskDeadline(std::optional<TaskDeadline> deadline);
// The end of a wait that may take at most `limit`: the sooner of now + limit and
// the current deadline (now + kDefaultWaitLimit when there is none).
TaskDeadline waitDeadline(std::chrono::steady_clock::duration limit = kDefaultWaitLimit);

// Waits until every task started so far has finished, or the deadline passes,
// and joins the threads of those that have. Returns true when none is left. The
// host calls it before exiting so that no task thread outlives main(), not even
// in its thread-exit work (the TLS library frees its per-thread state there).
bool waitForAllTasks(std::chrono::steady_clock::time_point deadline);

namespace detail {
void setCurrentStopToken(std::stop_token token);
void taskStarted();
// Keeps a task's thread until it has finished, then joins it (here, on a later
// call, or in waitForAllTasks()).
void adopt(std::thread thread);
void taskFinished();

template <class T>
struct TaskState {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::conditional_t<std::is_void_v<T>, std::monostate, std::optional<T>> value;
    std::exception_ptr error;
    std::stop_source stop;
};
}  // namespace detail

template <class T>
class Task {
  public:
    Task() = default;

    // Starts body on a new thread and returns its handle at once.
    static Task start(std::function<T()> body) {
        auto state = std::make_shared<detail::TaskState<T>>();
        detail::taskStarted();
        detail::adopt(
            std::thread([state, body = std::move(body), deadline = currentTaskDeadline()]() mutable {
                detail::setCurrentStopToken(state->stop.get_token());
                setCurrentTaskDeadline(deadline);
                Outcome outcome = invoke(body);
                // Whatever the body captured dies here, before waiters wake up.
                body = nullptr;
                detail::setCurrentStopToken({});
                setCurrentTaskDeadline(std::nullopt);
                publish(*state, std::move(outcome));
                state.reset();
                detail::taskFinished();
            }));
        return Task(std::move(state));
    }

    // A task whose body the caller runs itself, on its own thread, with runHere():
    // meanwhile others wait for it and cancel it as for any task. For a caller
    // that would otherwise start a thread only to wait for it.
    static Task pending() { return Task(std::make_shared<detail::TaskState<T>>()); }

    // Runs `body` as this task on the calling thread, then publishes its outcome.
    // While it runs, this task's cancellation is the one code below it sees
    // (checkCancellation(), a transfer); the caller's own is back afterwards. At
    // most once, and only on a task from pending().
    void runHere(const std::function<T()>& body) const {
        const std::stop_token caller = currentStopToken();
        detail::setCurrentStopToken(state_->stop.get_token());
        Outcome outcome = invoke(body);
        detail::setCurrentStopToken(caller);
        publish(*state_, std::move(outcome));
    }

    explicit operator bool() const { return state_ != nullptr; }
    bool operator==(const Task& other) const { return state_ == other.state_; }

    void cancel() const { state_->stop.request_stop(); }
    bool isCancelled() const { return state_->stop.stop_requested(); }

    bool isDone() const {
        std::lock_guard lock(state_->mutex);
        return state_->done;
    }

    // Blocks until the task has finished; true if it did before the deadline.
    template <class Clock, class Duration>
    bool waitUntil(std::chrono::time_point<Clock, Duration> deadline) const {
        std::unique_lock lock(state_->mutex);
        return state_->finished.wait_until(lock, deadline, [&] { return state_->done; });
    }

    void wait() const {
        std::unique_lock lock(state_->mutex);
        state_->finished.wait(lock, [&] { return state_->done; });
    }

    // Blocks until the task has finished, then returns its value or rethrows its
    // error. Every caller gets the same outcome.
    T value() const {
        std::unique_lock lock(state_->mutex);
        state_->finished.wait(lock, [&] { return state_->done; });
        if (state_->error) std::rethrow_exception(state_->error);
        if constexpr (!std::is_void_v<T>) return *state_->value;
    }

  private:
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, std::optional<T>>;
    struct Outcome {
        Value value;
        std::exception_ptr error;
    };

    static Outcome invoke(const std::function<T()>& body) {
        Outcome outcome;
        try {
            if constexpr (std::is_void_v<T>) {
                body();
            } else {
                outcome.value.emplace(body());
            }
        } catch (...) {
            outcome.error = std::current_exception();
        }
        return outcome;
    }

    // Makes the outcome every waiter sees, and wakes them.
    static void publish(detail::TaskState<T>& state, Outcome outcome) {
        {
            std::lock_guard lock(state.mutex);
            state.value = std::move(outcome.value);
            state.error = outcome.error;
            state.done = true;
        }
        state.finished.notify_all();
    }

    explicit Task(std::shared_ptr<detail::TaskState<T>> state) : state_(std::move(state)) {}
    std::shared_ptr<detail::TaskState<T>> state_;
};

}  // namespace tamsel::platform
