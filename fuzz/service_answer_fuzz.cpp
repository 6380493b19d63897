// Arbitrary bytes as the body of the delivery service's answer, through the
// envelope and each of the four exchanges as the worker makes them: the worker
// session, the badge, a page of changes and its acknowledgment. The session
// hands back the bytes with status 200 and "Cache-Control: no-store", then once
// more with a refusal's status. Besides crashes and sanitizer reports it traps
// on an error of another kind than the ones the worker handles, and on an
// accepted answer that breaks what the run relies on.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "Services/NotificationDeliveryEnvelope.h"
#include "Services/NotificationDeliveryFailure.h"
#include "Services/NotificationDeliveryProtocol.h"
#include "Services/NotificationDeliveryRecords.h"
#include "Services/NotificationSharedAuthority.h"
#include "platform/Clock.h"
#include "platform/HTTPSession.h"
#include "platform/Json.h"

namespace {

using tamsel::platform::Json;
using TamselNotificationService::NotificationDeliveryChange;
using TamselNotificationService::NotificationDeliveryEnvelope;
using TamselNotificationService::NotificationDeliveryFailure;
using TamselNotificationService::NotificationWorkerCredential;
using TamselNotificationService::scalarCount;
namespace Protocol = TamselNotificationService::NotificationDeliveryProtocol;
namespace Records = TamselNotificationService::NotificationDeliveryRecords;

constexpr const char* kReceiver = "rcv_0123456789abcdef";

void require(bool condition) {
    if (!condition) std::abort();
}

// Answers every request with the same response.
class AnswerSession final : public tamsel::platform::HTTPSession {
  public:
    tamsel::platform::HTTPResponse perform(const tamsel::platform::HTTPRequest&) override { return response; }
    tamsel::platform::HTTPResponse response;
};

class AnswerSessions final : public tamsel::platform::HTTPSessionFactory {
  public:
    std::shared_ptr<tamsel::platform::HTTPSession> makeSession() override { return session; }
    std::shared_ptr<AnswerSession> session = std::make_shared<AnswerSession>();
};

// Runs one exchange; the errors the worker expects from it end it quietly.
template <typename Exchange>
void exchange(Exchange&& run) {
    try {
        run();
    } catch (const NotificationDeliveryFailure&) {
    } catch (const nlohmann::json::exception&) {
        // The JSON reader's refusal passes through the envelope unchanged.
    }
}

void checkChange(const NotificationDeliveryChange& change) {
    require(Records::identifier(change.notificationID) && Records::revision(change.revision));
    if (change.withdrawn) {
        require(change.title.empty() && change.body.empty() && change.groupKey.empty() && !change.audible &&
                change.target.empty() && !change.sender);
        return;
    }
    require(!change.title.empty() && scalarCount(change.title) <= Records::kTitleScalars &&
            scalarCount(change.body) <= Records::kBodyScalars);
    require(Records::groupKey(change.groupKey) && change.target.contains("kind"));
    if (change.sender) {
        require(Records::senderIdentifier(change.sender->canonicalID));
        if (change.sender->displayName)
            require(Records::safeSenderName(change.sender->displayName) == change.sender->displayName);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto sessions = std::make_shared<AnswerSessions>();
    auto& response = sessions->session->response;
    response.status = 200;
    response.headers = {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}};
    response.body.assign(reinterpret_cast<const char*>(data), size);
    response.bodyExceededLimit = size > NotificationDeliveryEnvelope::kMaxAnswerBytes;

    NotificationDeliveryEnvelope envelope("https://delivery.test:8443", sessions);
    // 2026-01-01T00:00:00Z: the seeds' expiry dates lie after it.
    const tamsel::platform::ManualClock clock(tamsel::platform::TimePoint(std::chrono::seconds(1767225600)));
    const NotificationWorkerCredential credential{kReceiver, std::string(43, 'R'), "3",
                                                  clock.now() + std::chrono::hours(24)};
    const std::string token(43, 'T');

    exchange([&] {
        const std::string accessToken = Protocol::openWorkerSession(envelope, credential, clock);
        require(Records::proof(accessToken));
    });
    exchange([&] {
        const Json badge = Protocol::readBadge(envelope, kReceiver, token);
        // The run reads the badge only when it is an object.
        if (!badge.is_object()) return;
        const auto decoded = TamselNotificationService::NotificationBadge::decode(badge, kReceiver);
        require(decoded.receiverID == kReceiver && Records::revision(decoded.revision) &&
                decoded.unreadCount >= 0 && decoded.unreadCount <= 9007199254740991);
    });
    exchange([&] {
        const auto page =
            Protocol::validatePage(Protocol::requestPage(envelope, kReceiver, token, std::nullopt), clock);
        require(Records::identifier(page.batchId) && Records::proof(page.receiptProof));
        require(page.changes.size() <= Protocol::kPageLimit);
        require(!page.nextCursor || Records::proof(*page.nextCursor));
        for (const auto& change : page.changes) checkChange(change);
    });
    exchange([&] {
        Protocol::DeliveryPage page;
        page.batchId = "batch_0123456789abcdef";
        page.receiptProof = std::string(43, 'P');
        Protocol::acknowledge(envelope, kReceiver, token, page);
    });

    // A refusal: an expired cursor when the answer says so, else the status.
    response.status = 404;
    try {
        Protocol::readBadge(envelope, kReceiver, token);
        std::abort();
    } catch (const NotificationDeliveryFailure& failure) {
        using Kind = NotificationDeliveryFailure::Kind;
        require(failure.kind() == Kind::expiredCursor || failure.kind() == Kind::response ||
                failure == NotificationDeliveryFailure::transport(404));
    } catch (const nlohmann::json::exception&) {
    }
    return 0;
}
