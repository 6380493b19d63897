#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Services/NotificationRemotePresentation.h"
#include "platform/testing/RecordingLogSink.h"

namespace TamselNotificationService {
namespace {

using tamsel::platform::NotificationContent;
using tamsel::platform::SharedContent;
using tamsel::platform::testing::ScopedRecordingLog;

SharedContent content(const std::string& title) {
    NotificationContent c;
    c.title = title;
    return std::make_shared<const NotificationContent>(c);
}

const std::string kGroupKey(64, 'a');

TEST(NotificationRemotePresentation, FirstCompleteHandsOffAndLaterOnesAreRefusedSilently) {
    ScopedRecordingLog log;
    std::vector<SharedContent> received;
    NotificationRemotePresentation remote(kGroupKey, content("fallback"),
                                          [&](SharedContent c) { received.push_back(c); });
    auto own = content("own");
    EXPECT_TRUE(remote.complete(own));
    EXPECT_FALSE(remote.complete(content("second")));
    remote.finishFallback();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], own);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"info notification-extension extension_content_handoff"}));
}

TEST(NotificationRemotePresentation, FallbackIsTheObjectGivenAtConstructionAndLogsTwoEventsOnce) {
    ScopedRecordingLog log;
    std::vector<SharedContent> received;
    auto fallback = content("fallback");
    NotificationRemotePresentation remote(kGroupKey, fallback,
                                          [&](SharedContent c) { received.push_back(c); });
    remote.finishFallback();
    remote.finishFallback();
    EXPECT_FALSE(remote.complete(content("late")));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].get(), fallback.get());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"info notification-extension extension_content_handoff",
                                        "error notification-extension extension_generic_fallback"}));
}

TEST(NotificationRemotePresentation, HandlerRunsOutsideTheLockSoReentryIsRefusedNotDeadlocked) {
    ScopedRecordingLog log;
    NotificationRemotePresentation* self = nullptr;
    bool reentry = true;
    NotificationRemotePresentation remote(kGroupKey, content("fallback"),
                                          [&](SharedContent) { reentry = self->complete(content("again")); });
    self = &remote;
    EXPECT_TRUE(remote.complete(content("own")));
    EXPECT_FALSE(reentry);
}

TEST(NotificationRemotePresentation, RacingCallersHandOffExactlyOnce) {
    ScopedRecordingLog log;
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> calls{0};
        std::atomic<int> winners{0};
        NotificationRemotePresentation remote(kGroupKey, content("fallback"),
                                              [&](SharedContent) { ++calls; });
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                while (!go) std::this_thread::yield();
                if (t % 2 == 0) {
                    winners += remote.complete(content("own")) ? 1 : 0;
                } else {
                    remote.finishFallback();
                }
            });
        }
        go = true;
        for (auto& thread : threads) thread.join();
        ASSERT_EQ(calls.load(), 1) << "round " << round;
        ASSERT_LE(winners.load(), 1) << "round " << round;
    }
}

}  // namespace
}  // namespace TamselNotificationService
