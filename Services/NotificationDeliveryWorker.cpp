#include "Services/NotificationDeliveryWorker.h"

namespace TamselNotificationService {

NotificationDeliveryWorker::NotificationDeliveryWorker(const std::string& origin, Credentials credentials,
                                                       Apply apply, std::optional<ApplyBadge> applyBadge,
                                                       const tamsel::platform::Platform& platform)
    : envelope_(origin, platform.sessions),
      credentials_(std::move(credentials)),
      apply_(std::move(apply)),
      applyBadge_(std::move(applyBadge)),
      clock_(platform.clock) {}

NotificationDeliveryWorker::~NotificationDeliveryWorker() {
    // A run still in flight holds what it uses; it is only asked to stop.
    std::optional<tamsel::platform::Task<void>> running;
    {
        std::lock_guard guard(lock_);
        running = running_;
    }
    if (running && *running) running->cancel();
}

}  // namespace TamselNotificationService
