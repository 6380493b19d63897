#include "Services/NotificationDeliveryProtocol.h"

#include "Services/NotificationDeliveryFailure.h"

namespace TamselNotificationService::NotificationDeliveryProtocol {

using tamsel::platform::Json;
namespace Records = NotificationDeliveryRecords;

namespace {

constexpr const char* kSessionSchema = "notification_worker_session.v2";
constexpr const char* kBadgeSchema = "notification_badge.v1";
constexpr const char* kChangesSchema = "notification_delivery_changes.v2";
constexpr const char* kAcknowledgedSchema = "notification_delivery_acknowledged.v2";

[[noreturn]] void refuseResponse() { throw NotificationDeliveryFailure::response(); }
[[noreturn]] void refuseCredential() { throw NotificationDeliveryFailure::credential(); }

const Json& member(const Json& object, const char* key) { return object.find(key).value(); }

bool laterThanNow(const Json& value, const tamsel::platform::Clock& clock) {
    if (!value.is_string()) return false;
    auto instant = Records::date(value.get<std::string>());
    return instant && *instant > clock.now();
}

std::string bearer(const std::string& accessToken) { return "Bearer " + accessToken; }

}  // namespace

std::string receiverBasePath(const std::string& receiverID) {
    return "/api/v2/notification-receivers/" + receiverID;
}

std::string idempotencyKey(std::string_view prefix) {
    std::string key(prefix);
    for (char c : tamsel::platform::randomUUID()) {
        if (c != '-') key.push_back(c);
    }
    return key;
}

std::string openWorkerSession(NotificationDeliveryEnvelope& envelope,
                              const NotificationWorkerCredential& credential,
                              const tamsel::platform::Clock& clock) {
    Json data = envelope.request(receiverBasePath(credential.receiverID) + "/worker-sessions", "POST",
                                 {{"Tamsel-Receiver-Refresh", credential.refreshProof},
                                  {"Idempotency-Key", idempotencyKey("worker_")}},
                                 std::nullopt, kSessionSchema);
    Records::exact(data, {"workerSession"});
    const Json& session = member(data, "workerSession");
    Records::exact(session, {"receiverId", "accessToken", "expiresAt", "authorizationRevision"});

    const Json& receiverId = member(session, "receiverId");
    if (!receiverId.is_string() || receiverId.get<std::string>() != credential.receiverID) refuseCredential();
    const Json& revision = member(session, "authorizationRevision");
    if (!revision.is_string() ||
        !Records::acceptsAuthorizationRevision(revision.get<std::string>(), credential.authorizationRevision))
        refuseCredential();
    const Json& token = member(session, "accessToken");
    if (!token.is_string() || !Records::proof(token.get<std::string>())) refuseCredential();
    if (!laterThanNow(member(session, "expiresAt"), clock)) refuseCredential();
    return token.get<std::string>();
}

Json readBadge(NotificationDeliveryEnvelope& envelope, const std::string& receiverID,
               const std::string& accessToken) {
    Json data = envelope.request(receiverBasePath(receiverID) + "/badge", "GET",
                                 {{"Authorization", bearer(accessToken)}}, std::nullopt, kBadgeSchema);
    Records::exact(data, {"badge"});
    return member(data, "badge");
}

Json requestPage(NotificationDeliveryEnvelope& envelope, const std::string& receiverID,
                 const std::string& accessToken, const std::optional<std::string>& cursor) {
    std::string path = receiverBasePath(receiverID) + "/delivery-changes?limit=" + std::to_string(kPageLimit);
    // A cursor always passed proof() when it was received, so it needs no escaping.
    if (cursor) path += "&cursor=" + *cursor;
    return envelope.request(path, "GET", {{"Authorization", bearer(accessToken)}}, std::nullopt,
                            kChangesSchema);
}

DeliveryPage validatePage(const Json& data, const tamsel::platform::Clock& clock) {
    Records::exact(data, {"batchId", "receiptProof", "changes", "nextCursor", "expiresAt"});
    DeliveryPage page;

    const Json& batchId = member(data, "batchId");
    if (!batchId.is_string() || !Records::identifier(batchId.get<std::string>())) refuseResponse();
    page.batchId = batchId.get<std::string>();

    const Json& receiptProof = member(data, "receiptProof");
    if (!receiptProof.is_string() || !Records::proof(receiptProof.get<std::string>())) refuseResponse();
    page.receiptProof = receiptProof.get<std::string>();

    // The whole array is checked before any element is read as a change.
    const Json& changes = member(data, "changes");
    if (!changes.is_array() || changes.size() > kPageLimit) refuseResponse();
    for (const Json& element : changes) {
        if (!element.is_object()) refuseResponse();
    }

    if (!laterThanNow(member(data, "expiresAt"), clock)) refuseResponse();

    page.changes.reserve(changes.size());
    for (const Json& element : changes) page.changes.push_back(Records::change(element));

    const Json& nextCursor = member(data, "nextCursor");
    if (nextCursor.is_string()) {
        if (!Records::proof(nextCursor.get<std::string>())) refuseResponse();
        page.nextCursor = nextCursor.get<std::string>();
    } else if (!nextCursor.is_null()) {
        refuseResponse();
    }
    return page;
}

void acknowledge(NotificationDeliveryEnvelope& envelope, const std::string& receiverID,
                 const std::string& accessToken, const DeliveryPage& page) {
    Json data = envelope.request(
        receiverBasePath(receiverID) + "/delivery-acknowledgments", "POST",
        {{"Authorization", bearer(accessToken)}, {"Idempotency-Key", idempotencyKey("receipt_")}},
        Json{{"batchId", page.batchId}, {"receiptProof", page.receiptProof}}, kAcknowledgedSchema);
    Records::exact(data, {"acknowledgment"});
    // Only these two members are read; others are the service's business.
    const Json& acknowledgment = member(data, "acknowledgment");
    if (!acknowledgment.is_object()) refuseResponse();
    auto receiverId = acknowledgment.find("receiverId");
    if (receiverId == acknowledgment.end() || !receiverId->is_string() ||
        receiverId->get<std::string>() != receiverID)
        refuseResponse();
    auto batchId = acknowledgment.find("batchId");
    if (batchId == acknowledgment.end() || !batchId->is_string() ||
        batchId->get<std::string>() != page.batchId)
        refuseResponse();
}

}  // namespace TamselNotificationService::NotificationDeliveryProtocol
