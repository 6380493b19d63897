#include "Services/NotificationRemotePresentation.h"

namespace TamselNotificationService {

NotificationRemotePresentation::NotificationRemotePresentation(std::string groupKey,
                                                               tamsel::platform::SharedContent fallback,
                                                               ContentHandler handler)
    : groupKey(std::move(groupKey)),
      fallback(std::move(fallback)),
      handler_(std::move(handler)),
      logger_(std::string(tamsel::platform::kSubsystem), "notification-extension") {}

bool NotificationRemotePresentation::complete(tamsel::platform::SharedContent content) {
    ContentHandler taken;
    {
        std::lock_guard guard(lock_);
        taken = std::move(handler_);
        handler_ = nullptr;  // a moved-from std::function is only "valid but unspecified"
    }
    if (!taken) return false;
    logger_.info("extension_content_handoff");
    taken(std::move(content));
    return true;
}

void NotificationRemotePresentation::finishFallback() {
    if (complete(fallback)) logger_.error("extension_generic_fallback");
}

}  // namespace TamselNotificationService
