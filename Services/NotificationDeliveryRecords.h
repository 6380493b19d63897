#pragma once
// The records the delivery service sends, validated into plain values, and the
// static, pure validators that do it. Every refusal is
// NotificationDeliveryFailure::response(); nothing here logs or keeps state.
//
// NotificationDeliveryWorker inherits these validators, so they are called as
// NotificationDeliveryWorker::change(...), NotificationDeliveryWorker::newer(...).
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "Services/NotificationDeliveryFailure.h"
#include "platform/Clock.h"
#include "platform/Json.h"

namespace TamselNotificationService {

struct NotificationDeliverySender {
    std::string canonicalID;
    // A name that passed safeSenderName(), exactly as received; absent when the
    // record gave null or the name was refused.
    std::optional<std::string> displayName;

    bool operator==(const NotificationDeliverySender&) const = default;
};

// One validated change to one notification. No equality, by design: two
// changes are never compared, only their revisions.
struct NotificationDeliveryChange {
    std::string notificationID;
    std::string revision;
    bool withdrawn = false;
    std::string title;
    std::string body;
    std::string groupKey;
    bool audible = false;
    std::map<std::string, std::string> target;
    std::optional<NotificationDeliverySender> sender;
};

struct NotificationBadge {
    std::string receiverID;
    std::string revision;
    std::int64_t unreadCount = 0;

    bool operator==(const NotificationBadge&) const = default;

    // Validates a badge record that must name `receiver`.
    static NotificationBadge decode(const tamsel::platform::Json& record, const std::string& receiver);
};

class NotificationDeliveryRecordValidators {
  public:
    // One change record (a JSON object) into a change; throws response().
    static NotificationDeliveryChange change(const tamsel::platform::Json& record);
    // 16 to 128 characters of A-Z, a-z, 0-9, "_" and "-".
    static bool identifier(const std::string& value);
    // The object's member names equal `keys` exactly; else throws response().
    static void exact(const tamsel::platform::Json& object, const std::set<std::string>& keys);
    // The presentation's "sender" value (absent when the member is absent).
    static std::optional<NotificationDeliverySender> sender(const tamsel::platform::Json* value);
    // The name unchanged when it is safe to show, else nothing.
    static std::optional<std::string> safeSenderName(const std::optional<std::string>& name);
    // True when candidate is a strictly greater canonical decimal revision.
    static bool newer(const std::string& candidate, const std::string& than);
    static bool acceptsAuthorizationRevision(const std::string& candidate, const std::string& after);
    // 43 characters of the URL-safe Base64 alphabet.
    static bool proof(const std::string& value);
    // An RFC 3339 internet date-time ("T", "Z" or "+hh:mm"), with or without
    // fractional seconds; nothing for anything else, and for a time the
    // clock cannot hold (before 1677 or after 2262).
    static std::optional<tamsel::platform::TimePoint> date(const std::string& value);
};

// Unicode scalar values in a valid UTF-8 string.
std::size_t scalarCount(const std::string& utf8);

}  // namespace TamselNotificationService
