#pragma once
// The four exchanges of the notification-delivery protocol, each as it goes on
// the wire (path, method, headers, body, schema) and with the field-by-field
// validation of its answer, in a fixed order where the first breach decides.
//
// Every exchange goes through the envelope (NotificationDeliveryEnvelope, which
// the worker owns), which checks all but the "data" object; these functions
// check the "data" object. They keep no state and
// log nothing; the run (NotificationDeliveryRun) decides what they are used for.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Services/NotificationDeliveryEnvelope.h"
#include "Services/NotificationDeliveryRecords.h"
#include "Services/NotificationSharedAuthority.h"
#include "platform/Clock.h"
#include "platform/Json.h"

namespace TamselNotificationService {

namespace NotificationDeliveryProtocol {

// The largest page the worker asks for, and accepts.
inline constexpr std::size_t kPageLimit = 50;

// "/api/v2/notification-receivers/" + the receiver identifier, which the caller
// has checked with identifier() (so it needs no escaping).
std::string receiverBasePath(const std::string& receiverID);

// prefix + a fresh random UUID v4 in upper-case hexadecimal without hyphens.
std::string idempotencyKey(std::string_view prefix);

// Exchange 1. Opens a worker session with the credential's refresh proof and
// returns the access token. Key sets: response(); the session's fields
// (receiver, authorization revision, token, expiry): credential().
std::string openWorkerSession(NotificationDeliveryEnvelope& envelope,
                              const NotificationWorkerCredential& credential,
                              const tamsel::platform::Clock& clock);

// Exchange 2. Returns the answer's "badge" value, of whatever JSON type: whether
// it is an object is checked by the run together with its credential re-read.
// A key set other than {"badge"}: response().
tamsel::platform::Json readBadge(NotificationDeliveryEnvelope& envelope, const std::string& receiverID,
                                 const std::string& accessToken);

struct DeliveryPage {
    std::string batchId;
    std::string receiptProof;
    std::vector<NotificationDeliveryChange> changes;  // in the service's order
    std::optional<std::string> nextCursor;
};

// Exchange 3, the request alone: one page's "data", unvalidated. Errors of the
// request pass through, expiredCursor() included.
tamsel::platform::Json requestPage(NotificationDeliveryEnvelope& envelope, const std::string& receiverID,
                                   const std::string& accessToken, const std::optional<std::string>& cursor);

// Exchange 3, the validation of its "data": response() for every breach;
// errors of change() pass through.
DeliveryPage validatePage(const tamsel::platform::Json& data, const tamsel::platform::Clock& clock);

// Exchange 4. Acknowledges the page with a fresh "receipt_" key. An answer that
// names another receiver or batch: response().
void acknowledge(NotificationDeliveryEnvelope& envelope, const std::string& receiverID,
                 const std::string& accessToken, const DeliveryPage& page);

}  // namespace NotificationDeliveryProtocol
}  // namespace TamselNotificationService
