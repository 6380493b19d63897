#pragma once
// The client side of the notification-delivery protocol.
//
// One worker per push. synchronize() runs one synchronisation or joins the one in
// flight (all callers get the same outcome); cancel() cancels the run in flight
// and returns only after it has ended. The only mutable state, `running`, is
// touched under `lock_`, which is never held while a request or a callback runs.
// The three functions are called from the run's thread.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Services/NotificationDeliveryEnvelope.h"
#include "Services/NotificationDeliveryRecords.h"
#include "Services/NotificationSharedAuthority.h"
#include "platform/Json.h"
#include "platform/Platform.h"
#include "platform/Task.h"

namespace TamselNotificationService {

class NotificationDeliveryWorker {
  public:
    using Credentials = std::function<NotificationWorkerCredential()>;
    using Apply =
        std::function<void(const std::string& receiver, const std::vector<NotificationDeliveryChange>&)>;
    using ApplyBadge = std::function<void(const NotificationBadge&)>;

    // Throws NotificationDeliveryFailure::response() for a refused origin: not
    // "https", no host, or a user, password, query or fragment.
    NotificationDeliveryWorker(const std::string& origin, Credentials credentials, Apply apply,
                               std::optional<ApplyBadge> applyBadge,
                               const tamsel::platform::Platform& platform);
    ~NotificationDeliveryWorker();

    void synchronize();
    void cancel();

    // The record validators under the worker's name; each rule lives in
    // NotificationDeliveryRecords.
    static NotificationDeliveryChange change(const tamsel::platform::Json& record) {
        return NotificationDeliveryRecords::change(record);
    }
    static bool identifier(const std::string& value) {
        return NotificationDeliveryRecords::identifier(value);
    }
    static void exact(const tamsel::platform::Json& object, const std::set<std::string>& keys) {
        NotificationDeliveryRecords::exact(object, keys);
    }
    static std::optional<NotificationDeliverySender> sender(const tamsel::platform::Json* value) {
        return NotificationDeliveryRecords::sender(value);
    }
    static std::optional<std::string> safeSenderName(const std::optional<std::string>& name) {
        return NotificationDeliveryRecords::safeSenderName(name);
    }
    static bool newer(const std::string& candidate, const std::string& than) {
        return NotificationDeliveryRecords::newer(candidate, than);
    }
    static bool acceptsAuthorizationRevision(const std::string& candidate, const std::string& after) {
        return NotificationDeliveryRecords::acceptsAuthorizationRevision(candidate, after);
    }
    static bool proof(const std::string& value) { return NotificationDeliveryRecords::proof(value); }
    static std::optional<tamsel::platform::TimePoint> date(const std::string& value) {
        return NotificationDeliveryRecords::date(value);
    }

  private:
    void run();

    // Every exchange of the run goes through it.
    NotificationDeliveryEnvelope envelope_;
    Credentials credentials_;
    Apply apply_;
    std::optional<ApplyBadge> applyBadge_;
    std::shared_ptr<const tamsel::platform::Clock> clock_;

    std::mutex lock_;
    std::optional<tamsel::platform::Task<void>> running_;
};

}  // namespace TamselNotificationService
