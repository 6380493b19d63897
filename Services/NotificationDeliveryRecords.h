#pragma once
// The records the delivery service sends, validated into plain values, and the
// pure validators that do it. Every refusal is
// NotificationDeliveryFailure::response(); nothing here logs or keeps state.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

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

    // Validates a badge record that must name `receiver` (NotificationDeliveryRecords::badge).
    static NotificationBadge decode(const tamsel::platform::Json& record, const std::string& receiver);
};

// The validators: pure functions of JSON values and strings, safe from any
// thread. Each rule is written once, here; the worker and the badge reach them
// under the names the rest of the code base uses (NotificationDeliveryWorker::change,
// NotificationBadge::decode…).
namespace NotificationDeliveryRecords {

// Whole-value patterns. "$" ends only at the very end (see platform/Regex.h).
// A notification, batch or target identifier; a receiver identifier.
inline constexpr std::string_view kIdentifierPattern = "^[A-Za-z0-9_-]{16,128}$";
// A refresh proof, access token, receipt proof or cursor: 43 URL-safe Base64 characters.
inline constexpr std::string_view kProofPattern = "^[A-Za-z0-9_-]{43}$";
// A notification or badge revision: a canonical decimal of at most 40 digits.
inline constexpr std::string_view kRevisionPattern = "^[1-9][0-9]{0,39}$";
// An authorization revision: a canonical decimal of at most 20 digits, 0 included.
inline constexpr std::string_view kAuthorizationRevisionPattern = "^(0|[1-9][0-9]{0,19})$";
// A conversation's group key: 64 lower-case hexadecimal digits.
inline constexpr std::string_view kGroupKeyPattern = "^[0-9a-f]{64}$";
// A sender's canonical identifier.
inline constexpr std::string_view kSenderIdentifierPattern = "^tamsel_sender_[0-9a-f]{64}$";
// What makes a sender's name pass for another identity: an address, a link or
// something that reads as a phone number. (Its last alternative also matches
// names without any digit, such as "()": that is the rule as written.)
inline constexpr std::string_view kImpersonationPattern =
    R"(@|(?:https?|tel|sms|mailto):|\d[\d\s().+\-]{3,}\d|^\+?[\d\s().-]+$)";
// C0 and C1 controls and the bidirectional embeddings, overrides and isolates.
inline constexpr std::string_view kControlPattern =
    R"([\x00-\x1f\x7f-\x9f\x{202a}-\x{202e}\x{2066}-\x{2069}])";

// Text limits, in Unicode scalar values.
inline constexpr std::size_t kTitleScalars = 120;
inline constexpr std::size_t kBodyScalars = 320;
inline constexpr std::size_t kSenderNameScalars = 90;

// One change record (a JSON object) into a change; throws response().
NotificationDeliveryChange change(const tamsel::platform::Json& record);
// A badge record that must name `receiver`; throws response().
NotificationBadge badge(const tamsel::platform::Json& record, const std::string& receiver);
// kIdentifierPattern.
bool identifier(const std::string& value);
// kProofPattern.
bool proof(const std::string& value);
// kRevisionPattern.
bool revision(const std::string& value);
// kGroupKeyPattern.
bool groupKey(const std::string& value);
// kSenderIdentifierPattern.
bool senderIdentifier(const std::string& value);
// The object's member names equal `keys` exactly; anything else (a value that
// is not an object included) throws response().
void exact(const tamsel::platform::Json& object, const std::set<std::string>& keys);
// The presentation's "sender" value (absent when the member is absent).
std::optional<NotificationDeliverySender> sender(const tamsel::platform::Json* value);
// The name unchanged when it is safe to show, else nothing.
std::optional<std::string> safeSenderName(const std::optional<std::string>& name);
// True when candidate is a strictly greater canonical decimal revision.
bool newer(const std::string& candidate, const std::string& than);
// True when both are kAuthorizationRevisionPattern and candidate does not go back.
bool acceptsAuthorizationRevision(const std::string& candidate, const std::string& after);
// An RFC 3339 internet date-time ("T", "Z" or "+hh:mm"), with or without
// fractional seconds; nothing for anything else, and for a time the clock
// cannot hold (before 1677 or after 2262).
std::optional<tamsel::platform::TimePoint> date(const std::string& value);

}  // namespace NotificationDeliveryRecords

// Unicode scalar values in a valid UTF-8 string.
std::size_t scalarCount(const std::string& utf8);

}  // namespace TamselNotificationService
