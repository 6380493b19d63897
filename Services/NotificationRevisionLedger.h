#pragma once
// The revision ledger: for every notification handled, the newest revision
// presented or withdrawn and whether an intent donation is outstanding; and the
// newest badge applied. It is what keeps every extension process from showing a
// change twice or an older revision over a newer one.
//
// File: one JSON object whose members are objects of strings, nothing else at
// either level; anything else fails decoding and the file is left alone. Keys:
// "<receiver>:<notification>" entries {"revision", "state", "intent"} and
// "$badge" {"receiver", "revision", "count"}. Members it does not know are
// written back unchanged.
//
// An instance is one open ledger: constructing it takes the exclusive,
// non-blocking flock on "<ledger>.lock" (never the ledger itself, which is
// replaced by rename) and reads the file once; destroying it unlocks and closes
// the lock descriptor, also while an error unwinds. One thread uses it.
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "platform/Bundle.h"
#include "platform/FileSystem.h"

namespace TamselNotificationService {

class NotificationRevisionLedger {
  public:
    using Entry = std::map<std::string, std::string>;
    using Entries = std::map<std::string, Entry>;

    static constexpr const char* kFileName = "notification-revisions.v2.json";
    static constexpr const char* kBadgeKey = "$badge";

    // The ledger file's location, after creating its directory (0700): the
    // application group's container + "NotificationDelivery" when the group
    // setting is a string (no container: NotificationDeliveryFailure::credential()),
    // else application-support + the bundle identifier (or "Tamsel").
    static std::filesystem::path location(const tamsel::platform::Bundle& bundle,
                                          tamsel::platform::FileSystem& files);

    // Locks and reads the ledger at `file`. The lock file cannot be opened, or
    // the lock is held (here or elsewhere) or refused: NotificationDeliveryFailure::response(),
    // at once. An unreadable or undecodable file: that error, with the lock released.
    NotificationRevisionLedger(tamsel::platform::FileSystem& files, std::filesystem::path file);
    ~NotificationRevisionLedger();
    NotificationRevisionLedger(const NotificationRevisionLedger&) = delete;
    NotificationRevisionLedger& operator=(const NotificationRevisionLedger&) = delete;

    // The entry as read or last recorded; nullptr when there is none.
    const Entry* find(const std::string& key) const;
    const Entries& entries() const { return entries_; }

    // Replaces the whole member and rewrites the whole file atomically; with
    // `restrictPermissions` the file's mode is then set to 0600. A failure leaves
    // what was written before and propagates unchanged.
    void record(const std::string& key, Entry entry, bool restrictPermissions);
    // Takes a member out again and rewrites; only to undo a record of this call.
    void erase(const std::string& key, bool restrictPermissions);

    // Strict: JSON parse errors and nlohmann type_error 302 for a wrong shape.
    static Entries decode(std::string_view bytes);
    static std::string encode(const Entries& entries);

    static std::filesystem::path lockFile(const std::filesystem::path& ledgerFile);

  private:
    // Opens and locks in its constructor; unlocks and closes in its destructor.
    class Lock {
      public:
        Lock(tamsel::platform::FileSystem& files, const std::filesystem::path& path);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        tamsel::platform::FileSystem& files_;
        int fd_;
    };

    void write(bool restrictPermissions);

    tamsel::platform::FileSystem& files_;
    std::filesystem::path file_;
    Lock lock_;
    Entries entries_;
};

}  // namespace TamselNotificationService
