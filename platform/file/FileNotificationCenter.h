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
//
// The state file only tells what is shown now. Given a journal file, the centre
// also appends one JSON line per change it makes, so that a test can see every
// post made by every process, including processes killed halfway:
//   {"operation": "add", "pid": …, "identifier": …, "content": {…}}
//   {"operation": "removeDelivered" | "removePending", "pid": …, "identifiers": [<those removed>]}
//   {"operation": "setBadgeCount", "pid": …, "count": …}
// The line is appended under the file's lock just before the new state replaces
// the old, so a process that dies between the two leaves a line for a change
// that never took effect, never a change without its line. A journal that
// cannot be written fails the operation (kStoreUnavailable) with the state untouched.
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/Clock.h"
#include "platform/NotificationCenter.h"
#include "platform/file/LockedJsonFile.h"

namespace tamsel::platform {

class FileNotificationCenter final : public NotificationCenter {
  public:
    FileNotificationCenter(std::filesystem::path file, std::shared_ptr<const Clock> clock,
                           std::optional<std::filesystem::path> journal = std::nullopt);

    std::vector<DeliveredNotification> deliveredNotifications() override;
    std::vector<NotificationRequest> pendingNotificationRequests() override;
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override;
    void removePendingNotificationRequests(const std::vector<std::string>& identifiers) override;
    void add(const NotificationRequest& request) override;
    void setBadgeCount(std::int64_t count) override;

    // The badge as the file holds it (nothing when never set).
    std::optional<std::int64_t> badgeCount();

  private:
    // Appends one line to the journal, when there is one.
    void appendToJournal(Json line) const;

    LockedJsonFile file_;
    std::shared_ptr<const Clock> clock_;
    std::optional<std::filesystem::path> journal_;
};

}  // namespace tamsel::platform
