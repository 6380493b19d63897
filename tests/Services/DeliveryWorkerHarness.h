#pragma once
// A delivery service scripted per exchange on the in-process TLS test server,
// and a worker wired to it with recording credentials, apply and applyBadge
// functions. Each exchange has a good default answer; a test replaces the one it
// is about. Scripts and records sit under one mutex, because the server's
// threads read them while the test thread writes them.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Services/NotificationDeliveryFailure.h"
#include "Services/NotificationDeliveryWorker.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "tests/Services/RecordTesting.h"
#include "tests/support/TlsTestServer.h"

namespace TamselNotificationService::testing {

using tamsel::platform::Json;
using tamsel::platform::testing::RecordedRequest;
using tamsel::platform::testing::ScriptedResponse;

inline const std::string kReceiver = "receiver_0123456789";
inline const std::string kRefreshProof(43, 'r');
inline const std::string kAccessToken(43, 't');
inline const std::string kReceiptProof(43, 'p');
inline const std::string kCursorA(43, 'A');
inline const std::string kCursorB(43, 'B');
inline const std::string kCursorC(43, 'C');
// The instant every test runs at, and timestamps around it.
inline const tamsel::platform::TimePoint kNow =
    std::chrono::sys_days(std::chrono::year(2030) / 1 / 1) + std::chrono::hours(12);
inline const std::string kNowText = "2030-01-01T12:00:00Z";
inline const std::string kLater = "2030-01-01T12:05:00Z";

// A withdrawn change record: the smallest valid one.
inline Json withdrawn(const std::string& notificationId, const std::string& revision = "1") {
    return withdrawnRecord(notificationId, revision);
}

// The good answers of each exchange.
Json sessionData();
Json badgeData();
Json pageData(const Json& changes, const Json& nextCursor, const std::string& batchId = "batch_0000000001");

class DeliveryWorkerHarness {
  public:
    using Answer = std::function<ScriptedResponse(const RecordedRequest&)>;

    DeliveryWorkerHarness();
    ~DeliveryWorkerHarness();

    // Scripts. Defaults: a good session, a good badge, one empty page without
    // cursor, and an acknowledgment that names the receiver and the posted batch.
    void onSession(Answer answer);
    void onBadge(Answer answer);
    void onPage(Answer answer);
    void onAcknowledge(Answer answer);
    // Pages by the cursor they are requested with ("" for none); a cursor
    // without a page gets the "invalid_cursor" error.
    void pages(std::map<std::string, ScriptedResponse> byCursor);

    // The credential the credentials function returns (or the error it throws).
    void setCredential(NotificationWorkerCredential credential);
    void failCredentials(std::exception_ptr error);
    static NotificationWorkerCredential goodCredential();
    int credentialReads() const;

    // Called inside apply / applyBadge, after the call was recorded.
    void onApply(std::function<void(const std::vector<NotificationDeliveryChange>&)> hook);
    void onApplyBadge(std::function<void(const NotificationBadge&)> hook);

    std::unique_ptr<NotificationDeliveryWorker> makeWorker(bool withBadge = true);

    // What happened, in order.
    std::vector<std::vector<std::string>> applied() const;  // notification ids per page
    std::vector<std::string> appliedReceivers() const;
    std::vector<NotificationBadge> badges() const;
    // "METHOD target" of every request the server received.
    std::vector<std::string> requestLines() const;
    std::vector<RecordedRequest> requests() const { return server_.requests(); }
    // Requests to one exchange: "worker-sessions", "badge", "delivery-changes", "delivery-acknowledgments".
    std::vector<RecordedRequest> requestsTo(const std::string& exchange) const;
    // Events in order: "credentials", "apply", "applyBadge", and the exchanges' names.
    std::vector<std::string> events() const;

    tamsel::platform::testing::TlsTestServer& server() { return server_; }
    tamsel::platform::ManualClock& clock() { return *clock_; }

  private:
    ScriptedResponse dispatch(const RecordedRequest& request);

    mutable std::mutex mutex_;
    Answer session_, badge_, page_, acknowledge_;
    NotificationWorkerCredential credential_;
    std::exception_ptr credentialError_;
    int credentialReads_ = 0;
    std::function<void(const std::vector<NotificationDeliveryChange>&)> applyHook_;
    std::function<void(const NotificationBadge&)> badgeHook_;
    std::vector<std::vector<std::string>> applied_;
    std::vector<std::string> appliedReceivers_;
    std::vector<NotificationBadge> badges_;
    std::vector<std::string> events_;

    std::shared_ptr<tamsel::platform::ManualClock> clock_;
    tamsel::platform::Platform platform_;
    tamsel::platform::testing::TlsTestServer server_;
};

}  // namespace TamselNotificationService::testing
