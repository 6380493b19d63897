#pragma once
// An in-memory notification centre that records what it was asked and can fail
// any operation on demand. Safe from any thread.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/testing/FaultPlan.h"

namespace tamsel::platform::testing {

enum class CenterOperation {
    deliveredNotifications,
    pendingNotificationRequests,
    removeDeliveredNotifications,
    removePendingNotificationRequests,
    add,
    setBadgeCount,
};

class MemoryNotificationCenter final : public NotificationCenter {
  public:
    std::vector<DeliveredNotification> deliveredNotifications() override;
    std::vector<NotificationRequest> pendingNotificationRequests() override;
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override;
    void removePendingNotificationRequests(const std::vector<std::string>& identifiers) override;
    void add(const NotificationRequest& request) override;
    void setBadgeCount(std::int64_t count) override;

    // Seeding, as if another process had shown or scheduled these.
    void deliver(NotificationRequest request, TimePoint date = {});
    void schedule(NotificationRequest request);

    std::vector<DeliveredNotification> delivered() const;
    std::vector<NotificationRequest> pending() const;
    std::optional<std::int64_t> badge() const;
    // Every request added successfully, in order (replaced ones included).
    std::vector<NotificationRequest> added() const;
    // The identifier lists of every successful removal call, in order.
    std::vector<std::vector<std::string>> removedDelivered() const;
    std::vector<std::vector<std::string>> removedPending() const;
    std::vector<std::int64_t> badgeCounts() const;

    FaultPlan<CenterOperation>& faults() { return faults_; }
    int calls(CenterOperation operation) const { return faults_.calls(operation); }
    template <class E>
    void failNext(CenterOperation operation, E error) {
        faults_.failCall(operation, 1, std::make_exception_ptr(std::move(error)));
    }
    template <class E>
    void failNextAdd(E error) {
        failNext(CenterOperation::add, std::move(error));
    }
    template <class E>
    void failNextSetBadgeCount(E error) {
        failNext(CenterOperation::setBadgeCount, std::move(error));
    }

    // Runs before every add, outside the centre's lock (to stage races).
    void beforeAdd(std::function<void(const NotificationRequest&)> hook);

  private:
    FaultPlan<CenterOperation> faults_;
    mutable std::mutex mutex_;
    std::vector<DeliveredNotification> delivered_;
    std::vector<NotificationRequest> pending_;
    std::optional<std::int64_t> badge_;
    std::vector<NotificationRequest> added_;
    std::vector<std::vector<std::string>> removedDelivered_;
    std::vector<std::vector<std::string>> removedPending_;
    std::vector<std::int64_t> badgeCounts_;
    std::function<void(const NotificationRequest&)> beforeAdd_;
};

}  // namespace tamsel::platform::testing
