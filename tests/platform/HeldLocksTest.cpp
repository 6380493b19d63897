// A lock another holder keeps is waited for only until the run's deadline or
// until the run is cancelled, never longer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/Task.h"
#include "platform/file/FileInteractionStore.h"
#include "platform/file/FileNotificationCenter.h"
#include "tests/support/Expect.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using namespace tamsel::platform;
using namespace std::chrono_literals;
using tamsel::testing::readText;
using tamsel::testing::ScratchDirectory;
using tamsel::testing::thrownCode;

// Holds an exclusive flock through an open file description of its own, as
// another process would.
class HeldLock {
  public:
    explicit HeldLock(const std::filesystem::path& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0);
    }
    ~HeldLock() { ::close(fd_); }

  private:
    int fd_;
};

struct Locked {
    const char* name;
    const char* file;
    // One operation that needs the lock; returns the error's code.
    std::function<long(const std::filesystem::path& file)> call;
    long unavailable;  // the service's code for a store it cannot use now
};

std::vector<Locked> lockedOperations() {
    return {
        {"notification centre", "notification-center.json",
         [](const std::filesystem::path& file) {
             FileNotificationCenter center(file, std::make_shared<SystemClock>());
             return thrownCode<NotificationCenterError>([&] { center.setBadgeCount(1); }).value_or(0);
         },
         NotificationCenterError::kStoreUnavailable},
        {"interaction store", "interactions.json",
         [](const std::filesystem::path& file) {
             FileInteractionStore store(file);
             return thrownCode<IntentError>([&] { store.deleteInteractions({"x"}); }).value_or(0);
         },
         IntentError::kStoreUnavailable},
    };
}

TEST(HeldLocks, AreGivenUpWhenTheRunsDeadlinePasses) {
    for (const auto& operation : lockedOperations()) {
        SCOPED_TRACE(operation.name);
        ScratchDirectory root;
        const auto file = root.path() / operation.file;
        HeldLock held(file.string() + ".lock");

        setCurrentTaskDeadline(std::chrono::steady_clock::now() + 300ms);
        auto task = Task<long>::start([&] { return operation.call(file); });
        setCurrentTaskDeadline(std::nullopt);
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(task.waitUntil(start + 2s));
        auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(task.value(), operation.unavailable);
        EXPECT_GE(elapsed, 250ms);
        EXPECT_LT(elapsed, 450ms);
        EXPECT_FALSE(std::filesystem::exists(file));
    }
}

TEST(HeldLocks, AreGivenUpWhenTheRunIsCancelled) {
    for (const auto& operation : lockedOperations()) {
        SCOPED_TRACE(operation.name);
        ScratchDirectory root;
        const auto file = root.path() / operation.file;
        HeldLock held(file.string() + ".lock");

        auto task = Task<long>::start([&] { return operation.call(file); });
        std::this_thread::sleep_for(100ms);
        auto start = std::chrono::steady_clock::now();
        task.cancel();
        ASSERT_TRUE(task.waitUntil(start + 2s));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
        EXPECT_THROW(task.value(), CancellationError);
        EXPECT_FALSE(std::filesystem::exists(file));
    }
}

}  // namespace
