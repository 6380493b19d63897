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
// A process that opens the same ledger again (one run opens it for every page)
// decodes the file only when it no longer holds, byte for byte, what the
// process last read or wrote there.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bundle.h"
#include "platform/FileSystem.h"

namespace TamselNotificationService {

class NotificationRevisionLedger {
    // One member of the file: where its encoded text and its key lie in text_
    // (see members_).
    struct Member {
        std::size_t at = 0;         // "<key>":{…}, exactly as in the file (after a comma)
        std::size_t keyAt = 0;      // the key's own bytes (inside the text unless escaped)
        std::uint32_t length = 0;   // of the text
        std::uint32_t valueAt = 0;  // where {…} starts, from `at`
        std::uint32_t keyLength = 0;
    };
    // What an open ledger holds: every member, and the texts they point into.
    struct State {
        std::string text;
        std::vector<Member> members;
    };

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

    // The entry as read or last recorded; nothing when there is none.
    std::optional<Entry> find(const std::string& key) const;
    // Every entry, decoded (a copy).
    Entries entries() const;

    // Replaces the whole member and rewrites the whole file atomically; with
    // `restrictPermissions` the file's mode is then set to 0600. A failure leaves
    // what was written before and propagates unchanged.
    void record(const std::string& key, Entry entry, bool restrictPermissions);

    // record() in two halves around the event it records, so that little more
    // than a rename separates the two: prepare() encodes the ledger with the
    // member replaced and stages the new file (written and made durable beside
    // the ledger, which keeps its old bytes); commit() puts it in place, and
    // only then does find() see the new entry. Destroyed uncommitted, it
    // changes nothing. The ledger must outlive it; commit() at most once.
    //
    // A commit that fails once the file is in place (its directory's fsync,
    // the permissions) still throws, but find() sees the entry: the file
    // holds it, so every later record of this ledger must keep it.
    class PreparedRecord {
      public:
        void commit();

      private:
        friend class NotificationRevisionLedger;
        PreparedRecord(NotificationRevisionLedger& ledger, Member member, bool restrictPermissions,
                       std::unique_ptr<tamsel::platform::StagedFile> staged);

        NotificationRevisionLedger& ledger_;
        Member member_;
        bool restrictPermissions_;
        std::unique_ptr<tamsel::platform::StagedFile> staged_;
    };
    PreparedRecord prepare(const std::string& key, Entry entry, bool restrictPermissions);
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
    // Adds or replaces the member in memory (in key order).
    void place(const Member& member);
    static Entry decodeEntry(std::string_view text);

    // Members are kept as their encoded texts, one after another in one
    // string, and sorted by key in state_.members: the whole file is rewritten after
    // every change, and joining texts costs far less than encoding maps of
    // strings again; one string also takes far less memory than a string (or
    // a map) per member. Lookups decode. A replaced member's old text stays
    // behind until the string is next compacted.
    std::string_view textOf(const Member& m) const {
        return std::string_view(state_.text).substr(m.at, m.length);
    }
    std::string_view keyOf(const Member& m) const { return keyOf(state_.text, m); }
    static std::string_view keyOf(std::string_view text, const Member& m) {
        return text.substr(m.keyAt, m.keyLength);
    }
    // Room kept after the texts for the records of a run: what is never
    // written to is never paged in, so it costs next to nothing.
    static constexpr std::size_t kRecordRoom = 256 * 1024;
    // Encodes a member into text_ (without placing it).
    Member append(std::string_view key, const Entry& entry);
    // Makes room for `bytes` more in text_ without doubling it, dropping the
    // texts of replaced members.
    void reserveText(std::size_t bytes);
    // Reads the file's bytes into state_, taking them over as its text when
    // they are exactly what this ledger writes (adopt()).
    void load(std::string bytes);
    bool adopt(std::string& bytes);
    // The file's bytes, as pieces of the text to be joined in order (few: a run
    // of members next to each other in the text is one). With a replacement,
    // that member is written in place of (or beside) the one of its key, so
    // that a record can be encoded without touching the ledger.
    std::vector<std::string_view> pieces(const Member* replacement) const;
    std::string encodeFile(const Member* replacement) const;  // pieces(), joined
    std::vector<Member>::const_iterator position(std::string_view key) const;

    struct Remembered;
    static Remembered& remembered();

    tamsel::platform::FileSystem& files_;
    std::filesystem::path file_;
    Lock lock_;
    State state_;
};

}  // namespace TamselNotificationService
