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
//
// Neither file is synced (the state is replaced with Durability::none): like
// the notifications a desktop shows, what the centre holds does not outlive a
// power loss, which may take its last changes or the whole file (read back as
// empty). The revision ledger, which is synced, is what keeps a change from
// being presented twice. A process killed at any moment leaves both whole.
//
// What the file held when this object last read or wrote it is kept decoded:
// while the file still holds exactly those bytes, an operation neither parses
// nor checks the document again, and writes it back from the texts it keeps.
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    struct Entry {
        NotificationRequest request;
        TimePoint date{};  // delivered ones only
        std::string text;  // its JSON text, as in the file
    };
    // A document, decoded and checked: both lists in file order, the badge
    // (nothing for null) and the texts of any other members (kept as they are).
    struct Document {
        std::vector<Entry> delivered;
        std::vector<Entry> pending;
        std::optional<std::int64_t> badge;
        std::map<std::string, std::string> others;
    };
    // The document the file's bytes hold, its whole shape checked.
    static Document decode(std::string_view bytes);
    static std::string encode(const Document& document);
    // Runs `read` on the document under the lock.
    template <class Read>
    auto inspect(Read&& read);
    // Runs `change` on the document under the lock and writes the result.
    template <class Change>
    void rewrite(Change&& change);
    // Appends one line to the journal, when there is one: the members before "pid".
    void appendToJournal(const std::string& members) const;

    KeptJsonFile<Document> file_;
    std::shared_ptr<const Clock> clock_;
    std::optional<std::filesystem::path> journal_;
};

}  // namespace tamsel::platform
