#pragma once
// The user notification centre: the notifications on screen (delivered), the
// requests waiting for their trigger (pending), and the application's badge.
//
// Every operation is a blocking call that returns once the centre has done it,
// or throws. The centre's own refusals are NotificationCenterError; a backend
// may run asynchronously inside but resumes its caller exactly once. Safe from
// any thread.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/NotificationContent.h"
#include "platform/PlatformError.h"

namespace tamsel::platform {

struct DeliveredNotification {
    NotificationRequest request;
    TimePoint date;
};

class NotificationCenterError : public PlatformError {
  public:
    // The centre's error codes.
    static constexpr long kNotificationsNotAllowed = 1;
    static constexpr long kInvalidRequest = 2;
    static constexpr long kStoreUnavailable = 3;
    static constexpr long kStoreCorrupted = 4;
    static constexpr long kBadgeRefused = 5;

    explicit NotificationCenterError(long code) noexcept
        : PlatformError(ErrorDomain::notificationCenter, code) {}
    const char* what() const noexcept override { return "notification centre error"; }
};

class NotificationCenter {
  public:
    virtual ~NotificationCenter() = default;

    virtual std::vector<DeliveredNotification> deliveredNotifications() = 0;
    virtual std::vector<NotificationRequest> pendingNotificationRequests() = 0;
    // Identifiers that match nothing are ignored; an empty list removes nothing.
    virtual void removeDeliveredNotifications(const std::vector<std::string>& identifiers) = 0;
    virtual void removePendingNotificationRequests(const std::vector<std::string>& identifiers) = 0;
    // Requests here have no trigger, so the centre delivers them at once. A
    // request whose identifier is already delivered or pending replaces it.
    virtual void add(const NotificationRequest& request) = 0;
    virtual void setBadgeCount(std::int64_t count) = 0;
};

}  // namespace tamsel::platform
