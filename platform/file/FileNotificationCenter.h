#pragma once
// The notification centre kept in one file that every process using the same
// platform root shares:
//   {"delivered": [{"identifier": …, "content": {…}, "date": "<RFC 3339 UTC>"}],
//    "pending": [{"identifier": …, "content": {…}}, …],
//    "badge": <integer or null>}
// Contents are in the host's content JSON. Every operation is one critical
// section under the file's lock, so concurrent processes see each other's
// changes whole. A file that is not of this shape is never overwritten: every
// operation then fails with kStoreCorrupted until it is mended.
#include <filesystem>
#include <memory>

#include "platform/Clock.h"
#include "platform/NotificationCenter.h"
#include "platform/file/LockedJsonFile.h"

namespace tamsel::platform {

class FileNotificationCenter final : public NotificationCenter {
  public:
    FileNotificationCenter(std::filesystem::path file, std::shared_ptr<const Clock> clock);

    std::vector<DeliveredNotification> deliveredNotifications() override;
    std::vector<NotificationRequest> pendingNotificationRequests() override;
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override;
    void removePendingNotificationRequests(const std::vector<std::string>& identifiers) override;
    void add(const NotificationRequest& request) override;
    void setBadgeCount(std::int64_t count) override;

    // The badge as the file holds it (nothing when never set).
    std::optional<std::int64_t> badgeCount();

  private:
    template <class Body>
    auto guarded(Body&& body);

    LockedJsonFile file_;
    std::shared_ptr<const Clock> clock_;
};

}  // namespace tamsel::platform
