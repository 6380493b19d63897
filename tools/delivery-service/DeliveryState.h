#pragma once
// The delivery service's memory: receivers and their credentials, access tokens,
// the pending changes of every receiver in the order they were queued, the pages
// handed out (with their cursors and receipt proofs), acknowledgments, badges
// and the answers remembered under idempotency keys, push subscriptions and the
// outcomes of the wake-ups sent to them.
//
// Every operation takes the one mutex for its whole duration and never calls out
// while holding it (a wake-up goes to its sink after the lock is let go), so the
// HTTP layer and the push sender may call in from any number of threads.
// Protocol operations return a complete answer (status and JSON body); admin
// operations return their JSON or throw AdminError.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "tools/delivery-service/Encoding.h"
#include "tools/delivery-service/WebPushSender.h"

namespace tamsel::delivery {

using Json = tamsel::platform::Json;

struct Settings {
    std::chrono::milliseconds tokenLifetime = std::chrono::minutes(5);
    // How long a page's batch stays acknowledgeable and its next cursor usable.
    std::chrono::milliseconds pageLifetime = std::chrono::minutes(5);
    std::chrono::milliseconds credentialLifetime = std::chrono::hours(24 * 30);
    // The largest "limit" a page request may ask for.
    int maxPageLimit = 100;
    // The "sub" claim of the VAPID tokens wake-ups carry.
    std::string vapidSubject = "mailto:delivery@localhost";
};

struct Answer {
    int status = 200;
    Json body;
};

class AdminError : public std::exception {
  public:
    AdminError(int status, std::string code) : status_(status), code_(std::move(code)) {}
    int status() const { return status_; }
    const std::string& code() const { return code_; }
    const char* what() const noexcept override { return code_.c_str(); }

  private:
    int status_;
    std::string code_;
};

class DeliveryState {
  public:
    explicit DeliveryState(
        Settings settings, std::function<TimePoint()> now = [] { return std::chrono::system_clock::now(); });

    // The four exchanges. Header values are absent when the request lacked them.
    Answer openWorkerSession(const std::string& receiverId, const std::optional<std::string>& refreshProof,
                             const std::optional<std::string>& idempotencyKey);
    Answer readBadge(const std::string& receiverId, const std::optional<std::string>& authorization);
    Answer readChanges(const std::string& receiverId, const std::optional<std::string>& authorization,
                       const std::optional<std::string>& limit, const std::optional<std::string>& cursor);
    Answer acknowledge(const std::string& receiverId, const std::optional<std::string>& authorization,
                       const std::optional<std::string>& idempotencyKey,
                       const std::optional<std::string>& contentType, const std::string& body);

    // Admin. `request` is the admin call's JSON body (an object, possibly empty).
    // Registers a receiver and returns the credential as the main application stores it.
    Json registerReceiver(const Json& request);
    // A new refresh proof (and authorization revision, by default the next one).
    Json rotateCredential(const std::string& receiverId, const Json& request);
    // Queues change records exactly as they will be sent: one object or an array of objects.
    // When the receiver has a push subscription, hands one wake-up to the wake-up
    // sink, naming the group key of the first record that has one.
    Json queueChanges(const std::string& receiverId, const Json& records);
    // Queues `count` well-formed changes of a given size, for benchmarks.
    Json generateChanges(const std::string& receiverId, const Json& request);
    // Replaces the badge: {"unreadCount": n, "revision": optional text}.
    Json setBadge(const std::string& receiverId, const Json& request);
    Json acknowledgments(const std::string& receiverId);
    Json summary(const std::string& receiverId);
    // Makes every cursor handed out so far unknown, as if it had expired.
    Json expireCursors(const std::string& receiverId);
    // {"count": n}: the next n pages that carry no change still get a next cursor
    // (continuing where they stood), so a run follows n + 1 empty pages.
    Json emptyPages(const std::string& receiverId, const Json& request);
    // {"values": [...]}: the receiver's next access tokens, receipt proofs, cursors
    // and batch ids, in the order they are handed out, instead of random ones; so
    // that a benchmark's plain client can make a run's chained requests, prepared
    // beforehand. Values must be new and shaped as identifiers.
    Json planValues(const std::string& receiverId, const Json& request);

    // Web Push. The subscription a wake-up goes to ({"endpoint", "p256dh", "auth"}).
    Json setPushSubscription(const std::string& receiverId, const Json& request);
    Json removePushSubscription(const std::string& receiverId);
    // {"deliveries": [...]}: the outcome of every wake-up sent, oldest first.
    Json pushDeliveries(const std::string& receiverId);
    void recordPushDelivery(const std::string& receiverId, Json delivery);
    // Where wake-ups go; called after the queueing call let go of the state.
    void setWakeUpSink(std::function<void(WakeUp)> sink);

  private:
    using Expiries = std::multimap<TimePoint, std::string>;
    struct Page {
        std::string receiptProof;
        std::vector<std::uint64_t> sequence;  // the queued changes it carried
        // The records as sent; once acknowledged, only their ids and revisions.
        Json changes;
        TimePoint expiresAt;
        std::optional<Json> acknowledgment;  // set once acknowledged
    };
    struct Cursor {
        std::uint64_t after;  // pages continue after this queue position
        TimePoint expiresAt;
    };
    struct Remembered {
        std::string fingerprint;  // what the first request asked for
        Answer answer;
    };
    struct Receiver {
        std::string id;
        std::string refreshProof;
        std::string authorizationRevision;
        TimePoint credentialExpiresAt;
        std::map<std::uint64_t, Json> pending;  // queue position -> record
        std::uint64_t nextPosition = 1;
        Json badge;  // {"revision", "unreadCount"}
        unsigned long long badgeRevision = 1;
        std::map<std::string, Page> pages;  // by batch id
        std::map<std::string, Cursor> cursors;
        // When each cursor and page falls due, so that pruning looks only at
        // those (acknowledged pages are kept for good and would make every
        // request slower); a key whose item is gone is simply dropped.
        Expiries cursorsDue, pagesDue;
        std::map<std::string, Remembered> remembered;  // by route + idempotency key
        std::vector<std::string> acknowledged;         // batch ids, in order
        std::map<std::string, long> requests;          // per exchange, every request received
        long emptyPagesWithCursor = 0;                 // see emptyPages()
        std::deque<std::string> planned;               // see planValues()
        std::optional<PushSubscription> pushSubscription;
        std::deque<Json> pushDeliveries;  // the latest kMaxPushDeliveries outcomes
    };
    struct AccessToken {
        std::string receiverId;
        TimePoint expiresAt;
    };

    Receiver* find(const std::string& receiverId);
    Receiver& require(const std::string& receiverId);
    // The receiver the bearer token was issued for, when it is this one and still valid.
    Receiver* authorize(const std::string& receiverId, const std::optional<std::string>& authorization,
                        TimePoint now);
    Json credentialJson(const Receiver& receiver) const;
    void prune(Receiver& receiver, TimePoint now);

    Settings settings_;
    std::function<TimePoint()> now_;
    std::mutex mutex_;
    std::map<std::string, Receiver> receivers_;
    std::map<std::string, AccessToken> tokens_;
    Expiries tokensDue_;
    std::function<void(WakeUp)> wakeUpSink_;
};

// {"success": true, "data": data, "meta": {"schema": schema}}
Json envelope(const std::string& schema, Json data);
// {"error": {"code": code}}
Json errorBody(const std::string& code);

}  // namespace tamsel::delivery
