#pragma once
// The notification centre of a Linux desktop: notifications go to the session
// bus's notification server (org.freedesktop.Notifications), the badge to the
// launcher (com.canonical.Unity.LauncherEntry "Update" signal).
//
// The server cannot list what it shows and numbers its notifications itself, so
// the centre keeps a registry file beside the other platform files:
//   {"delivered": [{"identifier": …, "content": {…}, "date": <ms since 1970>,
//                   "server": {"bus": <bus id>, "owner": <unique name>, "id": <number>}}],
//    "badge": <integer or null>}
// Each operation runs under the registry's lock (shared by every process with
// the same platform root), including its calls to the server, so two processes
// never post the same request twice or lose each other's entries. A server id is
// only ever passed back (to replace or close) to the very server that issued it:
// the same bus and the same unique owner, since ids restart with every server.
//
// Requests have no trigger and are shown at once, so there are never pending
// requests. A content's badge number is kept in the registry with the content
// but not shown: servers have no such field; setBadgeCount() sets the launcher's.
// Every operation that talks to the bus finishes within the time limit
// (connection included) or fails with a NotificationCenterError; none waits for
// a person. Safe from any thread.
//
// A centre keeps one bus connection, opened on first use and opened again when
// it broke, and asks the server what it reads (body markup) once per server: a
// post is one question to the bus (who owns the server's name now) and the
// Notify call itself. Operations take the connection in turn.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Clock.h"
#include "platform/NotificationCenter.h"
#include "platform/file/LockedJsonFile.h"

namespace tamsel::platform {

struct DesktopNotificationSettings {
    // The application's name as the server shows it.
    std::string applicationName;
    // The desktop entry (file name without ".desktop") the notifications and the
    // badge belong to; must not be empty.
    std::string desktopEntry;
    // The bus to use ("unix:path=…"); empty: the user's session bus.
    std::string busAddress;
    // The most any one operation may wait on the bus.
    std::chrono::milliseconds timeLimit{5000};
};

class DBusConnection;

class DesktopNotificationCenter final : public NotificationCenter {
  public:
    // Codes beyond the centre's own, for what can go wrong on a bus.
    static constexpr long kBusUnavailable = 101;     // no session bus to connect to
    static constexpr long kServerUnavailable = 102;  // no notification server on the bus
    static constexpr long kServerTimedOut = 103;     // the bus or the server did not answer in time
    static constexpr long kServerRefused = 104;      // the server answered with an error

    DesktopNotificationCenter(std::filesystem::path registry, std::shared_ptr<const Clock> clock,
                              DesktopNotificationSettings settings);
    ~DesktopNotificationCenter() override;

    std::vector<DeliveredNotification> deliveredNotifications() override;
    std::vector<NotificationRequest> pendingNotificationRequests() override;
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override;
    void removePendingNotificationRequests(const std::vector<std::string>& identifiers) override;
    void add(const NotificationRequest& request) override;
    void setBadgeCount(std::int64_t count) override;

    // The badge last set, as the registry holds it (nothing when never set).
    std::optional<std::int64_t> badgeCount();

    // What the server is sent for a content: the summary (the sender's name for
    // a communication notification, else the title) and the body (subtitle and
    // body on their own lines, markup characters escaped when the server reads
    // markup).
    static std::string summaryText(const NotificationContent& content);
    static std::string bodyText(const NotificationContent& content, bool serverReadsMarkup);

  private:
    // What one connection has learnt; reset with it.
    struct Session {
        std::unique_ptr<DBusConnection> bus;
        std::string busId;
        // The server whose capabilities are known, and whether it reads markup.
        std::string capabilitiesOwner;
        bool readsMarkup = false;
    };
    // The open connection, opened (again) when there is none or it broke.
    // Called with busMutex_ held.
    DBusConnection& connection(std::chrono::steady_clock::time_point deadline);
    // Runs `body` with the connection held; a connection that failed as a
    // connection is dropped, so that the next operation opens another.
    template <class Body>
    void withBus(std::chrono::steady_clock::time_point deadline, Body&& body);

    LockedJsonFile registry_;
    std::shared_ptr<const Clock> clock_;
    DesktopNotificationSettings settings_;
    // Whether an operation holds the connection (and session_), under busMutex_.
    // A flag and a condition rather than a timed mutex: the wait ends on the
    // steady clock, which ThreadSanitizer follows for condition variables only.
    std::mutex busMutex_;
    std::condition_variable busReleased_;
    bool busTaken_ = false;
    Session session_;
};

}  // namespace tamsel::platform
