#pragma once
// Wake-ups over Web Push: when changes are queued for a receiver that has a
// push subscription, the service POSTs one encrypted wake-up (RFC 8030, 8291)
// signed with its VAPID key (RFC 8292) to the subscription's endpoint.
//
// Sends happen on one thread of their own, in the order they were asked for,
// so an admin call never waits for a push service. Each send is tried once;
// its outcome is handed to a callback and never retried.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Json.h"
#include "webpush/Vapid.h"

namespace tamsel::delivery {

using Json = tamsel::platform::Json;

struct PushSubscription {
    std::string endpoint;
    std::string origin;  // scheme://host[:port] of the endpoint: the VAPID audience
    std::vector<std::uint8_t> p256dh;
    std::vector<std::uint8_t> auth;
};

// Validates an admin body {"endpoint", "p256dh", "auth"}: the endpoint an
// absolute https URL (http only on a loopback host) without user info or
// fragment, p256dh a base64url P-256 point, auth 16 base64url bytes. Throws
// AdminError 400 with invalid_request, unknown_member, invalid_endpoint,
// invalid_p256dh or invalid_auth.
PushSubscription pushSubscriptionFromJson(const Json& request);

// A VAPID subject the service may send: "mailto:..." or "https:...", visible
// ASCII, at most 512 characters.
bool acceptableVapidSubject(std::string_view subject);

struct WakeUp {
    std::string receiverId;
    PushSubscription subscription;
    std::string groupKey;
};

// The wake-up's plaintext: the notification content the extension's host
// reads, naming the group whose changes are waiting.
std::string wakeUpContent(const std::string& groupKey);

class WebPushSender {
  public:
    // `record` gets, on the sending thread, the receiver and the outcome
    // {"status", "error", "location", "groupKey", "at"} of every send.
    using Recorder = std::function<void(const std::string& receiverId, Json delivery)>;

    // Makes a fresh VAPID key. `subject` is the JWT's "sub" (mailto: or https:).
    WebPushSender(std::string subject, Recorder record);
    // Abandons sends not yet made and cuts short the one under way.
    ~WebPushSender();
    WebPushSender(const WebPushSender&) = delete;
    WebPushSender& operator=(const WebPushSender&) = delete;

    // The application server key, base64url, as subscribers are given it.
    std::string publicKey() const { return vapid_.publicKeyBase64url(); }

    // Queues one send and returns at once.
    void send(WakeUp wakeUp);

  private:
    void run();
    Json deliver(const WakeUp& wakeUp);

    webpush::VapidKey vapid_;
    std::string subject_;
    Recorder record_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<WakeUp> queue_;
    bool stopping_ = false;
    std::atomic<bool> aborting_ = false;  // read by libcurl's progress callback
    std::thread thread_;
};

}  // namespace tamsel::delivery
